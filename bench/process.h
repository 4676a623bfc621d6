// Child processes for the benchmarks: started with their output in a file, reaped with their own resource
// use.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

/// What one child process cost, as the kernel counted it.
struct ChildResult {
    int status = -1;        ///< exit status, or -1 when it did not exit by itself (signal, time limit)
    bool timedOut = false;  ///< killed because it ran past its time limit
    double wallSeconds = 0; ///< from just before the start to the moment it was reaped
    double cpuSeconds = 0;  ///< user plus system time of the child alone
    long maxRssKiB = 0;     ///< its peak resident set
};

/// One child process. Its standard output and error go to a file (or /dev/null), its input comes from
/// /dev/null.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    /// Starts argv[0] with the arguments; false with the reason when it could not be started.
    bool start(const std::vector<std::string>& argv, const std::string& outputPath, std::string& error);
    /// Reaps the child if it has ended; true once it has (result then holds its figures).
    bool poll();
    /// Like poll, but kills and reaps a child that has run limitSeconds from its start.
    bool pollWithin(double limitSeconds);
    /// Waits for the child, killing it after limitSeconds from its start; returns its figures.
    const ChildResult& wait(double limitSeconds);
    bool running() const { return pid > 0; }
    /// The process id while it runs.
    pid_t id() const { return pid; }
    const ChildResult& result() const { return figures; }

private:
    pid_t pid = -1;
    double startedAt = 0;
    ChildResult figures;
};

/// Waits for all the children, reaping each as soon as it ends so that each wall time is its own.
void waitAll(const std::vector<Child*>& children, double limitSeconds);

/// Runs one child to its end (see Child::wait).
ChildResult runChild(const std::vector<std::string>& argv, const std::string& outputPath, double limitSeconds,
                     std::string& error);

/// From now on SIGINT, SIGTERM and SIGHUP end every wait for a child at once (the child is killed), so that
/// the caller can clean up; SIGPIPE is ignored.
void stopOnSignals();
/// True once one of those signals came.
bool interrupted();

/// Seconds from a steady clock.
double monotonicSeconds();

} // namespace bench
