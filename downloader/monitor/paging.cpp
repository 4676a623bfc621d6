// Flash paging and erase: the page register follows the address being written or read, each page is erased
// once just before its first block, and every download opens with the main flash erase.
#include "downloader.h"
#include "monitor/blocks.h"
#include "monitor/protocol.h"

void Downloader::setPage(uint32_t address, bool eraseFirst) {
    // 1. Unpaged addresses are page 0, which the register holds from the start: they never cost a command.
    const uint32_t page = address >> 16;
    if (page == currentPage) return;
    currentPage = static_cast<uint8_t>(page & 0xFF);

    // 2. The page register is a byte in the controller's register space.
    message(1, "Setting page register 0x%02x:", page);
    const uint8_t command[4] = {MON_WRITE_BYTE, PAGE_REGISTER >> 8, PAGE_REGISTER & 0xFF, currentPage};
    writeBytes(command, sizeof command);
    checkReply(MON_ERR_NONE, MON_STATUS_NONE);
    message(1, "Page set.");

    // 3. A page is erased on the first switch to it only; the flag is set once the erase was answered.
    if (!eraseFirst || erasedPages[currentPage]) return;
    message(1, "Erasing page %#04x:", page);
    writeByte(MON_ERASE_PAGE);
    pause(options.wipeDelay);
    checkReply(MON_ERR_NONE, MON_STATUS_NONE);
    erasedPages[currentPage] = true;
    message(1, "Erased.");
}

void Downloader::eraseMainFlash() {
    message(1, "Erasing main FLASH:");
    writeByte(MON_ERASE_MAIN);
    pause(options.wipeDelay);
    checkReply(MON_ERR_NONE, MON_STATUS_NONE);
    mainErased = true;
    message(1, "Erased.");
}

bool Downloader::erasedInThisRun(uint32_t address) const {
    if (!monitor::erasedByDownload(address)) return false;
    const uint32_t page = address >> 16;
    if (page == 0) return mainErased;
    return page == currentPage && erasedPages[page];
}
