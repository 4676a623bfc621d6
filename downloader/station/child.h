// The children of a production station: one vq2dl process per port, its standard output and error on one
// pipe. The few platform functions are in child_posix.cpp and child_win32.cpp; ChildProcess owns what they
// hand out, so that no process is left running, unreaped or holding a pipe however the station ends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// One child process and the read end of its output pipe. Its destructor stops a child still running,
/// reaps it (within a bound) and closes what is left of its handles.
struct ChildProcess {
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    intptr_t process = -1; ///< the process id (POSIX) or handle (Windows); -1 when none was started
    intptr_t output = -1;  ///< the read end of the pipe; -1 once closed
    std::string received;  ///< output read and not yet taken as whole lines
    bool exited = false;   ///< the process has ended and been reaped
    int status = 0;        ///< its exit status, or 128 + n when signal n ended it
    int signalNumber = 0;  ///< the signal that ended it; 0 for an exit
    /// Started in a process group of its own, out of reach of the terminal's Ctrl-C, so that only the station
    /// decides what it gets (on Windows every child).
    bool ownGroup = true;
};

/// Starts the program with these arguments (args[0] is the program), standard input empty, standard output
/// and error on one pipe, in a process group of its own (so that a console's Ctrl-C reaches the station
/// alone), with the default action for every signal, and bound to end when the station ends, even when the
/// station is killed outright; false with the system's reason otherwise.
bool platformStartChild(const std::vector<std::string>& args, ChildProcess& child, std::string& error);
/// Reads what the children have written into their received text, waiting at most timeoutMs for the first
/// byte; a pipe that ends is closed (output -1).
void platformReadChildren(const std::vector<ChildProcess*>& children, int timeoutMs);
/// Without waiting: true once the child has ended, with exited and status set.
bool platformChildEnded(ChildProcess& child);
/// Sends the child this signal: SIGTERM, SIGINT and the like (Ctrl-Break on Windows), or with force, ends it
/// at once whatever the signal.
void platformStopChild(const ChildProcess& child, int signalNumber, bool force);
/// Closes what is left of the child's handles once it has ended.
void platformReleaseChild(ChildProcess& child);
/// The path of this program, for starting copies of it; argv0 when the system does not say.
std::string platformSelfPath(const char* argv0);
/// Called first thing in a program that a station may have started: when it was, it ends as soon as the
/// station does (on Linux the parent-death signal; on Windows the station's job object does this already).
void platformEndWithStation();
/// The name of a signal for a reason ("SIGKILL"); "signal n" for one without a name here.
std::string platformSignalName(int signalNumber);
