// Ending a run on a signal, on Windows: Ctrl-C and Ctrl-Break arrive as SIGINT and SIGBREAK.
#include "signals.h"

#include "downloader.h"
#include "events.h"
#include "image/output_file.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <io.h>

static void onSignal(int signalNumber) {
    removeTemporaryOnSignal();
    // The prompt goes on a line of its own, not after the progress line.
    if (terminalLineOpen.exchange(false)) _write(1, "\n", 1);
    if (flashNoteOnSignal.exchange(false)) {
        const char* note = flashNote(flashStateForSignals);
        _write(1, note, static_cast<unsigned>(std::strlen(note)));
    }
    PortHandle port = openPortForSignals.exchange(NO_PORT);
    if (port != NO_PORT) platformClose(port);
    endLogOnSignal(128 + signalNumber);
    // Under --json the closing event, when no line is half written.
    char closing[512];
    const size_t n = events::signalResult(signalNumber, closing, sizeof closing);
    if (n > 0) _write(1, closing, static_cast<unsigned>(n));
    std::_Exit(128 + signalNumber);
}

static volatile std::sig_atomic_t caughtSignal = 0;

static void noteSignal(int signalNumber) {
    caughtSignal = signalNumber;
    std::signal(signalNumber, noteSignal);
}

void catchStopSignals() {
    for (int signalNumber : {SIGINT, SIGTERM, SIGBREAK}) {
        if (std::signal(signalNumber, noteSignal) == SIG_IGN) std::signal(signalNumber, SIG_IGN);
    }
}

int stopSignal() {
    return caughtSignal;
}

void endRunOnSignals() {
    for (int signalNumber : {SIGINT, SIGTERM, SIGBREAK}) {
        if (std::signal(signalNumber, onSignal) == SIG_IGN) std::signal(signalNumber, SIG_IGN);
    }
}
