// Block download: every record, in ascending address order, is cut into blocks of at most MAX_BLOCK bytes
// that never run across 0x8000 (with -b, records that follow each other share full blocks, and runs of 0xFF
// in flash this run erased are left out), and each block goes out as one write-block command.
#include "console/percent.h"
#include "downloader.h"
#include "monitor/blocks.h"
#include "monitor/protocol.h"

#include <cassert>
#include <cstring>
#include <vector>

void Downloader::writeBlock(uint32_t address, const uint8_t* data, unsigned n) {
    assert(n <= MAX_BLOCK);
    assert(n > 0);
    setPage(address, true);
    // Only the low 16 bits go into the command; the page is already in the page register.
    const uint8_t command[4] = {MON_WRITE_BLOCK, static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address), static_cast<uint8_t>(n - 1)};
    // Command and data show as two traces, and go out in one write, which spares the system a call.
    trace("TX: ", command, sizeof command);
    trace("TX: ", data, n);
    uint8_t block[sizeof command + MAX_BLOCK];
    std::memcpy(block, command, sizeof command);
    std::memcpy(block + sizeof command, data, n);
    sendBytes(block, static_cast<unsigned>(sizeof command + n));
    checkReply(MON_ERR_NONE, MON_STATUS_NONE);
}

void Downloader::writeImage() {
    const std::vector<const SRecord*> records = monitor::recordList(image);
    const uint64_t imageBytes = monitor::dataBytes(records);
    PercentMarkers markers(console, options.showPercent, WRITE_LABEL, records.size());
    message(1, "%s:", WRITE_LABEL);

    // Each record is counted and reported as it comes up, in address order. A record whose bytes join a
    // block that began with an earlier record comes up once that block is written: its lines read the same.
    int recordNumber = 0;
    uint64_t byteTotal = 0;
    size_t reached = 0;
    auto reach = [&](size_t upTo) {
        for (; reached < upTo; ++reached) {
            const SRecord& record = *records[reached];
            ++recordNumber;
            byteTotal += record.length;
            markers.reached(static_cast<size_t>(recordNumber));
            if (record.length != 0) continue;
            message(0, "Zero-length s-rec found %d - 0x%x %d.", recordNumber,
                    monitor::mapStart(record.address), static_cast<int>(record.length));
            console.showProgress(WRITE_LABEL, recordNumber, records.size(), byteTotal, imageBytes);
        }
    };

    uint8_t buffer[MAX_BLOCK];
    const bool leaveOutBlank = options.joinBlocks;
    for (const monitor::Block& block :
         monitor::planBlocks(records, options.joinBlocks, false, leaveOutBlank)) {
        const monitor::Segment& head = block.parts.front();
        reach(head.record + 1);
        bool send = true;
        if (block.blank) {
            // The page is set, and erased on first entry, as for a block that is written; the bytes stay
            // out only where this run's erase has left them at 0xFF. Verification reads them back.
            setPage(block.address, true);
            send = !erasedInThisRun(block.address);
        }
        if (send) {
            message(4, "SR:  %05d:%d", recordNumber, head.block);
            writeBlock(block.address, monitor::blockBytes(block, buffer), block.n);
        } else {
            message(4, "SR:  %05d:%d not sent: %u bytes of 0xFF at 0x%X", recordNumber, head.block, block.n,
                    block.address);
            ++blankBlocks;
            blankBytes += block.n;
        }
        const monitor::Segment& tail = block.parts.back();
        reach(tail.record + 1);
        if (tail.ends) console.showProgress(WRITE_LABEL, recordNumber, records.size(), byteTotal, imageBytes);
        // The record delay follows each record, or with -b each block written.
        if (options.recordDelay > 0 && send && (options.joinBlocks || tail.ends)) pause(options.recordDelay);
    }
    reach(records.size());
    // An image without records still has its step reach 100 %.
    console.events.progress("write", records.size(), records.size(), byteTotal, imageBytes);

    markers.complete();
    message(1, "Write complete, %d records, %d bytes.", recordNumber, static_cast<int>(byteTotal));
    if (leaveOutBlank) message(2, "Left out %u blocks: %u bytes of 0xFF not sent.", blankBlocks, blankBytes);
}
