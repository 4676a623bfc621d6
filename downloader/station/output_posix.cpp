// The station's own standard output on POSIX systems: poll for room, then one write of what fits.
#include "output.h"
#include "platform/shell.h"
#include "station.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>
#include <unistd.h>

long platformWriteSome(const char* data, size_t size, int timeoutMs) {
    pollfd console = {STDOUT_FILENO, POLLOUT, 0};
    const int ready = poll(&console, 1, timeoutMs);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    if (ready == 0) return 0;
    if (console.revents & POLLNVAL) return -1;
    // A pipe whose reader is gone shows as an error: the write then raises SIGPIPE, which stops the station
    // as it ends a single run (or, where SIGPIPE is ignored, fails with EPIPE and the output is dropped).
    // A pipe with room takes PIPE_BUF bytes at least without blocking; more might block.
    const ssize_t n = write(STDOUT_FILENO, data, std::min<size_t>(size, PIPE_BUF));
    if (n < 0) return errno == EINTR || errno == EAGAIN ? 0 : -1;
    return static_cast<long>(n);
}

bool platformConsoleTakesEscapes() {
    return true; // every terminal here does
}

namespace station {

std::string shellQuoted(const std::string& arg) {
    return platformShellQuoted(arg);
}

} // namespace station
