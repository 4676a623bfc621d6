// What the children of a station say: their events, taken into each port's state and passed on.
#include "station.h"

#include "console/format.h"

#include <algorithm>

namespace station {

namespace {

using Json = nlohmann::ordered_json;

/// A text field of an event, or empty.
std::string textOf(const Json& event, const char* field) {
    auto it = event.find(field);
    return it != event.end() && it->is_string() ? it->get<std::string>() : std::string();
}

/// A number field of an event, or 0.
double numberOf(const Json& event, const char* field) {
    auto it = event.find(field);
    return it != event.end() && it->is_number() ? it->get<double>() : 0.0;
}

/// A new step, kept in the order it came for the pipe form, which prints every one.
void setStep(PortState& port, const std::string& step) {
    if (step != port.step) port.newSteps.push_back(step);
    port.step = step;
}

void takeResult(PortState& port, const Json& event, int64_t nowMs) {
    port.result = event;
    port.finished = true;
    port.endedMs = nowMs;
    port.status = static_cast<int>(numberOf(event, "status"));
    const bool ok = event.value("ok", false) && port.status == 0;
    setStep(port, ok ? "done" : "FAILED");
    port.reason = ok ? "" : textOf(event, "error");
    if (!ok && port.reason.empty()) port.reason = port.lastText;
    if (!ok && port.status == 0) port.status = 5; // a failure reported as success is none
    if (ok) port.percent = 100;
}

} // namespace

std::string stepWords(const std::string& step) {
    static const char* const WORDS[][2] = {
        {"enter", "entering the monitor"},
        {"keep", "keeping the unit's bytes"},
        {"erase", "erasing"},
        {"write", "writing"},
        {"verify", "verifying"},
        {"read", "reading"},
        {"wake", "waking the boot loader"},
        {"wipe", "erasing"},
        {"signature", "reading the signature"},
    };
    for (const auto& word : WORDS)
        if (step == word[0]) return word[1];
    return step;
}

Json takeEvent(PortState& port, Json event, int64_t nowMs) {
    const std::string name = textOf(event, "event");
    if (name == "start") {
        setStep(port, "opening");
    } else if (name == "file") {
        port.files.push_back(event);
    } else if (name == "open") {
        port.device = textOf(event, "device");
    } else if (name == "step") {
        setStep(port, stepWords(textOf(event, "step")));
        port.percent = 0;
        port.bytes = 0;
    } else if (name == "progress") {
        port.percent = std::clamp(numberOf(event, "percent"), 0.0, 100.0);
        port.bytes = static_cast<uint64_t>(std::max(0.0, numberOf(event, "bytes")));
    } else if (name == "message") {
        std::string text = textOf(event, "text");
        if (numberOf(event, "level") <= 0 && !text.empty()) port.lastText = withoutErrorWord(text);
    } else if (name == "kept") {
        const Json ranges = event.value("ranges", Json::array());
        for (const Json& range : ranges)
            if (range.is_string())
                port.kept.push_back(
                    {{"range", range}, {"file", textOf(event, "file")}, {"sha256", textOf(event, "sha256")}});
    } else if (name == "result") {
        takeResult(port, event, nowMs);
    }
    port.changed = true;
    // Each event names the station's port; the start event's own port is replaced by it.
    event["port"] = port.slot.name;
    return event;
}

bool takeLine(PortState& port, const std::string& line, int64_t nowMs, Json& passedOn) {
    port.lastHeardMs = nowMs;
    Json event = Json::parse(line, nullptr, false);
    if (event.is_discarded() || !event.is_object() || !event.contains("event")) {
        // Not an event: a crash's last words, kept as the reason should no result come.
        std::string text = line;
        while (!text.empty() && (text.back() == '\r' || text.back() == ' '))
            text.pop_back();
        if (!text.empty()) port.lastText = text;
        return false;
    }
    passedOn = takeEvent(port, std::move(event), nowMs);
    return true;
}

void settleEnded(PortState& port, int64_t nowMs) {
    port.changed = true;
    if (port.endedMs < 0) port.endedMs = nowMs;
    if (port.finished) return;
    port.finished = true;
    setStep(port, "FAILED");
    port.status = port.child.status != 0 ? port.child.status : 5;
    if (!port.stopReason.empty())
        port.reason = port.stopReason;
    else if (port.child.signalNumber)
        port.reason = "ended by signal " + std::to_string(port.child.signalNumber) + " without a result";
    else if (!port.lastText.empty())
        port.reason = port.lastText;
    else
        port.reason = "ended without a result (status " + std::to_string(port.child.status) + ")";
}

int stationStatus(const std::vector<PortState>& ports) {
    int status = 0;
    for (const PortState& port : ports)
        status = std::max(status, port.status);
    return status;
}

} // namespace station
