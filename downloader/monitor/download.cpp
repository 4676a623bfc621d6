// Block download: every record, in ascending address order, is cut into blocks of at most MAX_BLOCK bytes
// that never run across 0x8000, and each block goes out as one write-block command.
#include "downloader.h"
#include "monitor/blocks.h"

#include <cassert>

void Downloader::writeBlock(uint32_t address, const uint8_t* data, unsigned n) {
    assert(n <= MAX_BLOCK);
    assert(n > 0);
    setPage(address, true);
    // Only the low 16 bits go into the command; the page is already in the page register.
    const uint8_t command[4] = {MON_WRITE_BLOCK, static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address), static_cast<uint8_t>(n - 1)};
    writeBytes(command, sizeof command);
    writeBytes(data, n);
    checkReply(MON_ERR_NONE, MON_STATUS_NONE, 0);
}

void Downloader::writeImage() {
    if (showPercent) message(-1, "$%s", writeLabel);
    message(1, "%s:", writeLabel);

    int recordNumber = 0;
    uint64_t byteTotal = 0;
    const double total = static_cast<double>(image.recordCount());
    uint64_t imageBytes = 0;
    for (const auto& entry : image.records)
        imageBytes += entry.second.length;
    for (const auto& entry : image.records) {
        const SRecord& record = entry.second;
        const uint32_t length = monitor::recordLength(record);
        uint32_t address = monitor::mapStart(record.address);
        ++recordNumber;
        byteTotal += record.length;
        if (showPercent && recordNumber % 5 == 0) message(-1, "%%%.2f", recordNumber * 100.0 / total);
        if (record.length == 0) {
            message(0, "Zero-length s-rec found %d - 0x%x %d.", recordNumber, address,
                    static_cast<int>(record.length));
            showProgress(writeLabel, recordNumber, image.recordCount(), byteTotal, imageBytes);
            continue;
        }

        uint32_t offset = 0;
        for (int block = 0; offset < length; ++block) {
            const unsigned n = monitor::blockLength(address, length - offset);
            message(4, "SR:  %05d:%d", recordNumber, block);
            writeBlock(address, record.data.data() + offset, n);
            offset += n;
            address = monitor::nextBlock(address, n);
        }
        showProgress(writeLabel, recordNumber, image.recordCount(), byteTotal, imageBytes);
        sleepMs(recordDelay);
    }

    if (showPercent) message(-1, "%%100.00");
    message(1, "Write complete, %d records, %d bytes.", recordNumber, static_cast<int>(byteTotal));
}
