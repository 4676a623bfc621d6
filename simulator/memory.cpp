// The simulated flash. A VQ-II controller sees 64 KiB; the page register picks which of the 256 pages of 16
// KiB shows in the window 0x8000-0xBFFF, and the rest of the 64 KiB is one unpaged space. Every access goes
// through the 16-bit address with the page register, so a block that runs past the end of the window spills
// into the unpaged space from 0xC000 on (as on the controller), and one that runs past 0xFFFF wraps to
// 0x0000.
#include "engine.h"

#include <algorithm>

namespace vqsim {

Flash::Flash(bool paged) : unpaged(0x10000, ERASED), pages(paged ? 256 * PAGE_SIZE : 0, ERASED) {}

uint8_t& Flash::at(uint16_t address, uint8_t page) {
    if (paged() && address >= WINDOW_START && address <= WINDOW_END)
        return pages[page * PAGE_SIZE + (address - WINDOW_START)];
    return unpaged[address];
}

uint8_t Flash::at(uint16_t address, uint8_t page) const {
    return const_cast<Flash*>(this)->at(address, page);
}

uint8_t& Flash::image(uint32_t address) {
    if (!paged()) {
        // The VQ-I space ends at 0xFFFF; what lies above reads as erased and keeps nothing.
        if (address > 0xFFFF) {
            outside = ERASED;
            return outside;
        }
        return unpaged[address];
    }
    return at(static_cast<uint16_t>(address & 0xFFFF), static_cast<uint8_t>(address >> 16));
}

uint8_t Flash::image(uint32_t address) const {
    if (!paged() && address > 0xFFFF) return ERASED;
    return const_cast<Flash*>(this)->image(address);
}

void Flash::eraseAll() {
    std::fill(unpaged.begin(), unpaged.end(), ERASED);
    std::fill(pages.begin(), pages.end(), ERASED);
}

void Flash::eraseMain() {
    std::fill(unpaged.begin(), unpaged.end(), ERASED);
}

void Flash::erasePage(uint8_t page) {
    if (!paged()) return;
    auto first = pages.begin() + page * PAGE_SIZE;
    std::fill(first, first + PAGE_SIZE, ERASED);
}

} // namespace vqsim
