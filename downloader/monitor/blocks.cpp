// How records become blocks: one record at a time, or with -b the bytes that follow each other joined into
// full blocks. Either way every byte goes to the same address in the same order.
#include "monitor/blocks.h"

#include <cstring>

namespace monitor {

namespace {

/// True when the block may take the byte at address next: it has room, the byte follows its last one, and
/// the block would not run across 0x8000, past the end of a page's window or onto another page.
bool extends(const Block& block, uint32_t address) {
    if (block.n >= MAX_BLOCK || block.address + block.n != address) return false;
    if ((address >> 16) != (block.address >> 16)) return false;
    if (block.address < WINDOW_START && address >= WINDOW_START) return false;
    return address < 0x10000 || (address & 0xFFFF) < WINDOW_END;
}

/// Adds the bytes of one of a record's own blocks, starting new blocks where they cannot join the last one.
void add(std::vector<Block>& blocks, bool join, Segment part, uint32_t address) {
    const bool lastOfRecord = part.ends;
    while (part.n > 0) {
        if (!join || blocks.empty() || !extends(blocks.back(), address)) {
            blocks.emplace_back();
            blocks.back().address = address;
        }
        Block& block = blocks.back();
        Segment piece = part;
        piece.n = std::min(part.n, MAX_BLOCK - block.n);
        piece.ends = lastOfRecord && piece.n == part.n;
        block.parts.push_back(piece);
        block.n += piece.n;
        address += piece.n;
        part.data += piece.n;
        part.n -= piece.n;
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

std::vector<Block> planBlocks(const std::vector<const SRecord*>& records, bool join, bool skipTop) {
    std::vector<Block> blocks;
    for (size_t i = 0; i < records.size(); ++i) {
        const SRecord& record = *records[i];
        const uint32_t length = recordLength(record);
        uint32_t address = mapStart(record.address);
        if (length == 0 || (skipTop && skippedByVerification(address))) continue;
        uint32_t offset = 0;
        for (unsigned block = 0; offset < length; ++block) {
            const unsigned n = blockLength(address, length - offset);
            add(blocks, join, Segment{i, block, record.data.data() + offset, n, offset + n == length},
                address);
            offset += n;
            address = nextBlock(address, n);
        }
    }
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
