// Before the port opens: whether every record of an image can be written to a VQ-II controller where the
// image says.
#pragma once

#include "image/firmware_image.h"

#include <string>

namespace monitor {

/// The console's text of the first record that cannot be written where the image puts it; empty when all
/// can. Records that overlap are found apart from this, with monitor::landing.
std::string imageFault(const FirmwareImage& image);

} // namespace monitor
