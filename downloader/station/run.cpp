// The run of a production station: the firmware read once, a child vq2dl --json per port, the table while
// they run, then the summary, the unit records and one exit status.
#include "station.h"

#include "command_line.h"
#include "console/console.h"
#include "json_line.h"
#include "platform/signals.h"
#include "platform/system.h"
#include "preflight.h"
#include "results/results.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

using station::PortState;
using Json = nlohmann::ordered_json;

/// How long a child may say nothing at all before it is taken for hung and stopped.
constexpr int64_t SILENCE_MS = 120000;
/// How long children have after SIGTERM before they are killed, and after that before the station gives up.
constexpr int64_t STOP_GRACE_MS = 3000;
constexpr int64_t KILL_GRACE_MS = 2000;
/// How often the station asks after its children when their pipes are still open.
constexpr int64_t SETTLE_MS = 200;
/// How long the pipe of an ended child is read on for what it still holds.
constexpr int64_t DRAIN_MS = 1000;

/// The longest line a child may write; more without a line end is taken as a line of its own.
constexpr size_t MAX_LINE = 1 << 20;

/// Takes the whole lines a child has written; under --json each event goes on with its port.
void takeOutput(PortState& port, int64_t now, bool json, std::string& out) {
    if (port.child.received.size() > MAX_LINE && port.child.received.find('\n') == std::string::npos)
        port.child.received += '\n';
    size_t start = 0, end;
    while ((end = port.child.received.find('\n', start)) != std::string::npos) {
        Json event;
        if (station::takeLine(port, port.child.received.substr(start, end - start), now, event) && json)
            out += jsonLine(event);
        start = end + 1;
    }
    port.child.received.erase(0, start);
}

/// The stop of every child: SIGTERM first, SIGKILL when the grace is over.
struct Stopping {
    int64_t since = -1; ///< when the stop began; -1 while none has
    bool killed = false;
};

void stopChildren(std::vector<PortState>& ports, Stopping& stopping, int64_t now) {
    if (stopping.since < 0) {
        stopping.since = now;
        for (const PortState& port : ports)
            platformStopChild(port.child, false);
    } else if (!stopping.killed && now - stopping.since > STOP_GRACE_MS) {
        stopping.killed = true;
        for (const PortState& port : ports)
            platformStopChild(port.child, true);
    }
}

/// Ends the ports whose children have ended and whose pipes are drained; stops a child that hung.
bool settlePorts(std::vector<PortState>& ports, int64_t now) {
    bool running = false;
    for (PortState& port : ports) {
        if (port.child.process < 0 || (port.child.exited && port.child.output < 0 && port.finished)) continue;
        const bool ended = platformChildEnded(port.child);
        if (ended && port.endedMs < 0 && !port.finished) port.endedMs = now;
        if (ended && (port.child.output < 0 || now - port.endedMs > DRAIN_MS)) {
            if (!port.child.received.empty()) port.lastText = port.child.received;
            platformReleaseChild(port.child);
            station::settleEnded(port, now);
            continue;
        }
        running = true;
        if (!ended && now - port.lastHeardMs > SILENCE_MS && port.stopReason.empty()) {
            port.stopReason = "stopped after " + std::to_string(SILENCE_MS / 1000) + " s without a word";
            platformStopChild(port.child, true);
        }
    }
    return running;
}

/// Passes the children's output on and shows it, until every child has ended or a signal has stopped them
/// all.
void watchPorts(std::vector<PortState>& ports, station::Display& display, bool json) {
    Stopping stopping;
    std::vector<ChildProcess*> children;
    for (PortState& port : ports)
        children.push_back(&port.child);
    int64_t settledAt = 0;
    while (true) {
        platformReadChildren(children, 100);
        const int64_t now = platformNowMs();
        std::string out;
        for (PortState& port : ports)
            takeOutput(port, now, json, out);
        if (!out.empty()) station::writeOut(out);
        // Children are looked after a few times a second, and at once when a pipe has closed: sixteen
        // ports write about 160 events a second, and each wake-up need not ask after every process.
        const bool closed = std::any_of(ports.begin(), ports.end(), [](const PortState& port) {
            return port.child.output < 0 && !port.finished;
        });
        if (closed || stopping.since >= 0 || now - settledAt >= SETTLE_MS) {
            settledAt = now;
            if (!settlePorts(ports, now)) break;
        }
        if (stopSignal()) stopChildren(ports, stopping, now);
        if (stopping.killed && now - stopping.since > STOP_GRACE_MS + KILL_GRACE_MS) break;
        // A terminal that does not say its width is taken for the usual 80 columns.
        if (display.terminal)
            display.columns = platformTerminalColumns() > 0 ? platformTerminalColumns() : 80;
        if (!json) station::showPorts(display, ports, now, false);
    }
    // A child that even SIGKILL did not end within its grace is given up on: a failed port.
    for (PortState& port : ports)
        if (!port.finished) {
            port.stopReason = "did not end when it was stopped";
            station::settleEnded(port, platformNowMs());
        }
}

} // namespace

/// What the station knows of its run besides its ports.
struct Station {
    const Options& options;
    Console& console;
    ResultsFile& results;
};

std::vector<std::string> station::childCommand(const Options& options, const station::PortSpec& slot) {
    std::vector<std::string> args = {platformSelfPath(options.programName.c_str()), "--json", "--no-extract",
                                     "-c", slot.port};
    if (!options.logDir.empty()) {
        args.push_back("--log");
        args.push_back(options.logDir + "/" + station::logFileName(slot.name));
    }
    // Every port keeps its unit's bytes in a file of its own, named after the port.
    if (!options.keep.ranges.empty()) {
        args.push_back("--port-name");
        args.push_back(slot.name);
    }
    // The station's own switches stay with it; the children get the rest as they were typed, so that each
    // reads the very files the station checked.
    const std::vector<std::string> rest = childArguments(options);
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
}

void prepare(const Station& station) {
    const Options& options = station.options;
    // 1. The files once, with the checks of a single run, before any port opens: a fault ends the run with
    // status 3 and no child starts.
    CheckedFiles files;
    checkFiles(options, station.console, files);
    // 2. The folder of the logs, made when missing; one that cannot be made is a fault of the command line.
    std::error_code error;
    if (!options.logDir.empty() && !std::filesystem::is_directory(options.logDir, error) &&
        !std::filesystem::create_directories(options.logDir, error))
        station.console.fatal(EXIT_USAGE, "ERROR: Could not make the log folder %s: %s.",
                              options.logDir.c_str(), error.message().c_str());
}

/// Under --json, the station's closing event: the counts, the status and why it ended before its ports.
void writeStationEvent(const Station& station, size_t succeeded, int status, const std::string& error) {
    const size_t ports = station.options.stationPorts.size();
    Json event = {{"v", 1},
                  {"event", "station"},
                  {"ms", station.console.elapsedMs()},
                  {"ports", ports},
                  {"succeeded", succeeded},
                  {"failed", ports - succeeded},
                  {"status", status},
                  {"error", error.empty() ? Json(nullptr) : Json(error)}};
    station::writeOut(jsonLine(event));
}

/// The unit record of one port of a station, from what its child reported.
UnitFacts station::portFacts(const PortState& state, const std::vector<std::string>& switches,
                             const char* action) {
    UnitFacts facts;
    facts.port = state.slot.name;
    facts.device = state.device;
    for (const Json& file : state.files) {
        facts.files.push_back({{"name", file.value("name", "")},
                               {"sha256", file.value("sha256", "")},
                               {"generation", file.value("generation", "")}});
        facts.generation = file.value("generation", "");
    }
    facts.action = action;
    facts.switches = switches;
    facts.status = state.status;
    facts.ok = state.status == 0;
    facts.error = state.reason;
    facts.seconds = static_cast<double>(state.endedMs - state.startedMs) / 1000.0;
    const Json bytes = state.result.is_null() ? Json::object() : state.result.value("bytes", Json::object());
    facts.written = bytes.value("written", uint64_t(0));
    facts.verified = bytes.value("verified", uint64_t(0));
    facts.read = bytes.value("read", uint64_t(0));
    facts.kept = state.kept;
    return facts;
}

namespace {

void finish(const Station& station, std::vector<PortState>& ports, station::Display& display) {
    const Options& options = station.options;
    Console& console = station.console;
    const int64_t now = platformNowMs();
    if (!options.json) {
        station::showPorts(display, ports, now, true);
        station::closeDisplay(display);
    }
    const int signalNumber = stopSignal();
    const int status = signalNumber ? 128 + signalNumber : station::stationStatus(ports);
    const std::vector<std::string> switches = recordedSwitches(options);
    for (const PortState& slot : ports) {
        UnitFacts facts = station::portFacts(slot, switches, options.action());
        facts.ms = static_cast<double>(console.elapsedMs());
        station.results.record(facts, console);
    }
    const size_t succeeded = static_cast<size_t>(
        std::count_if(ports.begin(), ports.end(), [](const PortState& slot) { return slot.status == 0; }));
    if (options.json) {
        writeStationEvent(station, succeeded, status, "");
    } else {
        console.message(1, "%s", "");
        for (const std::string& line : station::summaryLines(ports))
            console.message(1, "%s", line.c_str());
        const std::vector<std::string> rerun = rerunArguments(options);
        const std::vector<std::string> restore = station::restoreLines(options.programName, ports, rerun);
        if (succeeded + restore.size() < ports.size())
            console.message(0, "Rerun the failed ports: %s",
                            station::retryCommand(options.programName, ports, rerun).c_str());
        for (const std::string& line : restore)
            console.message(0, "%s", line.c_str());
    }
    if (status != 0) throw status;
}

} // namespace

void station::run(const Options& options, Console& console, ResultsFile& results) {
    const Station station{options, console, results};
    // Ended before its ports ran: under --json still one closing event, with the reason.
    try {
        prepare(station);
    } catch (const s19Error& error) {
        if (options.json) writeStationEvent(station, 0, EXIT_FILE, oneLine(readingError(error)));
        throw;
    } catch (int status) {
        if (options.json) writeStationEvent(station, 0, status, oneLine(console.lastError));
        throw;
    }
    // A closed standard output must not end the station before its children and their records.
    catchStopSignals(false);
    if (options.loop) {
        station::runLoop(options, console, results);
        return;
    }
    // 3. A child per port, all at once.
    std::vector<PortState> ports(options.stationPorts.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        PortState& state = ports[i];
        state.slot = options.stationPorts[i];
        state.device = state.slot.port;
        state.startedMs = state.lastHeardMs = platformNowMs();
        std::string reason;
        if (!platformStartChild(station::childCommand(options, state.slot), state.child, reason)) {
            state.lastText = "could not start vq2dl: " + reason;
            state.child.exited = true;
            state.child.status = EXIT_INTERNAL;
            station::settleEnded(state, state.startedMs);
        }
    }
    station::Display display;
    display.terminal = !options.json && console.personWatching();
    // 4. Their output until every one has ended, or a signal has stopped them all.
    watchPorts(ports, display, options.json);
    finish(station, ports, display);
}
