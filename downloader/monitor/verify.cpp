// Block verification: the controller's memory is read back block by block, cut, joined and mapped as the
// download did it, and compared byte for byte with the image. The block read serves the read-back too.
#include "console/percent.h"
#include "downloader.h"
#include "monitor/blocks.h"
#include "monitor/protocol.h"

#include <algorithm>
#include <vector>

void Downloader::verifyImage() {
    const std::vector<const SRecord*> records = monitor::recordList(image);
    const uint64_t imageBytes = monitor::dataBytes(records);
    uint64_t bytesDone = 0;
    PercentMarkers markers(console, options.showPercent, VERIFY_LABEL, records.size());
    message(1, "%s:", VERIFY_LABEL);
    // An earlier step may have left the page register on a page.
    setPage(0, false);

    // Each record is counted as it comes up, in address order; one whose bytes join a block that began with
    // an earlier record comes up once that block has been compared, or at the byte that differs.
    int recordNumber = 0;
    int skippedCount = 0;
    size_t reached = 0;
    auto reach = [&](size_t upTo) {
        for (; reached < upTo; ++reached) {
            const SRecord& record = *records[reached];
            // The line counts the records already compared.
            console.showProgress(VERIFY_LABEL, reached, records.size(), bytesDone, imageBytes);
            bytesDone += record.length;
            if (record.length == 0) continue;
            ++recordNumber;
            markers.reached(static_cast<size_t>(recordNumber));
            if (monitor::skippedByVerification(monitor::mapStart(record.address))) ++skippedCount;
        }
    };

    uint8_t buffer[MAX_BLOCK + 3];
    for (const monitor::Block& block : monitor::planBlocks(records, options.joinBlocks, true)) {
        const monitor::Segment& head = block.parts.front();
        reach(head.record + 1);
        const uint32_t address = block.address;
        message(4, "VR:  %05d:%d", recordNumber, head.block);
        if (!readBlock(address, buffer, block.n))
            fatal(EXIT_PROTOCOL, "Could not read record %d block %d during verification.", recordNumber,
                  head.block + 1);

        unsigned at = 0;
        for (const monitor::Segment& part : block.parts) {
            for (unsigned i = 0; i < part.n; ++i, ++at) {
                // -V leaves the kept ranges out: a unit's own bytes there may differ from the file's
                // defaults.
                if (buffer[at] == part.data[i] || (options.verifyOnly && keptAt(address + at))) continue;
                reach(part.record + 1);
                noteFailure(outcome::Kind::Mismatch);
                fatal(EXIT_PROTOCOL, "Verification failed: At 0x%X expected 0x%02X, found 0x%02X.",
                      address + at, part.data[i], buffer[at]);
            }
        }
        const monitor::Segment& tail = block.parts.back();
        reach(tail.record + 1);
        // The record delay follows each record, or with -b each block.
        if (options.recordDelay > 0 && (options.joinBlocks || tail.ends)) pause(options.recordDelay);
    }
    reach(records.size());

    console.showProgress(VERIFY_LABEL, reached, records.size(), bytesDone, imageBytes);
    markers.complete();
    message(1, "Verification succeeded, %d records total (%d skipped).", recordNumber, skippedCount);
}

bool Downloader::readBlock(uint32_t address, uint8_t* buffer, unsigned n) {
    const uint8_t command[4] = {MON_READ_BLOCK, static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address), static_cast<uint8_t>(n - 1)};
    // A block's bytes and the reply behind them arrive as one answer and are read as one.
    auto readAnswer = [&] {
        setPage(address, false);
        writeBytes(command, sizeof command);
        unsigned got = receive(buffer, n + 3);
        trace("RX: ", buffer, std::min(got, n));
        return got < n ? -1 : static_cast<int>(got - n);
    };
    int replyBytes = readAnswer();
    if (replyBytes < 0) {
        // One more try after a fresh monitor entry; the page register is still where it was. An answer that
        // was only late (a loaded host, a USB hub) is let go by first, or its bytes would be taken as the
        // answers to the drop-in string and the probe.
        drainInput();
        enterMonitor();
        replyBytes = readAnswer();
        if (replyBytes < 0) return false;
    }
    // A byte of the reply that did not come shows as its default; the read that took the block waited once
    // for the reply's first byte already.
    uint8_t* reply = buffer + n;
    if (replyBytes == 0) reply[0] = MON_ERR_NONE;
    if (replyBytes <= 1) reply[1] = MON_STATUS_NONE;
    if (replyBytes <= 2) reply[2] = 0x00;
    finishReply(reply, static_cast<unsigned>(replyBytes), 4, MON_ERR_NONE, MON_STATUS_NONE);
    return true;
}
