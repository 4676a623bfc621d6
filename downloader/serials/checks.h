// What the command line and the checks before any port ask of --serial: the switches taken into the request,
// the switches that do not go together, and a number that cannot lie where asked or a counter that cannot
// serve the run.
#pragma once

#include "basics.h"
#include "console/console.h"
#include "image/firmware_image.h"
#include "options.h"

#include <string>

namespace serials {

/// Takes one of --serial, --serial-counter, --serial-value, --serial-keep; the text of its refusal, or empty.
std::string takeSwitch(Request& request, const std::string& name, const char* text);
/// The text of the first fault of the serial switches together or with the rest; empty when none.
std::string switchesFault(const Options& options);
/// Before any port: ends the run with status 3 when the number cannot lie where asked in this image, or
/// when the counter cannot give each unit of the run (each port of a station) a number.
void checkPlace(const Options& options, Generation generation, const FirmwareImage& image, Console& console);

} // namespace serials
