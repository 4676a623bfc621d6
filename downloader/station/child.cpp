// What every platform's station child shares: the object that owns a child process and its pipe.
#include "child.h"

#include "platform/system.h"

#include <utility>

namespace {

/// How long a child that was killed is waited for before it is left to the system.
constexpr int REAP_MS = 2000;
constexpr int REAP_STEP_MS = 10;

} // namespace

ChildProcess::~ChildProcess() {
    if (process != -1 && !exited) {
        platformStopChild(*this, 0, true);
        for (int waited = 0; waited < REAP_MS && !platformChildEnded(*this); waited += REAP_STEP_MS)
            platformSleepMs(REAP_STEP_MS);
    }
    platformReleaseChild(*this);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept {
    *this = std::move(other);
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    std::swap(process, other.process);
    std::swap(output, other.output);
    std::swap(received, other.received);
    std::swap(exited, other.exited);
    std::swap(status, other.status);
    std::swap(signalNumber, other.signalNumber);
    std::swap(ownGroup, other.ownGroup);
    return *this;
}
