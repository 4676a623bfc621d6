// Starting and reaping the benchmark's child processes. The kernel counts the spawning process's own peak
// into a child's peak at its exec, so a parent that measures peaks must stay small until it has done so.
#include "process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char** environ;

namespace bench {

namespace {

/// How often a waiting parent looks at its children: short against any figure it measures.
constexpr long POLL_INTERVAL_NS = 1000000;

volatile std::sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

double seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

void pause() {
    timespec wait = {0, POLL_INTERVAL_NS};
    nanosleep(&wait, nullptr);
}

} // namespace

void stopOnSignals() {
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signal, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool interrupted() {
    return stopRequested != 0;
}

double monotonicSeconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

Child::~Child() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

bool Child::start(const std::vector<std::string>& argv, const std::string& outputPath, std::string& error) {
    if (pid > 0 || argv.empty()) {
        error = argv.empty() ? "no program to start" : "the child is still running";
        return false;
    }
    const char* output = outputPath.empty() ? "/dev/null" : outputPath.c_str();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);

    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    figures = ChildResult();
    startedAt = monotonicSeconds();
    int failure = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) {
        pid = -1;
        error = "cannot start " + argv[0] + ": " + std::strerror(failure);
        return false;
    }
    return true;
}

bool Child::poll() {
    if (pid <= 0) return true;
    int status = 0;
    rusage usage;
    pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == 0 || (done < 0 && errno == EINTR)) return false;
    figures.wallSeconds = monotonicSeconds() - startedAt;
    pid = -1;
    if (done < 0) return true; // not our child any more: nothing to report
    figures.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    figures.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    figures.maxRssKiB = usage.ru_maxrss;
    return true;
}

bool Child::pollWithin(double limitSeconds) {
    if (poll()) return true;
    if (monotonicSeconds() - startedAt <= limitSeconds && !interrupted()) return false;
    kill(pid, SIGKILL);
    while (!poll())
        pause();
    figures.status = -1;
    figures.timedOut = true;
    return true;
}

const ChildResult& Child::wait(double limitSeconds) {
    while (!pollWithin(limitSeconds))
        pause();
    return figures;
}

void waitAll(const std::vector<Child*>& children, double limitSeconds) {
    for (;;) {
        bool waiting = false;
        for (Child* child : children)
            waiting = !child->pollWithin(limitSeconds) || waiting;
        if (!waiting) return;
        pause();
    }
}

ChildResult runChild(const std::vector<std::string>& argv, const std::string& outputPath, double limitSeconds,
                     std::string& error) {
    Child child;
    if (!child.start(argv, outputPath, error)) return ChildResult();
    return child.wait(limitSeconds);
}

} // namespace bench
