// The note of the signals that stop a run, shared by both systems' handlers (signals_linux.cpp,
// signals_win32.cpp): two atomic numbers, nothing a handler may not touch.
#include "platform/signals.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t caughtSignal = 0;
volatile std::sig_atomic_t caughtCount = 0;

} // namespace

void noteStopSignal(int signalNumber) {
    // The first signal counts: a SIGPIPE while a SIGINT is being handled does not change the status.
    if (caughtSignal == 0) caughtSignal = signalNumber;
    caughtCount = caughtCount + 1;
}

int stopSignal() {
    return caughtSignal;
}

int stopSignalCount() {
    return caughtCount;
}

void clearStopSignal() {
    caughtSignal = 0;
    caughtCount = 0;
}
