// The --json event stream. Objects are built and written with nlohmann::json, one compact line each, flushed
// at once so that a calling program sees every event as it happens. Texts that are not valid UTF-8 (a
// controller's signature, a file name) have their bad bytes replaced, so that every line stays valid JSON.
#include "events.h"
#include "events_shared.h"
#include "results/results.h"
#include "system.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

namespace events {

namespace shared {

int64_t startMs = 0;
std::atomic<bool> closingAllowed{false};
std::atomic<bool> lineBeingWritten{false};
std::atomic<uint64_t> bytesWritten{0}, bytesVerified{0}, bytesRead{0};
std::atomic<const char*> stepNow{nullptr}, flashNow{"untouched"};

} // namespace shared

namespace {

// The fields keep the order in which they are set: "v", "event" and "ms" first.
using Json = nlohmann::ordered_json;

/// No more than one progress event every so many milliseconds per step.
constexpr int64_t PROGRESS_INTERVAL_MS = 100;

/// How far one step's progress events have come.
struct StepProgress {
    int64_t lastMs = 0;
    bool shown = false;    ///< an event of this step was written
    bool complete = false; ///< the event at 100 % was written
};

struct Stream {
    bool on = false;
    bool failureSet = false;
    std::string failure;
    bool signatureSet = false;
    std::string signature;
    const char* step = nullptr;
    const char* kind = nullptr;
    const char* flash = "untouched";
    std::map<std::string, StepProgress> steps;
};
Stream stream;

using namespace shared;

int64_t elapsedMs() {
    return platformNowMs() - startMs;
}

Json header(const char* event) {
    return Json{{"v", VERSION}, {"event", event}, {"ms", elapsedMs()}};
}

void write(const Json& object) {
    std::string line = object.dump(-1, ' ', false, Json::error_handler_t::replace);
    line += '\n';
    lineBeingWritten = true;
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    lineBeingWritten = false;
}

Json byteCounts() {
    return Json{
        {"written", bytesWritten.load()}, {"verified", bytesVerified.load()}, {"read", bytesRead.load()}};
}

} // namespace

bool asked(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (argv[i] && std::strcmp(argv[i], "--json") == 0) return true;
    return false;
}

void begin(int64_t startedMs) {
    stream = Stream{};
    stream.on = true;
    startMs = startedMs;
    bytesWritten = bytesVerified = bytesRead = 0;
    stepNow = nullptr;
    flashNow = "untouched";
    prepareClosing();
    closingAllowed = true;
}

void stop() {
    closingAllowed = false;
    stream.on = false;
}

bool active() {
    return stream.on;
}

void start(const std::vector<std::string>& commandLine, const std::string& port, int rate,
           const std::vector<std::pair<std::string, std::string>>& tags) {
    if (!stream.on) return;
    Json object = header("start");
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

void file(const FileReport& report) {
    if (!stream.on) return;
    Json object = header("file");
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

void open(const std::string& name, const std::string& device, int rate, bool lowLatency) {
    if (!stream.on) return;
    Json object = header("open");
    object["name"] = name;
    object["device"] = device;
    object["rate"] = rate;
    object["low_latency"] = lowLatency;
    write(object);
}

void step(const char* name) {
    if (!stream.on) return;
    stream.steps.erase(name);
    Json object = header("step");
    object["step"] = name;
    write(object);
}

void progress(const char* step, uint64_t records, uint64_t recordsTotal, uint64_t bytes,
              uint64_t bytesTotal) {
    if (!stream.on) return;
    if (std::strcmp(step, "write") == 0) bytesWritten = bytes;
    if (std::strcmp(step, "verify") == 0) bytesVerified = bytes;
    if (std::strcmp(step, "read") == 0) bytesRead = bytes;

    // 100 % only once everything is done: a figure rounded up to it would promise too much.
    const bool complete = records >= recordsTotal && bytes >= bytesTotal;
    double percent = bytesTotal     ? 100.0 * static_cast<double>(bytes) / static_cast<double>(bytesTotal)
                     : recordsTotal ? 100.0 * static_cast<double>(records) / static_cast<double>(recordsTotal)
                                    : 100.0;
    percent = complete ? 100.0 : std::min(std::floor(percent * 100.0) / 100.0, 99.99);

    StepProgress& done = stream.steps[step];
    const int64_t now = elapsedMs();
    if (complete) {
        if (done.complete) return;
        done.complete = true;
    } else if (done.complete || (done.shown && now - done.lastMs < PROGRESS_INTERVAL_MS)) {
        return;
    }
    done.shown = true;
    done.lastMs = now;
    Json object = Json{{"v", VERSION}, {"event", "progress"}, {"ms", now}};
    object["step"] = step;
    object["records"] = records;
    object["records_total"] = recordsTotal;
    object["bytes"] = bytes;
    object["bytes_total"] = bytesTotal;
    object["percent"] = percent;
    write(object);
}

void message(int level, const char* text) {
    if (!stream.on) return;
    Json object = header("message");
    object["level"] = level;
    object["text"] = text;
    write(object);
}

void failed(const std::string& text) {
    if (!stream.on || stream.failureSet) return;
    std::string error = text.compare(0, 7, "ERROR: ") == 0 ? text.substr(7) : text;
    while (!error.empty() && (error.back() == '\n' || error.back() == '\r'))
        error.pop_back();
    stream.failure = error;
    stream.failureSet = true;
}

void runState(const char* step, const char* flash) {
    stepNow = step;
    flashNow = flash;
    stream.step = step;
    stream.flash = flash;
}

void setOutcome(const char* step, const char* kind, const char* flash) {
    stream.step = step;
    stream.kind = kind;
    stream.flash = flash;
}

void signature(const std::string& text) {
    stream.signature = text;
    stream.signatureSet = true;
}

void port(const std::string& name, const std::vector<std::string>& details) {
    if (!stream.on) return;
    Json object = header("port");
    object["name"] = name;
    object["details"] = details;
    write(object);
}

void result(int status) {
    if (!stream.on) return;
    // From here on a signal writes nothing: this is the last line.
    closingAllowed = false;
    const int64_t ms = elapsedMs();
    Json object = Json{{"v", VERSION}, {"event", "result"}, {"ms", ms}};
    object["status"] = status;
    object["ok"] = status == 0;
    if (stream.failureSet)
        object["error"] = stream.failure;
    else if (status != 0)
        object["error"] = "Ended with status " + std::to_string(status) + ".";
    else
        object["error"] = nullptr;
    object["seconds"] = static_cast<double>(ms) / 1000.0;
    object["bytes"] = byteCounts();
    object["signature"] = stream.signatureSet ? Json(stream.signature) : Json(nullptr);
    auto name = [](const char* text) { return text ? Json(text) : Json(nullptr); };
    object["step"] = name(stream.step);
    object["kind"] = name(status == 0 ? nullptr : stream.kind ? stream.kind : "internal");
    object["flash"] = name(stream.flash);
    write(object);
    stream.on = false;
}

} // namespace events
