// The VQ-I boot loader. At its prompt it takes one-letter commands and answers them in text; after "u" it
// takes S-record lines, writing the S1 lines into its flash without a word, until the S9 line ends the
// reception.
#include "engine.h"

namespace vqsim {

namespace {

const char* const PROMPT = "\r\nBoot>";
const char* const WIPED = "w  Complete\r\nBoot>";
const char* const WAITING = "u - waiting ...";
const char* const RECEIVED = "  Complete\r\nBoot>";
const char* const ABANDONED = "x\r\nBoot>";
/// The longest record line kept; an S1 line of 255 count bytes has 514 characters.
constexpr size_t MAX_LINE = 1024;

Reply textReply(const char* command, const std::string& text) {
    return {command, std::vector<uint8_t>(text.begin(), text.end())};
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

/// The bytes of a record line after its type ("S1"): count, address, data, checksum. False when the line is
/// not hexadecimal, its count does not match its length or its checksum is wrong.
bool recordBytes(const std::string& body, std::vector<uint8_t>& bytes) {
    if (body.size() < 4 || body.size() % 2 != 0) return false;
    for (size_t i = 2; i < body.size(); i += 2) {
        int high = hexDigit(body[i]), low = hexDigit(body[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    if (bytes[0] + 1u != bytes.size() || bytes[0] < 3) return false;
    unsigned sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); ++i)
        sum += bytes[i];
    return static_cast<uint8_t>(~sum) == bytes.back();
}

/// Handles one whole record line; true when it ends the reception.
bool takeLine(Engine& e, const std::string& body) {
    ++e.counters.linesReceived;
    std::vector<uint8_t> bytes;
    bool good = body.size() >= 2 && body[0] == 'S' && recordBytes(body, bytes);
    char type = body.size() >= 2 && body[0] == 'S' ? body[1] : '?';
    if (type == '1' && good) {
        uint16_t address = static_cast<uint16_t>(bytes[1] << 8 | bytes[2]);
        size_t count = bytes.size() - 4;
        for (size_t i = 0; i < count; ++i)
            e.flash.at(static_cast<uint16_t>(address + i), 0) = bytes[3 + i];
        e.counters.bytesWritten += count;
    } else if (!(good && (type == '9' || type == '0' || type == '5'))) {
        ++e.counters.badLines;
    }
    // The end line ends the reception even when it is damaged: the loader goes back to its prompt.
    return type == '9';
}

} // namespace

void Engine::feedBootLoader(uint8_t byte, std::vector<Reply>& replies) {
    if (boot.receiving) {
        if (boot.line.size() < MAX_LINE)
            boot.line.push_back(static_cast<char>(byte));
        else
            boot.overflow = true;
        if (byte != '\n') return;
        std::string raw;
        raw.swap(boot.line);
        bool overflow = boot.overflow;
        boot.overflow = false;
        std::string body = raw;
        while (!body.empty() && (body.back() == '\n' || body.back() == '\r'))
            body.pop_back();
        if (body.empty()) return;
        lines.push_back(raw);
        if (overflow) body = "?"; // too long to be a record: counted as a bad line
        if (takeLine(*this, body)) {
            boot.receiving = false;
            replies.push_back(textReply("s9", RECEIVED));
        }
        return;
    }
    if (byte == '!') {
        if (boot.bang) replies.push_back(textReply("wake", PROMPT));
        boot.bang = !boot.bang;
        return;
    }
    boot.bang = false;
    switch (byte) {
    case '\r':
        replies.push_back(textReply("cr", PROMPT));
        break;
    case 'w':
        flash.eraseAll();
        ++counters.mainErases;
        replies.push_back(textReply("w", WIPED));
        break;
    case 'u':
        boot.receiving = true;
        boot.line.clear();
        replies.push_back(textReply("u", WAITING));
        break;
    case 'x':
        replies.push_back(textReply("x", ABANDONED));
        break;
    case 'S':
        replies.push_back(textReply("S", options.signature));
        break;
    default:
        break; // the boot loader ignores what it does not know
    }
}

} // namespace vqsim
