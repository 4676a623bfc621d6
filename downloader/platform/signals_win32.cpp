// Catching the signals that stop a run, on Windows: Ctrl-C and Ctrl-Break arrive as SIGINT and SIGBREAK.
#include "platform/signals.h"

#include <csignal>
#include <initializer_list>

namespace {

void onStopSignal(int signalNumber) {
    noteStopSignal(signalNumber);
    // The C runtime puts the default back before it calls a handler.
    std::signal(signalNumber, onStopSignal);
}

} // namespace

void catchStopSignals(bool) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGBREAK}) {
        if (std::signal(signalNumber, onStopSignal) == SIG_IGN) std::signal(signalNumber, SIG_IGN);
    }
}
