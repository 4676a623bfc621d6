// A production station: one child vq2dl --json per port, what their events say, the table and the summary.
#pragma once

#include "child.h"
#include "output.h"
#include "ports.h"
#include "results/outcome.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct Argument;
struct Options;
class Console;
class ResultsFile;
struct UnitFacts;

namespace station {

/// How long a child may say nothing at all before it is taken for hung and stopped, in a station and a
/// fixture loop alike.
constexpr int64_t SILENCE_MS = 120000;
/// How long children have after SIGTERM before they are killed, and after that before the station gives up.
constexpr int64_t STOP_GRACE_MS = 3000;
constexpr int64_t KILL_GRACE_MS = 2000;
/// How long the pipe of an ended child is read on for what it still holds.
constexpr int64_t DRAIN_MS = 1000;
/// The longest line a child may write; more without a line end is taken as a line of its own.
constexpr size_t MAX_LINE = 1 << 20;
/// SILENCE_MS, or the shorter limit that the variable VQ2DL_STATION_SILENCE_MS sets for the tests of a hung
/// child.
int64_t silenceLimitMs();

/// A production station: the files read and checked once (a fault ends it with status 3 before any child
/// starts), a child vq2dl --json per port, the table while they run, then the summary, a unit record per
/// port and the rerun line. Throws the status when it is not 0.
void run(const Options& options, Console& console, ResultsFile& results);
/// Runs a step before a station's ports start; under --json a refusal still ends the stream with the station
/// event, carrying the status and the error. Any other run's step just runs.
void guardBeforePorts(const Options& options, Console& console, const std::function<void()>& step);
/// A station with --loop (station/loop.cpp): each port's units one run after another, the table, the
/// summary; throws the status when it is not 0.
void runLoop(const Options& options, Console& console, ResultsFile& results);
/// The command line of the child that runs a port: this program, --json, --no-extract, -c, the port, its log
/// in --log-dir, then the arguments the station passes on.
std::vector<std::string> childCommand(const Options& options, const PortSpec& slot);

/// What the station knows of one port, from its child's events and from how the child ended.
struct PortState {
    PortSpec slot;
    ChildProcess child;
    std::string step = "starting"; ///< the step as the table shows it: "opening", "writing", "done", "FAILED"
    std::string device;            ///< what the system opened, from the open event; the port until then
    double percent = 0;            ///< of the step under way
    uint64_t bytes = 0;            ///< of the step under way
    int64_t startedMs = 0;         ///< when the child was started, on the station's clock
    int64_t endedMs = -1;          ///< when its result came or it ended; -1 while it runs
    int64_t lastHeardMs = 0;       ///< when the child last wrote anything
    bool finished = false;         ///< a result came or the child ended
    int status = 0;                ///< the port's exit status
    std::string reason;            ///< why it failed, in words; empty on success
    nlohmann::ordered_json
        result; ///< the child's result event, its fields of their types; null when none came
    std::vector<nlohmann::ordered_json> files; ///< name, sha256, header and generation of each file event
    nlohmann::ordered_json kept =
        nlohmann::ordered_json::array(); ///< {range, file, sha256} of each kept range
    nlohmann::ordered_json serial;       ///< the unit's serial number from the child's event; null without
    std::string lastText;                ///< the last error message or stray output line, for a reason
    std::string stopReason;              ///< why the station stopped the child itself; empty when it did not
    int stopSignal = 0;  ///< the signal the station received and passed on to this running child; 0 for none
    bool changed = true; ///< the table row differs from what was drawn
    std::vector<std::string> newSteps; ///< the steps not yet printed by the pipe form, in order
    outcome::Tracker tracker;          ///< the child's steps as its events report them
    outcome::Outcome outcome;          ///< how the port ended: from its result, or from its steps
    bool recorded = false;             ///< its unit line is in the results file
};

/// Takes one event of a child into its port's state; the event as the station passes it on (with "port"), or
/// null for one it keeps to itself (a child's advice, which names the child's own command).
nlohmann::ordered_json takeEvent(PortState& port, nlohmann::ordered_json event, int64_t nowMs);
/// Takes one line of a child's output; true with the passed-on event when it is an event to pass on.
bool takeLine(PortState& port, const std::string& line, int64_t nowMs, nlohmann::ordered_json& passedOn);
/// Settles a port whose child has ended: without a result it failed, with a reason. A port the station
/// stopped on a signal it received has 128 + n; a child that some other signal ended, 5.
void settleEnded(PortState& port, int64_t nowMs);
/// A failed port's reason as a person reads it: the outcome in words, then the system's text on one line.
std::string reasonOf(const outcome::Outcome& outcome, const std::string& text);
/// The step words of the table for a step event's name ("erase" is "erasing").
std::string stepWords(const std::string& step);
/// The unit record of one port's run, from what its child reported; switches: the command line's, files
/// left out.
UnitFacts portFacts(const PortState& state, const std::vector<std::string>& switches, const char* action);
/// Appends a port's unit line, once, the moment the port has ended; cycle is a loop's unit number, 0 outside
/// a loop.
void recordPort(PortState& port, const Options& options, Console& console, ResultsFile& results,
                int cycle = 0);
/// Under --json, the station's first event: its ports, before any child reports.
void writeStationStart(const Options& options, Console& console);
/// The station's exit status: 0 when every port succeeded, else the highest port status.
int stationStatus(const std::vector<PortState>& ports);

/// The unit's serial number as the table and the summary show it ("1000003", "1000003 void", "1000003 kept");
/// empty when the port has none.
std::string serialText(const PortState& port);
/// The widest serialText of the ports, at least the heading's; 0 when no port has a number.
size_t serialWidth(const std::vector<PortState>& ports);
/// A text padded with blanks to a column's width; a longer one stays whole.
std::string padded(std::string text, size_t width);
/// The most bytes the port's result counts (written, verified or read); 0 without a result.
uint64_t resultBytes(const PortState& port);
/// Writes a text to standard output at once, as it is (the fixture loop's output).
void writeOut(const std::string& text);

/// The live table on a terminal, or whole prefixed lines elsewhere.
struct Display {
    bool terminal = false; ///< redrawn in place; otherwise one line per step change and result
    int columns = 80;      ///< the terminal's width
    size_t rowsDrawn = 0;  ///< the rows of the table now on the terminal
    int64_t drawnAt = -1;  ///< when the table was last drawn
    Output output;         ///< what is drawn or printed, on its way to standard output
};
/// The table's rows for this width, without line ends; none longer than columns - 1.
std::vector<std::string> tableRows(const std::vector<PortState>& ports, int columns, int64_t nowMs);
/// Shows what changed: redraws the table (at most a few times a second) or prints the new lines.
void showPorts(Display& display, std::vector<PortState>& ports, int64_t nowMs, bool force);
/// Leaves the terminal clean: the last table stays, the cursor below it and visible.
void closeDisplay(Display& display);

/// Passes the children's output on (under --json) and shows it, until every child has ended or a signal has
/// stopped them all: the signal passed on to each running child, SIGKILL when the grace is over. Each port
/// that ends is handed to ended at once.
void watchPorts(std::vector<PortState>& ports, Display& display, bool json, int64_t startMs,
                const std::function<void(PortState&)>& ended);
/// A child's event as a station's stream carries it: ms on the station's clock (startMs its zero), the
/// child's own kept as port_ms, and a start event with the station's run.
nlohmann::ordered_json onStationClock(nlohmann::ordered_json event, int64_t now, int64_t startMs);
/// Writes the last of the station's output: as long as the console takes it, but once the station was
/// stopped, or a signal comes now, never longer than a short grace.
void writeLast(Output& output, bool stopped);

/// The summary: a table (name, port, result, status, seconds, bytes, KB/s, reason) and "N of M succeeded.".
/// With columns, no line is as wide as the terminal: a reason that does not fit is cut with "…"; with 0 every
/// line is whole.
std::vector<std::string> summaryLines(const std::vector<PortState>& ports, int columns = 0);
/// The text cut to fit columns - 1 characters of a terminal (counting each UTF-8 character once), ending
/// with "…" when it was cut; whole for columns 0.
std::string fitted(const std::string& text, int columns);
/// The command that reruns only the failed ports: the program, --ports with those, the other arguments. A
/// port whose unit's bytes were kept is left to restoreLines.
std::string retryCommand(const std::string& program, const std::vector<PortState>& ports,
                         const std::vector<std::string>& otherArgs);
/// For a failed port whose unit's bytes were kept in a file: where, and the command that puts them back; for
/// one whose kept serial number the erase took (and no kept file holds): the number, and the command that
/// gives it back; "[NAME] " before each. rerun: the arguments a rerun keeps (rerunSwitches).
std::vector<std::string> restoreLines(const std::string& program, const PortState& port,
                                      const std::vector<Argument>& rerun);
/// True for a failed port whose kept serial number the erase took, and no kept file holds.
bool numberErased(const PortState& port);
/// True for a failed port that restoreLines gives a command of its own: a run as before would lose what its
/// unit kept.
bool givenBack(const PortState& port);
/// An argument as this system's shell would need it typed again (a POSIX shell; cmd.exe on Windows).
std::string shellQuoted(const std::string& arg);

} // namespace station
