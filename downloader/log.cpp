// The support log of --log: a header that says when, which version and what command line, then every message
// of the run up to the byte traces, each line stamped with the milliseconds since the log was opened. One log
// per process, as there is one console: the image's messages reach it through the same function.
#include "downloader.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

std::FILE* logFile = nullptr;
int64_t logStart = 0;

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
    errno = 0;
    std::FILE* file = std::fopen(path, "a");
    if (!file) {
        reason = std::strerror(errno ? errno : EIO);
        if (!reason.empty())
            reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
        return false;
    }
    logFile = file;
    logStart = platformNowMs();
    std::time_t now = std::time(nullptr);
    char when[64] = "";
    if (const std::tm* local = std::localtime(&now))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S %z", local);
    std::string line = "Command line:";
    for (const std::string& arg : commandLine)
        line += " " + quoted(arg);
    std::fprintf(logFile, "==== vq2dl %s, %s\n%s\n", VQ2DL_VERSION, when, line.c_str());
    std::fflush(logFile);
    return true;
}

void writeLog(const char* text) {
    if (!logFile) return;
    const long long ms = static_cast<long long>(platformNowMs() - logStart);
    // Each line of the text gets its stamp; carriage returns only move a console's cursor and are left out.
    const char* start = text;
    while (true) {
        const char* end = std::strchr(start, '\n');
        std::string line(start, end ? static_cast<size_t>(end - start) : std::strlen(start));
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        std::fprintf(logFile, "%6lld ms  %s\n", ms, line.c_str());
        if (!end || end[1] == '\0') break;
        start = end + 1;
    }
    // Flushed line by line, so that a run that is killed still leaves its log.
    std::fflush(logFile);
}

bool logIsOpen() {
    return logFile != nullptr;
}

void closeLog() {
    if (logFile) std::fclose(logFile);
    logFile = nullptr;
}
