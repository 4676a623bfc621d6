// The VQ-II serial monitor's side of the line: its command and reply bytes, its block size and the flash page
// window behind its page register.
#pragma once

#include <cstdint>

/// The serial monitor's reply bytes and commands.
enum : uint8_t {
    MON_ERR_NONE = 0xE0,
    MON_ERR_NOT_RECOGNIZED = 0xE1,
    MON_STATUS_NONE = 0x00,
    MON_STATUS_COLD_RESET = 0x08,
    MON_PROMPT = 0x3E,
    MON_WRITE_BYTE = 0xA2,
    MON_READ_BLOCK = 0xA7,
    MON_WRITE_BLOCK = 0xA8,
    MON_RESET = 0xB4,
    MON_ERASE_MAIN = 0xB6,
    MON_ERASE_PAGE = 0xB8,
    MON_PROBE = 0x0D,
};

/// The largest VQ-II block, in both directions.
constexpr unsigned MAX_BLOCK = 256;
/// Controller address of the VQ-II flash page register.
constexpr uint16_t PAGE_REGISTER = 0x0030;
/// The VQ-II page window: the page that the register selects shows from WINDOW_START up to WINDOW_END.
constexpr uint32_t WINDOW_START = 0x8000;
constexpr uint32_t WINDOW_END = 0xC000;
