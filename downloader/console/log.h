// The support log of --log: a header that says when, which version and what command line, then every message
// of the run up to the byte traces, each line stamped with the milliseconds since the log was opened, and
// last the exit status.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

class SupportLog {
public:
    SupportLog() = default;
    ~SupportLog() { close(); }
    SupportLog(const SupportLog&) = delete;
    SupportLog& operator=(const SupportLog&) = delete;

    /// Opens the log for appending and writes its header; false with the system's reason otherwise.
    bool open(const std::string& path, const std::vector<std::string>& commandLine, std::string& reason);
    /// Appends a text, each of its lines stamped; a write that fails ends the log (onAbandon says so).
    void write(const char* text);
    /// True while the log is open.
    bool isOpen() const { return file != nullptr; }
    /// Closes the log.
    void close();
    /// Ends the log with the line "Exit status N." and closes it; nothing when no log is open.
    void end(int status);
    /// Told the warning when a write failed and the log was closed.
    std::function<void(const std::string&)> onAbandon;

private:
    void abandon(int error);
    std::FILE* file = nullptr;
    std::string name;
    int64_t startMs = 0;
};
