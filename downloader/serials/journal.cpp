// The journal beside a counter file: one JSON line per event of a number (taken, written, void), with when,
// where and by which run. It only ever grows; the highest number it names bounds every number taken later.
#include "platform/system.h"
#include "serials.h"

#include <ctime>
#include <sstream>

namespace serials {

namespace {

using Json = nlohmann::ordered_json;

std::string utcNow() {
    const std::time_t now = std::time(nullptr);
    // One thread: the shared buffer of gmtime is safe here.
    const std::tm* utc = std::gmtime(&now);
    char text[32] = "";
    if (utc) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return text;
}

} // namespace

std::string journalLine(const JournalEntry& entry) {
    Json line;
    line["v"] = 1;
    line["serial"] = entry.serial;
    line["state"] = entry.state;
    line["time"] = utcNow();
    line["host"] = entry.host;
    line["port"] = entry.port;
    line["run"] = entry.run;
    line["reason"] = entry.reason.empty() ? Json(nullptr) : Json(entry.reason);
    return line.dump() + "\n";
}

bool highestInJournal(const std::string& text, bool& any, uint64_t& highest, Failure& failure) {
    any = false;
    highest = 0;
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        // An append cut short by a crash or a full disk: its number was never handed out, as the journal's
        // line is flushed before the counter moves on.
        if (in.eof() && !text.empty() && text.back() != '\n') break;
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        const Json entry = Json::parse(line, nullptr, false);
        if (!entry.is_object() || !entry.contains("serial") || !entry["serial"].is_number_unsigned()) {
            failure = {number, "not a journal entry"};
            return false;
        }
        const uint64_t serial = entry["serial"].get<uint64_t>();
        if (!any || serial > highest) highest = serial;
        any = true;
    }
    return true;
}

bool retryLock(int waitMs, const std::function<LockTry()>& attempt, std::string& reason) {
    // Taking a number holds the lock for milliseconds: a short poll, never an unbounded wait.
    const int64_t until = platformNowMs() + waitMs;
    for (LockTry result = attempt(); result != LockTry::Taken; result = attempt()) {
        if (result == LockTry::Failed) return false;
        if (platformNowMs() >= until) {
            reason = "held by another process for " +
                     (waitMs % 1000 ? std::to_string(waitMs) + " ms" : std::to_string(waitMs / 1000) + " s");
            return false;
        }
        platformSleepMs(2);
    }
    return true;
}

} // namespace serials
