// The children of a production station on Linux: posix_spawn with a pipe, poll, waitpid; each child in a
// process group of its own and bound to end with the station through the parent-death signal.
#include "child.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

/// The variable that tells a child which process started it as a station's port.
constexpr char STATION_VARIABLE[] = "VQ2DL_STATION_PID";

/// The child's environment: this process's, with the station's process id.
std::vector<std::string> childEnvironment() {
    const std::string prefix = std::string(STATION_VARIABLE) + "=";
    std::vector<std::string> variables;
    for (char** variable = environ; variable && *variable; ++variable)
        if (std::strncmp(*variable, prefix.c_str(), prefix.size()) != 0) variables.push_back(*variable);
    variables.push_back(prefix + std::to_string(getpid()));
    return variables;
}

std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const std::string& text : texts)
        pointers.push_back(const_cast<char*>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

/// The spawn attributes: a process group of its own, SIGPIPE at its default (the station ignores it while
/// it stops), no signal blocked. 0, or the error of the call that failed.
int setAttributes(posix_spawnattr_t& attributes, bool ownGroup) {
    sigset_t none, pipe;
    sigemptyset(&none);
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    const short flags =
        (ownGroup ? POSIX_SPAWN_SETPGROUP : 0) | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
    int result = posix_spawnattr_setflags(&attributes, flags);
    if (result == 0 && ownGroup) result = posix_spawnattr_setpgroup(&attributes, 0);
    if (result == 0) result = posix_spawnattr_setsigdefault(&attributes, &pipe);
    if (result == 0) result = posix_spawnattr_setsigmask(&attributes, &none);
    return result;
}

/// Standard input from the null device, standard output and error on the pipe. 0, or the error.
int setFileActions(posix_spawn_file_actions_t& actions, int writeEnd) {
    int result = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (result == 0) result = posix_spawn_file_actions_adddup2(&actions, writeEnd, STDOUT_FILENO);
    if (result == 0) result = posix_spawn_file_actions_adddup2(&actions, writeEnd, STDERR_FILENO);
    return result;
}

/// Starts the child on the pipe's write end; 0 or the error of the call that failed.
int spawn(const std::vector<std::string>& args, int writeEnd, bool ownGroup, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    int result = posix_spawn_file_actions_init(&actions);
    if (result != 0) return result;
    posix_spawnattr_t attributes;
    result = posix_spawnattr_init(&attributes);
    if (result != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return result;
    }
    result = setFileActions(actions, writeEnd);
    if (result == 0) result = setAttributes(attributes, ownGroup);
    if (result == 0) {
        std::vector<char*> argv = pointersTo(args);
        const std::vector<std::string> variables = childEnvironment();
        std::vector<char*> envp = pointersTo(variables);
        result = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), envp.data());
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return result;
}

} // namespace

bool platformStartChild(const std::vector<std::string>& args, ChildProcess& child, std::string& error) {
    int pipeEnds[2];
    // Close-on-exec, so that no child holds another child's pipe open.
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    pid_t pid = -1;
    const int result = spawn(args, pipeEnds[1], child.ownGroup, pid);
    close(pipeEnds[1]);
    if (result != 0) {
        close(pipeEnds[0]);
        error = std::strerror(result);
        return false;
    }
    child.process = pid;
    child.output = pipeEnds[0];
    // Not blocking, should a read ever come without poll's word; poll alone is enough where this fails.
    const int flags = fcntl(pipeEnds[0], F_GETFL);
    if (flags >= 0) fcntl(pipeEnds[0], F_SETFL, flags | O_NONBLOCK);
    return true;
}

void platformReadChildren(const std::vector<ChildProcess*>& children, int timeoutMs) {
    std::vector<pollfd> fds;
    std::vector<ChildProcess*> open;
    for (ChildProcess* child : children)
        if (child->output >= 0) {
            fds.push_back({static_cast<int>(child->output), POLLIN, 0});
            open.push_back(child);
        }
    if (fds.empty()) {
        usleep(static_cast<useconds_t>(timeoutMs) * 1000);
        return;
    }
    // A signal ends the wait early (EINTR), which is what the station wants.
    if (poll(fds.data(), fds.size(), timeoutMs) <= 0) return;
    char buffer[4096];
    for (size_t i = 0; i < fds.size(); ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
            open[i]->received.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            close(fds[i].fd);
            open[i]->output = -1;
        }
    }
}

bool platformChildEnded(ChildProcess& child) {
    if (child.exited) return true;
    if (child.process < 0) return false;
    int wstatus = 0;
    pid_t pid = waitpid(static_cast<pid_t>(child.process), &wstatus, WNOHANG);
    if (pid == 0 || (pid < 0 && errno == EINTR)) return false;
    child.exited = true;
    if (pid < 0) {
        child.status = 5; // reaped elsewhere: nothing is known of how it ended
    } else if (WIFSIGNALED(wstatus)) {
        child.signalNumber = WTERMSIG(wstatus);
        child.status = 128 + child.signalNumber;
    } else {
        child.status = WEXITSTATUS(wstatus);
    }
    return true;
}

void platformStopChild(const ChildProcess& child, int signalNumber, bool force) {
    if (child.process > 0 && !child.exited)
        kill(static_cast<pid_t>(child.process), force ? SIGKILL : signalNumber > 0 ? signalNumber : SIGTERM);
}

void platformReleaseChild(ChildProcess& child) {
    if (child.output >= 0) close(static_cast<int>(child.output));
    child.output = -1;
}

std::string platformSelfPath(const char* argv0) {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return argv0;
    path[n] = '\0';
    return path;
}

void platformEndWithStation() {
    const char* text = std::getenv(STATION_VARIABLE);
    if (!text) return;
    const long station = std::strtol(text, nullptr, 10);
    unsetenv(STATION_VARIABLE);
    // SIGTERM, so that the run ends as on any stop: the port closed, the log ended.
    if (prctl(PR_SET_PDEATHSIG, SIGTERM) != 0) return;
    // The station may have ended before the signal was asked for: then it never comes.
    if (getppid() != static_cast<pid_t>(station)) raise(SIGTERM);
}

std::string platformSignalName(int signalNumber) {
    const char* name = sigabbrev_np(signalNumber);
    return name ? std::string("SIG") + name : "signal " + std::to_string(signalNumber);
}
