// The three benchmarks of vqbench and what they share.
#pragma once

#include "environment.h"

#include <string>

namespace bench {

/// Where the programs under test are, and how often the short measurements are repeated.
struct Settings {
    std::string self;         ///< this program, started again as the loading child
    std::string vq2dl;        ///< the downloader under test
    std::string srecInfo;     ///< Debian's srec_info, or empty when it is not installed
    int runs = 3;             ///< repeats of each file load; the fastest counts
    int baud = 115200;        ///< line rate of the download benchmarks
    int parallel = 8;         ///< downloads at once in the parallel benchmark
    bool full = false;        ///< also the line benchmark's longest runs (256 KiB through USB without -b)
    bool paddingOnly = false; ///< the line benchmark's rows of the padded image and their reference alone
};

/// The loading child: loads one file into a FirmwareImage and prints what it holds; 0 when it loaded.
int loadChildMain(const std::string& path);

/// Benchmark 3: S-record file loading against srec_info. False when a load failed.
bool benchmarkLoading(const Settings& settings, const ScratchDir& scratch);
/// Benchmark 1: wall time of whole downloads against the time the line and the protocols demand.
bool benchmarkLine(const Settings& settings, const ScratchDir& scratch);
/// Benchmark 2: parallel downloads and the CPU time each one takes.
bool benchmarkParallel(const Settings& settings, const ScratchDir& scratch);
/// Benchmark 6: a station of 16 ports against one port alone.
bool benchmarkStation(const Settings& settings, const ScratchDir& scratch);
/// Benchmark 7: one download without and with --keep of 256 bytes, against the line time of reading them
/// twice.
bool benchmarkKeep(const Settings& settings, const ScratchDir& scratch);
/// Benchmark 5: one download without and with --json, and what the events cost.
bool benchmarkEvents(const Settings& settings, const ScratchDir& scratch);

} // namespace bench
