// What the operator sees of a fixture loop: per port what to do next and the counts, redrawn in a table on a
// terminal or as "[NAME] " lines in a pipe; the summary at the end.
#include "station/loop.h"

#include "results/results.h"

#include <algorithm>
#include <cstdio>

namespace station {

namespace {

std::string cut(std::string text, int columns) {
    const size_t limit = columns > 1 ? static_cast<size_t>(columns - 1) : 1;
    if (text.size() > limit) text.resize(limit);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

} // namespace

std::string operatorText(const LoopSlot& slot) {
    switch (slot.phase) {
    case Phase::Insert:
        return "insert a unit";
    case Phase::Programming: {
        const PortState& unit = slot.unit;
        if (unit.step == "starting" || unit.step == "opening") return "programming";
        char text[64];
        std::snprintf(text, sizeof text, "programming %d %%", static_cast<int>(unit.percent));
        return unit.percent > 0 ? text : "programming: " + unit.step;
    }
    case Phase::Remove:
        // A reason of several lines would break the table: one line, as the records keep it.
        return slot.unit.status == 0 ? "remove: ok" : "remove: FAILED - " + oneLine(slot.unit.reason);
    case Phase::Done:
        return slot.trouble.empty() ? "done" : "stopped: " + slot.trouble;
    }
    return "";
}

std::vector<std::string> loopRows(const std::vector<LoopSlot>& slots, int columns) {
    size_t nameWidth = 4, portWidth = 4;
    for (const LoopSlot& slot : slots) {
        nameWidth = std::max(nameWidth, slot.slot.name.size());
        portWidth = std::max(portWidth, slot.slot.port.size());
    }
    // The port gives way first when the terminal is narrow.
    const bool withPort = nameWidth + 2 + portWidth + 2 + 18 + 2 + 30 < static_cast<size_t>(columns);
    char numbers[48];
    std::snprintf(numbers, sizeof numbers, "%4s  %4s  %6s", "UNIT", "OK", "FAILED");
    std::vector<std::string> rows{cut(padded("NAME", nameWidth) + "  " +
                                          (withPort ? padded("PORT", portWidth) + "  " : "") + numbers +
                                          "  DO",
                                      columns)};
    for (const LoopSlot& slot : slots) {
        std::snprintf(numbers, sizeof numbers, "%4d  %4d  %6d", slot.cycle, slot.ok, slot.failed);
        rows.push_back(cut(padded(slot.slot.name, nameWidth) + "  " +
                               (withPort ? padded(slot.slot.port, portWidth) + "  " : "") + numbers + "  " +
                               operatorText(slot),
                           columns));
    }
    return rows;
}

std::string loopChanges(std::vector<LoopSlot>& slots) {
    std::string out;
    for (LoopSlot& slot : slots) {
        // The unit's own steps as a station prints them, then what the operator must do when that changed.
        const std::string unit = "[" + slot.slot.name + "] unit " + std::to_string(slot.cycle) + ": ";
        for (const std::string& step : slot.unit.newSteps) {
            if (step == "FAILED")
                out += unit + "FAILED (status " + std::to_string(slot.unit.status) +
                       "): " + oneLine(slot.unit.reason) + "\n";
            else
                out += unit + step + "\n";
        }
        slot.unit.newSteps.clear();
        const std::string text = slot.phase == Phase::Programming
                                     ? "programming unit " + std::to_string(slot.cycle)
                                     : operatorText(slot);
        if (text == slot.shownText) continue;
        slot.shownText = text;
        out += "[" + slot.slot.name + "] " + text + "\n";
    }
    return out;
}

std::vector<std::string> loopSummary(const std::vector<LoopSlot>& slots) {
    size_t nameWidth = 4, portWidth = 4;
    for (const LoopSlot& slot : slots) {
        nameWidth = std::max(nameWidth, slot.slot.name.size());
        portWidth = std::max(portWidth, slot.slot.port.size());
    }
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%5s  %4s  %6s", "UNITS", "OK", "FAILED");
    std::vector<std::string> lines{padded("NAME", nameWidth) + "  " + padded("PORT", portWidth) + "  " +
                                   numbers};
    int ok = 0, failed = 0;
    for (const LoopSlot& slot : slots) {
        std::snprintf(numbers, sizeof numbers, "%5d  %4d  %6d", slot.ok + slot.failed, slot.ok, slot.failed);
        std::string line =
            padded(slot.slot.name, nameWidth) + "  " + padded(slot.slot.port, portWidth) + "  " + numbers;
        if (!slot.trouble.empty()) line += "  stopped: " + slot.trouble;
        lines.push_back(line);
        ok += slot.ok;
        failed += slot.failed;
    }
    lines.push_back("");
    lines.push_back(std::to_string(ok + failed) + (ok + failed == 1 ? " unit: " : " units: ") +
                    std::to_string(ok) + " ok, " + std::to_string(failed) + " failed.");
    return lines;
}

int loopStatus(const std::vector<LoopSlot>& slots) {
    int status = 0;
    for (const LoopSlot& slot : slots)
        status = std::max(status, slot.worst);
    return status;
}

} // namespace station
