// What a run asks of --serial and what became of the unit's number: the part of the serial numbers that the
// Downloader holds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace serials {

/// How a number is laid into bytes: binary (little or big end first), or ASCII digits.
enum class Kind { Binary, Decimal, Hex };

/// A number format: u16le ... u64be, dec:N or hex:N.
struct Format {
    Kind kind = Kind::Binary;
    unsigned width = 4;     ///< bytes of the number in the flash
    bool bigEndian = false; ///< binary: the most significant byte first
    std::string name;       ///< as the command line gave it
};

// ---- What a run asks for and what became of the number ----

/// What --serial and its switches ask for.
struct Request {
    bool asked = false; ///< --serial given
    uint32_t address = 0;
    Format format;
    std::string counterPath; ///< --serial-counter
    bool valueGiven = false; ///< --serial-value
    uint64_t value = 0;
    bool keep = false; ///< --serial-keep
};

/// The unit's number as the run settled it.
struct Plan {
    std::string run;               ///< names this run in the journal
    uint64_t number = 0;           ///< the number
    bool hasNumber = false;        ///< false when kept bytes hold no number of the format
    std::vector<uint8_t> bytes;    ///< its bytes in the flash
    std::vector<uint8_t> keptRead; ///< --serial-keep: the bytes read before the erase
    std::string source;            ///< "counter", "value" or "kept"
    /// "taken", "written" or "void"; for a kept number never taken (the run failed before the number's
    /// write), "unit" while the unit still holds it, "erased" once the erase took it; empty without a number
    std::string state;
    bool inKeptFile =
        false; ///< a kept number: the run's kept file holds its bytes (--keep-from gives it back)
};

/// The switches that say where a unit's number comes from; a command that gives a known number back
/// replaces them with --serial-value.
inline const char* const SOURCE_SWITCHES[] = {"serial-counter", "serial-value", "serial-keep"};

} // namespace serials
