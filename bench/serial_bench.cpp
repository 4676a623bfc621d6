// Benchmark 7: what taking a serial number costs: the journal's lock, its flushed line, the counter's durable
// replace and the folder's flush, one process alone and four at once on one counter.
#include "bench.h"

#include "serials/serials.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int TAKES = 200;
constexpr int PROCESSES = 4;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

/// Takes n numbers; the milliseconds of each, or none when a take failed.
std::vector<double> takeMany(const std::string& counter, int n) {
    serials::JournalEntry who;
    who.host = "bench";
    who.port = "P";
    who.run = "bench";
    std::vector<double> times;
    for (int i = 0; i < n; ++i) {
        uint64_t number = 0;
        serials::Failure failure;
        const Clock::time_point start = Clock::now();
        if (!serials::takeNumber(counter, who, UINT64_MAX, number, failure)) {
            std::printf("  taking failed: %s\n", failure.text.c_str());
            return {};
        }
        times.push_back(msSince(start));
    }
    return times;
}

double percentile(std::vector<double> times, double p) {
    std::sort(times.begin(), times.end());
    return times[std::min(times.size() - 1, static_cast<size_t>(p * static_cast<double>(times.size())))];
}

} // namespace

bool benchmarkSerials(const Settings&, const ScratchDir& scratch) {
    std::printf(
        "Benchmark 7: taking a serial number (lock, journal line flushed, counter replaced and flushed, "
        "folder flushed), in %s\n",
        scratch.path().c_str());
    const std::string counter = scratch.file("serials");
    std::ofstream(counter) << "next=1000000\n";
    const std::vector<double> alone = takeMany(counter, TAKES);
    if (alone.empty()) return false;
    std::printf("  one process, %d numbers: median %.2f ms, 95th percentile %.2f ms, slowest %.2f ms\n",
                TAKES, percentile(alone, 0.5), percentile(alone, 0.95), percentile(alone, 1.0));

    // Four processes at once: what the lock makes each wait.
    const Clock::time_point start = Clock::now();
    std::vector<pid_t> children;
    for (int p = 0; p < PROCESSES; ++p) {
        const pid_t child = fork();
        if (child == 0) _exit(takeMany(counter, TAKES / PROCESSES).empty() ? 1 : 0);
        if (child > 0) children.push_back(child);
    }
    bool ok = children.size() == PROCESSES;
    for (pid_t child : children) {
        int status = -1;
        ok = waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
    }
    const double wall = msSince(start);
    std::printf("  %d processes at once, %d numbers each: %.1f ms in all, %.2f ms a number\n", PROCESSES,
                TAKES / PROCESSES, wall, wall / TAKES);
    std::ifstream in(serials::journalPath(counter), std::ios::ate | std::ios::binary);
    std::printf("  journal after %d numbers: %lld bytes\n\n", 2 * TAKES, static_cast<long long>(in.tellg()));
    return ok;
}

} // namespace bench
