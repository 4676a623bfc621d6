// The program vq2dl: from the command line to the exit status, for a single run and a station alike.
#pragma once

#include "command_line.h"
#include "console/console.h"
#include "downloader.h"
#include "ports/ports.h"
#include "preflight.h"
#include "results/results.h"

#include <functional>
#include <string>

/// The console sink: one finished text per call.
using MessageCallback = Console::Sink;

/// The program: the command line parsed, then the run it asks for with the given console sink, to the exit
/// status. A sink that prints to a terminal (printLine on one) gets the progress line and the closing
/// summary.
int runProgram(int argc, char** argv, MessageCallback sink, bool sinkIsTerminal = false);

/// Answers a command line that asks for no run: the usage text (status 0), the version (0), or the refusal
/// and the usage text (1). -1 for a command line that asks for a run.
int answerCommandLine(const CommandLine& line, Console& console);

/// Runs a step with a controller and turns each way it ends into the exit status, with the message that
/// goes with it: a thrown int is the status itself, a file error 3, a protocol error 4, a signal n 128 + n.
/// Anything else is unexpected and goes on to the caller.
int runToStatus(Downloader& controller, const std::function<void()>& step);

/// What a run holds besides its controller: the results file, and what the checks found in the files.
struct RunRecord {
    ResultsFile results;
    CheckedFiles files;
};

/// --await-unit: probes the -c port until a unit is there or gone; ends by throwing when stopped, or with
/// status 5 when its standard output (the station that asked) has gone.
void awaitUnit(const Options& options, Console& console);

/// The one run a command line asks for, after it was parsed and answered: the outputs checked, the log
/// begun, then the port list, a station or one controller. Ends by throwing, as runToStatus expects.
void runCommand(const Options& options, Console& console, Downloader& controller, RunRecord& record);
/// The unit line of a single run that ended with this status, when --results asks for one; a station
/// records its ports itself.
void recordRun(const Options& options, Console& console, const Downloader& controller, RunRecord& record,
               int status);

/// --list-ports: one line per serial port under these roots, or "No serial ports found."; under --json one
/// event per port.
void printPorts(const PortRoots& roots, Console& console);
