// Catching the signals that stop a run, on POSIX systems.
#include "platform/signals.h"

#include <csignal>
#include <initializer_list>

namespace {

void onStopSignal(int signalNumber) {
    noteStopSignal(signalNumber);
}

} // namespace

void catchStopSignals(bool pipeToo) {
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
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
