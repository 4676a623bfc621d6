// The delivery model: answer bytes that have crossed the line reach the host as the chosen delivery says, one
// by one, in a UART FIFO's chunks or in a USB adapter's packets; and the waits of the serving thread, which
// release held bytes on time and end when the simulator stops.
#include "delivery.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

namespace vqsim {

namespace {

/// A 16550 UART raises its receive interrupt at 14 bytes; a USB adapter sends 62 data bytes a packet.
constexpr size_t FIFO_TRIGGER = 14;
constexpr int FIFO_IDLE_CHARACTERS = 4;
constexpr size_t USB_PACKET = 62;

/// Ten bit times at the line's rate (at 115200 bit/s when answers are not paced).
Clock::duration characterTime(const Engine& e) {
    return std::chrono::nanoseconds(10000000000LL / (e.options.baud > 0 ? e.options.baud : 115200));
}

/// Writes what the delivery model held back to the host in one go; false when no one holds the line (the
/// bytes are lost, as on a real line) or the simulator stops while the line is full.
bool release(Engine& e, bool waitForRoom) {
    if (e.held.empty()) return true;
    if (e.detached) {
        // The unit was taken off the line before these bytes reached the host.
        e.held.clear();
        return false;
    }
    const Clock::time_point now = Clock::now();
    size_t done = 0;
    while (done < e.held.size()) {
        pollfd fd = {e.master, POLLOUT, 0};
        if ((poll(&fd, 1, 0) < 0 && errno != EINTR) || (fd.revents & (POLLHUP | POLLERR | POLLNVAL))) break;
        ssize_t n = write(e.master, e.held.data() + done, e.held.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || !waitForRoom || waitForStop(e, 10)) break;
    }
    std::lock_guard<std::mutex> lock(e.mutex);
    for (size_t i = 0; i < done; ++i)
        e.logByte(LogKind::Out, e.held[i]);
    // How long the last of these bytes waited after it had crossed: if they end an answer, its cost.
    e.lastHold = e.options.delivery == Delivery::Byte ? Clock::duration::zero() : now - e.lastCrossed;
    const bool all = done == e.held.size();
    if (!all) e.note("answer dropped: the line is not held");
    e.held.clear();
    e.deliveredAt = Clock::now();
    e.deliveredSinceInput = true;
    return all;
}

} // namespace

bool waitForStop(Engine& e, int ms) {
    if (e.stopping) return true;
    pollfd fd = {e.wake[0], POLLIN, 0};
    poll(&fd, 1, ms);
    return e.stopping;
}

void releaseIfDue(Engine& e) {
    if (!e.held.empty() && Clock::now() >= e.heldUntil) release(e, true);
}

bool waitUntil(Engine& e, Clock::time_point when) {
    for (;;) {
        Clock::time_point next = when;
        if (!e.held.empty() && e.heldUntil < next) next = e.heldUntil;
        // Long waits go in steps that stop() can cut short.
        if (next - Clock::now() > std::chrono::milliseconds(20)) {
            if (waitForStop(e, 10)) return true;
            continue;
        }
        std::this_thread::sleep_until(next);
        if (e.stopping) return true;
        // The line's own time is the moment slept for, not the moment this thread woke: a late wake on a
        // busy machine must not hand bytes over that the line would still hold.
        if (!e.held.empty() && e.heldUntil <= next) release(e, true);
        if (next == when) return false;
    }
}

bool deliver(Engine& e, uint8_t byte, Clock::time_point crossed, bool waitForRoom) {
    // Bytes whose timer ran out before this one had crossed went to the host first.
    if (!e.held.empty() && e.heldUntil <= crossed && !release(e, waitForRoom)) return false;
    const Clock::time_point now = crossed;
    e.held.push_back(byte);
    e.lastCrossed = now;
    switch (e.options.delivery) {
    case Delivery::Byte:
        return release(e, waitForRoom);
    case Delivery::Fifo:
        if (e.held.size() >= FIFO_TRIGGER) return release(e, waitForRoom);
        e.heldUntil = now + FIFO_IDLE_CHARACTERS * characterTime(e);
        return true;
    case Delivery::Usb:
        if (e.held.size() >= USB_PACKET) return release(e, waitForRoom);
        if (e.held.size() == 1) e.heldUntil = now + std::chrono::milliseconds(e.options.latencyMs);
        return true;
    }
    return true;
}

Clock::time_point pace(Engine& e, Clock::time_point& freeAt, Clock::time_point ready) {
    if (e.options.baud <= 0) return Clock::now();
    Clock::time_point due = std::max(freeAt, ready) + characterTime(e);
    freeAt = due;
    waitUntil(e, due);
    return due;
}

} // namespace vqsim
