// The console: levelled messages, fatal errors and the sink that prints them.
#include "downloader.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

std::string formatText(const char* format, va_list args) {
    char small[1024];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, n);
    // Longer than the usual line: format again into a buffer that fits, rather than cut the text.
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, args);
    text.resize(n);
    return text;
}

} // namespace

void printLine(const char* text) {
    size_t n = std::strlen(text);
    std::fwrite(text, 1, n, stdout);
    // A text that ends in a carriage return is a progress line that the next output overwrites.
    if (n == 0 || text[n - 1] != '\r') std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Downloader::message(int level, const char* format, ...) {
    if (!messageCallback || level > verbosity) return;
    va_list args;
    va_start(args, format);
    std::string text = formatText(format, args);
    va_end(args);
    messageCallback(text.c_str());
}

void Downloader::fatal(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatText(format, args);
    va_end(args);
    if (messageCallback) messageCallback(text.c_str());
    throw status;
}

void Downloader::setMessageCallback(MessageCallback callback) {
    messageCallback = callback;
    image.messageCallback = callback;
}
