#include "serial/low_latency.h"
#include "serial/port.h"

#include <atomic>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>

namespace {

/// A port whose driver was put into low-latency mode, with the flags to put back. Lock-free atomics in fixed
/// slots: restoring needs no allocation and no lock.
struct Changed {
    std::atomic<int> fd{-1};
    std::atomic<int> flags{0};
};
Changed changed[8];

} // namespace

LowLatency platformRequestLowLatency(PortHandle handle) {
    // Our own sleeps end on time as well: the kernel may otherwise let them run 50 us late.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0UL, 0UL, 0UL);
    serial_struct serial;
    if (ioctl(handle, TIOCGSERIAL, &serial) != 0) return LowLatency::Refused;
    if (serial.flags & ASYNC_LOW_LATENCY) return LowLatency::AlreadySet;
    Changed* slot = nullptr;
    for (Changed& candidate : changed) {
        int none = -1;
        if (candidate.fd.compare_exchange_strong(none, handle)) {
            slot = &candidate;
            break;
        }
    }
    // With no slot free the setting could not be put back: the driver stays as it is.
    if (!slot) return LowLatency::Refused;
    slot->flags = serial.flags;
    serial.flags |= ASYNC_LOW_LATENCY;
    if (ioctl(handle, TIOCSSERIAL, &serial) != 0) {
        slot->fd = -1;
        return LowLatency::Refused;
    }
    return LowLatency::Set;
}

void restoreLowLatency(int fd) {
    for (Changed& slot : changed) {
        if (slot.fd != fd) continue;
        serial_struct serial;
        if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags = (serial.flags & ~ASYNC_LOW_LATENCY) | (slot.flags & ASYNC_LOW_LATENCY);
            ioctl(fd, TIOCSSERIAL, &serial);
        }
        slot.fd = -1;
    }
}
