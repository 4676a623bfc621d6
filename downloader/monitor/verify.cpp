// Block verification: the controller's memory is read back block by block, cut and mapped as the download
// cut and mapped it, and compared byte for byte with the image.
#include "downloader.h"
#include "monitor/blocks.h"

namespace {

/// Records that start in the top 256 bytes of the 16-bit space are not read back.
bool skipped(uint32_t address) {
    return address >= 0xFF00 && address <= 0xFFFF;
}

} // namespace

void Downloader::verifyImage() {
    if (showPercent) message(-1, "$%s", verifyLabel);
    message(1, "%s:", verifyLabel);
    // An earlier step may have left the page register on a page.
    setPage(0, false);

    int recordNumber = 0;
    int skippedCount = 0;
    const double total = static_cast<double>(image.recordCount());
    uint8_t buffer[MAX_BLOCK];
    uint64_t imageBytes = 0, bytesDone = 0;
    for (const auto& entry : image.records)
        imageBytes += entry.second.length;
    size_t visited = 0;
    for (const auto& entry : image.records) {
        const SRecord& record = entry.second;
        const uint32_t length = monitor::recordLength(record);
        // The line counts the records already compared.
        showProgress(verifyLabel, visited++, image.recordCount(), bytesDone, imageBytes);
        bytesDone += record.length;
        if (record.length == 0) continue;
        uint32_t address = monitor::mapStart(record.address);
        ++recordNumber;
        if (showPercent && recordNumber % 5 == 0) message(-1, "%%%.2f", recordNumber * 100.0 / total);
        if (skipped(address)) {
            ++skippedCount;
            continue;
        }

        uint32_t offset = 0;
        for (int block = 0; offset < length; ++block) {
            const unsigned n = monitor::blockLength(address, length - offset);
            const uint8_t command[4] = {MON_READ_BLOCK, static_cast<uint8_t>(address >> 8),
                                        static_cast<uint8_t>(address), static_cast<uint8_t>(n - 1)};
            message(4, "VR:  %05d:%d", recordNumber, block);
            setPage(address, false);
            writeBytes(command, sizeof command);
            if (!readBytes(buffer, n)) {
                // One more try after a fresh monitor entry; the page register is still where it was.
                enterMonitor(10);
                setPage(address, false);
                writeBytes(command, sizeof command);
                if (!readBytes(buffer, n))
                    fatal(EXIT_PROTOCOL, "Could not read record %d block %d during verification.",
                          recordNumber, block + 1);
            }
            checkReply(MON_ERR_NONE, MON_STATUS_NONE, 0);

            const uint8_t* expected = record.data.data() + offset;
            for (unsigned i = 0; i < n; ++i) {
                if (buffer[i] != expected[i])
                    fatal(EXIT_PROTOCOL, "Verification failed: At 0x%X expected 0x%02X, found 0x%02X.",
                          address + i, expected[i], buffer[i]);
            }
            offset += n;
            address = monitor::nextBlock(address, n);
        }
        sleepMs(recordDelay);
    }

    showProgress(verifyLabel, visited, image.recordCount(), bytesDone, imageBytes);
    if (showPercent) message(-1, "%%100.00");
    message(1, "Verification succeeded, %d records total (%d skipped).", recordNumber, skippedCount);
}
