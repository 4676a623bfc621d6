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
