// Files written by a run (extracted .ini files, the read-back file, the support log): the few file operations
// that differ between POSIX and Windows, one file each.
#pragma once

#include <cstdio>
#include <string>

/// What joins a folder and a name in the system's own paths: '/', or '\\' on Windows.
extern const char PATH_SEPARATOR;

/// Creates a new file for writing beside target, exclusively, under a name unique to this process and never
/// through a link, and names it in tempPath; it takes an existing target's permission bits (and its owner
/// where the process may set it). nullptr when no such file could be made.
std::FILE* createTemporaryBeside(const std::string& target, std::string& tempPath);
/// False when something stands at target that could not be written over: a directory, a read-only file, or
/// anything else that is no regular file (a device, a FIFO, a symbolic link).
bool canReplace(const std::string& target);
/// What stands at a path when it is neither missing, nor a regular file, nor a directory: "a symbolic link",
/// "a FIFO", "a device", "a socket", "a special file"; links are not followed. nullptr otherwise.
const char* specialFileKind(const std::string& path);
/// True when two paths name one file: the same device and inode where both exist, the same name in the same
/// directory where neither does, however they are spelled.
bool sameFileOnDisk(const std::string& a, const std::string& b);
/// Opens a regular file for appending, creating it, never through a link and never waiting (a FIFO without a
/// reader fails at once); nullptr with errno set otherwise; descriptor is the file's.
std::FILE* openForAppend(const std::string& path, int& descriptor);
/// Writes what the system holds of an open file out to the disk; false when it could not.
bool flushToDisk(std::FILE* file);
/// Reads what a file holds now, up to n bytes, waiting at most timeoutMs for the first: the count, 0 at the
/// end of the file, -1 on an error, -2 when nothing came in time (or the wait was cut short by a signal).
/// A pipe that stays open is waited on in steps, so that the reader can give up in between.
long readSome(std::FILE* file, char* buffer, size_t n, int timeoutMs);
/// Moves the temporary file to the target's name, replacing a file there; false when it could not.
bool replaceTarget(const std::string& temporary, const std::string& target);
/// Removes the temporary file.
void removeTemporary(const std::string& temporary);
