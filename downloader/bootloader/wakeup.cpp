// Waking the VQ-I boot loader up to its prompt, and wiping its flash.
//
// The boot loader talks plain text: one-letter commands, which it echoes, short English replies and the
// prompt "Boot>". Every reply is compared byte for byte, echoes, blanks and line ends included.
#include "downloader.h"

namespace {

/// The boot loader's answer to a wake-up: a new line and its prompt.
const char* const BOOT_PROMPT = "\r\nBoot>";
/// The echoed wipe command, then the report that the flash is wiped and the prompt.
const char* const WIPE_REPLY = "w  Complete\r\nBoot>";
/// The echoed reception command; after it the boot loader takes S-record lines.
const char* const RECEPTION_REPLY = "u - waiting ...";
/// The fixed pause that lets the line settle before the input is drained.
constexpr int SETTLE_MS = 100;

} // namespace

void Downloader::wakeUp() {
    message(1, "Wake up attempted:");
    // 1. A carriage return ends whatever the controller was reading; what it sends back (a running
    //    program's output, an old prompt) is discarded.
    writeText("\r");
    pause(SETTLE_MS);
    drainInput();
    // 2. "!!" brings the boot loader to its prompt.
    writeText("!!");
    if (!expect(BOOT_PROMPT, false)) {
        // 3. The second and last attempt: a boot loader already awake answers a lone carriage return with
        //    its prompt.
        console.showWaiting(2, 2);
        pause(SETTLE_MS);
        drainInput();
        writeText("\r");
        expect(BOOT_PROMPT, true);
    }
    message(1, "Wakeup successful.");
    message(1, "%s", "");
}

void Downloader::eraseFlash() {
    message(1, "Erasing:");
    // 1. Wipe: the reply comes only once the flash is wiped, so it is awaited after options.wipeDelay.
    writeText("w");
    pause(options.wipeDelay);
    expect(WIPE_REPLY, true);
    // 2. Record reception: writeLines follows at once, as the boot loader now waits for lines.
    writeText("u");
    expect(RECEPTION_REPLY, true);
    message(1, "Erased.");
    message(1, "%s", "");
}
