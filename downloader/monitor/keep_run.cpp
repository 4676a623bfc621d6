// Kept ranges in a run: the --keep-from file checked before the port opens; after the monitor entry the
// unit's bytes read twice, saved to the kept file and put into the image before anything is erased; the kept
// file removed after a success, and named with the way back after a failure.
#include "console/log.h"
#include "downloader.h"
#include "image/kept_file.h"
#include "image/sha256.h"
#include "monitor/blocks.h"
#include "monitor/keep.h"
#include "monitor/read_areas.h"
#include "ports/ports.h"
#include "preflight.h"

#include <cstdio>
#include <ctime>

namespace {

/// The name of the step in the progress line; its events say "keep".
constexpr const char* KEEP_STEP = "keep";

/// The ranges as the messages list them, "0x7F00-0x7FFF, 0x3C8000-0x3C80FF", and their bytes.
std::string rangesText(const std::vector<monitor::KeepRange>& ranges, uint64_t& bytes) {
    std::string text;
    bytes = 0;
    for (const monitor::KeepRange& range : ranges) {
        text += (text.empty() ? "" : ", ") + monitor::rangeText(range);
        bytes += range.last - range.first + 1;
    }
    return text;
}

} // namespace

std::string Downloader::keptPortName() const {
    // A station names each port; a single run takes the device's own name, "ttyUSB0" or "COM3".
    if (!options.keep.portLabel.empty()) return fileSafeName(options.keep.portLabel);
    const std::string device = options.portPath.empty() ? platformDeviceName(options.port) : options.portPath;
    return fileSafeName(device.substr(device.find_last_of("/\\") + 1));
}

void checkKeep(const Options& options, Console& console, Generation generation, monitor::UnitBytes& bytes) {
    const monitor::KeepOptions& keep = options.keep;
    if (keep.ranges.empty()) return;
    if (generation == Generation::VQ1)
        console.fatal(EXIT_FILE,
                      "ERROR: --keep needs a VQ-II controller: a VQ-I controller cannot be read back.");
    if (keep.from.empty() || options.verifyOnly) return;
    // The bytes to put back come from a file: it must hold every one of them before the port opens.
    FirmwareImage from;
    from.verbosity = console.verbosity;
    from.extractIni = false;
    if (console.sink) from.messageCallback = [&console](const char* text) { console.print(text); };
    if (console.log.isOpen()) from.logCallback = [&console](const char* text) { console.log.write(text); };
    if (console.events.active())
        from.levelCallback = [&console](int level, const char* text) { console.events.message(level, text); };
    from.load(keep.from);
    const monitor::UnitBytes all = monitor::bytesByAddress(from);
    bytes.clear();
    for (const monitor::KeepRange& range : keep.ranges) {
        const uint32_t start = monitor::mapStart(range.first);
        for (uint32_t i = 0; i <= range.last - range.first; ++i) {
            const auto found = all.find(start + i);
            if (found == all.end())
                console.fatal(EXIT_FILE, "ERROR: %s does not hold 0x%X-0x%X.", keep.from.c_str(), range.first,
                              range.last);
            bytes[start + i] = found->second;
        }
    }
}

bool Downloader::keptAt(uint32_t controllerAddress) const {
    return monitor::inRanges(options.keep.ranges, controllerAddress);
}

std::vector<uint8_t> Downloader::readBeforeErase(const std::vector<monitor::Area>& areas, const char* label) {
    // The progress line counts blocks where a download counts records.
    uint64_t total = 0, done = 0;
    size_t blocks = 0, blocksDone = 0;
    for (const monitor::Area& area : areas) {
        total += area.length;
        for (uint32_t address = monitor::mapStart(area.address), left = area.length; left > 0; ++blocks) {
            const unsigned n = monitor::blockLength(address, left);
            address += n;
            left -= n;
        }
    }
    std::vector<uint8_t> data;
    data.reserve(static_cast<size_t>(total));
    // Each holds a block and the reply behind it.
    uint8_t first[MAX_BLOCK + 3], second[MAX_BLOCK + 3];
    for (const monitor::Area& area : areas) {
        for (uint32_t address = monitor::mapStart(area.address), left = area.length; left > 0;) {
            const unsigned n = monitor::blockLength(address, left);
            // The monitor's answer carries no checksum: a byte damaged on the line shows only as a
            // difference between two readings.
            if (label) message(4, "RB:  0x%X:%u", address, n);
            if (!readBlock(address, first, n) || !readBlock(address, second, n))
                fatal(EXIT_PROTOCOL, "Could not read the block at 0x%X before the erase; nothing was erased.",
                      address);
            for (unsigned i = 0; i < n; ++i)
                if (first[i] != second[i]) {
                    noteFailure(outcome::Kind::Mismatch);
                    fatal(EXIT_PROTOCOL,
                          "At 0x%X read 0x%02X, then 0x%02X before the erase; nothing was erased.",
                          address + i, first[i], second[i]);
                }
            data.insert(data.end(), first, first + n);
            address += n;
            left -= n;
            done += n;
            ++blocksDone;
            if (label) console.showProgress(label, blocksDone, blocks, done, total);
        }
    }
    // The register goes back to page 0, as the download expects it: a page is erased when its first block
    // selects it.
    setPage(0, false);
    return data;
}

void Downloader::keepBeforeErase() {
    const monitor::KeepOptions& keep = options.keep;
    if (keep.ranges.empty()) return;
    beginStep(KEEP_STEP);
    // 1. A range on a page this download does not write is not erased either: it stays as it is.
    std::vector<monitor::KeepRange> chosen;
    for (const monitor::KeepRange& range : keep.ranges) {
        const uint32_t page = monitor::pageOf(range);
        if (page == 0 || monitor::imageWritesPage(image, page))
            chosen.push_back(range);
        else
            message(1, "Kept range %s is on page 0x%02X, which this download does not erase: left as it is.",
                    monitor::rangeText(range).c_str(), page);
    }
    uint64_t bytes = 0;
    const std::string ranges = rangesText(chosen, bytes);
    if (chosen.empty()) return;

    // 2. The unit's bytes: from the --keep-from file, or read twice from the unit and saved before the erase.
    monitor::UnitBytes unit;
    if (!keep.from.empty()) {
        for (const monitor::KeepRange& range : chosen)
            for (uint32_t i = 0, start = monitor::mapStart(range.first); i <= range.last - range.first; ++i)
                unit[start + i] = kept.bytes.at(start + i);
        kept.file = keep.from;
        message(1, "Kept %s (%llu bytes) from %s.", ranges.c_str(), static_cast<unsigned long long>(bytes),
                keep.from.c_str());
    } else {
        std::vector<monitor::Area> areas;
        for (const monitor::KeepRange& range : chosen)
            areas.push_back({range.first, range.last - range.first + 1});
        const std::vector<uint8_t> data = readBeforeErase(areas, KEEP_LABEL);
        size_t at = 0;
        for (const monitor::Area& area : areas)
            for (uint32_t i = 0, start = monitor::mapStart(area.address); i < area.length; ++i)
                unit[start + i] = data[at++];
        const std::time_t now = std::time(nullptr);
        kept.file = keptFileName(keep.dir, keptPortName(), now);
        std::string reason;
        if (!writeKeptFile(kept.file, keptFileText(unit, now), reason))
            fatal(EXIT_FILE, "ERROR: Could not write %s: %s.", kept.file.c_str(), reason.c_str());
        kept.written = true;
        message(1, "Kept %s (%llu bytes) in %s.", ranges.c_str(), static_cast<unsigned long long>(bytes),
                kept.file.c_str());
    }
    sha256OfFile(kept.file, kept.sha256);
    std::vector<std::string> names;
    for (const monitor::KeepRange& range : chosen)
        names.push_back(monitor::rangeText(range));
    console.events.kept(kept.file, kept.sha256, names, bytes, kept.written ? "unit" : "file");
    kept.ranges = chosen;

    // 3. Written and verified with the image, in place of whatever the image holds there. The serial number's
    // bytes are left to its own step, which writes them (the kept number or a new one) once, into erased
    // flash: written with the image too, they would be programmed twice.
    if (options.serial.asked)
        for (uint32_t i = 0, at = monitor::mapStart(options.serial.address); i < options.serial.format.width;
             ++i)
            unit.erase(at + i);
    monitor::putUnitBytes(image, unit);
    kept.erased = true;
}

void Downloader::dropKeptFile() {
    // After a success the unit holds its bytes again; only --keep-dir asks for the file as its backup.
    if (!kept.written || !options.keep.dir.empty()) return;
    if (std::remove(kept.file.c_str()) == 0)
        message(2, "Removed %s: the unit holds its kept bytes again.", kept.file.c_str());
}

void Downloader::adviseKept() {
    if (!kept.written || !kept.erased) return;
    const std::string command = wayBackCommand();
    message(0, "The unit's own bytes are kept in %s; put them back with: %s", kept.file.c_str(),
            command.c_str());
}
