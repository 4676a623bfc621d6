// An argument as a shell would need it typed again: for the command lines the program shows (the support
// log's, the rerun and put-back lines).
#pragma once

#include <string>

/// As a POSIX shell reads it: as it stands when it holds only plain characters, else in single quotes. The
/// support log writes its command line this way on every system (shell.cpp).
std::string posixShellQuoted(const std::string& arg);
/// As this system's shell reads it: a POSIX shell's on Linux, cmd.exe's and the C runtime's on Windows
/// (system_linux.cpp, system_win32.cpp).
std::string platformShellQuoted(const std::string& arg);
