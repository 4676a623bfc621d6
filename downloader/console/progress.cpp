// The progress line of a person watching: one line redrawn in place, never wider than the window.
#include "console/console.h"

#include "basics.h"
#include "platform/system.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

void Console::drawOver(std::string line) {
    // A line that reached the last column would wrap, and every redraw would then begin a new line.
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
}

void Console::clearProgress() {
    if (progressWidth == 0) return;
    // Blanks over the whole line, so that no remnant of it stays beside the next message.
    std::fprintf(stdout, "\r%*s\r", static_cast<int>(progressWidth), "");
    progressWidth = 0;
}

void Console::endProgressLine() {
    if (progressWidth == 0) return;
    std::fputc('\n', stdout);
    std::fflush(stdout);
    progressWidth = 0;
}

void printLine(const char* text) {
    size_t n = std::strlen(text);
    std::fwrite(text, 1, n, stdout);
    // A text that ends in a carriage return is a progress line that the next output overwrites.
    if (n == 0 || text[n - 1] != '\r') std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Console::showProgress(const char* label, size_t records, size_t totalRecords, uint64_t bytes,
                           uint64_t totalBytes) {
    events.progress(std::strcmp(label, WRITE_LABEL) == 0    ? "write"
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

void Console::showWaiting(int attempt, int attempts) {
    if (!personWatching()) return;
    char line[64];
    std::snprintf(line, sizeof line, "Waiting for the controller: attempt %d of %d", attempt, attempts);
    drawOver(line);
}
