// Before the port opens: whether S1 and S9 lines can carry an image to a VQ-I boot loader. Their address
// field holds 16 bits and their count byte at most 252 data bytes; nothing is cut to fit.
#pragma once

#include "image/firmware_image.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace bootloader {

/// The console's text of the first record (or the entry point) that no S1 or S9 line can carry; empty when
/// the whole image fits.
std::string imageFault(const FirmwareImage& image);
/// The line said after imageFault's refusal when the record refused lies above 0xFFFF: such an image is most
/// likely VQ-II code without any bytes below 0x8080 (only pages, say), which the generation rule takes for
/// VQ-I. Empty otherwise.
std::string generationHint(const FirmwareImage& image);
/// Where a record's bytes land on the controller: at the line's own address.
std::vector<std::pair<uint32_t, uint32_t>> landing(const SRecord& record);

} // namespace bootloader
