// What the children of a station say: their events, taken into each port's state and passed on.
#include "station.h"

#include "console/format.h"

#include <algorithm>
#include <cstdio>

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

/// A text field as it is, or null for anything else.
Json textOrNull(const Json& event, const char* field) {
    auto it = event.find(field);
    return it != event.end() && it->is_string() ? *it : Json();
}

/// What the station keeps of a result: each field of the type the schema gives it, so that a child's stray
/// value can never break a reader of the fields further on.
Json cleanResult(const Json& event) {
    Json result = event;
    const auto ok = event.find("ok");
    result["ok"] = ok != event.end() && ok->is_boolean() && ok->get<bool>();
    result["error"] = textOrNull(event, "error");
    Json bytes = Json::object();
    const auto given = event.find("bytes");
    for (const char* field : {"written", "verified", "read"}) {
        const double count = given != event.end() && given->is_object() ? numberOf(*given, field) : 0.0;
        bytes[field] = static_cast<uint64_t>(std::max(0.0, count));
    }
    result["bytes"] = bytes;
    return result;
}

/// What the station keeps of a file event for the unit record.
Json cleanFile(const Json& event) {
    return Json{{"name", textOf(event, "name")},
                {"sha256", textOf(event, "sha256")},
                {"header", textOrNull(event, "header")},
                {"generation", textOf(event, "generation")}};
}

/// A new step, kept in the order it came for the pipe form, which prints every one.
void setStep(PortState& port, const std::string& step) {
    if (step != port.step) port.newSteps.push_back(step);
    port.step = step;
}

/// True for the signals that stop a process on request (hang-up, Ctrl-C, quit, kill, a closed pipe, a
/// termination), as opposed to a crash.
bool stopsOnRequest(int signalNumber) {
    for (int stop : {1, 2, 3, 9, 13, 15})
        if (signalNumber == stop) return true;
    return false;
}

void takeResult(PortState& port, const Json& event, int64_t nowMs) {
    port.result = cleanResult(event);
    port.finished = true;
    port.endedMs = nowMs;
    port.status = static_cast<int>(numberOf(event, "status"));
    const bool ok = port.result["ok"].get<bool>() && port.status == 0;
    setStep(port, ok ? "done" : "FAILED");
    if (!ok && port.status == 0) port.status = 5; // a failure reported as success is none
    // A child stopped on the station's signal reports its own (Ctrl-Break on Windows): the record shows the
    // station's.
    if (!ok && port.stopSignal) port.status = 128 + port.stopSignal;
    // The child's own outcome where it gave one; else what its steps and status tell.
    port.outcome = port.tracker.settle(port.status);
    const outcome::Kind kind = outcome::kindNamed(textOf(event, "kind"));
    const bool told = ok ? !textOf(event, "flash").empty() : kind != outcome::Kind::None;
    if (told)
        port.outcome = {outcome::stepNamed(textOf(event, "step")), kind,
                        outcome::flashNamed(textOf(event, "flash"))};
    if (!ok && port.stopSignal) port.outcome.kind = outcome::Kind::Signal;
    std::string text = ok ? "" : textOf(event, "error");
    if (!ok && oneLine(text).empty()) text = port.lastText;
    port.reason = ok ? "" : told ? reasonOf(port.outcome, text) : oneLine(text);
    if (ok) port.percent = 100;
}

/// What the port's last events showed, for a reason: ", last seen writing at 40 %".
std::string lastSeen(const PortState& port) {
    if (port.step == "starting" || port.step == "FAILED" || port.step == "done") return "";
    char percent[32] = "";
    if (port.percent > 0) std::snprintf(percent, sizeof percent, " at %d %%", static_cast<int>(port.percent));
    return ", last seen " + port.step + percent;
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
        {"serial", "writing the serial number"},
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
        port.files.push_back(cleanFile(event));
    } else if (name == "open") {
        port.device = textOf(event, "device");
    } else if (name == "step") {
        port.tracker.begin(textOf(event, "step"));
        setStep(port, stepWords(textOf(event, "step")));
        port.percent = 0;
        port.bytes = 0;
    } else if (name == "progress") {
        port.percent = std::clamp(numberOf(event, "percent"), 0.0, 100.0);
        port.bytes = static_cast<uint64_t>(std::max(0.0, numberOf(event, "bytes")));
    } else if (name == "message" && event.contains("advice")) {
        // What the child says to do next names the child's own command: the station says it for itself.
        return Json();
    } else if (name == "message") {
        std::string text = textOf(event, "text");
        if (numberOf(event, "level") <= 0 && !text.empty()) port.lastText = oneLine(text);
    } else if (name == "kept") {
        const Json ranges = event.value("ranges", Json::array());
        for (const Json& range : ranges)
            if (range.is_string())
                port.kept.push_back(
                    {{"range", range}, {"file", textOf(event, "file")}, {"sha256", textOf(event, "sha256")}});
    } else if (name == "serial") {
        port.serial = Json::object();
        for (const char* field : {"value", "text", "address", "bytes", "source", "state", "kept_file"})
            if (event.contains(field)) port.serial[field] = event[field];
    } else if (name == "result") {
        takeResult(port, event, nowMs);
    }
    // In a station's stream a start event is a station's port, whatever its child knows.
    if (name == "start") event["mode"] = "station";
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
        const std::string text = oneLine(line);
        if (!text.empty()) port.lastText = text;
        return false;
    }
    passedOn = takeEvent(port, std::move(event), nowMs);
    return !passedOn.is_null();
}

void settleEnded(PortState& port, int64_t nowMs) {
    port.changed = true;
    if (port.endedMs < 0) port.endedMs = nowMs;
    if (port.finished) return;
    port.finished = true;
    const std::string seen = lastSeen(port);
    setStep(port, "FAILED");
    std::string text;
    // A child the station did not stop and that said nothing is a fault of ours; one that a stop signal
    // ended, stopped.
    outcome::Kind kind = outcome::Kind::Internal;
    if (port.stopSignal) {
        // Stopped because the station was: the station's signal, however the child took it.
        port.status = 128 + port.stopSignal;
        text = "stopped by " + platformSignalName(port.stopSignal) + " to the station" + seen;
        kind = outcome::Kind::Signal;
    } else if (!port.stopReason.empty()) {
        port.status = 5;
        text = port.stopReason + seen;
    } else if (port.child.signalNumber) {
        // A signal the station did not send: not a stop of the station's, an unexpected end.
        port.status = 5;
        text = "ended by " + platformSignalName(port.child.signalNumber) + " without a result" + seen;
        if (stopsOnRequest(port.child.signalNumber)) kind = outcome::Kind::Signal;
    } else {
        port.status = port.child.status != 0 ? port.child.status : 5;
        text = !port.lastText.empty()
                   ? port.lastText
                   : "ended without a result (status " + std::to_string(port.child.status) + ")";
    }
    port.outcome = port.tracker.settle(port.status, kind);
    port.reason = reasonOf(port.outcome, text);
}

std::string reasonOf(const outcome::Outcome& outcome, const std::string& text) {
    // The system's text on one line: a port that did not open says so on three.
    const std::string line = oneLine(text);
    const std::string words = outcome::words(outcome);
    if (words.empty()) return line;
    return line.empty() ? words : words + " (" + line + ")";
}

int stationStatus(const std::vector<PortState>& ports) {
    int status = 0;
    for (const PortState& port : ports)
        status = std::max(status, port.status);
    return status;
}

} // namespace station
