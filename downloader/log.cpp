// The support log of --log: a header that says when, which version and what command line, then every message
// of the run up to the byte traces, each line stamped with the milliseconds since the log was opened, and
// last the exit status. One log per process, as there is one console: the image's messages reach it through
// the same function.
#include "downloader.h"
#include "events.h"
#include "image/output_file.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

std::FILE* logFile = nullptr;
std::string logName;
/// The log's descriptor and start, for a signal handler; the descriptor is -1 while no log is open.
std::atomic<int> logDescriptor{-1};
std::atomic<int64_t> logStart{0};

/// The system's text for an error number, beginning in lower case.
std::string reasonText(int error) {
    std::string reason = std::strerror(error ? error : EIO);
    if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    return reason;
}

/// The stamp of a line: the milliseconds since the log opened, right-aligned in six places, and two blanks.
/// Only plain arithmetic: a signal handler uses it.
size_t putStamp(char* out, long long ms) {
    char digits[24];
    size_t n = 0;
    const bool negative = ms < 0;
    unsigned long long value = negative ? 0ULL - static_cast<unsigned long long>(ms) : ms;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    if (negative) digits[n++] = '-';
    size_t at = 0;
    for (size_t pad = n; pad < 6; ++pad)
        out[at++] = ' ';
    while (n > 0)
        out[at++] = digits[--n];
    for (const char c : {' ', 'm', 's', ' ', ' '})
        out[at++] = c;
    return at;
}

/// Closes the log after a write failed, and says once on standard error that it is incomplete.
void abandonLog(int error) {
    logDescriptor = -1;
    std::fclose(logFile);
    logFile = nullptr;
    const std::string text =
        "WARNING: The log file " + logName + " is incomplete: " + reasonText(error) + ".";
    clearProgress();
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    // A program reading --json learns it from the stream as well.
    if (events::active()) events::message(0, text.c_str());
}

/// An argument as a shell would need it typed again: quoted when it holds anything but plain characters.
std::string quoted(const std::string& arg) {
    bool plain = !arg.empty();
    for (char c : arg)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("-_./:=+,%@", c)) plain = false;
    if (plain) return arg;
    std::string out = "'";
    for (char c : arg)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

bool openLog(const char* path, const std::vector<std::string>& commandLine, std::string& reason) {
    closeLog();
    if (const char* kind = specialFileKind(path)) {
        reason = std::string(kind) + ", not a regular file";
        return false;
    }
    errno = 0;
    int descriptor = -1;
    std::FILE* file = openForAppend(path, descriptor);
    if (!file) {
        reason = errno == EPERM ? "not a regular file" : reasonText(errno);
        return false;
    }
    logFile = file;
    logName = path;
    logStart = platformNowMs();
    std::time_t now = std::time(nullptr);
    char when[64] = "";
    if (const std::tm* local = std::localtime(&now))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S %z", local);
    std::string line = "Command line:";
    for (const std::string& arg : commandLine)
        line += " " + quoted(arg);
    errno = 0;
    if (std::fprintf(logFile, "==== vq2dl %s, %s\n%s\n", VQ2DL_VERSION, when, line.c_str()) < 0 ||
        std::fflush(logFile) != 0) {
        abandonLog(errno);
        return true;
    }
    logDescriptor = descriptor;
    return true;
}

void writeLog(const char* text) {
    if (!logFile) return;
    const long long ms = static_cast<long long>(platformNowMs() - logStart);
    char stamp[32];
    const std::string prefix(stamp, putStamp(stamp, ms));
    // Each line of the text gets its stamp; carriage returns only move a console's cursor and are left out.
    std::string lines;
    const char* start = text;
    while (true) {
        const char* end = std::strchr(start, '\n');
        std::string line(start, end ? static_cast<size_t>(end - start) : std::strlen(start));
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        lines += prefix + line + "\n";
        if (!end || end[1] == '\0') break;
        start = end + 1;
    }
    // Written and flushed as one piece, so that a run that is killed still leaves its log, in whole lines. A
    // full disk or a size limit ends the log, and standard error says so; the run goes on.
    errno = 0;
    if (std::fwrite(lines.data(), 1, lines.size(), logFile) != lines.size() || std::fflush(logFile) != 0)
        abandonLog(errno);
}

bool logIsOpen() {
    return logFile != nullptr;
}

void closeLog() {
    logDescriptor = -1;
    if (logFile) std::fclose(logFile);
    logFile = nullptr;
}

void endLog(int status) {
    if (!logFile) return;
    char text[32];
    std::snprintf(text, sizeof text, "Exit status %d.", status);
    writeLog(text);
    closeLog();
}

void endLogOnSignal(int status) {
    // Only system calls and plain arithmetic: the signal may have come in the middle of anything, a write of
    // the log among them, which leaves whole lines behind it.
    const int descriptor = logDescriptor.exchange(-1);
    if (descriptor < 0) return;
    char text[64];
    size_t n = putStamp(text, static_cast<long long>(platformNowMs() - logStart));
    const char* words = "Exit status ";
    while (*words)
        text[n++] = *words++;
    char digits[12];
    size_t count = 0;
    for (unsigned value = static_cast<unsigned>(status); count == 0 || value > 0; value /= 10)
        digits[count++] = static_cast<char>('0' + value % 10);
    while (count > 0)
        text[n++] = digits[--count];
    text[n++] = '.';
    text[n++] = '\n';
    writeOnSignal(descriptor, text, n);
}
