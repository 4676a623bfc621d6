// The open --results file, owned: closed when its owner goes, however the run ended.
#pragma once

#include <cstdint>
#include <string>

/// Opens the results file for appending, creating it; false with the system's reason otherwise.
bool platformOpenResults(const std::string& path, intptr_t& handle, std::string& reason);
/// Appends one whole line with one write (under a lock on Windows), so lines of several processes never mix.
bool platformAppendResult(intptr_t handle, const std::string& line);
void platformCloseResults(intptr_t handle);

/// The --results file while it is open.
class ResultsFile {
public:
    ResultsFile() = default;
    ~ResultsFile() { close(); }
    ResultsFile(const ResultsFile&) = delete;
    ResultsFile& operator=(const ResultsFile&) = delete;

    /// Opens the file for appending; false with the system's reason otherwise.
    bool open(const std::string& path, std::string& reason) {
        close();
        return platformOpenResults(path, handle, reason);
    }
    bool isOpen() const { return handle >= 0; }
    /// Appends one whole line; false when the system did not take all of it.
    bool append(const std::string& line) { return isOpen() && platformAppendResult(handle, line); }
    void close() {
        if (handle >= 0) platformCloseResults(handle);
        handle = -1;
    }

private:
    intptr_t handle = -1;
};
