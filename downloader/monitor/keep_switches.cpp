// The switches of kept ranges: --keep A-B (repeatable), --keep-dir DIR, --keep-from FILE, --port-name NAME,
// and the switches they cannot be given with.
#include "downloader.h"
#include "monitor/keep.h"
#include "monitor/read_areas.h"

void Downloader::addKeepRange(const char* text) {
    monitor::KeepRange range{0, 0};
    if (!monitor::parseRange(text, range.first, range.last)) {
        refuse("ERROR: Invalid range '%s'.", text);
    }
    // The vectors' 256 bytes are never read back: a kept byte there could not be verified.
    if (monitor::inVectorArea(range)) {
        refuse("ERROR: Kept range '%s' reaches into 0xFF00-0xFFFF, which no verification reads.", text);
    }
    keep.ranges.push_back(range);
}

void Downloader::setKeepText(std::string& field, const char* name, const char* text) {
    if (*text == '\0') {
        refuse("ERROR: Switch '%s' needs a value.", name);
    }
    field = text;
}

void Downloader::checkKeepSwitches() {
    if (keep.ranges.empty()) {
        const char* alone = !keep.dir.empty() ? "--keep-dir" : !keep.from.empty() ? "--keep-from" : nullptr;
        if (alone) refuse("ERROR: Switch '%s' needs '--keep'.", alone);
        return;
    }
    if (wipeOnly || !readBackFile.empty()) {
        refuse("ERROR: Switch '--keep' cannot be combined with '%s'.", wipeOnly ? "-w" : "--read");
    }
    // One unit's bytes go into one unit: a station of several would give them all one serial number.
    if (!keep.from.empty() && stationPorts.size() > 1) {
        refuse("ERROR: Switch '--keep-from' holds one unit's bytes: give it with one port, not %u.",
               static_cast<unsigned>(stationPorts.size()));
    }
    // 0x8000-0xBFFF is held at 0x4000-0x7FFF: two ranges on one flash would be read and written twice.
    for (size_t i = 0; i < keep.ranges.size(); ++i) {
        for (size_t j = i + 1; j < keep.ranges.size(); ++j) {
            const monitor::KeepRange& a = keep.ranges[i];
            const monitor::KeepRange& b = keep.ranges[j];
            if (!monitor::sameFlash(a.first, a.last, b.first, b.last)) continue;
            refuse("ERROR: Kept ranges 0x%X-0x%X and 0x%X-0x%X share flash (0x8000-0xBFFF is held at "
                   "0x4000-0x7FFF).",
                   a.first, a.last, b.first, b.last);
        }
    }
}
