// Refusing, before the port opens, a VQ-I image that S1 and S9 lines cannot carry: their address field
// holds 16 bits and their count byte at most 252 data bytes. Nothing is cut to fit.
#include "bootloader/image_check.h"

#include <cstdio>

namespace {

/// Highest address an S1 or S9 line can name.
constexpr uint32_t LINE_ADDRESS_LIMIT = 0xFFFF;
/// Most data bytes of one S1 line: the count byte (at most 0xFF) also counts the address and checksum.
constexpr uint32_t MAX_LINE_DATA = 252;

/// Why a record does not fit an S1 line, or nullptr when it does.
const char* misfit(const SRecord& record) {
    const uint32_t n = static_cast<uint32_t>(record.data.size());
    if (record.address > LINE_ADDRESS_LIMIT) return "address above 0xFFFF";
    if (n > 0 && n - 1 > LINE_ADDRESS_LIMIT - record.address) return "data run past 0xFFFF";
    if (n > MAX_LINE_DATA) return "more than 252 data bytes";
    return nullptr;
}

} // namespace

std::vector<std::pair<uint32_t, uint32_t>> bootloader::landing(const SRecord& record) {
    // A boot loader writes each line's bytes at the line's own address.
    return {{record.address, static_cast<uint32_t>(record.data.size())}};
}

std::string bootloader::generationHint(const FirmwareImage& image) {
    for (const auto& entry : image.records) {
        if (!misfit(entry.second)) continue;
        if (entry.second.address <= LINE_ADDRESS_LIMIT) return "";
        return "The generation comes from the lowest address: VQ-I code when it is 0x8080 or above. A "
               "zero-length S1 record at 0x4000 (as every read-back begins) marks a file as VQ-II.";
    }
    return "";
}

std::string bootloader::imageFault(const FirmwareImage& image) {
    char text[160];
    for (const auto& entry : image.records) {
        const SRecord& record = entry.second;
        if (const char* reason = misfit(record)) {
            std::snprintf(text, sizeof text, "ERROR: Record at 0x%X cannot be sent to a VQ-I controller: %s.",
                          record.address, reason);
            return text;
        }
    }
    // The S9 line carries the entry point in the same 16-bit field; a wider one (from an S7 or S8 line)
    // would make the end line malformed after the flash had already been wiped and written.
    if (image.entryPoint > LINE_ADDRESS_LIMIT) {
        std::snprintf(text, sizeof text,
                      "ERROR: Entry point 0x%X cannot be sent to a VQ-I controller: address above 0xFFFF.",
                      image.entryPoint);
        return text;
    }
    return "";
}
