// Noting the signals that stop a run, on Windows: Ctrl-C and Ctrl-Break arrive as SIGINT and SIGBREAK.
#include "platform/signals.h"

#include <csignal>
#include <initializer_list>

namespace {

volatile std::sig_atomic_t caughtSignal = 0;
volatile std::sig_atomic_t caughtCount = 0;

void noteSignal(int signalNumber) {
    if (caughtSignal == 0) caughtSignal = signalNumber;
    caughtCount = caughtCount + 1;
    std::signal(signalNumber, noteSignal);
}

} // namespace

void catchStopSignals(bool) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGBREAK}) {
        if (std::signal(signalNumber, noteSignal) == SIG_IGN) std::signal(signalNumber, SIG_IGN);
    }
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
