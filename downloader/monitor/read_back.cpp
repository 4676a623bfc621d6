// Read-back: the controller's memory read block by block into an S-record file, with the page register set
// as verification sets it. Nothing is erased or written on the controller.
#include "console/percent.h"
#include "downloader.h"
#include "image/srecord_writer.h"
#include "monitor/blocks.h"
#include "monitor/protocol.h"
#include "monitor/read_areas.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

namespace {

/// Data bytes on one line of the file, on 32-byte boundaries; a whole line of erased flash is left out.
constexpr uint32_t LINE_BYTES = 32;
constexpr uint8_t ERASED = 0xFF;
/// The name of the step, in the -p marker ("$Reading") and the progress line.
constexpr const char* READ_LABEL = "Reading";

/// The lines of the file that the first done bytes of an area finish.
size_t linesDone(const monitor::Area& area, size_t done) {
    const uint64_t end = uint64_t{area.address} + done;
    if (done < area.length) return static_cast<size_t>(end / LINE_BYTES - area.address / LINE_BYTES);
    return static_cast<size_t>((end + LINE_BYTES - 1) / LINE_BYTES - area.address / LINE_BYTES);
}

/// The S0 record: the program and the date of the read.
std::string header() {
    char date[16] = "";
    const std::time_t now = std::time(nullptr);
    if (const std::tm* local = std::localtime(&now)) std::strftime(date, sizeof date, "%Y-%m-%d", local);
    char text[64];
    const int n = std::snprintf(text, sizeof text, "vq2dl %d.%02d read-back %s", VQ2DL_VERSION_MAJOR,
                                VQ2DL_VERSION_MINOR, date);
    return formatSRecord(0, 0, reinterpret_cast<const uint8_t*>(text),
                         n < 0 ? 0 : std::min(static_cast<size_t>(n), sizeof text - 1));
}

/// How far the read has come, as the bar on a terminal and the -p markers show it: lines of the file.
struct Progress {
    Console& console;
    size_t totalLines;
    uint64_t totalBytes;
    PercentMarkers& markers;
    size_t lines = 0;
    uint64_t bytes = 0;

    void advance(size_t finished, unsigned n) {
        while (lines < finished)
            markers.reached(++lines);
        bytes += n;
        console.showProgress(READ_LABEL, lines, totalLines, bytes, totalBytes);
    }
};

/// The lines of one area: S1 up to 0xFFFF, S2 above; whole lines of erased bytes are left out.
void appendLines(std::string& text, const monitor::Area& area, const std::vector<uint8_t>& data,
                 unsigned& bytes, unsigned& records) {
    for (size_t offset = 0; offset < data.size();) {
        const uint32_t address = area.address + static_cast<uint32_t>(offset);
        const size_t n = std::min<size_t>(LINE_BYTES - address % LINE_BYTES, data.size() - offset);
        const uint8_t* line = data.data() + offset;
        offset += n;
        if (n == LINE_BYTES && std::all_of(line, line + n, [](uint8_t b) { return b == ERASED; })) continue;
        text += formatSRecord(address + n - 1 <= 0xFFFF ? 1 : 2, address, line, n);
        bytes += static_cast<unsigned>(n);
        ++records;
    }
}

} // namespace

void Downloader::compareSecondReading(uint32_t address, const uint8_t* first, uint8_t* second, unsigned n) {
    // second holds n + 3 bytes, as readBlock needs. The monitor's answer carries no checksum: a byte damaged
    // on the line shows only as a difference.
    if (!readBlock(address, second, n))
        fatal(EXIT_PROTOCOL, "Could not read the block at 0x%X during read-back.", address);
    for (unsigned i = 0; i < n; ++i) {
        if (first[i] == second[i]) continue;
        noteFailure(outcome::Kind::Mismatch);
        fatal(EXIT_PROTOCOL, "Read-back failed: At 0x%X read 0x%02X, then 0x%02X.", address + i, first[i],
              second[i]);
    }
}

std::string Downloader::readBack(const std::vector<monitor::Area>& areas, unsigned& bytes,
                                 unsigned& records) {
    size_t totalLines = 0;
    uint64_t totalBytes = 0;
    for (const monitor::Area& area : areas) {
        totalLines += linesDone(area, area.length);
        totalBytes += area.length;
    }
    PercentMarkers markers(console, options.showPercent, READ_LABEL, totalLines);
    message(1, "Reading back into %s:", options.readBackFile.c_str());
    // An earlier run may have left the page register on a page.
    setPage(0, false);
    Progress progress{console, totalLines, totalBytes, markers};
    // A zero-length record at 0x4000 makes the file VQ-II code for a plain download, whatever was read: the
    // window of a page or 0xC000-0xFFFF alone would otherwise begin above 0x8080, which is VQ-I's.
    std::string text = header() + formatSRecord(1, 0x4000, nullptr, 0);
    bytes = records = 0;
    // Each holds a block and the reply behind it.
    uint8_t buffer[MAX_BLOCK + 3], again[MAX_BLOCK + 3];
    for (const monitor::Area& area : areas) {
        std::vector<uint8_t> data;
        data.reserve(area.length);
        for (uint32_t address = monitor::mapStart(area.address); data.size() < area.length;) {
            const unsigned n =
                monitor::blockLength(address, area.length - static_cast<uint32_t>(data.size()));
            message(4, "RB:  0x%X:%u", address, n);
            if (!readBlock(address, buffer, n))
                fatal(EXIT_PROTOCOL, "Could not read the block at 0x%X during read-back.", address);
            if (options.readTwice) compareSecondReading(address, buffer, again, n);
            data.insert(data.end(), buffer, buffer + n);
            address += n;
            progress.advance(linesDone(area, data.size()), n);
        }
        appendLines(text, area, data, bytes, records);
    }
    markers.complete();
    const bool paged = text.find("\nS2") != std::string::npos;
    return text + formatSRecord(paged ? 8 : 9, 0, nullptr, 0);
}

void Downloader::runReadBack(const std::vector<monitor::Area>& areas) {
    // A file that cannot be written is found before anything is sent; until the read is complete an
    // older file of that name stays as it was.
    ReplacingFile output(options.readBackFile);
    if (!output.open())
        fatal(EXIT_FILE, "ERROR: Could not write %s: %s.", options.readBackFile.c_str(),
              output.error().c_str());
    openOrFail();
    beginStep("enter");
    enterMonitor();
    beginStep("read");
    unsigned bytes = 0, records = 0;
    const std::string text = readBack(areas, bytes, records);
    if (!output.commit(text))
        fatal(EXIT_FILE, "ERROR: Could not write %s: %s.", options.readBackFile.c_str(),
              output.error().c_str());
    message(1, "Read complete, %u bytes in %u records.", bytes, records);
    // A second reading is only worth its time when the user is told it agreed.
    if (options.readTwice) message(1, "Both readings of every block agreed.");
    closePort();
}
