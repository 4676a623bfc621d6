// The fixture loop's run. One process still serves one port at a time: a port's probe child waits for a unit
// to come, the unit's own child vq2dl --json programs it, the probe child waits for it to go. The loop never
// opens a port; it decides alone whether the next unit starts, so a stop never cuts into a unit's run.
#include "station/loop.h"

#include "command_line.h"
#include "console/console.h"
#include "json_line.h"
#include "platform/signals.h"
#include "platform/system.h"
#include "preflight.h"
#include "results/results.h"
#include "station/keyboard.h"

#include <algorithm>
#include <cstdio>

namespace {

using station::LoopSlot;
using station::Phase;
using Json = nlohmann::ordered_json;

/// How often the table is redrawn at most.
constexpr int64_t REDRAW_MS = 200;

using station::DRAIN_MS, station::KILL_GRACE_MS, station::MAX_LINE, station::STOP_GRACE_MS;

/// The whole lines of a child's output, taken off what it has written.
std::vector<std::string> wholeLines(ChildProcess& child) {
    if (child.received.size() > MAX_LINE && child.received.find('\n') == std::string::npos)
        child.received += '\n';
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = child.received.find('\n', start)) != std::string::npos) {
        lines.push_back(child.received.substr(start, end - start));
        start = end + 1;
    }
    child.received.erase(0, start);
    return lines;
}

/// Keeps what a probe said that would explain its failure: its result's error, or a line that is no event.
void takeProbeOutput(LoopSlot& slot) {
    for (const std::string& line : wholeLines(slot.probe)) {
        const Json event = Json::parse(line, nullptr, false);
        if (event.is_object()) {
            if (event.value("event", "") == "result" && event.contains("error") && event["error"].is_string())
                slot.probeText = oneLine(event["error"].get<std::string>());
        } else if (!line.empty() && line != "\r") {
            slot.probeText = line;
        }
    }
}

/// Redraws the table in place, at most a few times a second.
void drawTable(station::Display& display, const std::vector<LoopSlot>& slots, int64_t now, bool force) {
    if (!force && display.drawnAt >= 0 && now - display.drawnAt < REDRAW_MS) return;
    display.drawnAt = now;
    display.columns = platformTerminalColumns() > 0 ? platformTerminalColumns() : 80;
    std::string frame = display.rowsDrawn ? "\r\x1b[" + std::to_string(display.rowsDrawn) + "A" : "\x1b[?25l";
    const std::vector<std::string> rows = station::loopRows(slots, display.columns);
    for (const std::string& row : rows)
        frame += "\x1b[2K" + row + "\n";
    display.rowsDrawn = rows.size();
    station::writeOut(frame);
}

} // namespace

void station::runLoop(const Options& options, Console& console, ResultsFile& results) {
    const bool json = options.json;
    const int loopCount = options.loopCount;
    bool draining = false;
    std::string typed;
    int64_t forcedAt = -1;
    bool killed = false;
    // The way back of a failed unit is a station run of its one port, with no loop.
    std::vector<Argument> wayBackSwitches;
    for (const Argument& argument : rerunSwitches(options))
        if (argument.switchName != "loop" && argument.switchName != "loop-count")
            wayBackSwitches.push_back(argument);

    const auto startProbe = [&](LoopSlot& slot, const char* awaited, Phase phase) {
        std::vector<std::string> args = childCommand(options, slot.slot);
        // A probe leaves the port's support log to the units' runs.
        const auto log = std::find(args.begin(), args.end(), "--log");
        if (log != args.end()) args.erase(log, log + 2);
        args.push_back("--await-unit");
        args.push_back(awaited);
        slot.probe = ChildProcess{};
        slot.probeStopped = false;
        slot.probeText.clear();
        slot.phase = phase;
        std::string reason;
        if (!platformStartChild(args, slot.probe, reason)) {
            slot.trouble = "could not start vq2dl: " + reason;
            slot.worst = std::max(slot.worst, static_cast<int>(EXIT_INTERNAL));
            slot.phase = Phase::Done;
        }
    };
    const auto startUnit = [&](LoopSlot& slot, int64_t now) {
        slot.unit = station::PortState{};
        slot.unit.slot = slot.slot;
        slot.unit.device = slot.slot.port;
        slot.unit.startedMs = slot.unit.lastHeardMs = now;
        // Out of reach of the terminal's Ctrl-C: the first stop lets a unit's run finish.
        slot.unit.child.ownGroup = true;
        ++slot.cycle;
        slot.phase = Phase::Programming;
        std::string reason;
        if (!platformStartChild(childCommand(options, slot.slot), slot.unit.child, reason)) {
            slot.unit.lastText = "could not start vq2dl: " + reason;
            slot.unit.child.exited = true;
            slot.unit.child.status = EXIT_INTERNAL;
        }
    };
    const auto unitEnded = [&](LoopSlot& slot) {
        // Each unit's record the moment it ends, so a station that dies later loses none.
        station::recordPort(slot.unit, options, console, results, slot.cycle);
        if (slot.unit.status == 0) {
            ++slot.ok;
        } else {
            ++slot.failed;
            slot.worst = std::max(slot.worst, slot.unit.status);
            // What the failed unit kept, and how it gets it back once it is out of the fixture: "[A] unit 3:
            // ".
            for (std::string line : station::restoreLines(options.programName, slot.unit, wayBackSwitches))
                slot.wayBack.push_back(
                    line.insert(slot.slot.name.size() + 3, "unit " + std::to_string(slot.cycle) + ": "));
        }
        if (draining || (loopCount > 0 && slot.cycle >= loopCount))
            slot.phase = Phase::Done;
        else
            startProbe(slot, "gone", Phase::Remove);
    };

    std::vector<LoopSlot> slots(options.stationPorts.size());
    for (size_t i = 0; i < slots.size(); ++i) {
        slots[i].slot = options.stationPorts[i];
        startProbe(slots[i], "there", Phase::Insert);
    }
    station::Display display;
    display.terminal = !json && console.personWatching();
    if (display.terminal)
        console.message(1,
                        "Swap the units in and out; Ctrl-C or q and Enter stops after the units under way.");
    const int64_t silenceMs = station::silenceLimitMs();
    while (true) {
        std::vector<ChildProcess*> children;
        for (LoopSlot& slot : slots) {
            if (slot.phase == Phase::Programming) children.push_back(&slot.unit.child);
            if (slot.phase == Phase::Insert || slot.phase == Phase::Remove) children.push_back(&slot.probe);
        }
        platformReadChildren(children, 100);
        const int64_t now = platformNowMs();
        // The first stop (or q and Enter) takes no new unit, the second stops the runs under way. A line
        // typed on the terminal moved the cursor down: the next redraw goes up over it too.
        size_t echoed = 0;
        const bool quit = platformQuitTyped(typed, echoed);
        if (display.terminal && display.rowsDrawn) display.rowsDrawn += echoed;
        if (!draining && (stopSignalCount() > 0 || quit)) draining = true;
        if (stopSignalCount() > 1 && forcedAt < 0) forcedAt = now;
        std::string out;
        for (LoopSlot& slot : slots) {
            if (draining && (slot.phase == Phase::Insert || slot.phase == Phase::Remove) &&
                !slot.probeStopped) {
                slot.probeStopped = true;
                platformStopChild(slot.probe, 0, false);
            }
            if (slot.phase == Phase::Insert || slot.phase == Phase::Remove) {
                takeProbeOutput(slot);
                if (!platformChildEnded(slot.probe)) continue;
                platformReleaseChild(slot.probe);
                if (slot.probeStopped || draining) {
                    slot.phase = Phase::Done;
                } else if (slot.probe.status != 0) {
                    slot.trouble = slot.probeText.empty() ? "the probe of the port ended with status " +
                                                                std::to_string(slot.probe.status)
                                                          : slot.probeText;
                    slot.worst = std::max(slot.worst, slot.probe.status);
                    slot.phase = Phase::Done;
                } else if (slot.phase == Phase::Insert) {
                    startUnit(slot, now);
                } else {
                    startProbe(slot, "there", Phase::Insert);
                }
                continue;
            }
            if (slot.phase != Phase::Programming) continue;
            station::PortState& unit = slot.unit;
            for (const std::string& line : wholeLines(unit.child)) {
                Json event;
                if (station::takeLine(unit, line, now, event) && json)
                    out += jsonLine(station::onStationClock(std::move(event), now, console.startMs));
            }
            // After the second stop: SIGTERM once, SIGKILL once the grace is over.
            const bool term = forcedAt == now,
                       forceKill = forcedAt >= 0 && !killed && now - forcedAt > STOP_GRACE_MS;
            if (term || forceKill) platformStopChild(unit.child, 0, forceKill);
            const bool ended = platformChildEnded(unit.child);
            if (ended && unit.endedMs < 0 && !unit.finished) unit.endedMs = now;
            if (ended && (unit.child.output < 0 || now - unit.endedMs > DRAIN_MS)) {
                if (!unit.child.received.empty()) unit.lastText = unit.child.received;
                platformReleaseChild(unit.child);
                station::settleEnded(unit, now);
                unitEnded(slot);
            } else if (!ended && now - unit.lastHeardMs > silenceMs && unit.stopReason.empty()) {
                unit.stopReason =
                    "stopped after " + std::to_string((silenceMs + 999) / 1000) + " s without a word";
                platformStopChild(unit.child, 0, true);
            }
        }
        if (forcedAt >= 0 && now - forcedAt > STOP_GRACE_MS) killed = true;
        if (!out.empty()) station::writeOut(out);
        if (!json && display.terminal) drawTable(display, slots, now, false);
        if (!json && !display.terminal) station::writeOut(station::loopChanges(slots));
        const bool allDone = std::all_of(slots.begin(), slots.end(),
                                         [](const LoopSlot& slot) { return slot.phase == Phase::Done; });
        if (allDone || (killed && now - forcedAt > STOP_GRACE_MS + KILL_GRACE_MS)) break;
    }
    if (!json && display.terminal) {
        drawTable(display, slots, platformNowMs(), true);
        station::closeDisplay(display);
        station::writeLast(display.output, stopSignal() != 0);
    }
    // A first stop was handled in full (no unit cut short): the run ends as its units did.
    const bool forced = stopSignalCount() > 1;
    if (!forced) clearStopSignal();
    const int status = forced ? 128 + stopSignal() : station::loopStatus(slots);
    if (json) {
        const size_t clean = static_cast<size_t>(
            std::count_if(slots.begin(), slots.end(), [](const LoopSlot& slot) { return slot.worst == 0; }));
        // The station's closing event: its ports, those whose units all succeeded, the status.
        const Json event = {{"v", 1},
                            {"event", "station"},
                            {"ms", console.elapsedMs()},
                            {"ports", slots.size()},
                            {"succeeded", clean},
                            {"failed", slots.size() - clean},
                            {"status", status},
                            {"error", nullptr}};
        station::writeOut(jsonLine(event));
    } else {
        console.message(1, "%s", "");
        for (const std::string& line : station::loopSummary(slots))
            console.message(1, "%s", line.c_str());
        for (const LoopSlot& slot : slots)
            for (const std::string& line : slot.wayBack)
                console.message(0, "%s", line.c_str());
    }
    if (status != 0) throw status;
}
