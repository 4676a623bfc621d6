// What --keep, --keep-dir, --keep-from and --port-name ask for: the kept ranges of a VQ-II unit's own bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace monitor {

/// A run of image addresses, both ends included, in one flash area (as --range takes it).
struct KeepRange {
    uint32_t first;
    uint32_t last;
};

/// The switches of kept ranges.
struct KeepOptions {
    std::vector<KeepRange> ranges; ///< --keep, in command-line order
    std::string dir;  ///< --keep-dir: where the kept file goes and stays; empty: the working folder
    std::string from; ///< --keep-from: the file the kept bytes come from instead of the unit
    /// --port-name: the port's name (a station's slot) in the kept file's name, the journal and the record
    std::string portLabel;
};

} // namespace monitor
