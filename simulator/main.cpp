// vqsim: a simulated Velquin controller on a pseudo-terminal, for rehearsing downloads without a controller.
#include "arguments.h"
#include "simulator.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// The quiet time after the last session that ends a run with --once.
constexpr int ONCE_QUIET_MS = 1500;

volatile std::sig_atomic_t interrupted = 0;

void onSignal(int) {
    interrupted = 1;
}

/// Points the link at the device, replacing an old link but never a file or a directory.
bool makeLink(const std::string& link, const std::string& device, std::string& error) {
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        error = "cannot make the link " + link + ": it exists and is not a symbolic link";
        return false;
    }
    // Made beside it under a name of this process and renamed over it, so the link never goes missing.
    std::string temporary = link + ".vqsim-" + std::to_string(getpid());
    if (symlink(device.c_str(), temporary.c_str()) != 0) {
        error = "cannot make the link " + link + ": " + std::strerror(errno);
        return false;
    }
    if (rename(temporary.c_str(), link.c_str()) != 0) {
        error = "cannot make the link " + link + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

/// Removes the link if it still points at the device.
void removeLink(const std::string& link, const std::string& device) {
    char target[4096];
    ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0) return;
    target[n] = '\0';
    if (device == target) unlink(link.c_str());
}

void waitForEnd(const vqsim::Simulator& sim, bool once) {
    while (!interrupted) {
        if (once && sim.idleAfterSession(ONCE_QUIET_MS)) return;
        usleep(50000);
    }
}

/// Writes the dump and the log; false (with messages) when one could not be written.
bool writeResults(const vqsim::Simulator& sim, const Settings& s) {
    bool ok = true;
    std::string error;
    if (!s.dump.empty() && !sim.dump(s.dump, s.binaryDump, error)) {
        std::fprintf(stderr, "vqsim: %s\n", error.c_str());
        ok = false;
    }
    if (!s.log.empty() && !sim.writeLog(s.log, error)) {
        std::fprintf(stderr, "vqsim: %s\n", error.c_str());
        ok = false;
    }
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    Settings settings;
    std::string error;
    if (!parseArguments(argc, argv, settings, error)) {
        std::fprintf(stderr, "vqsim: %s\nTry \"vqsim --help\".\n", error.c_str());
        return 1;
    }
    if (settings.help) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (settings.version) {
        std::puts("vqsim " VQSIM_VERSION);
        return 0;
    }
    // The signals go to the main thread alone: the serving thread starts with them blocked.
    sigset_t signals, previous;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, &previous);
    vqsim::Simulator sim(settings.options);
    bool started = settings.preload.empty() || sim.preload(settings.preload, error);
    started = started && sim.start(error);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!started) {
        std::fprintf(stderr, "vqsim: %s\n", error.c_str());
        return 1;
    }
    if (!settings.link.empty() && !makeLink(settings.link, sim.devicePath(), error)) {
        std::fprintf(stderr, "vqsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", sim.devicePath().c_str());
    std::fflush(stdout);
    waitForEnd(sim, settings.once);
    sim.stop();
    bool written = writeResults(sim, settings);
    if (!settings.link.empty()) removeLink(settings.link, sim.devicePath());
    std::printf("%s\n", sim.summary().c_str());
    return written ? 0 : 1;
}
