// Before the port opens: every record must land where the image says, or it would be written somewhere else
// (another page, or the register space at the bottom of the 16-bit address space).
#include "monitor/image_check.h"

#include "monitor/blocks.h"
#include "monitor/protocol.h"

#include <cstdio>

namespace {

/// True when an unpaged record's blocks would run past 0xFFFF, whose 16-bit block addresses wrap to 0x0000.
bool wrapsPastTop(const SRecord& record) {
    uint32_t address = monitor::mapStart(record.address);
    for (uint32_t left = monitor::recordLength(record); left > 0;) {
        unsigned n = monitor::blockLength(address, left);
        if (address + n > 0x10000) return true;
        address = monitor::nextBlock(address, n);
        left -= n;
    }
    return false;
}

/// Why a record cannot be written where the image puts it; null when it can. Empty records are never written.
const char* placementFault(const SRecord& record) {
    if (record.length == 0) return nullptr;
    if (record.address < 0x10000) return wrapsPastTop(record) ? "data run past 0xFFFF" : nullptr;
    const uint32_t window = record.address & 0xFFFF;
    if (window < WINDOW_START || window >= WINDOW_END) return "window address outside 0x8000-0xBFFF";
    if (static_cast<uint64_t>(window) + record.length > WINDOW_END)
        return "data run past the end of the page window";
    if ((record.address >> 16) > 0xFF) return "page number above 0xFF";
    return nullptr;
}

} // namespace

std::string monitor::imageFault(const FirmwareImage& image) {
    for (const auto& entry : image.records) {
        const SRecord& record = entry.second;
        if (const char* reason = placementFault(record)) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "ERROR: Record at 0x%X cannot be written to a VQ-II controller: %s.",
                          record.address, reason);
            return text;
        }
    }
    return "";
}
