// vqsim: a simulated Velquin controller on a pseudo-terminal, for rehearsing downloads without a controller;
// with --count, several at once, as on a production fixture.
#include "arguments.h"
#include "control.h"
#include "simulator.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

using Controllers = std::vector<std::unique_ptr<vqsim::Simulator>>;

/// Serves the control FIFO (or sleeps without one) until a signal, or with --once until every line is idle.
void waitForEnd(const Controllers& sims, bool once, ControlFifo& control) {
    while (!interrupted) {
        bool allIdle = true;
        for (const auto& sim : sims)
            allIdle = allIdle && sim->idleAfterSession(ONCE_QUIET_MS);
        if (once && allIdle) return;
        control.serve(sims, 50);
    }
}

/// Writes the dump and the log of one controller; false (with messages) when one could not be written.
bool writeResults(const vqsim::Simulator& sim, const Settings& s, int index) {
    bool ok = true;
    std::string error;
    const std::string dump = indexedPath(s, s.dump, index), log = indexedPath(s, s.log, index);
    if (!dump.empty() && !sim.dump(dump, s.binaryDump, error)) {
        std::fprintf(stderr, "vqsim: %s\n", error.c_str());
        ok = false;
    }
    if (!log.empty() && !sim.writeLog(log, error)) {
        std::fprintf(stderr, "vqsim: %s\n", error.c_str());
        ok = false;
    }
    return ok;
}

/// Starts every controller, preloaded when asked; false with the reason of the first that did not start.
bool startAll(const Settings& settings, Controllers& sims, std::string& error) {
    for (const vqsim::Options& options : controllerOptions(settings)) {
        sims.push_back(std::make_unique<vqsim::Simulator>(options));
        vqsim::Simulator& sim = *sims.back();
        if (!settings.preload.empty() && !sim.preload(settings.preload, error)) return false;
        if (!sim.start(error)) {
            if (settings.count) error = "controller " + std::to_string(sims.size() - 1) + ": " + error;
            return false;
        }
    }
    return true;
}

/// Makes the links; on a fault removes those made and says why.
bool linkAll(const Settings& settings, const Controllers& sims, std::string& error) {
    if (settings.link.empty()) return true;
    for (size_t i = 0; i < sims.size(); ++i) {
        if (makeLink(indexedPath(settings, settings.link, static_cast<int>(i)), sims[i]->devicePath(), error))
            continue;
        for (size_t made = 0; made < i; ++made)
            removeLink(indexedPath(settings, settings.link, static_cast<int>(made)),
                       sims[made]->devicePath());
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    // A closed standard descriptor is opened on the null device first, so that no file or line opened later
    // takes its place; a write beyond the file size limit fails like one to a full disk.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened > 2) close(opened);
    }
    signal(SIGXFSZ, SIG_IGN);
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
    // The signals go to the main thread alone: the serving threads start with them blocked.
    sigset_t signals, previous;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, &previous);
    Controllers sims;
    bool started = startAll(settings, sims, error);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ControlFifo control;
    control.binaryDump = settings.binaryDump;
    if (!started || (!settings.control.empty() && !control.open(settings.control, error)) ||
        !linkAll(settings, sims, error)) {
        std::fprintf(stderr, "vqsim: %s\n", error.c_str());
        return 1;
    }
    for (const auto& sim : sims)
        std::printf("%s\n", sim->devicePath().c_str());
    std::fflush(stdout);
    waitForEnd(sims, settings.once, control);
    control.close();
    bool written = true;
    for (size_t i = 0; i < sims.size(); ++i) {
        const int index = static_cast<int>(i);
        sims[i]->stop();
        written = writeResults(*sims[i], settings, index) && written;
        if (!settings.link.empty())
            removeLink(indexedPath(settings, settings.link, index), sims[i]->devicePath());
        // One controller's summary as before; with --count each names its controller.
        if (settings.count)
            std::printf("%d: %s\n", index, sims[i]->summary().c_str());
        else
            std::printf("%s\n", sims[i]->summary().c_str());
    }
    return written ? 0 : 1;
}
