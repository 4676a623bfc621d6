// printf-style text, for the console and the file readers alike.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>

/// Lets the compiler check every call of a printf-style function against its format.
#if defined(__GNUC__)
#define VQ_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VQ_PRINTF(fmt, args)
#endif

/// printf-style formatting into a string of any length.
std::string formatText(const char* format, va_list args);

/// An error text without the "ERROR: " that begins it on the console.
inline std::string withoutErrorWord(const std::string& text) {
    return text.compare(0, 7, "ERROR: ") == 0 ? text.substr(7) : text;
}

/// An error text as one line without "ERROR: ": "Download failed:\r\n   Could not open comm port 3.\n Reason:
/// ..." reads as a sentence; line ends with their indents become single blanks, other control characters
/// blanks too, and no blank ends the line.
std::string oneLine(const std::string& text);

/// The highest message level the support log takes: the byte traces.
constexpr int LOG_LEVEL = 4;

/// The one rule of levelled messages, for the Downloader and the image alike: the console takes a message up
/// to its verbosity, the support log up to LOG_LEVEL.
struct MessageRoute {
    std::function<void(const char*)> console; ///< the console sink; empty shows nothing
    int verbosity = 0;                        ///< the highest level the console shows
    std::function<void(const char*)> log;     ///< the support log; empty while none is open
    /// When set, takes the console's messages with their level in place of the console sink (--json).
    std::function<void(int, const char*)> levelled;

    /// True when a message of this level goes anywhere.
    bool shows(int level) const { return (console && level <= verbosity) || (log && level <= LOG_LEVEL); }
    /// Hands a finished text of this level to each place that takes it: the log first, then the console.
    void emit(int level, const char* text) const {
        if (log && level <= LOG_LEVEL) log(text);
        if (!console || level > verbosity) return;
        if (levelled)
            levelled(level, text);
        else
            console(text);
    }
};
