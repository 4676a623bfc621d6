// The clock, the sleeps and the terminal test on POSIX systems.
#include "platform/shell.h"
#include "platform/system.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

void platformSleepMs(int milliseconds) {
    if (milliseconds <= 0) {
        sched_yield();
        return;
    }
    timespec wait = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {}
}

void platformSleepUs(int64_t microseconds) {
    if (microseconds <= 0) return;
    timespec wait = {static_cast<time_t>(microseconds / 1000000),
                     static_cast<long>(microseconds % 1000000) * 1000};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {}
}

int64_t platformNowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool platformOutputIsTerminal() {
    return isatty(STDOUT_FILENO) == 1;
}

int platformTerminalColumns() {
    winsize size = {};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

void platformPrepareProcess() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is taken: this one, the ones below being open already.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened > 2) close(opened);
    }
    signal(SIGXFSZ, SIG_IGN);
}

std::string platformShellQuoted(const std::string& arg) {
    return posixShellQuoted(arg);
}
