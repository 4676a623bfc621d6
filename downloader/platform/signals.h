// Stopping on a signal: the handler only notes which signal came. Every wait of the program looks at the note
// and ends the run by the usual way out, so that destructors remove temporaries and close the port, and the
// log, the events and the results record the status 128 + n.
#pragma once

/// From now on SIGINT, SIGTERM, SIGHUP and SIGQUIT (on Windows Ctrl-C, Ctrl-Break and SIGTERM) only note
/// their number, and SIGPIPE too when pipeToo is set (a station ignores it: a closed standard output must not
/// end it before its children and their records). A signal the process was started to ignore stays ignored.
/// Waits under way end early: no handler restarts a system call.
void catchStopSignals(bool pipeToo);
/// The signal caught; 0 for none.
int stopSignal();
/// How many such signals have come (a fixture loop stops gently at the first, at once at the second).
int stopSignalCount();
/// Forgets the signals caught: a fixture loop that ended gently after its first stop ends as its units did.
void clearStopSignal();
/// What the handlers of catchStopSignals do (signals.cpp): note the signal and count it. Safe in a handler.
void noteStopSignal(int signalNumber);
