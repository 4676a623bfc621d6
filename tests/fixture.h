// Shared test helpers: temporary directories, files, S-record lines, running the programs, captured messages.
#pragma once

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fx {

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
/// Names in a directory, sorted, without "." and "..".
std::vector<std::string> listDir(const std::string& path);

/// One S-record line without line end: type 0-3 or 7-9, the address and the data, with a correct checksum.
std::string srec(int type, uint32_t address, const std::vector<uint8_t>& data = {});
/// n bytes counting up from first.
std::vector<uint8_t> bytes(size_t n, uint8_t first = 0);

struct RunResult {
    int status = -1;    ///< exit status, or -1 when killed by a signal or the time limit
    std::string out;    ///< standard output
    std::string err;    ///< standard error
    double seconds = 0; ///< wall time
    long maxRssKb = 0;  ///< the program's peak resident memory
};
/// Runs a program with arguments (argv[0] is program) in cwd (empty: the current one), with no standard
/// input, killing it after timeoutMs.
RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = "",
              int timeoutMs = 60000);

/// Runs a program as run() does, but with standard output and error on a raw pseudo-terminal, the way a
/// person watching sees it; out holds what the terminal received.
RunResult runOnTerminal(const std::string& program, const std::vector<std::string>& args,
                        const std::string& cwd = "", int timeoutMs = 60000);

/// Messages of an in-process Downloader, laid out as the console would show them.
extern std::string captured;
void captureSink(const char* text);

} // namespace fx
