// printf-style text, for the console and the file readers alike.
#pragma once

#include <cstdarg>
#include <string>

/// Lets the compiler check every call of a printf-style function against its format.
#if defined(__GNUC__)
#define VQ_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VQ_PRINTF(fmt, args)
#endif

/// printf-style formatting into a string of any length.
std::string formatText(const char* format, va_list args);
