// Images that cannot be right are refused after the files are read and before the port opens: the
// controller keeps what it holds.
#include "downloader.h"

void Downloader::refuseEmptyDownload() {
    // Without a single S-record line the files are no firmware at all (a build that failed half-way, an
    // update packed without its .s19): a boot loader would be wiped for nothing. A header and an end line
    // alone still go out, as the way to wipe one.
    if (image.recordLines > 0) return;
    // An update that carries only its configuration still installs it.
    image.installExtracted();
    std::string names;
    for (const std::string& name : fileNames)
        names += (names.empty() ? "" : ", ") + name;
    fatal(EXIT_FILE, "ERROR: No S-records to download in %s.", names.c_str());
}

void Downloader::refuseOverlaps(FirmwareImage::Landing where) {
    // Two records that differ over one byte would both be written there, and verification would then blame
    // the line.
    const SRecord* later = nullptr;
    const SRecord* earlier = nullptr;
    if (!image.findOverlap(where, later, earlier)) return;
    fatal(EXIT_FILE, "ERROR: Record at 0x%X (%s line %d) overlaps the record at 0x%X (%s line %d).",
          later->address, image.fileOf(*later).c_str(), later->line, earlier->address,
          image.fileOf(*earlier).c_str(), earlier->line);
}
