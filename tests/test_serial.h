// What the serial link tests share: a pseudo-terminal whose master side the test holds while it plays the
// controller, and a Downloader opened on its slave side.
#pragma once

#include "fixture.h"

#include "program.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace serial_test {

/// A pseudo-terminal: the Downloader opens the slave, the test reads and writes the master.
class Pty {
public:
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pty");
        slave = ptsname(master);
    }
    ~Pty() { hangUp(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            ASSERT_GT(n, 0) << std::strerror(errno);
            done += static_cast<size_t>(n);
        }
    }
    /// What arrives within timeoutMs, up to n bytes.
    std::string receive(size_t n, int timeoutMs = 1000) {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd pfd = {master, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[4096];
            ssize_t r = read(master, buffer, std::min(sizeof buffer, n - got.size()));
            if (r <= 0) break;
            got.append(buffer, static_cast<size_t>(r));
        }
        return got;
    }
    /// True when the slave has written something the master has not read yet.
    bool pending() const {
        pollfd pfd = {master, POLLIN, 0};
        return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN);
    }
    termios settings() const {
        termios t{};
        EXPECT_EQ(tcgetattr(master, &t), 0) << std::strerror(errno);
        return t;
    }
    void hangUp() {
        if (master >= 0) close(master);
        master = -1;
    }

    int master = -1;
    std::string slave;
};

using fx::Clock, fx::msSince;

inline void attach(Downloader& d, int verbosity = 1) {
    fx::captured.clear();
    d.console.sink = fx::captureSink;
    d.console.verbosity = verbosity;
}

/// Opens the Downloader on the pty's slave.
inline void openOn(Downloader& d, const Pty& pty, int baudRate = 115200) {
    d.options.portPath = pty.slave;
    d.options.baudRate = baudRate;
    ASSERT_TRUE(d.openPort()) << pty.slave << ": " << d.portError;
}

} // namespace serial_test
