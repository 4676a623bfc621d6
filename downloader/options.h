// What the command line asked for: one plain struct, filled from the switch table and read by every room.
#pragma once

#include "monitor/keep_options.h"
#include "serials/plan.h"
#include "station/ports.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

/// One argument of the command line as the parser took it: a firmware file, or a switch with its value.
struct Argument {
    std::string switchName; ///< the switch's name without its dashes; empty for a firmware file
    std::vector<std::string>
        texts;              ///< the argument or arguments as typed (a switch and a separate value: two)
    bool toChildren = true; ///< a station passes it on to each child
    bool inRerun = true;    ///< the rerun line of a station's failed ports keeps it
};

struct Options {
    std::string programName = "vq2dl";    ///< the name the usage text shows: argv[0]
    std::vector<std::string> commandLine; ///< the whole command line, for the log's header and the events
    std::vector<Argument> arguments;      ///< every argument after the program's name, in order

    int port = 1;           ///< -c: the COM port number
    std::string portPath;   ///< a device path given with -c (begins with "/"); empty for a port number
    bool portGiven = false; ///< -c was given
    int baudRate = 115200;  ///< -r: the line rate in bit/s (a non-standard -r -N as N)
    std::vector<std::string> fileNames; ///< the firmware files, in command-line order
    bool wipeOnly = false;              ///< -w: erase the main flash and nothing else
    bool verifyOnly = false;            ///< -V: compare (VQ-II) or show the signature (VQ-I), write nothing
    bool joinBlocks = false;  ///< -b: VQ-II records that follow each other without a gap share full blocks
    int recordDelay = 0;      ///< -d: milliseconds of pause after each record written or verified
    int dcDelay = 0;          ///< -dc: accepted and stored; no step uses it
    int wipeDelay = 250;      ///< -dw: milliseconds of pause after each erase command
    int verbosity = 1;        ///< -v: the highest message level shown on the console
    bool showPercent = false; ///< -p: percentage lines for a calling program
    std::string installDir = ".";       ///< -i: where the .ini files of an update are extracted
    std::optional<std::string> logPath; ///< --log: the support log, appended to
    bool listPorts = false;             ///< --list-ports: list the serial ports instead of a download
    bool json = false;                  ///< --json: events on standard output in place of the console text
    std::string readBackFile; ///< --read FILE: the S-record file a read-back writes; empty for a download
    /// --range FIRST-LAST, image addresses with both ends included, in command-line order.
    std::vector<std::pair<uint32_t, uint32_t>> readRanges;
    bool readTwice = false; ///< --twice: every block of a read-back read twice, and a difference ends the run
    std::vector<station::PortSpec> stationPorts; ///< --ports: a station's ports, one child vq2dl each
    std::string logDir;                          ///< --log-dir: a station's folder of logs, NAME.log per port
    std::string resultsPath; ///< --results: the file that gets one unit line per port and run
    bool extractIni = true;  ///< false (--no-extract): an update's .ini files are not written
    std::vector<std::pair<std::string, std::string>> tags; ///< --tag KEY=VALUE, in command-line order
    std::vector<std::string> expectedDigests; ///< --expect-sha256, one per firmware file in order, lower case
    monitor::KeepOptions keep;                ///< --keep, --keep-dir, --keep-from, --port-name
    bool loop = false;       ///< --loop: every port programs unit after unit as the operator swaps them in
    int loopCount = 0;       ///< --loop-count: units per port before it stops; 0 for no end
    serials::Request serial; ///< --serial and its switches: where and how each unit's number goes
    bool loopCountGiven = false;
    std::string awaitUnit; ///< --await-unit there|gone: only probe the -c port until a unit comes or goes

    /// The port as the messages name it: the number, or the device path given with -c.
    std::string portName() const { return portPath.empty() ? std::to_string(port) : portPath; }
    /// The port as the unit record and the serial journal name it: --port-name (a station's slot), or
    /// portName.
    std::string recordedPort() const { return keep.portLabel.empty() ? portName() : keep.portLabel; }
    /// True for a production station (--ports).
    bool isStation() const { return !stationPorts.empty(); }
    /// What the run does, as the unit record names it: "download", "verify", "wipe" or "read".
    const char* action() const {
        return wipeOnly ? "wipe" : verifyOnly ? "verify" : !readBackFile.empty() ? "read" : "download";
    }
};
