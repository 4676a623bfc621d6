// The run of a production station: the firmware read once, a child vq2dl --json per port, the table while
// they run, then the summary, the unit records and one exit status.
#include "downloader.h"
#include "results/results.h"
#include "signals.h"
#include "station.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

using station::PortState;
using Json = nlohmann::ordered_json;

/// How long a child may say nothing at all before it is taken for hung and stopped. The variable
/// VQ2DL_STATION_SILENCE_MS sets a shorter limit for the tests of a hung child.
constexpr int64_t SILENCE_MS = 120000;
/// How long children have after the signal before they are killed, and after that before the station gives
/// up.
constexpr int64_t STOP_GRACE_MS = 3000;
constexpr int64_t KILL_GRACE_MS = 2000;
/// How long, once stopping, the station waits for a console that does not read before it drops its output.
constexpr int CONSOLE_GRACE_MS = 500;
/// How often the station asks after its children when their pipes are still open.
constexpr int64_t SETTLE_MS = 200;
/// How long the pipe of an ended child is read on for what it still holds.
constexpr int64_t DRAIN_MS = 1000;

/// The longest line a child may write; more without a line end is taken as a line of its own.
constexpr size_t MAX_LINE = 1 << 20;

int64_t silenceLimitMs() {
    const char* text = std::getenv("VQ2DL_STATION_SILENCE_MS");
    const long long limit = text ? std::atoll(text) : 0;
    return limit > 0 ? limit : SILENCE_MS;
}

/// Takes the whole lines a child has written; under --json each event goes on with its port.
void takeOutput(PortState& port, int64_t now, bool json, station::Output& output) {
    if (port.child.received.size() > MAX_LINE && port.child.received.find('\n') == std::string::npos)
        port.child.received += '\n';
    size_t start = 0, end;
    while ((end = port.child.received.find('\n', start)) != std::string::npos) {
        Json event;
        if (station::takeLine(port, port.child.received.substr(start, end - start), now, event) && json)
            output.add(event.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n");
        start = end + 1;
    }
    port.child.received.erase(0, start);
}

/// The stop of every child: the station's signal passed on first, SIGKILL when the grace is over.
struct Stopping {
    int64_t since = -1; ///< when the stop began; -1 while none has
    bool killed = false;
};

void stopChildren(std::vector<PortState>& ports, Stopping& stopping, int signalNumber, int64_t now) {
    if (stopping.since < 0) {
        stopping.since = now;
        for (PortState& port : ports) {
            if (port.finished) continue;
            port.stopSignal = signalNumber;
            platformStopChild(port.child, signalNumber, false);
        }
    } else if (!stopping.killed && now - stopping.since > STOP_GRACE_MS) {
        stopping.killed = true;
        for (const PortState& port : ports)
            platformStopChild(port.child, signalNumber, true);
    }
}

/// What an ended child left without a line end: its last words when its pipe closed, unless they are the
/// start of an event; a pipe that was still open gives only a fragment, which is no reason.
void takeLeftover(PortState& port) {
    std::string& rest = port.child.received;
    if (port.child.output < 0 && !rest.empty() && rest[0] != '{') {
        Json ignored;
        station::takeLine(port, rest, port.lastHeardMs, ignored);
    }
    rest.clear();
}

/// Ends the ports whose children have ended and whose pipes are drained; stops a child that hung.
bool settlePorts(std::vector<PortState>& ports, int64_t now, int64_t silenceMs) {
    bool running = false;
    for (PortState& port : ports) {
        if (port.child.process < 0 || (port.child.exited && port.child.output < 0 && port.finished)) continue;
        const bool ended = platformChildEnded(port.child);
        if (ended && port.endedMs < 0 && !port.finished) port.endedMs = now;
        if (ended && (port.child.output < 0 || now - port.endedMs > DRAIN_MS)) {
            takeLeftover(port);
            platformReleaseChild(port.child);
            station::settleEnded(port, now);
            continue;
        }
        running = true;
        if (!ended && now - port.lastHeardMs > silenceMs && port.stopReason.empty() && !port.stopSignal) {
            port.stopReason =
                "stopped after " + std::to_string((silenceMs + 999) / 1000) + " s without a word";
            platformStopChild(port.child, 0, true);
        }
    }
    return running;
}

/// Hands what is pending to the console: as long as it takes while the ports run (a signal ends the wait),
/// for a short grace once the station stops, after which a console that does not read is given up on.
void passOn(station::Output& output, const Stopping& stopping, int64_t now) {
    if (stopping.since < 0) {
        while (!output.flush(100) && !stopSignal() && !output.given_up()) {}
        if (output.empty()) return;
    }
    const int64_t since = stopping.since < 0 ? now : stopping.since;
    if (!output.flush(0) && now - since >= CONSOLE_GRACE_MS) output.drop();
}

/// Passes the children's output on and shows it, until every child has ended or a signal has stopped them
/// all.
void watchPorts(std::vector<PortState>& ports, station::Display& display, bool json) {
    Stopping stopping;
    const int64_t silenceMs = silenceLimitMs();
    std::vector<ChildProcess*> children;
    for (PortState& port : ports)
        children.push_back(&port.child);
    int64_t settledAt = 0;
    while (true) {
        platformReadChildren(children, 100);
        const int64_t now = platformNowMs();
        for (PortState& port : ports)
            takeOutput(port, now, json, display.output);
        // Children are looked after a few times a second, and at once when a pipe has closed: sixteen
        // ports write about 160 events a second, and each wake-up need not ask after every process.
        const bool closed = std::any_of(ports.begin(), ports.end(), [](const PortState& port) {
            return port.child.output < 0 && !port.finished;
        });
        if (closed || stopping.since >= 0 || now - settledAt >= SETTLE_MS) {
            settledAt = now;
            if (!settlePorts(ports, now, silenceMs)) break;
        }
        if (stopSignal()) stopChildren(ports, stopping, stopSignal(), now);
        if (stopping.killed && now - stopping.since > STOP_GRACE_MS + KILL_GRACE_MS) break;
        // A terminal that does not say its width is taken for the usual 80 columns.
        if (display.terminal)
            display.columns = platformTerminalColumns() > 0 ? platformTerminalColumns() : 80;
        if (!json) station::showPorts(display, ports, now, false);
        passOn(display.output, stopping, now);
    }
    // A child that even SIGKILL did not end within its grace is given up on: a failed port.
    for (PortState& port : ports)
        if (!port.finished) {
            port.stopReason = "did not end when it was stopped";
            station::settleEnded(port, platformNowMs());
        }
}

/// The station's closing event under --json: the counts, the status and why it ended before its ports.
std::string stationEventLine(size_t ports, int64_t ms, size_t succeeded, int status,
                             const std::string& error) {
    Json event = {{"v", 1},
                  {"event", "station"},
                  {"ms", ms},
                  {"ports", ports},
                  {"succeeded", succeeded},
                  {"failed", ports - succeeded},
                  {"status", status},
                  {"error", error.empty() ? Json(nullptr) : Json(error)}};
    return event.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

/// Writes the last of the station's output: as long as the console takes it, but once the station was
/// stopped, or a signal comes now, never longer than a short grace.
void writeOut(station::Output& output, bool stopped) {
    if (!stopped)
        while (!output.flush(100) && !stopSignal() && !output.given_up()) {}
    if (!output.flush(CONSOLE_GRACE_MS)) output.drop();
}

} // namespace

std::vector<std::string> Downloader::childCommand(const station::PortSpec& slot) const {
    std::vector<std::string> args = {platformSelfPath(programName), "--json", "--no-extract", "-c",
                                     slot.port};
    if (!logDir.empty()) {
        args.push_back("--log");
        args.push_back(logDir + "/" + station::logFileName(slot.name));
    }
    for (const std::string& arg : childArgs)
        if (arg != "--json" && arg != "--no-extract") args.push_back(arg);
    return args;
}

void Downloader::prepareStation() {
    // 1. The files once, before any port opens: a fault ends the run with status 3 and no child starts.
    if (!wipeOnly) {
        if (readFiles() == Generation::VQ2)
            checkMonitorImage();
        else if (!verifyOnly)
            checkBootLoaderImage();
    }
    // 2. The folder of the logs, made when missing; one that cannot be made is a fault of the command line.
    std::error_code error;
    if (!logDir.empty() && !std::filesystem::is_directory(logDir, error) &&
        !std::filesystem::create_directories(logDir, error))
        fatal(EXIT_USAGE, "ERROR: Could not make the log folder %s: %s.", logDir.c_str(),
              error.message().c_str());
}

void Downloader::guardStation(const std::function<void()>& step) {
    // Ended before its ports ran: under --json still one closing event, with the reason.
    if (stationPorts.empty() || !jsonEvents) return step();
    try {
        step();
    } catch (const s19Error& error) {
        writeStationEvent(0, EXIT_FILE, oneLine(readingError(error)));
        throw;
    } catch (int status) {
        writeStationEvent(0, status, oneLine(lastError));
        throw;
    }
}

void Downloader::runStation() {
    guardStation([this] { prepareStation(); });
    catchStopSignals();
    // 3. A child per port, all at once.
    std::vector<PortState> ports(stationPorts.size());
    for (size_t i = 0; i < ports.size(); ++i) {
        PortState& state = ports[i];
        state.slot = stationPorts[i];
        state.device = state.slot.port;
        state.startedMs = state.lastHeardMs = platformNowMs();
        std::string reason;
        if (!platformStartChild(childCommand(state.slot), state.child, reason)) {
            state.lastText = "could not start vq2dl: " + reason;
            state.child.exited = true;
            state.child.status = EXIT_INTERNAL;
            station::settleEnded(state, state.startedMs);
        }
    }
    const bool json = jsonEvents;
    station::Display display;
    // A console that cannot take the table's escape sequences gets the whole lines of a pipe.
    display.terminal = !json && personWatching() && platformConsoleTakesEscapes();
    // 4. Their output until every one has ended, or a signal has stopped them all.
    watchPorts(ports, display, json);
    finishStation(ports, display);
}

namespace {

/// The unit record of one port of a station, from what its child reported.
UnitFacts portFacts(const PortState& state, const std::vector<std::string>& switches, const char* action) {
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
    return facts;
}

} // namespace

void Downloader::finishStation(std::vector<PortState>& ports, station::Display& display) {
    const int64_t now = platformNowMs();
    const int signalNumber = stopSignal();
    const int status = signalNumber ? 128 + signalNumber : station::stationStatus(ports);
    // The records first: they matter more than a console that may not be read.
    std::vector<std::string> switches;
    for (const std::string& arg : childArgs)
        if (std::find(fileNames.begin(), fileNames.end(), arg) == fileNames.end()) switches.push_back(arg);
    const char* action = wipeOnly ? "wipe" : verifyOnly ? "verify" : "download";
    for (const PortState& slot : ports) {
        UnitFacts facts = portFacts(slot, switches, action);
        facts.ms = static_cast<double>(eventMs());
        recordUnit(facts);
    }
    const size_t succeeded = static_cast<size_t>(
        std::count_if(ports.begin(), ports.end(), [](const PortState& slot) { return slot.status == 0; }));
    station::Output& output = display.output;
    if (jsonEvents) {
        output.add(stationEventLine(ports.size(), eventMs(), succeeded, status, ""));
    } else {
        station::showPorts(display, ports, now, true);
        station::closeDisplay(display);
        // On a terminal each line fits its width; in a pipe or a file each is whole.
        const int columns = personWatching() ? platformTerminalColumns() : 0;
        if (shows(1)) {
            output.add("\n");
            for (const std::string& line : station::summaryLines(ports, columns))
                output.add(line + "\n");
        }
        if (succeeded < ports.size() && shows(0))
            output.add("Rerun the failed ports: " + station::retryCommand(programName, ports, retryArgs) +
                       "\n");
    }
    writeOut(output, signalNumber != 0);
    if (status != 0) throw status;
}

void Downloader::writeStationEvent(size_t succeeded, int status, const std::string& error) {
    station::Output output;
    output.add(stationEventLine(stationPorts.size(), eventMs(), succeeded, status, error));
    writeOut(output, false);
}
