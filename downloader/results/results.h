// The --results file: one "unit" line per port and run, the record of which firmware went into which unit.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

/// The facts of one unit, as its run found them.
struct UnitFacts {
    std::string port;   ///< the port as the station or the messages name it
    int cycle = 0;      ///< --loop: the unit's number on its slot, from 1; 0 outside a loop
    std::string device; ///< what the system opened
    nlohmann::ordered_json files = nlohmann::ordered_json::array(); ///< {name, sha256, generation} each
    std::string generation;            ///< "VQ-II", "VQ-I", or empty when no file was read
    std::string action;                ///< "download", "verify", "wipe" or "read"
    std::vector<std::string> switches; ///< the command line's switches, files left out
    bool ok = false;
    int status = 0;
    std::string error; ///< empty for none
    double seconds = 0;
    uint64_t written = 0, verified = 0, read = 0;
    /// {range, file, sha256} of each range whose unit's bytes were kept; the record has no "kept" without
    /// one.
    nlohmann::ordered_json kept = nlohmann::ordered_json::array();
    double ms = 0; ///< the program's milliseconds at the end of the run
};

/// The unit event of these facts, with the time (UTC), the host and the adapter's USB serial number.
nlohmann::ordered_json unitEvent(const UnitFacts& facts);
/// The USB serial number of the adapter behind a device, when the system knows it; empty otherwise.
std::string usbSerialOf(const std::string& device);

/// An error text as one line without "ERROR: ", its line ends and indents as single blanks.
std::string oneLine(const std::string& text);

/// Opens the results file for appending, creating it; false with the system's reason otherwise.
bool platformOpenResults(const std::string& path, intptr_t& handle, std::string& reason);
/// Appends one whole line with one write (under a lock on Windows), so lines of several processes never mix.
bool platformAppendResult(intptr_t handle, const std::string& line);
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
