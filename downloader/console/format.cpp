// printf-style formatting into a string of any length.
#include "console/format.h"

#include <cstdio>

std::string formatText(const char* format, va_list args) {
    char small[1024];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
    // A long line shown verbatim is formatted again into a buffer that fits rather than cut.
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(n);
    return text;
}

std::string oneLine(const std::string& text) {
    const std::string from = withoutErrorWord(text);
    std::string line;
    bool lineEnd = false;
    for (char c : from) {
        if (c == '\r' || c == '\n') {
            lineEnd = true;
            continue;
        }
        // The indent of a continued line goes with its line end.
        if (lineEnd && c == ' ') continue;
        if (lineEnd && !line.empty()) line += ' ';
        lineEnd = false;
        line += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? ' ' : c;
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}
