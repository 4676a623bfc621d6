// Sending the image to the VQ-I boot loader as Motorola S-record text: one S1 line per record, in
// ascending address order, then the S9 line with the entry point. The boot loader answers only after
// the S9 line; anything it said while the lines went out waits in the input and is read first.
#include "bootloader/lines.h"
#include "console/percent.h"
#include "downloader.h"
#include "image/srecord_writer.h"

#include <algorithm>
#include <vector>

namespace {

/// The boot loader's answer to the S9 line.
const char* const COMPLETE_REPLY = "  Complete\r\nBoot>";
/// Characters of an S1 line besides its data: "S1", count, address, checksum, CR LF.
constexpr size_t S1_OVERHEAD = 12;

} // namespace

std::string formatS1Line(const SRecord& record) {
    return formatSRecord(1, record.address, record.data.data(), record.data.size());
}

void Downloader::writeLines() {
    // A serial number is taken just before the lines go out, and goes as one more line in address order.
    SRecord serialRecord;
    std::vector<const SRecord*> records;
    for (const auto& entry : image.records)
        records.push_back(&entry.second);
    if (serialLine(serialRecord))
        records.insert(
            std::upper_bound(records.begin(), records.end(), serialRecord.address,
                             [](uint32_t address, const SRecord* r) { return address < r->address; }),
            &serialRecord);
    const size_t total = records.size();
    PercentMarkers markers(console, options.showPercent, WRITE_LABEL, total);
    message(1, "%s:", WRITE_LABEL);

    int line = 0;
    long bytes = 0;
    uint64_t totalBytes = 0;
    for (const SRecord* record : records)
        totalBytes += record->data.size();
    for (const SRecord* record : records) {
        const std::string text = formatS1Line(*record);
        // No line is answered, so a line that did not go out whole (the line hung up, or the controller
        // stopped taking bytes) would be missed: the boot loader could still confirm the end line over a gap
        // in the flash. The run ends here instead, before the end line.
        if (!writeText(text.c_str())) {
            // The line took no more bytes: the port went away, or the adapter stopped sending.
            noteFailure(outcome::Kind::Port);
            fatal(EXIT_PROTOCOL, "Download failed:\n   Could not send line %d of %d.\n", line + 1,
                  static_cast<int>(total));
        }
        // The boot loader is paced by this pause alone; a pause of 0 still gives up the processor.
        pause(options.recordDelay);
        ++line;
        bytes += static_cast<long>((text.size() - S1_OVERHEAD) / 2);
        console.events.progress("write", static_cast<uint64_t>(line), total, static_cast<uint64_t>(bytes),
                                totalBytes);
        markers.reached(static_cast<size_t>(line), 1);
        if (!options.showPercent && line % 10 == 0)
            message(1, "Line %4d of %d (%6ld bytes)\r", line, static_cast<int>(total), bytes);
    }

    // checkBootLoaderImage has made sure the entry point fits the 16-bit address field.
    writeText(formatSRecord(9, image.entryPoint, nullptr, 0).c_str());
    expect(COMPLETE_REPLY, true);

    markers.complete();
    message(1, "Write complete, %d records, %ld bytes.", line, bytes);
    message(1, "%s", "");
}
