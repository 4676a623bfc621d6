// The S-record text that the VQ-I boot loader takes.
#pragma once

#include "image/firmware_image.h"

#include <string>

/// The record as one S1 line with CR LF, upper-case hex and the one's-complement checksum.
std::string formatS1Line(const SRecord& record);
