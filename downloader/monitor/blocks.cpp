// How records become blocks: one record at a time, or with -b the bytes that follow each other joined into
// full blocks, and runs of 0xFF in erased flash set apart. Either way every byte goes to the same address in
// the same order.
#include "monitor/blocks.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace monitor {

namespace {

/// True when the byte at address goes on from bytes that began at first and end just before end, in one
/// command: it follows them, and it would not run across 0x8000, past the end of a page's window or onto
/// another page.
bool follows(uint32_t first, uint32_t end, uint32_t address) {
    if (end != address || (address >> 16) != (first >> 16)) return false;
    if (first < WINDOW_START && address >= WINDOW_START) return false;
    return address < 0x10000 || (address & 0xFFFF) < WINDOW_END;
}

/// True when the block may take the byte at address next: it has room and the byte goes on from its last one.
bool extends(const Block& block, uint32_t address) {
    return block.n < MAX_BLOCK && follows(block.address, block.address + block.n, address);
}

/// Bytes of one of a record's own blocks, at their mapped address; blank when they are to be left out.
struct Piece {
    Segment part;
    uint32_t address;
    bool blank;
};

/// Adds a piece, starting new blocks where it cannot join the last one; blank and other bytes never share.
void add(std::vector<Block>& blocks, bool join, Piece piece) {
    Segment& part = piece.part;
    const bool lastOfRecord = part.ends;
    while (part.n > 0) {
        if (!join || blocks.empty() || blocks.back().blank != piece.blank ||
            !extends(blocks.back(), piece.address)) {
            blocks.emplace_back();
            blocks.back().address = piece.address;
            blocks.back().blank = piece.blank;
        }
        Block& block = blocks.back();
        Segment cut = part;
        cut.n = std::min(part.n, MAX_BLOCK - block.n);
        cut.ends = lastOfRecord && cut.n == part.n;
        block.parts.push_back(cut);
        block.n += cut.n;
        piece.address += cut.n;
        part.data += cut.n;
        part.n -= cut.n;
    }
}

/// Marks the runs of 0xFF to leave out in pieces [first, last), bytes that follow each other, and splits
/// the pieces where a run begins or ends. skipped: per piece, its record is passed over by verification.
void markBlank(const std::vector<Piece>& pieces, size_t first, size_t last, const std::vector<bool>& skipped,
               std::vector<Piece>& out) {
    std::vector<bool> blank;
    for (size_t p = first; p < last; ++p)
        for (unsigned i = 0; i < pieces[p].part.n; ++i)
            blank.push_back(!skipped[p] && pieces[p].part.data[i] == 0xFF &&
                            erasedByDownload(pieces[p].address + i));
    // A run at either end costs no command of its own; one inside must outweigh the command it adds.
    for (size_t start = 0; start < blank.size();) {
        size_t end = start;
        while (end < blank.size() && blank[end] == blank[start])
            ++end;
        if (blank[start] && start != 0 && end != blank.size() && end - start <= BLOCK_OVERHEAD)
            std::fill(blank.begin() + static_cast<std::ptrdiff_t>(start),
                      blank.begin() + static_cast<std::ptrdiff_t>(end), false);
        start = end;
    }
    size_t at = 0;
    for (size_t p = first; p < last; ++p) {
        const Piece& piece = pieces[p];
        for (unsigned i = 0; i < piece.part.n;) {
            unsigned j = i;
            while (j < piece.part.n && blank[at + j] == blank[at + i])
                ++j;
            Piece cut = piece;
            cut.part.data += i;
            cut.part.n = j - i;
            cut.part.ends = piece.part.ends && j == piece.part.n;
            cut.address += i;
            cut.blank = blank[at + i];
            out.push_back(cut);
            i = j;
        }
        at += piece.part.n;
    }
}

} // namespace

std::vector<std::pair<uint32_t, uint32_t>> landing(const SRecord& record) {
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    uint32_t address = mapStart(record.address);
    for (uint32_t left = recordLength(record); left > 0;) {
        const unsigned n = blockLength(address, left);
        runs.emplace_back(address, n);
        address = nextBlock(address, n);
        left -= n;
    }
    return runs;
}

std::vector<const SRecord*> recordList(const FirmwareImage& image) {
    std::vector<const SRecord*> records;
    records.reserve(image.records.size());
    for (const auto& entry : image.records)
        records.push_back(&entry.second);
    return records;
}

uint64_t dataBytes(const std::vector<const SRecord*>& records) {
    uint64_t bytes = 0;
    for (const SRecord* record : records)
        bytes += record->length;
    return bytes;
}

std::vector<Block> planBlocks(const std::vector<const SRecord*>& records, bool join, bool skipTop,
                              bool leaveOutBlank) {
    // 1. Each record cut into its own blocks, at their mapped addresses.
    std::vector<Piece> pieces;
    std::vector<bool> skipped;
    for (size_t i = 0; i < records.size(); ++i) {
        const SRecord& record = *records[i];
        const uint32_t length = recordLength(record);
        uint32_t address = mapStart(record.address);
        const bool passedOver = skippedByVerification(address);
        if (length == 0 || (skipTop && passedOver)) continue;
        uint32_t offset = 0;
        for (unsigned block = 0; offset < length; ++block) {
            const unsigned n = blockLength(address, length - offset);
            pieces.push_back(
                {Segment{i, block, record.data.data() + offset, n, offset + n == length}, address, false});
            skipped.push_back(passedOver);
            offset += n;
            address = nextBlock(address, n);
        }
    }

    // 2. With leaveOutBlank, the runs of 0xFF marked in each stretch of bytes that follow each other.
    if (join && leaveOutBlank) {
        std::vector<Piece> marked;
        for (size_t first = 0, last = 0; first < pieces.size(); first = last) {
            last = first + 1;
            while (last < pieces.size() &&
                   follows(pieces[first].address, pieces[last - 1].address + pieces[last - 1].part.n,
                           pieces[last].address))
                ++last;
            markBlank(pieces, first, last, skipped, marked);
        }
        pieces.swap(marked);
    }

    // 3. The pieces into blocks.
    std::vector<Block> blocks;
    for (const Piece& piece : pieces)
        add(blocks, join, piece);
    return blocks;
}

const uint8_t* blockBytes(const Block& block, uint8_t* buffer) {
    if (block.parts.size() == 1) return block.parts.front().data;
    size_t at = 0;
    for (const Segment& part : block.parts) {
        std::memcpy(buffer + at, part.data, part.n);
        at += part.n;
    }
    return buffer;
}

} // namespace monitor
