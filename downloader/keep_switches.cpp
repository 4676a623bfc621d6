// The switches of kept ranges, and the switches they cannot be given with.
#include "keep_switches.h"

#include "monitor/keep.h"
#include "monitor/read_areas.h"

#include <cstdio>

std::string addKeepRange(Options& options, const char* text) {
    monitor::KeepRange range{0, 0};
    if (!monitor::parseRange(text, range.first, range.last))
        return std::string("ERROR: Invalid range '") + text + "'.";
    // The vectors' 256 bytes are never read back: a kept byte there could not be verified.
    if (monitor::inVectorArea(range))
        return std::string("ERROR: Kept range '") + text +
               "' reaches into 0xFF00-0xFFFF, which no verification reads.";
    options.keep.ranges.push_back(range);
    return "";
}

std::string setKeepText(std::string& field, const char* name, const char* text) {
    if (*text == '\0') return std::string("ERROR: Switch '") + name + "' needs a value.";
    field = text;
    return "";
}

std::string keepFault(const Options& o) {
    const monitor::KeepOptions& keep = o.keep;
    if (keep.ranges.empty()) {
        const char* alone = !keep.dir.empty() ? "--keep-dir" : !keep.from.empty() ? "--keep-from" : nullptr;
        return alone ? std::string("ERROR: Switch '") + alone + "' needs '--keep'." : "";
    }
    if (o.wipeOnly || !o.readBackFile.empty())
        return std::string("ERROR: Switch '--keep' cannot be combined with '") +
               (o.wipeOnly ? "-w" : "--read") + "'.";
    // One unit's bytes go into one unit: a station of several would give them all one serial number.
    if (!keep.from.empty() && o.stationPorts.size() > 1)
        return "ERROR: Switch '--keep-from' holds one unit's bytes: give it with one port, not " +
               std::to_string(o.stationPorts.size()) + ".";
    // 0x8000-0xBFFF is held at 0x4000-0x7FFF: two ranges on one flash would be read and written twice.
    for (size_t i = 0; i < keep.ranges.size(); ++i) {
        for (size_t j = i + 1; j < keep.ranges.size(); ++j) {
            const monitor::KeepRange& a = keep.ranges[i];
            const monitor::KeepRange& b = keep.ranges[j];
            if (!monitor::sameFlash(a.first, a.last, b.first, b.last)) continue;
            char text[200];
            std::snprintf(text, sizeof text,
                          "ERROR: Kept ranges 0x%X-0x%X and 0x%X-0x%X share flash (0x8000-0xBFFF is held at "
                          "0x4000-0x7FFF).",
                          a.first, a.last, b.first, b.last);
            return text;
        }
    }
    return "";
}
