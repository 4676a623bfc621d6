// The station's part of the records and the stream: each port's unit line from what its child reported, the
// moment the port ends, and the first event of a station's stream.
#include "station.h"

#include "command_line.h"
#include "console/console.h"
#include "json_line.h"
#include "options.h"
#include "platform/system.h"
#include "results/results.h"

#include <chrono>

using station::PortState;
using Json = nlohmann::ordered_json;

namespace {

/// The wall-clock time of a moment on the steady clock.
std::chrono::system_clock::time_point wallTime(int64_t steadyMs) {
    return std::chrono::system_clock::now() - std::chrono::milliseconds(platformNowMs() - steadyMs);
}

} // namespace

UnitFacts station::portFacts(const PortState& state, const std::vector<std::string>& switches,
                             const char* action) {
    UnitFacts facts;
    facts.port = state.slot.name;
    facts.device = state.device;
    for (const Json& file : state.files) {
        // The station keeps each file as the record has it, every field of its type.
        facts.files.push_back(file);
        facts.generation = file["generation"].get<std::string>();
    }
    facts.action = action;
    facts.switches = switches;
    facts.status = state.status;
    facts.ok = state.status == 0;
    facts.outcome = state.outcome;
    facts.started = wallTime(state.startedMs);
    facts.ended = wallTime(state.endedMs);
    // The child's own text where it gave one, else the station's reason; on one line either way.
    const bool told = state.result.is_object() && state.result["error"].is_string();
    const std::string childError = told ? state.result["error"].get<std::string>() : "";
    facts.error = facts.ok ? "" : oneLine(childError.empty() ? state.reason : childError);
    facts.seconds = static_cast<double>(state.endedMs - state.startedMs) / 1000.0;
    const Json bytes = state.result.is_null() ? Json::object() : state.result.value("bytes", Json::object());
    facts.written = bytes.value("written", uint64_t(0));
    facts.verified = bytes.value("verified", uint64_t(0));
    facts.read = bytes.value("read", uint64_t(0));
    facts.kept = state.kept;
    facts.serial = state.serial;
    return facts;
}

void station::recordPort(PortState& slot, const Options& options, Console& console, ResultsFile& results,
                         int cycle) {
    slot.recorded = true;
    UnitFacts facts = station::portFacts(slot, recordedSwitches(options), options.action());
    facts.cycle = cycle;
    facts.tags = options.tags;
    facts.ms = static_cast<double>(console.elapsedMs());
    results.record(facts, console);
}

void station::writeStationStart(const Options& options, Console& console) {
    Json slots = Json::array();
    for (const station::PortSpec& slot : options.stationPorts)
        slots.push_back({{"name", slot.name}, {"device", slot.port}});
    Json event = {{"v", 1},
                  {"event", "station_start"},
                  {"ms", console.elapsedMs()},
                  {"program", "vq2dl"},
                  {"version", VQ2DL_VERSION},
                  {"command_line", options.commandLine},
                  {"run", runId()},
                  {"tags", tagsObject(options.tags)},
                  {"ports", slots}};
    station::Output output;
    output.add(jsonLine(event));
    station::writeLast(output, false);
}
