// Kept ranges and the image: where the image's bytes land, and the unit's own bytes put in their place.
#include "monitor/keep.h"

#include "monitor/blocks.h"

#include <cstdio>

namespace monitor {

std::string rangeText(const KeepRange& range) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%X-0x%X", range.first, range.last);
    return text;
}

bool inVectorArea(const KeepRange& range) {
    return range.first <= 0xFFFF && mapStart(range.last) >= 0xFF00;
}

bool imageWritesPage(const FirmwareImage& image, uint32_t page) {
    for (const auto& entry : image.records)
        for (const auto& run : landing(entry.second))
            if (run.first >> 16 == page) return true;
    return false;
}

bool inRanges(const std::vector<KeepRange>& ranges, uint32_t controllerAddress) {
    for (const KeepRange& range : ranges) {
        // A range lies in one flash area, which the controller holds in one piece.
        const uint32_t start = mapStart(range.first);
        if (controllerAddress >= start && controllerAddress - start <= range.last - range.first) return true;
    }
    return false;
}

UnitBytes bytesByAddress(const FirmwareImage& image) {
    UnitBytes bytes;
    for (const auto& entry : image.records) {
        const SRecord& record = entry.second;
        size_t offset = 0;
        for (const auto& run : landing(record))
            for (uint32_t i = 0; i < run.second && offset < record.data.size(); ++i)
                bytes[run.first + i] = record.data[offset++];
    }
    return bytes;
}

void putUnitBytes(FirmwareImage& image, const UnitBytes& bytes) {
    // 1. Where the image has bytes of its own (defaults, say), the unit's take their place.
    UnitBytes left = bytes;
    for (auto& entry : image.records) {
        SRecord& record = entry.second;
        size_t offset = 0;
        for (const auto& run : landing(record)) {
            for (uint32_t i = 0; i < run.second && offset < record.data.size(); ++i, ++offset) {
                const auto kept = left.find(run.first + i);
                if (kept == left.end()) continue;
                record.data[offset] = kept->second;
                left.erase(kept);
            }
        }
    }
    // 2. The rest go as records of their own at their controller addresses, one per run of addresses that
    // follow each other; a run never leaves its flash area, as the ranges do not.
    for (auto at = left.begin(); at != left.end();) {
        SRecord record;
        record.address = at->first;
        record.file = static_cast<uint32_t>(image.fileNames.size()); // brought by no file
        for (uint32_t next = at->first; at != left.end() && at->first == next; ++at, ++next)
            record.data.push_back(at->second);
        record.length = static_cast<uint32_t>(record.data.size());
        image.addRecord(std::move(record));
    }
}

} // namespace monitor
