// The counter file (next=N, last=M, step=S, # comments) and the taking of a number: under the journal's lock,
// next raised above every number the journal names, "taken" appended and flushed, the counter replaced and
// flushed. A crash between any two of these steps never hands a number out twice.
#include "image/output_file.h"
#include "serials.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace serials {

namespace {

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

/// The key and the value of a "key=value" line, both trimmed.
bool splitLine(const std::string& line, std::string& key, std::string& value) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) return false;
    key = trimmed(line.substr(0, equals));
    value = trimmed(line.substr(equals + 1));
    return true;
}

bool readWhole(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
    return !in.bad();
}

/// Reads the counter file; a missing or malformed one is a failure with its line.
bool readCounter(const std::string& path, std::string& text, Counter& counter, Failure& failure) {
    // The counter is replaced by renaming: a link or a device in its place would be replaced, not written.
    if (const char* kind = specialFileKind(path)) {
        failure = {0, std::string("is ") + kind + ", not a regular file"};
        return false;
    }
    if (!readWhole(path, text)) {
        failure = {0, "cannot be read (start one with the line next=1)"};
        return false;
    }
    return parseCounter(text, counter, failure);
}

/// Raises the counter's next number above every number of the journal's text.
bool raiseAboveJournal(const std::string& journal, Counter& counter, Failure& failure) {
    bool any = false;
    uint64_t highest = 0;
    if (!highestInJournal(journal, any, highest, failure)) return false;
    if (!any || counter.next > highest) return true;
    if (highest > UINT64_MAX - counter.step) {
        failure = {0, "the journal holds the largest number there is"};
        return false;
    }
    counter.next = highest + counter.step;
    return true;
}

} // namespace

bool parseCounter(const std::string& text, Counter& counter, Failure& failure) {
    counter = Counter();
    bool hasNext = false, hasStep = false;
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        const std::string content = trimmed(line);
        if (content.empty() || content[0] == '#') continue;
        std::string key, value;
        uint64_t parsed = 0;
        if (!splitLine(content, key, value)) {
            failure = {number, "not a line key=value"};
            return false;
        }
        if (key != "next" && key != "last" && key != "step") {
            failure = {number, "unknown key '" + key + "'"};
            return false;
        }
        bool& seen = key == "next" ? hasNext : key == "last" ? counter.hasLast : hasStep;
        if (seen) {
            failure = {number, "'" + key + "' given twice"};
            return false;
        }
        if (!parseNumber(value, parsed) || (key == "step" && parsed == 0)) {
            failure = {number, "'" + value + "' is no " + (key == "step" ? "step above 0" : "whole number")};
            return false;
        }
        seen = true;
        (key == "next" ? counter.next : key == "last" ? counter.last : counter.step) = parsed;
    }
    if (!hasNext) {
        failure = {number, "no line next=N"};
        return false;
    }
    return true;
}

std::string rewriteCounter(const std::string& text, uint64_t next) {
    std::string out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::string key, value;
        const std::string content = trimmed(line);
        if (!content.empty() && content[0] != '#' && splitLine(content, key, value) && key == "next")
            line = "next=" + std::to_string(next) + (line.back() == '\r' ? "\r" : "");
        out += line + "\n";
    }
    return out;
}

uint64_t numbersLeft(const Counter& counter, uint64_t limit) {
    const uint64_t last = counter.last < limit ? counter.last : limit;
    if (counter.next > last) return 0;
    return (last - counter.next) / counter.step + 1;
}

std::string journalPath(const std::string& counterPath) {
    return counterPath + ".journal";
}

bool peekCounter(const std::string& path, Counter& counter, Failure& failure) {
    std::string text, journal;
    if (!readCounter(path, text, counter, failure)) return false;
    // A journal that does not exist yet names no number.
    if (!readWhole(journalPath(path), journal)) journal.clear();
    if (raiseAboveJournal(journal, counter, failure)) return true;
    failure.text = "journal " + journalPath(path) +
                   (failure.line ? " line " + std::to_string(failure.line) : "") + ": " + failure.text;
    failure.line = 0;
    return false;
}

bool takeNumber(const std::string& path, const JournalEntry& who, uint64_t limit, uint64_t& number,
                Failure& failure) {
    // 1. The counter must exist before its journal is made for the lock. It is only read under the lock:
    // Windows refuses to rename over a file that another process has open.
    std::string text;
    Counter counter;
    std::error_code error;
    if (!std::filesystem::exists(std::filesystem::symlink_status(path, error))) {
        failure = {0, "cannot be read (start one with the line next=1)"};
        return false;
    }
    JournalLock lock;
    std::string reason, journal;
    if (!lock.acquire(journalPath(path), LOCK_WAIT_MS, reason)) {
        failure = {0, "cannot lock " + journalPath(path) + ": " + reason};
        return false;
    }
    // 2. Read again under the lock: another process may have taken a number meanwhile.
    if (!readCounter(path, text, counter, failure)) return false;
    if (!lock.readAll(journal, reason)) {
        failure = {0, "cannot read " + journalPath(path) + ": " + reason};
        return false;
    }
    if (!raiseAboveJournal(journal, counter, failure)) {
        failure.text = "journal line " + std::to_string(failure.line) + ": " + failure.text;
        failure.line = 0;
        return false;
    }
    if (numbersLeft(counter, limit) == 0) {
        failure = {0, "no numbers left (next=" + std::to_string(counter.next) +
                          (counter.hasLast ? ", last=" + std::to_string(counter.last) : "") + ")"};
        return false;
    }
    // 3. The journal first: once it names the number, no later reading hands it out again.
    number = counter.next;
    JournalEntry entry = who;
    entry.serial = number;
    entry.state = "taken";
    if (!lock.append(journalLine(entry), reason)) {
        failure = {0, "cannot write " + journalPath(path) + ": " + reason};
        return false;
    }
    // 4. Then the counter. The number is the run's once the journal holds it, whatever happens here: a
    // counter that could not be replaced is raised past it on the next reading.
    const uint64_t next = number > UINT64_MAX - counter.step ? UINT64_MAX : number + counter.step;
    if (!replaceDurably(path, rewriteCounter(text, next), reason)) {
        failure = {0, "cannot be replaced: " + reason};
        entry.state = "void";
        entry.reason = "the counter could not be replaced: " + reason;
        lock.append(journalLine(entry), reason);
        return false;
    }
    return true;
}

bool appendToJournal(const std::string& path, const JournalEntry& entry, Failure& failure) {
    JournalLock lock;
    std::string reason;
    if (!lock.acquire(journalPath(path), LOCK_WAIT_MS, reason) || !lock.append(journalLine(entry), reason)) {
        failure = {0, "cannot write " + journalPath(path) + ": " + reason};
        return false;
    }
    return true;
}

} // namespace serials
