// The serial monitor answers every command with an error byte, a status byte and the prompt byte; this file
// reads and judges that answer.
#include "monitor/reply.h"
#include "downloader.h"
#include "monitor/protocol.h"

#include <cstdio>
#include <string>

std::string hexByte(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
    return text;
}

namespace {

[[noreturn]] void raiseProtocolError(const std::string& text) {
    throw ProtocolError{text};
}

const char* errorText(uint8_t error) {
    switch (error) {
    case MON_ERR_NOT_RECOGNIZED:
        return "Command not recognized, e=";
    case 0xE2:
        return "Command not allowed in run mode, e=";
    case 0xE3:
        return "Stack pointer out of range, e=";
    case 0xE4:
        return "Stack pointer invalid, e=";
    case 0xE5:
        return "Attempt to write read-only memory, e=";
    case 0xE6:
        return "Access error when writing FLASH/EEPROM memory, e=";
    case 0xE9:
        return "Memory protection violation writing EEPROM memory, e=";
    default:
        return "Unknown error status response, e=";
    }
}

const char* statusText(uint8_t status) {
    switch (status) {
    case 0x01:
        return "Program running, download failed, s=";
    case 0x02:
        return "Program halted, download failed, s=";
    case 0x04:
        return "Program trace detected, download failed, s=";
    case 0x08:
        return "Cold reset detected, something grossly wrong, s=";
    case 0x0C:
        return "Warm reset detected, something grossly wrong, s=";
    default:
        return "Unknown status received, s=";
    }
}

} // namespace

void Downloader::checkReply(uint8_t expectedError, uint8_t expectedStatus) {
    // A byte that never comes keeps its default here, and the messages show the buffer as it stands.
    uint8_t reply[3] = {MON_ERR_NONE, MON_STATUS_NONE, 0x00};
    // The first byte may be slow in coming after an erase or a long block: five reads for it.
    finishReply(reply, 0, 5, expectedError, expectedStatus);
}

void Downloader::finishReply(uint8_t* reply, unsigned got, int tries, uint8_t expectedError,
                             uint8_t expectedStatus) {
    const std::string missing = receiveReply(reply, got, tries);
    // A reply that did not come whole is no answer; one that came and is wrong is a wrong answer.
    if (!missing.empty()) throw ProtocolError{missing, outcome::Kind::NoAnswer};
    judgeReply(reply, expectedError, expectedStatus);
}

std::string Downloader::receiveReply(uint8_t* reply, unsigned& got, int tries) {
    // Status and prompt follow the error byte at the line's pace and are taken with it; a read that brought
    // some of the three has waited its time-out for the next one already.
    for (; got == 0 && tries > 0; --tries)
        got = receive(reply, 3);
    if (got > 0) tracker.answered();
    if (got == 0) return "Timed out reading response, " + hexByte(reply[0]);
    if (got == 1) return "Could not read status code, " + hexByte(reply[0]) + " " + hexByte(reply[1]);
    if (got == 2)
        return "Could not read monitor prompt, " + hexByte(reply[0]) + " " + hexByte(reply[1]) + " " +
               hexByte(reply[2]);
    return "";
}

void Downloader::judgeReply(const uint8_t* reply, uint8_t expectedError, uint8_t expectedStatus) {
    message(4, "RX:  %02x %02x %02x", reply[0], reply[1], reply[2]);
    if (reply[0] != expectedError && reply[0] != MON_ERR_NONE)
        raiseProtocolError(errorText(reply[0]) + hexByte(reply[0]));
    if (reply[1] != expectedStatus && reply[1] != MON_STATUS_NONE)
        raiseProtocolError(statusText(reply[1]) + hexByte(reply[1]));
    if (reply[2] != MON_PROMPT)
        raiseProtocolError("Prompt was expected to be " + hexByte(MON_PROMPT) + " but returned byte was " +
                           hexByte(reply[2]));
}
