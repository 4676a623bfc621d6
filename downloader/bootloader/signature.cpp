// Asking the VQ-I boot loader for its signature and showing it. Nothing is compared: for a VQ-I controller
// this display is the whole of the verify step.
#include "downloader.h"

#include <cstring>
#include <string>

namespace {

/// The fixed pause between the commands, and before the reply is read.
constexpr int SETTLE_MS = 100;
/// The reply is read until the line falls quiet, but never for longer than this...
constexpr int64_t SIGNATURE_TIME_LIMIT_MS = 2000;
/// ...nor for more bytes than this, so that a controller that keeps talking cannot hold the run.
constexpr size_t SIGNATURE_BYTE_LIMIT = 64 * 1024;

} // namespace

void Downloader::readSignature() {
    message(1, "%s:", VERIFY_LABEL);
    // 1. "x" ends whatever the boot loader was doing; its answer is discarded unseen.
    pause(SETTLE_MS);
    writeText("x");
    pause(SETTLE_MS);
    drainInput();
    // 2. "S" asks for the signature.
    writeText("S");
    pause(SETTLE_MS);

    // 3. Everything up to the first read time-out is the signature, shown as it came, line ends included.
    std::string text = "Signature: ";
    const int64_t deadline = platformNowMs() + SIGNATURE_TIME_LIMIT_MS;
    size_t received = 0;
    uint8_t byte = 0;
    while (received < SIGNATURE_BYTE_LIMIT && platformNowMs() < deadline && readByte(&byte)) {
        text += static_cast<char>(byte);
        ++received;
    }
    // Passed as an argument, not as the format, so that a percent sign in the reply stays one.
    message(1, "%s", text.c_str());
    // Under -V the signature is the whole verification: not one byte (no controller, a VQ-II one, a dead
    // cable) verified nothing. After a download the boot loader has confirmed every line already.
    if (received == 0 && options.verifyOnly) throw ProtocolError{"No answer to the signature request."};
    if (options.verifyOnly) console.events.signature(text.substr(std::strlen("Signature: ")));
    message(1, "Verify complete.");
}
