// The console: levelled messages, fatal errors and the sink that prints them.
#include "downloader.h"
#include "events.h"
#include "signals.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The width of the progress line now on the terminal; 0 when none is shown.
size_t progressWidth = 0;

/// Draws a line over the progress line in place, never wider than the window: a line that reached the last
/// column would wrap, and every redraw would then begin a new line.
void drawOver(std::string line) {
    const int columns = platformTerminalColumns();
    const size_t room = columns > 1 ? static_cast<size_t>(columns - 1) : 0;
    if (room > 0 && line.size() > room) line.resize(room);
    // A shorter line than the last one is padded so that nothing of the old one shows.
    size_t pad = progressWidth > line.size() ? progressWidth - line.size() : 0;
    if (room > 0) pad = std::min(pad, room - line.size());
    std::fprintf(stdout, "\r%s%*s", line.c_str(), static_cast<int>(pad), "");
    std::fflush(stdout);
    progressWidth = std::max(progressWidth, line.size());
    if (room > 0) progressWidth = std::min(progressWidth, room);
    terminalLineOpen = true;
}

} // namespace

void clearProgress() {
    if (progressWidth == 0) return;
    // Blanks over the whole line, so that no remnant of it stays beside the next message.
    std::fprintf(stdout, "\r%*s\r", static_cast<int>(progressWidth), "");
    progressWidth = 0;
    terminalLineOpen = false;
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
    // A person watching sees a text that ends in a carriage return as a progress line, fitted to the window.
    const size_t n = std::strlen(text);
    if (n > 0 && text[n - 1] == '\r' && level <= verbosity && personWatching()) {
        MessageRoute logOnly = route();
        logOnly.console = nullptr;
        logOnly.emit(level, text);
        drawOver(std::string(text, n - 1));
        return;
    }
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
                     : std::strcmp(label, KEEP_LABEL) == 0   ? "keep"
                                                             : "read",
                     records, totalRecords, bytes, totalBytes);
    if (!personWatching()) return;
    const int BAR = 20;
    int filled = totalBytes ? static_cast<int>(bytes * BAR / totalBytes) : BAR;
    const std::string bar = std::string(static_cast<size_t>(filled), '#') + std::string(BAR - filled, '-');
    char counts[96];
    std::snprintf(counts, sizeof counts, "%zu/%zu records, ", records, totalRecords);
    char byteCounts[64];
    std::snprintf(byteCounts, sizeof byteCounts, "%llu/%llu bytes", static_cast<unsigned long long>(bytes),
                  static_cast<unsigned long long>(totalBytes));
    char name[16];
    std::snprintf(name, sizeof name, "%-9s ", label);
    // A narrow window drops the bar first, then the record count; what is still too wide is cut.
    const int columns = platformTerminalColumns();
    const size_t room = columns > 1 ? static_cast<size_t>(columns - 1) : SIZE_MAX;
    std::string line = name + ("[" + bar + "] ") + counts + byteCounts;
    if (line.size() > room) line = name + std::string(counts) + byteCounts;
    if (line.size() > room) line = name + std::string(byteCounts);
    drawOver(line);
}

void Downloader::showWaiting(int attempt, int attempts) {
    if (!personWatching()) return;
    char line[64];
    std::snprintf(line, sizeof line, "Waiting for the controller: attempt %d of %d", attempt, attempts);
    drawOver(line);
}

void Downloader::setMessageCallback(MessageCallback callback) {
    messageCallback = callback;
    image.messageCallback = callback;
}
