// The checks before any port, for a single run and a station alike: the files a run writes, then the
// firmware files read, their generation and whether that generation can carry the image. A fault ends the
// run (a thrown status or s19Error) before any port opens and before any child starts.
#pragma once

#include "basics.h"
#include "console/console.h"
#include "image/firmware_image.h"
#include "monitor/keep.h"
#include "options.h"

#include <string>
#include <vector>

/// Ends the run with status 1 when a file the run writes (--read, --log, --results) is no regular file (nor
/// a new name), or is one of the firmware files or another of those files.
void checkOutputs(const Options& options, Console& console);

/// What the checks found in the firmware files.
struct CheckedFiles {
    FirmwareImage image;                     ///< every record of every file
    Generation generation = Generation::VQ2; ///< decided by the first file; VQ-II without a file
    std::vector<std::pair<std::string, std::string>> filesRead; ///< each file read and its generation's name
    std::vector<std::string>
        digests; ///< each file's SHA-256 in hexadecimal, empty where it could not be read
    std::vector<std::string> headers; ///< the text of each file's first S0 record, empty for none
    monitor::UnitBytes keptBytes;     ///< --keep-from: the file's byte at every kept address
};

/// --keep: ends the run with status 3 when the image is VQ-I code, or when the --keep-from file does not
/// hold every kept byte; those bytes go to bytes.
void checkKeep(const Options& options, Console& console, Generation generation, monitor::UnitBytes& bytes);

/// Reads the firmware files (an update's .ini files extracted unless a read-back or --no-extract says not
/// to) into files, then refuses what no controller should get: no S-record line at all (a download), a
/// record that the generation cannot carry, records that put different bytes on one byte of the controller,
/// a VQ-I image to read back. A wipe reads nothing. What was read stays in files when a fault ends the run.
void checkFiles(const Options& options, Console& console, CheckedFiles& files);

/// Ends the run with status 3 when the generation cannot carry the image, or two of its records overlap.
void checkImage(Generation generation, const FirmwareImage& image, Console& console);
