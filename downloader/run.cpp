// The run driver: the outputs checked, the log begun, then the port list, a station or one controller, and
// the unit record of a single run.
#include "program.h"

#include "monitor/read_areas.h"
#include "results/results.h"
#include "serials/serials.h"
#include "station/station.h"

#include <chrono>

namespace {

/// What a read-back reads: the ranges given, else what the firmware files' records cover, else the unpaged
/// flash.
std::vector<monitor::Area> readAreas(const Options& options, const FirmwareImage& image) {
    std::vector<monitor::Area> areas;
    if (!options.readRanges.empty()) {
        for (const auto& range : options.readRanges)
            areas.push_back({range.first, range.second - range.first + 1});
    } else if (!options.fileNames.empty()) {
        areas = monitor::recordAreas(image);
    } else {
        areas = monitor::defaultAreas();
    }
    return monitor::normaliseAreas(areas);
}

} // namespace

void runCommand(const Options& options, Console& console, Downloader& controller, RunRecord& record) {
    // A station's stream is its ports' events and its own closing event; its console stays quiet then.
    if (options.isStation() && options.json) {
        console.events.stop();
        console.sink = nullptr;
        // The stream begins with the slots, also when the station ends before its ports ran.
        station::writeStationStart(options, console);
    }
    if (!options.listPorts)
        console.events.start(options.commandLine, options.portName(), options.baudRate, options.tags);
    // Nothing is written, not even the log's header, before the outputs are known to be safe to write.
    station::guardBeforePorts(options, console, [&] { checkOutputs(options, console); });
    std::string reason;
    if (options.logPath && !console.log.open(*options.logPath, options.commandLine, reason))
        console.fatal(EXIT_USAGE, "ERROR: Could not open log file %s: %s.", options.logPath->c_str(),
                      reason.c_str());
    if (options.listPorts) {
        printPorts(PortRoots(), console);
        return;
    }
    if (!options.resultsPath.empty())
        station::guardBeforePorts(options, console,
                                  [&] { record.results.open(options.resultsPath, console); });
    console.message(1, "Velquin Download %d.%02d", VQ2DL_VERSION_MAJOR, VQ2DL_VERSION_MINOR);
    console.message(1, "%s", "");
    if (!options.awaitUnit.empty()) {
        awaitUnit(options, console);
        return;
    }
    if (options.isStation()) {
        station::run(options, console, record.results);
        return;
    }
    checkFiles(options, console, record.files);
    controller.image = std::move(record.files.image);
    controller.kept.bytes = std::move(record.files.keptBytes);
    if (options.wipeOnly)
        controller.runWipe();
    else if (!options.readBackFile.empty())
        controller.runReadBack(readAreas(options, controller.image));
    else
        controller.runDownload(record.files.generation);
}

void recordRun(const Options& options, Console& console, const Downloader& controller, RunRecord& record,
               int status) {
    if (!record.results.isOpen() || options.isStation()) return;
    UnitFacts facts;
    facts.port = options.recordedPort();
    facts.device = options.portPath.empty() ? platformDeviceName(options.port) : options.portPath;
    const CheckedFiles& files = record.files;
    for (size_t i = 0; i < files.filesRead.size(); ++i)
        facts.files.push_back(
            {{"name", files.filesRead[i].first},
             {"sha256", files.digests[i]},
             {"header",
              files.headers[i].empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(files.headers[i])},
             {"generation", files.filesRead[i].second}});
    if (!files.filesRead.empty()) facts.generation = files.filesRead.back().second;
    facts.action = options.action();
    facts.switches = recordedSwitches(options);
    facts.tags = options.tags;
    facts.status = status;
    facts.ok = status == EXIT_DONE;
    facts.outcome = controller.settleOutcome(status);
    facts.ended = std::chrono::system_clock::now();
    facts.started = facts.ended - std::chrono::milliseconds(console.elapsedMs());
    const std::string error = oneLine(console.lastError);
    facts.error = facts.ok ? "" : error.empty() ? "status " + std::to_string(status) : error;
    facts.seconds = static_cast<double>(console.elapsedMs()) / 1000.0;
    facts.ms = static_cast<double>(console.elapsedMs());
    if (facts.ok) {
        const bool monitor = facts.generation == "VQ-II";
        const uint64_t bytes = controller.bytesMoved;
        facts.written = facts.action == "download" ? bytes : 0;
        facts.verified = monitor && (facts.action == "download" || facts.action == "verify") ? bytes : 0;
        facts.read = facts.action == "read" ? bytes : 0;
    }
    for (const monitor::KeepRange& range : controller.kept.ranges)
        facts.kept.push_back({{"range", monitor::rangeText(range)},
                              {"file", controller.kept.file},
                              {"sha256", controller.kept.sha256}});
    if (!controller.serial.state.empty()) facts.serial = serials::recordOf(options.serial, controller.serial);
    record.results.record(facts, console);
}

void printPorts(const PortRoots& roots, Console& console) {
    // Asked for, so shown at every verbosity; under --json one event per port.
    const std::vector<PortListing> ports = platformListPorts(roots);
    for (const PortListing& listed : ports)
        console.events.port(listed.name, listed.details);
    std::vector<std::string> lines = portListingLines(ports);
    if (lines.empty()) lines.push_back("No serial ports found.");
    for (const std::string& line : lines) {
        console.log.write(line.c_str());
        if (!console.events.active()) console.print(line.c_str());
    }
}
