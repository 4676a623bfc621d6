// The read-back measurement: vq2dl --read against a preloaded simulated controller on a paced line, its wall
// time against the floor of the bytes it moved. One row of the line-efficiency figures.
#pragma once

#include "bench.h"
#include "download.h"

#include <string>

namespace bench {

/// What one read-back cost.
struct ReadBackFigures {
    double wallSeconds = 0;
    double cpuSeconds = 0;
    uint64_t bytes = 0;      ///< bytes that crossed the line, both ways
    double floorSeconds = 0; ///< ten bit times per byte; a read-back has no prescribed waits
    uint64_t dataBytes = 0;  ///< the bytes of memory read
};

/// Reads the areas of an image back from a controller preloaded with it, with the controller's line set up by
/// options (its pacing and delivery); checks that the file holds the image. False with the reason.
bool measureReadBack(const Settings& settings, const ScratchDir& scratch, const DownloadCase& image,
                     const vqsim::Options& options, ReadBackFigures& figures, std::string& error);

/// Prints the read-back row: wall, floor and their ratio for a VQ-II image of 64 KiB.
bool benchmarkReadBack(const Settings& settings, const ScratchDir& scratch);

} // namespace bench
