// Kept ranges (--keep): a VQ-II unit's own bytes (calibration, serial numbers, licences) read before a
// download erases them, saved to a file and written back with the image.
#pragma once

#include "image/firmware_image.h"
#include "monitor/keep_options.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace monitor {

/// The bytes of a unit by controller address: a paged one with its page above the low 16 bits.
using UnitBytes = std::map<uint32_t, uint8_t>;

/// What a run kept.
struct Kept {
    std::vector<KeepRange> ranges; ///< the ranges kept: all but those on pages the download does not erase
    UnitBytes bytes;      ///< the --keep-from file's bytes of every range, read before the port opens
    std::string file;     ///< the kept file written, or the --keep-from file
    std::string sha256;   ///< the digest of that file
    bool written = false; ///< this run wrote the kept file
    bool erased = false;  ///< the erase has begun since the bytes were kept
};

/// "0x7F00-0x7FFF": a range as the messages and the records name it.
std::string rangeText(const KeepRange& range);
/// True when a range reaches into 0xFF00-0xFFFF, which no verification reads.
bool inVectorArea(const KeepRange& range);
/// The page a range lies on, 0 for the unpaged flash.
inline uint32_t pageOf(const KeepRange& range) {
    return range.first >> 16;
}
/// True when a record of the image lands on this page (a page this download erases).
bool imageWritesPage(const FirmwareImage& image, uint32_t page);
/// True when a controller address lies in one of the ranges.
bool inRanges(const std::vector<KeepRange>& ranges, uint32_t controllerAddress);
/// Every byte of the image by the controller address it lands on.
UnitBytes bytesByAddress(const FirmwareImage& image);
/// Puts the unit's bytes into the image: they replace the image's own where it has bytes there, and new
/// records carry the rest.
void putUnitBytes(FirmwareImage& image, const UnitBytes& bytes);

} // namespace monitor
