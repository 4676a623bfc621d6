// The --results file: one "unit" line per port and run, the record of which firmware went into which unit.
#pragma once

#include "format.h"
#include "results_file.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

/// The facts of one unit, as its run found them.
struct UnitFacts {
    std::string port;   ///< the port as the station or the messages name it
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
    double ms = 0; ///< the program's milliseconds at the end of the run
};

/// The unit event of these facts, with the time (UTC), the host and the adapter's USB serial number.
nlohmann::ordered_json unitEvent(const UnitFacts& facts);
/// The USB serial number of the adapter behind a device, when the system knows it; empty otherwise.
std::string usbSerialOf(const std::string& device);

/// The name of this machine.
std::string platformHostName();
