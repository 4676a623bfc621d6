// Ending a run on a signal: no temporary file left behind, the port closed, the shell's exit status.
#pragma once

#include "serial/port.h"

#include <atomic>

/// The port held open now, for a signal handler to close; NO_PORT while none is.
inline std::atomic<PortHandle> openPortForSignals{NO_PORT};

/// True while the terminal's cursor stands on a progress line, which a signal leaves with a new line.
inline std::atomic<bool> terminalLineOpen{false};

/// From now on SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE (on Windows Ctrl-C, Ctrl-Break and SIGTERM) end
/// the process with status 128 + n, once the temporary file is removed, the port closed and the support log
/// ended with the status. A signal that the process was started to ignore stays ignored.
void endRunOnSignals();

/// For a process that stops its children itself (a station): from now on those signals only note their
/// number, which stopSignal returns, and end any wait early.
void catchStopSignals();
/// The signal caught since catchStopSignals; 0 for none.
int stopSignal();
/// How many of those signals have come (a fixture loop stops gently at the first, at once at the second).
int stopSignalCount();
