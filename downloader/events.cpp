// The --json event stream. Objects are built and written with nlohmann::json, one compact line each, flushed
// at once so that a calling program sees every event as it happens. Texts that are not valid UTF-8 (a
// controller's signature, a file name) have their bad bytes replaced, so that every line stays valid JSON.
#include "events.h"
#include "format.h"
#include "system.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

namespace events {

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
    std::map<std::string, StepProgress> steps;
};
Stream stream;

// What a signal handler reads, besides the template below: lock-free atomics, set by the main thread.
int64_t startMs = 0;
std::atomic<bool> closingAllowed{false};   ///< the stream is on and its result not yet written
std::atomic<bool> lineBeingWritten{false}; ///< a line may be half on its way out
std::atomic<uint64_t> bytesWritten{0}, bytesVerified{0}, bytesRead{0};

/// The closing event of a signal, made by the JSON library with numbers in the places that vary: the pieces
/// between them, and which number goes after each piece.
enum class Slot { Ms, Status, Signal, Seconds, Written, Verified, Read, End };
constexpr uint64_t PLACEHOLDER_BASE = 9100000000000000000ULL;
struct SignalTemplate {
    std::vector<std::string> pieces;
    std::vector<Slot> slots;
};
SignalTemplate closing;

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

/// Cuts the closing event of a signal into its pieces, once, while nothing can interrupt.
void prepareClosing() {
    auto placeholder = [](Slot slot) { return PLACEHOLDER_BASE + static_cast<uint64_t>(slot); };
    Json object = Json{{"v", VERSION},
                       {"event", "result"},
                       {"ms", placeholder(Slot::Ms)},
                       {"status", placeholder(Slot::Status)},
                       {"ok", false},
                       {"error", "Ended by signal " + std::to_string(placeholder(Slot::Signal)) + "."},
                       {"seconds", placeholder(Slot::Seconds)},
                       {"bytes",
                        {{"written", placeholder(Slot::Written)},
                         {"verified", placeholder(Slot::Verified)},
                         {"read", placeholder(Slot::Read)}}},
                       {"signature", nullptr}};
    const std::string text = object.dump() + "\n";
    const std::string base = std::to_string(PLACEHOLDER_BASE);
    // Every placeholder has the digits of the base, with its slot's number in the last ones.
    const std::string mark = base.substr(0, base.size() - 2);
    closing = {};
    size_t from = 0;
    for (size_t at; (at = text.find(mark, from)) != std::string::npos; from = at + base.size()) {
        closing.pieces.push_back(text.substr(from, at - from));
        closing.slots.push_back(
            static_cast<Slot>(std::stoull(text.substr(at, base.size())) - PLACEHOLDER_BASE));
    }
    closing.pieces.push_back(text.substr(from));
    closing.slots.push_back(Slot::End);
}

/// Appends a number in decimal, for the signal handler: no library call.
void appendNumber(char*& out, const char* end, uint64_t value, int minDigits = 1) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 || n < minDigits);
    while (n > 0 && out < end)
        *out++ = digits[--n];
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

void start(const std::vector<std::string>& commandLine, const std::string& port, int rate) {
    if (!stream.on) return;
    Json object = header("start");
    object["program"] = "vq2dl";
    object["version"] = VQ2DL_VERSION;
    object["command_line"] = commandLine;
    object["port"] = port;
    object["rate"] = rate;
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
    // One line, as a reader of the stream keeps it: a multi-line console text reads as a sentence.
    stream.failure = oneLine(text);
    stream.failureSet = true;
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
    write(object);
    stream.on = false;
}

size_t signalResult(int signalNumber, char* buffer, size_t size) {
    // Only loads of atomics, arithmetic and stores into the caller's buffer: the signal may have come in the
    // middle of anything.
    if (!closingAllowed.exchange(false) || lineBeingWritten || size == 0) return 0;
    const int64_t ms = std::max<int64_t>(platformNowMs() - startMs, 0);
    char* out = buffer;
    const char* end = buffer + size;
    for (size_t i = 0; i < closing.pieces.size(); ++i) {
        const std::string& piece = closing.pieces[i];
        for (size_t k = 0; k < piece.size() && out < end; ++k)
            *out++ = piece[k];
        switch (closing.slots[i]) {
        case Slot::Ms:
            appendNumber(out, end, static_cast<uint64_t>(ms));
            break;
        case Slot::Status:
            appendNumber(out, end, static_cast<uint64_t>(128 + signalNumber));
            break;
        case Slot::Signal:
            appendNumber(out, end, static_cast<uint64_t>(signalNumber));
            break;
        case Slot::Seconds:
            appendNumber(out, end, static_cast<uint64_t>(ms / 1000));
            if (out < end) *out++ = '.';
            appendNumber(out, end, static_cast<uint64_t>(ms % 1000), 3);
            break;
        case Slot::Written:
            appendNumber(out, end, bytesWritten.load());
            break;
        case Slot::Verified:
            appendNumber(out, end, bytesVerified.load());
            break;
        case Slot::Read:
            appendNumber(out, end, bytesRead.load());
            break;
        case Slot::End:
            break;
        }
    }
    // A line that does not fit is not written at all: half a line is worse than none.
    return out < end ? static_cast<size_t>(out - buffer) : 0;
}

} // namespace events
