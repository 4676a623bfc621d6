// Extracted files: the few file operations that differ between POSIX and Windows, one file each.
#pragma once

#include <cstdio>
#include <string>

/// Creates a new file for writing beside target, exclusively, under a name unique to this process and never
/// through a link, and names it in tempPath; it takes an existing target's permission bits (and its owner
/// where the process may set it). nullptr when no such file could be made. Until it is replaced or removed,
/// removeTemporaryOnSignal removes it.
std::FILE* createTemporaryBeside(const std::string& target, std::string& tempPath);
/// False when something stands at target that could not be written over: a directory, a read-only file.
bool canReplace(const std::string& target);
/// Moves the temporary file to the target's name, replacing a file there; false when it could not.
bool replaceTarget(const std::string& temporary, const std::string& target);
/// Removes the temporary file.
void removeTemporary(const std::string& temporary);
/// Removes the temporary file being written, if there is one. Only system calls: a signal handler calls it.
void removeTemporaryOnSignal();
