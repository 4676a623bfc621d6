// The --json event stream. Objects are built and written with nlohmann::json, one compact line each, flushed
// at once so that a calling program sees every event as it happens. Texts that are not valid UTF-8 (a
// controller's signature, a file name) have their bad bytes replaced, so that every line stays valid JSON.
#include "console/events.h"
#include "console/format.h"
#include "json_line.h"
#include "platform/system.h"
#include "results/results.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// The fields keep the order in which they are set: "v", "event" and "ms" first.
using Json = nlohmann::ordered_json;

/// No more than one progress event every so many milliseconds per step.
constexpr int64_t PROGRESS_INTERVAL_MS = 100;

Json header(const char* event, int64_t ms) {
    return Json{{"v", EVENTS_VERSION}, {"event", event}, {"ms", ms}};
}

void write(const Json& object) {
    const std::string line = jsonLine(object);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

} // namespace

std::string withoutErrorPrefix(const std::string& text) {
    std::string error = withoutErrorWord(text);
    while (!error.empty() && (error.back() == '\n' || error.back() == '\r'))
        error.pop_back();
    return error;
}

int64_t EventStream::elapsedMs() const {
    return platformNowMs() - startMs;
}

void EventStream::begin(int64_t startedMs) {
    *this = EventStream{};
    on = true;
    startMs = startedMs;
}

void EventStream::start(const std::vector<std::string>& commandLine, const std::string& port, int rate,
                        const std::vector<std::pair<std::string, std::string>>& tags) {
    if (!on) return;
    Json object = header("start", elapsedMs());
    object["program"] = "vq2dl";
    object["version"] = VQ2DL_VERSION;
    object["command_line"] = commandLine;
    object["port"] = port;
    object["rate"] = rate;
    object["mode"] = "single";
    object["run"] = runId();
    object["tags"] = tagsObject(tags);
    write(object);
}

void EventStream::file(const FileReport& report) {
    if (!on) return;
    Json object = header("file", elapsedMs());
    object["name"] = report.name;
    object["sha256"] = report.sha256;
    object["generation"] = report.vq2 ? "VQ-II" : "VQ-I";
    object["entry_point"] = report.entryPoint;
    object["low_address"] = report.lowAddress;
    object["high_address"] = report.highAddress;
    object["end_address"] = report.endAddress;
    object["header"] = report.header.empty() ? Json(nullptr) : Json(report.header);
    object["records"] = report.records;
    object["data_bytes"] = report.dataBytes;
    object["ini_files"] = Json::array();
    for (const IniFile& ini : report.iniFiles)
        object["ini_files"].push_back(Json{{"name", ini.name}, {"path", ini.path}});
    write(object);
}

void EventStream::open(const std::string& name, const std::string& device, int rate, bool lowLatency) {
    if (!on) return;
    Json object = header("open", elapsedMs());
    object["name"] = name;
    object["device"] = device;
    object["rate"] = rate;
    object["low_latency"] = lowLatency;
    write(object);
}

void EventStream::step(const char* name) {
    if (!on) return;
    steps.erase(name);
    Json object = header("step", elapsedMs());
    object["step"] = name;
    write(object);
}

void EventStream::progress(const char* step, uint64_t records, uint64_t recordsTotal, uint64_t bytes,
                           uint64_t bytesTotal) {
    if (!on) return;
    if (std::strcmp(step, "write") == 0) bytesWritten = bytes;
    if (std::strcmp(step, "verify") == 0) bytesVerified = bytes;
    if (std::strcmp(step, "read") == 0) bytesRead = bytes;

    // 100 % only once everything is done: a figure rounded up to it would promise too much.
    const bool complete = records >= recordsTotal && bytes >= bytesTotal;
    double percent = bytesTotal     ? 100.0 * static_cast<double>(bytes) / static_cast<double>(bytesTotal)
                     : recordsTotal ? 100.0 * static_cast<double>(records) / static_cast<double>(recordsTotal)
                                    : 100.0;
    percent = complete ? 100.0 : std::min(std::floor(percent * 100.0) / 100.0, 99.99);

    StepProgress& done = steps[step];
    const int64_t now = elapsedMs();
    if (complete) {
        if (done.complete) return;
        done.complete = true;
    } else if (done.complete || (done.shown && now - done.lastMs < PROGRESS_INTERVAL_MS)) {
        return;
    }
    done.shown = true;
    done.lastMs = now;
    Json object = Json{{"v", EVENTS_VERSION}, {"event", "progress"}, {"ms", now}};
    object["step"] = step;
    object["records"] = records;
    object["records_total"] = recordsTotal;
    object["bytes"] = bytes;
    object["bytes_total"] = bytesTotal;
    object["percent"] = percent;
    write(object);
}

void EventStream::kept(const std::string& file, const std::string& sha256,
                       const std::vector<std::string>& ranges, uint64_t bytes, const char* source) {
    if (!on) return;
    Json object = header("kept", elapsedMs());
    object["file"] = file;
    object["sha256"] = sha256;
    object["ranges"] = ranges;
    object["bytes"] = bytes;
    object["source"] = source;
    write(object);
}

void EventStream::message(int level, const char* text, const char* advice) {
    if (!on) return;
    Json object = header("message", elapsedMs());
    object["level"] = level;
    object["text"] = text;
    if (advice) object["advice"] = advice;
    write(object);
}

void EventStream::failed(const std::string& text) {
    if (!on || failureSet) return;
    // One line, as a reader of the stream keeps it: a multi-line console text reads as a sentence.
    failure = oneLine(text);
    failureSet = true;
}

void EventStream::signature(const std::string& text) {
    signatureText = text;
    signatureSet = true;
}

void EventStream::serial(const std::string& fields) {
    if (!on) return;
    Json object = header("serial", elapsedMs());
    const Json parsed = Json::parse(fields, nullptr, false);
    if (parsed.is_object()) object.update(parsed);
    write(object);
}

void EventStream::port(const std::string& name, const std::vector<std::string>& details) {
    if (!on) return;
    Json object = header("port", elapsedMs());
    object["name"] = name;
    object["details"] = details;
    write(object);
}

void EventStream::result(int status) {
    if (!on) return;
    const int64_t ms = elapsedMs();
    Json object = Json{{"v", EVENTS_VERSION}, {"event", "result"}, {"ms", ms}};
    object["status"] = status;
    object["ok"] = status == 0;
    if (failureSet)
        object["error"] = failure;
    else if (status != 0)
        object["error"] = "Ended with status " + std::to_string(status) + ".";
    else
        object["error"] = nullptr;
    object["seconds"] = static_cast<double>(ms) / 1000.0;
    object["bytes"] = Json{{"written", bytesWritten}, {"verified", bytesVerified}, {"read", bytesRead}};
    object["signature"] = signatureSet ? Json(signatureText) : Json(nullptr);
    auto name = [](const char* text) { return text ? Json(text) : Json(nullptr); };
    object["step"] = name(outcomeStep);
    object["kind"] = name(status == 0 ? nullptr : outcomeKind ? outcomeKind : "internal");
    object["flash"] = name(outcomeFlash);
    write(object);
    on = false;
}

void EventStream::setOutcome(const char* step, const char* kind, const char* flash) {
    outcomeStep = step;
    outcomeKind = kind;
    outcomeFlash = flash;
}
