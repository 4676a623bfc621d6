// What the whole program shares: the exit statuses, the controller generations and their names.
#pragma once

#include "image/firmware_image.h"

#include <cstddef>
#include <string>

/// Exit statuses of vq2dl; a run ended by signal n ends with 128 + n.
enum ExitStatus {
    EXIT_DONE = 0,
    EXIT_USAGE = 1,
    EXIT_PORT = 2,
    EXIT_FILE = 3,
    EXIT_PROTOCOL = 4,
    EXIT_INTERNAL = 5,
};

/// A run stopped by signal n: it ends with status 128 + n, by the way out every failure takes, so that
/// destructors remove temporaries and close the port.
struct Stopped {
    int signal;
};

/// The controller generations, each with its own dialogue: the VQ-II serial monitor, the VQ-I boot loader.
enum class Generation { VQ2, VQ1 };
/// The generation's name: "VQ-II" or "VQ-I".
const char* generationName(Generation generation);
/// The generation that an image's code is for: VQ-I (HC908) when its lowest address is 0x8080 or above.
Generation generationOf(const FirmwareImage& image);
/// Most firmware files on one command line.
constexpr size_t MAX_FILES = 20;
/// The names of the write and verification steps, in the console messages, the -p markers ("$Writing") and
/// the progress line, for both controller generations.
constexpr const char* WRITE_LABEL = "Writing";
constexpr const char* VERIFY_LABEL = "Verifying";
/// The name of the step that reads a unit's kept bytes before the erase, in the progress line.
constexpr const char* KEEP_LABEL = "Keeping";

/// The console's text of a file error: "ERROR: Reading FILE line N: TEXT.".
std::string readingError(const s19Error& error);
