// Noting the signals that stop a run, on POSIX systems.
#include "platform/signals.h"

#include <csignal>
#include <initializer_list>

namespace {

volatile std::sig_atomic_t caughtSignal = 0;
volatile std::sig_atomic_t caughtCount = 0;

void noteSignal(int signalNumber) {
    // The first signal counts: a SIGPIPE while a SIGINT is being handled does not change the status.
    if (caughtSignal == 0) caughtSignal = signalNumber;
    caughtCount = caughtCount + 1;
}

} // namespace

void catchStopSignals(bool pipeToo) {
    struct sigaction action = {};
    action.sa_handler = noteSignal;
    sigfillset(&action.sa_mask);
    if (!pipeToo) signal(SIGPIPE, SIG_IGN);
    // No SA_RESTART: a wait on a port or a pipe ends at once.
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        if (signalNumber == SIGPIPE && !pipeToo) continue;
        struct sigaction previous;
        if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(signalNumber, &action, nullptr);
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
