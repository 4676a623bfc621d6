// The support log of --log. One log per process, as there is one console: the image's messages reach it
// through the console's route.
#include "console/log.h"

#include "image/output_file.h"
#include "platform/shell.h"
#include "platform/system.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

/// The system's text for an error number, beginning in lower case.
std::string reasonText(int error) {
    std::string reason = std::strerror(error ? error : EIO);
    if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    return reason;
}

/// The stamp of a line: the milliseconds since the log opened, right-aligned in six places, and two blanks.
std::string stamp(long long ms) {
    char text[40];
    std::snprintf(text, sizeof text, "%6lld ms  ", ms);
    return text;
}

} // namespace

void SupportLog::abandon(int error) {
    std::fclose(file);
    file = nullptr;
    const std::string text = "WARNING: The log file " + name + " is incomplete: " + reasonText(error) + ".";
    if (onAbandon) onAbandon(text);
}

bool SupportLog::open(const std::string& path, const std::vector<std::string>& commandLine,
                      std::string& reason) {
    close();
    if (const char* kind = specialFileKind(path)) {
        reason = std::string(kind) + ", not a regular file";
        return false;
    }
    errno = 0;
    int descriptor = -1;
    std::FILE* opened = openForAppend(path, descriptor);
    if (!opened) {
        reason = errno == EPERM ? "not a regular file" : reasonText(errno);
        return false;
    }
    file = opened;
    name = path;
    startMs = platformNowMs();
    std::time_t now = std::time(nullptr);
    char when[64] = "";
    if (const std::tm* local = std::localtime(&now))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S %z", local);
    std::string line = "Command line:";
    for (const std::string& arg : commandLine)
        line += " " + posixShellQuoted(arg);
    errno = 0;
    if (std::fprintf(file, "==== vq2dl %s, %s\n%s\n", VQ2DL_VERSION, when, line.c_str()) < 0 ||
        std::fflush(file) != 0)
        abandon(errno);
    return true;
}

void SupportLog::write(const char* text) {
    if (!file) return;
    const long long ms = static_cast<long long>(platformNowMs() - startMs);
    const std::string prefix = stamp(ms);
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
    if (std::fwrite(lines.data(), 1, lines.size(), file) != lines.size() || std::fflush(file) != 0)
        abandon(errno);
}

void SupportLog::close() {
    if (file) std::fclose(file);
    file = nullptr;
}

void SupportLog::end(int status) {
    if (!file) return;
    char text[32];
    std::snprintf(text, sizeof text, "Exit status %d.", status);
    write(text);
    close();
}
