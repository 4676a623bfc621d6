// What the program takes from the system besides the serial port: a steady clock, sleeps and whether the
// console is a terminal, and how wide it is. One definition each in system_linux.cpp and system_win32.cpp.
#pragma once

#include <cstdint>

/// Milliseconds from a steady clock.
int64_t platformNowMs();
/// Pauses the thread; a negative time waits as 0, and 0 still yields.
void platformSleepMs(int milliseconds);
/// Pauses the thread for a line's time, to the tenth of a millisecond; nothing for 0 or less.
void platformSleepUs(int64_t microseconds);
/// True when standard output is a terminal (a person watching, not a script).
bool platformOutputIsTerminal();
/// The width of the terminal window that standard output shows in, in columns; 0 when unknown.
int platformTerminalColumns();
/// First thing in the process: a standard descriptor that is closed (0, 1 or 2) is opened on the null device,
/// so that no file the run opens later takes its place and gets the console's text; a write beyond the file
/// size limit fails like one to a full disk instead of ending the process.
void platformPrepareProcess();
