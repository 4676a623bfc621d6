// The --results file on POSIX systems: O_APPEND and one write(2) per line, under a lock, then fsync.
#include "results.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

bool platformOpenResults(const std::string& path, intptr_t& handle, std::string& reason) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    handle = fd;
    return true;
}

bool platformAppendResult(intptr_t handle, const std::string& line, const std::string& header) {
    const int fd = static_cast<int>(handle);
    // The lock keeps a second process from finding the file empty too and writing the header twice. Other
    // runs hold it for one write; one held longer (another program's) is given up after a while, and the
    // line goes without it, whole all the same: O_APPEND keeps lines apart, as on a file system without
    // locks.
    int locked = -1;
    for (int waited = 0; waited < RESULTS_LOCK_WAIT_MS; waited += 10) {
        locked = flock(fd, LOCK_EX | LOCK_NB);
        if (locked == 0 || (errno != EWOULDBLOCK && errno != EINTR)) break;
        usleep(10 * 1000);
    }
    struct stat info = {};
    const std::string text =
        !header.empty() && fstat(fd, &info) == 0 && info.st_size == 0 ? header + line : line;
    ssize_t n;
    do {
        n = write(fd, text.data(), text.size());
    } while (n < 0 && errno == EINTR);
    // On the disk before the next unit begins: a station PC that loses its power keeps every finished unit.
    const bool synced = fsync(fd) == 0 || errno == EINVAL;
    if (locked == 0) flock(fd, LOCK_UN);
    return n == static_cast<ssize_t>(text.size()) && synced;
}

void platformCloseResults(intptr_t handle) {
    if (handle >= 0) close(static_cast<int>(handle));
}

std::string platformHostName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}
