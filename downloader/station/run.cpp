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
#include <functional>
#include <system_error>

namespace {

using station::PortState;
using Json = nlohmann::ordered_json;

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
    // Every port keeps its unit's bytes in a file of its own, named after the port, and journals its unit's
    // serial number under that name, as its record does.
    if (!options.keep.ranges.empty() || options.serial.asked) {
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
    // Another station may make the same folder at the same moment: what counts is that it is there.
    if (options.logDir.empty()) return;
    std::error_code made, error;
    std::filesystem::create_directories(options.logDir, made);
    if (!std::filesystem::is_directory(options.logDir, error)) {
        const std::error_code why = made ? made : error;
        station.console.fatal(EXIT_USAGE, "ERROR: Could not make the log folder %s: %s.",
                              options.logDir.c_str(), why ? why.message().c_str() : "not a folder");
    }
}

/// Under --json, the station's closing event: the counts, the status and why it ended before its ports.
std::string stationEventLine(const Options& options, const Console& console, size_t succeeded, int status,
                             const std::string& error) {
    const size_t ports = options.stationPorts.size();
    Json event = {{"v", 1},
                  {"event", "station"},
                  {"ms", console.elapsedMs()},
                  {"ports", ports},
                  {"succeeded", succeeded},
                  {"failed", ports - succeeded},
                  {"status", status},
                  {"error", error.empty() ? Json(nullptr) : Json(error)}};
    return jsonLine(event);
}

void writeStationEvent(const Options& options, const Console& console, size_t succeeded, int status,
                       const std::string& error) {
    station::Output output;
    output.add(stationEventLine(options, console, succeeded, status, error));
    station::writeLast(output, false);
}

namespace {

void finish(const Station& station, std::vector<PortState>& ports, station::Display& display) {
    const Options& options = station.options;
    Console& console = station.console;
    const int64_t now = platformNowMs();
    const int signalNumber = stopSignal();
    const int status = signalNumber ? 128 + signalNumber : station::stationStatus(ports);
    // The records first: they matter more than a console that may not be read. The ports that ended while
    // the station was watching are recorded already.
    for (PortState& slot : ports)
        if (!slot.recorded) station::recordPort(slot, options, console, station.results);
    const size_t succeeded = static_cast<size_t>(
        std::count_if(ports.begin(), ports.end(), [](const PortState& slot) { return slot.status == 0; }));
    station::Output& output = display.output;
    if (options.json) {
        output.add(stationEventLine(options, console, succeeded, status, ""));
    } else {
        station::showPorts(display, ports, now, true);
        station::closeDisplay(display);
        // On a terminal each line fits its width; in a pipe or a file each is whole.
        const int columns = console.personWatching() ? platformTerminalColumns() : 0;
        if (console.shows(1)) {
            output.add("\n");
            for (const std::string& line : station::summaryLines(ports, columns))
                output.add(line + "\n");
        }
        std::vector<std::string> restore;
        for (const PortState& port : ports)
            for (std::string& line : station::restoreLines(options.programName, port, rerunSwitches(options)))
                restore.push_back(std::move(line));
        const bool rerun = std::any_of(ports.begin(), ports.end(), [](const PortState& slot) {
            return slot.status != 0 && !station::givenBack(slot);
        });
        if (console.shows(0)) {
            if (rerun)
                output.add("Rerun the failed ports: " +
                           station::retryCommand(options.programName, ports, rerunArguments(options)) + "\n");
            for (const std::string& line : restore)
                output.add(line + "\n");
        }
    }
    station::writeLast(output, signalNumber != 0);
    if (status != 0) throw status;
}

} // namespace

void station::run(const Options& options, Console& console, ResultsFile& results) {
    const Station station{options, console, results};
    station::guardBeforePorts(options, console, [&] { prepare(station); });
    if (options.loop) {
        // A closed standard output must not end the loop before its children and their records.
        catchStopSignals(false);
        station::runLoop(options, console, results);
        return;
    }
    // The signals that end a single run stop a station the same way, its children first and their records
    // kept: a closed standard output (SIGPIPE) too.
    catchStopSignals(true);
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
    // A console that cannot take the table's escape sequences gets the whole lines of a pipe.
    display.terminal = !options.json && console.personWatching() && platformConsoleTakesEscapes();
    // 4. Their output until every one has ended, or a signal has stopped them all; each unit's record the
    // moment it ends.
    station::watchPorts(ports, display, options.json, console.startMs,
                        [&](PortState& slot) { station::recordPort(slot, options, console, results); });
    finish(station, ports, display);
}

void station::guardBeforePorts(const Options& options, Console& console, const std::function<void()>& step) {
    // Ended before its ports ran: under --json still one closing event, with the reason.
    if (!options.isStation() || !options.json) return step();
    try {
        step();
    } catch (const s19Error& error) {
        writeStationEvent(options, console, 0, EXIT_FILE, oneLine(readingError(error)));
        throw;
    } catch (int status) {
        writeStationEvent(options, console, 0, status, oneLine(console.lastError));
        throw;
    }
}
