// What the Windows files of several rooms share beyond system.h: the system's text for an error, and an
// argument quoted as a Windows program's C runtime reads it back. Defined in system_win32.cpp.
#pragma once

#include <string>

/// The system's text for an error number (GetLastError's), without its line end and closing full stop;
/// "system error N" where the system has none.
std::string platformErrorText(unsigned long error);
/// An argument in double quotes as the C runtime of a Windows program splits and reads it back: a quote
/// escaped, and the backslashes before a quote or before the closing quote doubled.
std::string platformQuotedArgument(const std::string& arg);
