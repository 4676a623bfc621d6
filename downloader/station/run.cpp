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
    station::watchPorts(ports, display, json);
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
    station::writeLast(output, signalNumber != 0);
    if (status != 0) throw status;
}

void Downloader::writeStationEvent(size_t succeeded, int status, const std::string& error) {
    station::Output output;
    output.add(stationEventLine(stationPorts.size(), eventMs(), succeeded, status, error));
    station::writeLast(output, false);
}
