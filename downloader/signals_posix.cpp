// Ending a run on a signal, on POSIX systems.
#include "signals.h"

#include "downloader.h"
#include "events.h"
#include "image/output_file.h"

#include <csignal>
#include <cstring>
#include <unistd.h>

static void onSignal(int signalNumber) {
    // Only system calls from here on: the signal may have come in the middle of anything.
    removeTemporaryOnSignal();
    // The shell's prompt goes on a line of its own, not after the progress line.
    if (terminalLineOpen.exchange(false)) {
        ssize_t written = write(STDOUT_FILENO, "\n", 1);
        (void)written;
    }
    if (flashNoteOnSignal.exchange(false)) {
        const char* note = flashNote(flashStateForSignals);
        ssize_t written = write(STDOUT_FILENO, note, std::strlen(note));
        (void)written;
    }
    PortHandle port = openPortForSignals.exchange(NO_PORT);
    if (port != NO_PORT) platformClose(port);
    endLogOnSignal(128 + signalNumber);
    // Under --json the closing event, when no line is half written: formatted without a library call.
    char closing[512];
    const size_t n = events::signalResult(signalNumber, closing, sizeof closing);
    if (n > 0 && write(STDOUT_FILENO, closing, n) < 0) _exit(128 + signalNumber);
    _exit(128 + signalNumber);
}

static volatile std::sig_atomic_t caughtSignal = 0;

static void noteSignal(int signalNumber) {
    caughtSignal = signalNumber;
}

void catchStopSignals() {
    struct sigaction action = {};
    action.sa_handler = noteSignal;
    sigfillset(&action.sa_mask);
    // The signals that end a single run stop a station the same way, its children first and their records
    // kept: a closed standard output (SIGPIPE) too. No SA_RESTART: a wait on the children's pipes ends at
    // once.
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        struct sigaction previous;
        if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(signalNumber, &action, nullptr);
    }
}

int stopSignal() {
    return caughtSignal;
}

void endRunOnSignals() {
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigfillset(&action.sa_mask);
    // SIGPIPE too: output to a pipe whose reader is gone (| head) ends the run as cleanly as Ctrl-C.
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        struct sigaction previous;
        if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(signalNumber, &action, nullptr);
    }
}
