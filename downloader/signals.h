// Ending a run on a signal: no temporary file left behind, the port closed, the shell's exit status.
#pragma once

#include "serial/port.h"

#include <atomic>

/// The port held open now, for a signal handler to close; NO_PORT while none is.
inline std::atomic<PortHandle> openPortForSignals{NO_PORT};

/// True while the terminal's cursor stands on a progress line, which a signal leaves with a new line.
inline std::atomic<bool> terminalLineOpen{false};

/// What a download has done to the controller's flash, for the line a signal leaves a person watching.
enum FlashState : int { FLASH_UNTOUCHED, FLASH_ERASED, FLASH_PARTLY_WRITTEN, FLASH_WRITTEN };
inline std::atomic<int> flashStateForSignals{FLASH_UNTOUCHED};
/// True while a person watches a download at the console (no --json, no script reading the output): a signal
/// then ends the run with one line that says what the flash now holds.
inline std::atomic<bool> flashNoteOnSignal{false};

/// The line for the flash's state, with its line end; only constants, for a signal handler.
inline const char* flashNote(int state) {
    switch (state) {
    case FLASH_ERASED:
        return "The controller's flash is now erased: run the download again.\n";
    case FLASH_PARTLY_WRITTEN:
        return "The controller's flash is now partly written: run the download again.\n";
    case FLASH_WRITTEN:
        return "The controller's flash holds the new firmware, but it was not verified.\n";
    default:
        return "The controller's flash was not touched.\n";
    }
}

/// From now on SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE (on Windows Ctrl-C, Ctrl-Break and SIGTERM) end
/// the process with status 128 + n, once the temporary file is removed, the port closed and the support log
/// ended with the status. A signal that the process was started to ignore stays ignored.
void endRunOnSignals();

/// For a process that stops its children itself (a station): from now on those signals only note their
/// number, which stopSignal returns, and end any wait early.
void catchStopSignals();
/// The signal caught since catchStopSignals; 0 for none.
int stopSignal();
