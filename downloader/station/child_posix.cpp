// The children of a production station on POSIX systems: posix_spawn with a pipe, poll, waitpid.
#include "child.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

bool platformStartChild(const std::vector<std::string>& args, ChildProcess& child, std::string& error) {
    int pipeEnds[2];
    // Close-on-exec, so that no child holds another child's pipe open.
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (child.ownGroup) {
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    pid_t pid = -1;
    int result = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (result != 0) {
        close(pipeEnds[0]);
        error = std::strerror(result);
        return false;
    }
    fcntl(pipeEnds[0], F_SETFL, fcntl(pipeEnds[0], F_GETFL) | O_NONBLOCK);
    child.process = pid;
    child.output = pipeEnds[0];
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

void platformStopChild(const ChildProcess& child, bool force) {
    if (child.process > 0 && !child.exited)
        kill(static_cast<pid_t>(child.process), force ? SIGKILL : SIGTERM);
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
