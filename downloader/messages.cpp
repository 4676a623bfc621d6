// The console: levelled messages, fatal errors and the sink that prints them.
#include "downloader.h"
#include "events.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// The width of the progress line now on the terminal; 0 when none is shown.
size_t progressWidth = 0;

} // namespace

void clearProgress() {
    if (progressWidth == 0) return;
    // Blanks over the whole line, so that no remnant of it stays beside the next message.
    std::fprintf(stdout, "\r%*s\r", static_cast<int>(progressWidth), "");
    progressWidth = 0;
}

void printLine(const char* text) {
    clearProgress();
    size_t n = std::strlen(text);
    std::fwrite(text, 1, n, stdout);
    // A text that ends in a carriage return is a progress line that the next output overwrites.
    if (n == 0 || text[n - 1] != '\r') std::fputc('\n', stdout);
    std::fflush(stdout);
}

MessageRoute Downloader::route() const {
    // Under --json the console's text goes out as events, word for word, and nothing else reaches the
    // console.
    return {messageCallback, verbosity, logIsOpen() ? writeLog : nullptr,
            events::active() ? events::message : nullptr};
}

bool Downloader::shows(int level) const {
    return route().shows(level);
}

void Downloader::emit(int level, const char* text) {
    route().emit(level, text);
}

void Downloader::message(int level, const char* format, ...) {
    if (!shows(level)) return;
    va_list args;
    va_start(args, format);
    std::string text = formatText(format, args);
    va_end(args);
    emit(level, text.c_str());
}

void Downloader::fatal(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatText(format, args);
    va_end(args);
    announce(text.c_str());
    throw status;
}

void Downloader::announce(const char* text) {
    lastError = text;
    writeLog(text);
    events::failed(text);
    if (events::active())
        events::message(0, text);
    else if (messageCallback)
        messageCallback(text);
}

bool Downloader::personWatching() const {
    // Scripts, calling programs and -p get what they always had.
    return consoleIsTerminal && messageCallback && verbosity == 1 && !showPercent;
}

void Downloader::showProgress(const char* label, size_t records, size_t totalRecords, uint64_t bytes,
                              uint64_t totalBytes) {
    events::progress(std::strcmp(label, WRITE_LABEL) == 0    ? "write"
                     : std::strcmp(label, VERIFY_LABEL) == 0 ? "verify"
                                                             : "read",
                     records, totalRecords, bytes, totalBytes);
    if (!personWatching()) return;
    const int BAR = 20;
    int filled = totalBytes ? static_cast<int>(bytes * BAR / totalBytes) : BAR;
    char line[160];
    int n =
        std::snprintf(line, sizeof line, "%-9s [%.*s%.*s] %zu/%zu records, %llu/%llu bytes", label, filled,
                      "####################", BAR - filled, "--------------------", records, totalRecords,
                      static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(totalBytes));
    size_t width = n > 0 ? std::min(static_cast<size_t>(n), sizeof line - 1) : 0;
    // A shorter line than the last one is padded so that nothing of the old one shows.
    std::fprintf(stdout, "\r%s%*s", line, static_cast<int>(progressWidth > width ? progressWidth - width : 0),
                 "");
    std::fflush(stdout);
    progressWidth = std::max(progressWidth, width);
}

void Downloader::setMessageCallback(MessageCallback callback) {
    messageCallback = callback;
    image.messageCallback = callback;
}
