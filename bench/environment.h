// What the benchmarks run on: the machine they describe in their report, a scratch directory, programs on
// PATH.
#pragma once

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

/// A fresh directory under $TMPDIR (or /tmp), removed with its files at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    /// False when the directory could not be made.
    bool ok() const { return !dir.empty(); }
    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

/// The full path of an executable found on PATH, or an empty text.
std::string findOnPath(const std::string& name);

/// The last lines of a text file, for showing why a child failed.
std::string tailOfFile(const std::string& path, int lines);

} // namespace bench
