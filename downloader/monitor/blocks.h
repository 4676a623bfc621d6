// How image addresses meet the controller's memory, shared by the block download and the read-back.
#pragma once

#include "downloader.h"

#include <algorithm>
#include <cstdint>

namespace monitor {

/// Unpaged image addresses in the window range 0x8000-0xBFFF live 0x4000 lower in the controller.
inline bool inWindow(uint32_t address) {
    return address >= 0x8000 && address <= 0xBFFF;
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

} // namespace monitor
