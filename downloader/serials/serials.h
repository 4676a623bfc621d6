// Serial numbers for units: where and how a number is laid into the flash, the counter file that hands out
// each number once, and the journal beside it that accounts for every number taken.
#pragma once

#include "serials/plan.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace serials {

// ---- Number formats ----

/// Reads a format name; false when it is none.
bool parseFormat(const std::string& text, Format& format);
/// Reads "ADDR:FORMAT" (ADDR hexadecimal with 0x, or decimal); false when it is malformed.
bool parsePlacement(const std::string& text, uint32_t& address, Format& format);
/// Reads a whole unsigned decimal number (or hexadecimal with 0x); false when it is none or too large.
bool parseNumber(const std::string& text, uint64_t& value);
/// The largest number the format can hold.
uint64_t maxValue(const Format& format);
/// The number's bytes in the format; the number must fit.
std::vector<uint8_t> encode(const Format& format, uint64_t value);
/// The number that the bytes hold in the format; false when they hold none (a digit that is not one).
bool decode(const Format& format, const std::vector<uint8_t>& bytes, uint64_t& value);
/// The number as a person reads it: the ASCII text for dec and hex formats, the decimal for binary ones.
std::string textOf(const Format& format, uint64_t value);
/// Bytes as upper-case hexadecimal, two digits each, one blank between.
std::string hexBytes(const std::vector<uint8_t>& bytes);

// ---- The counter file and its journal ----

/// What the counter file says: the next number, the end of this station's block and the step.
struct Counter {
    uint64_t next = 0;
    uint64_t last = UINT64_MAX; ///< the last number this counter may hand out
    bool hasLast = false;
    uint64_t step = 1;
};

/// Why the counter could not be read or taken from: the line of the file at fault (0 for none) and the text.
struct Failure {
    int line = 0;
    std::string text;
};

/// Reads a counter file's text; false with the line at fault and why.
bool parseCounter(const std::string& text, Counter& counter, Failure& failure);
/// The counter's text after a number was taken, with the comments and the order of its lines kept.
std::string rewriteCounter(const std::string& text, uint64_t next);
/// How many numbers the counter still holds, up to the limit (a format's largest number).
uint64_t numbersLeft(const Counter& counter, uint64_t limit);

/// One line of the journal: a number and what became of it.
struct JournalEntry {
    uint64_t serial = 0;
    std::string state; ///< "taken", "written" or "void"
    std::string host;
    std::string port;
    std::string run;    ///< names the run that took the number
    std::string reason; ///< why the number is void; empty otherwise
};

/// The journal's JSON line of an entry, with the UTC time, ending in a newline.
std::string journalLine(const JournalEntry& entry);
/// The highest number the journal's text names; false with the line at fault when a whole line is no entry.
/// A last line without its line end (an append cut short) is left out.
bool highestInJournal(const std::string& text, bool& any, uint64_t& highest, Failure& failure);

/// The journal's name beside a counter file.
std::string journalPath(const std::string& counterPath);

/// Reads the counter and its journal without a lock and without writing: next raised above the journal.
bool peekCounter(const std::string& path, Counter& counter, Failure& failure);
/// Takes the next number under the lock: journal "taken" appended and flushed, the counter replaced and
/// flushed, its folder flushed. limit: the format's largest number. False with why.
bool takeNumber(const std::string& path, const JournalEntry& who, uint64_t limit, uint64_t& number,
                Failure& failure);
/// Appends an entry to the journal under the lock, flushed; false with why.
bool appendToJournal(const std::string& path, const JournalEntry& entry, Failure& failure);

// ---- The platform: the lock, the journal's appends and the flushes ----

/// How long a run waits for another process to release the counter's lock.
constexpr int LOCK_WAIT_MS = 30000;

/// An exclusive lock on the journal (created when missing), which stands for the counter it sits beside:
/// the journal is only ever appended to, never replaced, so every process locks the same file.
class JournalLock {
public:
    JournalLock() = default;
    ~JournalLock();
    JournalLock(const JournalLock&) = delete;
    JournalLock& operator=(const JournalLock&) = delete;
    /// Opens the journal and waits for its lock, at most waitMs; false with the system's reason.
    bool acquire(const std::string& journal, int waitMs, std::string& reason);
    /// The journal's whole text, read through the locked handle.
    bool readAll(std::string& text, std::string& reason);
    /// Appends text at the end and flushes it to the disk.
    bool append(const std::string& text, std::string& reason);

private:
    intptr_t handle = -1;
};

/// What one try to take the journal's lock gave.
enum class LockTry { Taken, Held, Failed };
/// Tries to take a lock every 2 ms until a try takes it (true), fails for another reason (false, with the
/// reason the try gave) or waitMs have passed (false: held by another process for so long). Both systems'
/// JournalLock::acquire wait this way.
bool retryLock(int waitMs, const std::function<LockTry()>& attempt, std::string& reason);

/// Writes text whole to a new file beside path, flushes it to the disk, renames it over path and flushes the
/// folder; false with the system's reason, and no temporary file left.
bool replaceDurably(const std::string& path, const std::string& text, std::string& reason);

// ---- Records ----

/// The serial object of the unit record and of the serial event.
nlohmann::ordered_json recordOf(const Request& request, const Plan& plan);

} // namespace serials
