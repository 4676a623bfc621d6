// What the children of a station say: their events, taken into each port's state and passed on.
#include "station.h"

#include <algorithm>
#include <cstring>

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
bool stopSignal(int signalNumber) {
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
    // The child's own outcome where it gave one; else what its steps and status tell.
    port.outcome = port.tracker.settle(port.status);
    const outcome::Kind kind = outcome::kindNamed(textOf(event, "kind"));
    const bool told = ok ? !textOf(event, "flash").empty() : kind != outcome::Kind::None;
    if (told)
        port.outcome = {outcome::stepNamed(textOf(event, "step")), kind,
                        outcome::flashNamed(textOf(event, "flash"))};
    std::string text = ok ? "" : textOf(event, "error");
    if (!ok && text.empty()) text = port.lastText;
    port.reason = ok ? "" : told ? reasonOf(port.outcome, text) : text;
    if (ok) port.percent = 100;
}

} // namespace

std::string stepWords(const std::string& step) {
    static const char* const WORDS[][2] = {
        {"enter", "entering the monitor"},
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
    } else if (name == "message") {
        std::string text = textOf(event, "text");
        if (numberOf(event, "level") <= 0 && !text.empty())
            port.lastText = text.compare(0, 7, "ERROR: ") == 0 ? text.substr(7) : text;
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
    std::string text;
    if (!port.stopReason.empty())
        text = port.stopReason;
    else if (port.child.signalNumber)
        text = "ended by signal " + std::to_string(port.child.signalNumber) + " without a result";
    else if (!port.lastText.empty())
        text = port.lastText;
    else
        text = "ended without a result (status " + std::to_string(port.child.status) + ")";
    // A child stopped on request was stopped; one that crashed or hung, or said nothing, is a fault of ours.
    const bool stopped = port.stopReason.empty() && stopSignal(port.child.signalNumber);
    port.outcome =
        port.tracker.settle(port.status, stopped ? outcome::Kind::Signal : outcome::Kind::Internal);
    port.reason = reasonOf(port.outcome, text);
}

std::string reasonOf(const outcome::Outcome& outcome, const std::string& text) {
    // The text on one line: a port that did not open says so on three.
    std::string line;
    bool lineEnd = false;
    for (char c : text) {
        if (c == '\r' || c == '\n' || c == '\t') {
            lineEnd = true;
        } else if (c != ' ' || !lineEnd) {
            // A line end and the indent after it become one blank.
            if (lineEnd && !line.empty() && line.back() != ' ') line += ' ';
            lineEnd = false;
            line += c;
        }
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    const size_t first = line.find_first_not_of(' ');
    line = first == std::string::npos ? "" : line.substr(first);
    std::string out = outcome::words(outcome);
    if (out.empty()) return line;
    return line.empty() ? out : out + " (" + line + ")";
}

int stationStatus(const std::vector<PortState>& ports) {
    int status = 0;
    for (const PortState& port : ports)
        status = std::max(status, port.status);
    return status;
}

} // namespace station
