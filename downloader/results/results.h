// The --results file: one "unit" line per port and run, the record of which firmware went into which unit.
#pragma once

#include "console/format.h"
#include "outcome.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using Tags = std::vector<std::pair<std::string, std::string>>;

/// The facts of one unit, as its run found them.
struct UnitFacts {
    std::string port;   ///< the port as the station or the messages name it
    int cycle = 0;      ///< --loop: the unit's number on its slot, from 1; 0 outside a loop
    std::string device; ///< what the system opened
    /// {name, sha256, header, generation} each; header is the file's S0 text, or null.
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    std::string generation;            ///< "VQ-II", "VQ-I", or empty when no file was read
    std::string action;                ///< "download", "verify", "wipe" or "read"
    std::vector<std::string> switches; ///< the switches that shaped the run: files, port and outputs left out
    Tags tags;                         ///< --tag KEY=VALUE
    bool ok = false;
    int status = 0;
    outcome::Outcome outcome; ///< the step that failed, the kind, what the flash holds
    std::string error;        ///< empty for none
    double seconds = 0;
    uint64_t written = 0, verified = 0, read = 0;
    /// {range, file, sha256} of each range whose unit's bytes were kept; the record has no "kept" without
    /// one.
    nlohmann::ordered_json kept = nlohmann::ordered_json::array();
    double ms = 0; ///< the program's milliseconds at the end of the run
    std::chrono::system_clock::time_point started, ended; ///< when the unit's run began and ended
    nlohmann::ordered_json
        serial; ///< the unit's serial number (value, text, address, bytes, source, state); null without
};

/// The unit event of these facts, with the times (UTC), the run, the version, the host and the adapter's USB
/// serial number.
nlohmann::ordered_json unitEvent(const UnitFacts& facts);
/// The identity of this process's run, the same in every record it writes: 32 hexadecimal digits in the
/// shape of a random UUID.
const std::string& runId();
/// The --tag pairs as a JSON object, in command-line order.
nlohmann::ordered_json tagsObject(const Tags& tags);
/// A time as ISO 8601 UTC to the second: "2026-12-09T02:15:00Z".
std::string utcText(std::chrono::system_clock::time_point time);
/// True when the results file is to be CSV: its name ends in ".csv" (any case).
bool csvResults(const std::string& path);
/// The unit event as a CSV record (RFC 4180, CRLF), and the header line of its fields.
std::string csvRecord(const nlohmann::ordered_json& unit);
std::string csvHeader(const nlohmann::ordered_json& unit);
/// The USB serial number of the adapter behind a device, when the system knows it; empty otherwise.
std::string usbSerialOf(const std::string& device);

/// Opens the results file for appending, creating it; false with the system's reason otherwise.
bool platformOpenResults(const std::string& path, intptr_t& handle, std::string& reason);
/// How long a line waits at most for the lock that another process holds on the results file.
constexpr int RESULTS_LOCK_WAIT_MS = 5000;
/// Appends one whole line with one write under a lock, so that lines of several processes never mix, with
/// header before it when the file is empty; then flushes the file to the disk. A lock held beyond
/// RESULTS_LOCK_WAIT_MS: POSIX appends without it (the line stays whole), Windows fails the line.
bool platformAppendResult(intptr_t handle, const std::string& line, const std::string& header = "");
void platformCloseResults(intptr_t handle);
/// The name of this machine.
std::string platformHostName();

class Console;

/// The open --results file: opened before anything else is written, closed by its destructor.
class ResultsFile {
public:
    ResultsFile() = default;
    ~ResultsFile() { platformCloseResults(handle); }
    ResultsFile(const ResultsFile&) = delete;
    ResultsFile& operator=(const ResultsFile&) = delete;
    /// Opens the file for appending, creating it; ends the run with status 1 when it cannot.
    void open(const std::string& path, Console& console);
    /// True while a file is open.
    bool isOpen() const { return handle >= 0; }
    /// Appends the unit line of these facts, when a file is open; a line that cannot be written is an error
    /// on the console, and the run goes on.
    void record(const UnitFacts& facts, Console& console);

private:
    intptr_t handle = -1;
    std::string path;
};
