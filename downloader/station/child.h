// The children of a production station: one vq2dl process per port, its standard output and error on one
// pipe. The same few free functions in child_posix.cpp and child_win32.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// One child process and the read end of its output pipe.
struct ChildProcess {
    intptr_t process = -1; ///< the process id (POSIX) or handle (Windows); -1 when none was started
    intptr_t output = -1;  ///< the read end of the pipe; -1 once closed
    std::string received;  ///< output read and not yet taken as whole lines
    bool exited = false;   ///< the process has ended and been reaped
    int status = 0;        ///< its exit status, or 128 + n when signal n ended it
    int signalNumber = 0;  ///< the signal that ended it; 0 for an exit
    /// Started in a process group of its own, out of reach of the terminal's Ctrl-C (on Windows every child).
    bool ownGroup = false;
};

/// Starts the program with these arguments (args[0] is the program), standard input empty, standard output
/// and error on one pipe; false with the system's reason otherwise.
bool platformStartChild(const std::vector<std::string>& args, ChildProcess& child, std::string& error);
/// Reads what the children have written into their received text, waiting at most timeoutMs for the first
/// byte; a pipe that ends is closed (output -1).
void platformReadChildren(const std::vector<ChildProcess*>& children, int timeoutMs);
/// Without waiting: true once the child has ended, with exited and status set.
bool platformChildEnded(ChildProcess& child);
/// Asks the child to stop (SIGTERM, Ctrl-Break on Windows); with force, ends it at once.
void platformStopChild(const ChildProcess& child, bool force);
/// Closes what is left of the child's handles once it has ended.
void platformReleaseChild(ChildProcess& child);
/// The path of this program, for starting copies of it; argv0 when the system does not say.
std::string platformSelfPath(const char* argv0);
