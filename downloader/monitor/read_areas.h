// What a read-back reads: runs of image addresses, chosen by --range, by the firmware files' records or by
// default, laid out so that a plain download of the file puts every byte back where it was read.
#pragma once

#include "image/firmware_image.h"

#include <cstdint>
#include <vector>

namespace monitor {

/// A run of image addresses: the page above the low 16 bits, as the images give them.
struct Area {
    uint32_t address;
    uint32_t length;
};

/// The unpaged flash: 0x4000-0x7FFF and 0xC000-0xFFFF.
std::vector<Area> defaultAreas();

/// Reads "FIRST-LAST" (each hexadecimal with 0x, or decimal); false unless both ends lie, in this order, in
/// one flash area: 0x4000-0x7FFF, 0x8000-0xBFFF, 0xC000-0xFFFF, or the window PP8000-PPBFFF of page PP.
bool parseRange(const char* text, uint32_t& first, uint32_t& last);

/// True when two ranges of image addresses share a byte of the controller's flash: 0x8000-0xBFFF is held at
/// 0x4000-0x7FFF.
bool sameFlash(uint32_t firstA, uint32_t lastA, uint32_t firstB, uint32_t lastB);

/// The addresses the records would be written to, block by block as the download cuts and maps them. A block
/// that the download moves elsewhere than its own address says (past 0x8000 from below, on to 0xC000) is
/// given at the address it lands on.
std::vector<Area> recordAreas(const FirmwareImage& image);

/// In address order, overlaps joined, and cut at every 16 KiB boundary, so that each area lies on the
/// controller in one piece.
std::vector<Area> normaliseAreas(std::vector<Area> areas);

} // namespace monitor
