// How image addresses meet the controller's memory, shared by the block download and the read-back.
#pragma once

#include "image/firmware_image.h"
#include "monitor/protocol.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace monitor {

/// Unpaged image addresses in the window range 0x8000-0xBFFF live 0x4000 lower in the controller.
inline bool inWindow(uint32_t address) {
    return address >= WINDOW_START && address < WINDOW_END;
}

/// A record's start address on the controller; paged addresses (0x10000 and above) stay as they are.
inline uint32_t mapStart(uint32_t address) {
    return inWindow(address) ? address - 0x4000 : address;
}

/// The address after a block of n bytes: writing that reaches the window range goes on at 0xC000.
inline uint32_t nextBlock(uint32_t address, unsigned n) {
    address += n;
    return inWindow(address) ? address + 0x4000 : address;
}

/// The length of the next block: at most MAX_BLOCK, and never across 0x8000 from below.
inline unsigned blockLength(uint32_t address, uint32_t remaining) {
    unsigned n = static_cast<unsigned>(std::min<uint32_t>(remaining, MAX_BLOCK));
    if (address < 0x8000 && address + n > 0x8000) n = 0x8000 - address;
    return n;
}

/// The bytes a record really holds: its length, never more than its data.
inline uint32_t recordLength(const SRecord& record) {
    return static_cast<uint32_t>(std::min<size_t>(record.length, record.data.size()));
}

/// Records that start in the top 256 bytes of the 16-bit space are not read back.
inline bool skippedByVerification(uint32_t mappedStart) {
    return mappedStart >= 0xFF00 && mappedStart <= 0xFFFF;
}

/// Bytes of one record inside a block.
struct Segment {
    size_t record;       ///< the record's position in address order, from 0
    unsigned block;      ///< which of the record's own blocks (cut as without -b) the bytes belong to, from 0
    const uint8_t* data; ///< the bytes, in the record
    unsigned n;
    bool ends; ///< the record's last bytes
};

/// One write-block or read-block command: n bytes from a mapped address, gathered from one or more records.
struct Block {
    uint32_t address = 0;
    unsigned n = 0;
    std::vector<Segment> parts;
    bool blank = false; ///< every byte 0xFF, in flash that the download's erases leave at 0xFF
};

/// Where a record's bytes land on the controller, block by block as the download cuts and maps them: runs of
/// controller addresses, a paged one with its page above the low 16 bits.
std::vector<std::pair<uint32_t, uint32_t>> landing(const SRecord& record);

/// What a block that starts after a gap costs beyond its data: the 4-byte command and the 3-byte reply.
constexpr unsigned BLOCK_OVERHEAD = 4 + 3;

/// True for the mapped addresses that a download's erases leave at 0xFF: the unpaged flash (0x4000-0x7FFF and
/// 0xC000-0xFFFF, after the main flash erase) and the window of a page (after the page's own erase).
inline bool erasedByDownload(uint32_t address) {
    if (address >= 0x10000) {
        const uint32_t window = address & 0xFFFF;
        return (address >> 16) <= 0xFF && window >= WINDOW_START && window < WINDOW_END;
    }
    return address >= 0x4000 && (address < WINDOW_START || address >= WINDOW_END);
}

/// The image's records in address order.
std::vector<const SRecord*> recordList(const FirmwareImage& image);
/// The data bytes of the records, all together: what a step's progress counts up to.
uint64_t dataBytes(const std::vector<const SRecord*>& records);

/// The blocks that carry the records, in order. Each record is cut into blocks of at most MAX_BLOCK bytes
/// that never run across 0x8000. With join, bytes that follow each other without a gap share blocks of up to
/// MAX_BLOCK bytes, which never run across 0x8000, past the end of a page's window or onto another page. With
/// skipTop, the records that verification passes over have no bytes in any block. With leaveOutBlank (only
/// together with join), runs of 0xFF that the erases left so, and that verification reads back, go into blank
/// blocks of their own, where leaving them out saves line time: at either end of bytes that follow each
/// other, or longer than BLOCK_OVERHEAD inside them. The bytes after a blank block start a block of their
/// own.
std::vector<Block> planBlocks(const std::vector<const SRecord*>& records, bool join, bool skipTop,
                              bool leaveOutBlank = false);

/// The bytes of a block, in one piece: in the record itself, or gathered into buffer (MAX_BLOCK bytes).
const uint8_t* blockBytes(const Block& block, uint8_t* buffer);

} // namespace monitor
