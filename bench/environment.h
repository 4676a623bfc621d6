// What the benchmarks run on: the machine they describe in their report, a scratch directory, programs on
// PATH.
#pragma once

#include "temp_dir.h"

#include <string>

namespace bench {

/// The machine as RESULTS.md records it: cores, architecture, CPU model and the date.
struct Machine {
    int cores = 0;
    std::string architecture;
    std::string cpuModel;
    std::string date;        ///< local time, "YYYY-MM-DD HH:MM"
    std::string loadAverage; ///< over the last minute, as /proc/loadavg has it; other work skews the figures
};

Machine describeMachine();
/// One line: "2 cores, x86_64, <model>, <date>, load average <n>".
std::string machineLine(const Machine& machine);

/// The benchmarks' scratch directory: a temporary directory of the tests' kind, named vqbench-XXXXXX. The
/// constructor throws std::runtime_error when no directory can be made.
class ScratchDir : public fx::TempDir {
public:
    ScratchDir() : fx::TempDir("vqbench") {}
};

/// The full path of an executable found on PATH, or an empty text.
std::string findOnPath(const std::string& name);

/// The last lines of a text file, for showing why a child failed.
std::string tailOfFile(const std::string& path, int lines);

} // namespace bench
