// The --results file on POSIX systems: O_APPEND and one write(2) per line.
#include "results.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
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

bool platformAppendResult(intptr_t handle, const std::string& line) {
    // One write of the whole line: with O_APPEND no other process's line can come between its bytes.
    ssize_t n;
    do {
        n = write(static_cast<int>(handle), line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(line.size());
}

void platformCloseResults(intptr_t handle) {
    if (handle >= 0) close(static_cast<int>(handle));
}

std::string platformHostName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}
