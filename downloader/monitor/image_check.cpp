// Before the port opens: every paged record must fit the controller's page window, or it would be written
// somewhere other than where the image says.
#include "downloader.h"

namespace {

/// Why a record cannot be written where the image puts it; null when it can.
const char* placementFault(const SRecord& record) {
    if (record.address < 0x10000) return nullptr;
    const uint32_t window = record.address & 0xFFFF;
    if (window < 0x8000 || window > 0xBFFF) return "window address outside 0x8000-0xBFFF";
    if (static_cast<uint64_t>(window) + record.length > 0xC000)
        return "data run past the end of the page window";
    if ((record.address >> 16) > 0xFF) return "page number above 0xFF";
    return nullptr;
}

} // namespace

void Downloader::checkMonitorImage() {
    for (const auto& entry : image.records) {
        const SRecord& record = entry.second;
        if (const char* reason = placementFault(record))
            fatal(EXIT_FILE, "ERROR: Record at 0x%X cannot be written to a VQ-II controller: %s.",
                  record.address, reason);
    }
}
