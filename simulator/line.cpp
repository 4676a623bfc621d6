// The line: the master side of a pseudo-terminal, served on one thread. The downloader may close and reopen
// the slave side at any time; while no one holds it, the master reports a hang-up and the thread waits in
// short sleeps until the slave is opened again. With a baud rate both directions are paced at ten bit times
// per byte. Answer bytes reach the host as the chosen delivery says (delivery.cpp).
#include "delivery.h"
#include "engine.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

namespace vqsim {

namespace {

/// How long the thread sleeps between looks at a line that no one holds.
constexpr int CLOSED_POLL_MS = 20;
/// How long the thread waits for events at most, so that it notices a line opened again.
constexpr int IDLE_POLL_MS = 100;
/// The chatter of the stream fault: what a controller running its own program might print.
constexpr uint8_t STREAM_BYTE = '.';

/// Notes that the downloader opened or closed the slave side.
void setLineOpen(Engine& e, bool open) {
    std::lock_guard<std::mutex> lock(e.mutex);
    if (open == e.lineOpen) return;
    e.lineOpen = open;
    if (open) {
        ++e.sessions;
        e.note("line opened");
        e.nextStream = Clock::now() + std::chrono::milliseconds(e.faults.streamMs);
    } else {
        e.closedAt = Clock::now();
        e.note("line closed");
    }
}

/// Sends one answer byte by byte, as slowly as the faults and the baud rate say.
void send(Engine& e, const Answer& answer, Clock::time_point ready) {
    // The downloader waits its after-erase delay before it reads these answers: no turnaround of its own.
    e.timedAnswer = answer.command != "erasepage" && answer.command != "erasemain";
    for (uint8_t byte : answer.bytes) {
        if (answer.slowMs > 0) {
            if (waitUntil(e, Clock::now() + std::chrono::milliseconds(answer.slowMs))) return;
            ready = Clock::now();
        }
        const Clock::time_point crossed = pace(e, e.outFreeAt, ready);
        if (e.stopping || e.detached) return;
        if (!deliver(e, byte, crossed, true)) return;
    }
}

/// Takes what the downloader sent, each byte at the line's pace, and answers every command they finish.
void receive(Engine& e, const uint8_t* data, size_t n) {
    const Clock::time_point arrived = Clock::now();
    {
        std::lock_guard<std::mutex> lock(e.mutex);
        if (e.deliveredSinceInput && e.held.empty() && e.timedAnswer) {
            e.turnarounds.push_back(
                std::chrono::duration<double, std::micro>(arrived - e.deliveredAt).count());
            e.counters.heldMicros += static_cast<uint64_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(e.lastHold).count());
        }
        e.deliveredSinceInput = false;
    }
    for (size_t i = 0; i < n && !e.stopping; ++i) {
        pace(e, e.inFreeAt, arrived);
        std::vector<Answer> answers;
        bool hangup = false;
        {
            std::lock_guard<std::mutex> lock(e.mutex);
            // Without a unit on the line the bytes reach no one.
            if (e.detached) continue;
            e.logByte(LogKind::In, data[i]);
            if (e.faults.hangupAfter != 0 && e.counters.bytesIn >= e.faults.hangupAfter) {
                hangup = true;
            } else {
                std::vector<Reply> replies;
                e.feed(data[i], replies);
                for (const Reply& reply : replies) {
                    answers.push_back(
                        applyFaults(e.faults, reply, ++e.occurrences[reply.command], ++e.answers));
                    e.counters.answers = e.answers;
                }
            }
        }
        if (hangup) return e.hangUp("hangup-after");
        for (const Answer& answer : answers) {
            if (answer.hangup) return e.hangUp("hangup instead of an answer");
            send(e, answer, e.inFreeAt);
        }
    }
}

/// The stream fault: one byte of chatter whenever it is due, while the line is held.
void streamTick(Engine& e) {
    if (e.faults.streamMs <= 0 || e.detached || Clock::now() < e.nextStream) return;
    e.nextStream += std::chrono::milliseconds(e.faults.streamMs);
    if (e.nextStream < Clock::now())
        e.nextStream = Clock::now() + std::chrono::milliseconds(e.faults.streamMs);
    deliver(e, STREAM_BYTE, pace(e, e.outFreeAt, Clock::now()), false); // a full line drops the chatter
}

/// How long to wait for the next event on the line: a held answer, the stream's next byte, or a look at a
/// line opened again.
timespec pollTime(const Engine& e) {
    Clock::time_point until = Clock::now() + std::chrono::milliseconds(IDLE_POLL_MS);
    if (e.lineOpen && e.faults.streamMs > 0) until = std::min(until, e.nextStream);
    if (!e.held.empty()) until = std::min(until, e.heldUntil);
    auto left = std::max<Clock::duration>(Clock::duration::zero(), until - Clock::now());
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

} // namespace

bool Engine::openLine(std::string& error) {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    // The master must not leak into programs that the tests or scripts start, or a hang-up would not reach
    // them.
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    char name[128];
    termios settings;
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0 ||
        tcgetattr(master, &settings) != 0) {
        error = std::string("cannot set up the pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    // Raw from the start, so that nothing is echoed before the downloader sets the line up itself.
    cfmakeraw(&settings);
    tcsetattr(master, TCSANOW, &settings);
    devicePath = name;
    // Opening and closing the slave once puts the master in the hung-up state, which then tells reliably
    // whether the downloader holds the line (before the first open, the master would report nothing).
    int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0) close(slave);
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void Engine::serve() {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    std::vector<uint8_t> buffer(4096);
    while (!stopping && !hungUp) {
        pollfd fds[2] = {{master, POLLIN, 0}, {wake[0], POLLIN, 0}};
        timespec wait = pollTime(*this);
        int ready = ppoll(fds, 2, &wait, nullptr);
        if (ready < 0 && errno != EINTR) break;
        releaseIfDue(*this);
        if (stopping || ready < 0) continue;
        short revents = fds[0].revents;
        if (revents & POLLIN) {
            ssize_t n = read(master, buffer.data(), buffer.size());
            if (n > 0) {
                setLineOpen(*this, true);
                receive(*this, buffer.data(), static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        }
        if (revents & (POLLIN | POLLHUP | POLLERR)) {
            // No one holds the slave side (a read gave nothing, or the master reports the hang-up).
            setLineOpen(*this, false);
            waitForStop(*this, CLOSED_POLL_MS);
            continue;
        }
        setLineOpen(*this, true);
        streamTick(*this);
    }
}

void Engine::hangUp(const char* why) {
    {
        std::lock_guard<std::mutex> lock(mutex);
        note(std::string("hung up: ") + why);
        lineOpen = false;
        closedAt = Clock::now();
    }
    hungUp = true;
    close(master);
    master = -1;
}

} // namespace vqsim
