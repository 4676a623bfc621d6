// The S-record line parser: one text line in, its record, entry point or comment into the image.
#include "firmware_image.h"

#include <cstdarg>
#include <cstring>
#include <utility>

namespace {

enum class Kind { Comment, Data, Termination };

struct RecordType {
    char type;
    Kind kind;
    unsigned addressBytes;
    const char* trace;
};

const RecordType RECORD_TYPES[] = {
    {'0', Kind::Comment, 2, "Comment record:"},         {'1', Kind::Data, 2, "Data record 16-bit:"},
    {'2', Kind::Data, 3, "Data record 24-bit:"},        {'3', Kind::Data, 4, "Data record 32-bit:"},
    {'7', Kind::Termination, 4, "Termination record:"}, {'8', Kind::Termination, 3, "Termination record:"},
    {'9', Kind::Termination, 2, "Termination record:"},
};

const RecordType* findType(char type) {
    for (const RecordType& entry : RECORD_TYPES) {
        if (entry.type == type) return &entry;
    }
    return nullptr;
}

/// The length of a text without its line end: a final LF, with the CR before it if there is one. A CR
/// anywhere else is part of the line.
size_t strippedLength(const std::string& text) {
    size_t length = text.size();
    if (length > 0 && text[length - 1] == '\n') {
        --length;
        if (length > 0 && text[length - 1] == '\r') --length;
    }
    return length;
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

struct DigitTable {
    int8_t value[256];
    constexpr DigitTable() : value() {
        for (int c = 0; c < 256; ++c) {
            value[c] = static_cast<int8_t>(c >= '0' && c <= '9'   ? c - '0'
                                           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                  : -1);
        }
    }
};

constexpr DigitTable DIGITS;

int hexDigit(char c) {
    return DIGITS.value[static_cast<unsigned char>(c)];
}

/// Reads count bytes of two characters each into out and returns sum plus all of them, modulo 256.
uint8_t readHexBytes(const std::string& text, size_t pos, size_t count, uint8_t sum, uint8_t* out) {
    const char* field = text.data() + pos;
    for (size_t i = 0; i < count; ++i, field += 2) {
        // Two plain digits are the rule; anything else takes the general field reading.
        int high = hexDigit(field[0]);
        int low = hexDigit(field[1]);
        uint8_t byte = high >= 0 && low >= 0
                           ? static_cast<uint8_t>(high << 4 | low)
                           : static_cast<uint8_t>(FirmwareImage::hexValue(text, pos + 2 * i, 2));
        out[i] = byte;
        sum = static_cast<uint8_t>(sum + byte);
    }
    return sum;
}

} // namespace

void FirmwareImage::message(int level, const char* format, ...) {
    if (!route().shows(level)) return;
    va_list args;
    va_start(args, format);
    std::string text = formatText(format, args);
    va_end(args);
    route().emit(level, text.c_str());
}

void FirmwareImage::fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatText(format, args);
    va_end(args);
    throw s19Error{fileName, lineNumber, std::move(text)};
}

void FirmwareImage::stripLineEnd(std::string& text) {
    text.resize(strippedLength(text));
}

uint32_t FirmwareImage::hexValue(const std::string& text, size_t pos, size_t count) {
    size_t end = pos + count < text.size() ? pos + count : text.size();
    while (pos < end && isBlank(text[pos]))
        ++pos;
    uint32_t value = 0;
    for (; pos < end; ++pos) {
        int digit = hexDigit(text[pos]);
        if (digit < 0) break;
        value = (value << 4) | static_cast<uint32_t>(digit);
    }
    return value;
}

uint8_t FirmwareImage::addressSum(uint32_t address) {
    return static_cast<uint8_t>(address + (address >> 8) + (address >> 16) + (address >> 24));
}

bool FirmwareImage::parseLine(const std::string& line) {
    // The line end is left out by length alone: the text itself stays as read.
    size_t length = strippedLength(line);
    // Copied only when shown: a large image has hundreds of thousands of lines.
    if (route().shows(5)) message(5, "%s", line.substr(0, length).c_str());
    // A "#" line ends the S-record text of a file.
    if (length > 0 && line[0] == '#') return false;
    // Type, count and address; no field is read before it is known to lie inside the line.
    if (length == 0 || line[0] != 'S') fail("Not a Motorola S-record");
    // A line end inside the line would hide the text after it: the whole line is refused instead.
    if (std::memchr(line.data(), '\r', length) || std::memchr(line.data(), '\n', length))
        fail("Garbage at end of line");
    if (length < 2) fail("Line shorter than its byte count");
    const RecordType* type = findType(line[1]);
    if (!type) fail("Unknown S-record type '%c'", line[1]);
    message(6, "%s", type->trace);
    if (length < 4) fail("Line shorter than its byte count");
    uint32_t count = hexValue(line, 2, 2);
    if (count < type->addressBytes + 1) fail("Byte count too small for the address");
    if (length < 2 * static_cast<size_t>(count) + 4) fail("Line shorter than its byte count");
    uint32_t dataLength = count - type->addressBytes - 1;
    uint32_t address = hexValue(line, 4, 2 * type->addressBytes);
    // The trace of the count and address; the checksum starts from them.
    message(6, "   Size = %2d (%2d)  Address=%04x", static_cast<int>(count), static_cast<int>(dataLength),
            address);
    uint8_t sum = static_cast<uint8_t>(addressSum(address) + count);
    // Entry point and code range take the start address, before the checksum is known.
    if (type->kind == Kind::Termination) {
        entryPoint = address;
    } else if (type->kind == Kind::Data) {
        if (address > highAddress) highAddress = address;
        if (address < lowAddress) lowAddress = address;
    }
    // The data bytes and the checksum.
    SRecord record;
    record.address = address;
    record.length = dataLength;
    record.data.resize(dataLength);
    size_t dataPos = 4 + 2 * static_cast<size_t>(type->addressBytes);
    sum = readHexBytes(line, dataPos, dataLength, sum, record.data.data());
    message(6, "   Check sum  = %d", sum);
    uint8_t found = static_cast<uint8_t>(hexValue(line, dataPos + 2 * static_cast<size_t>(dataLength), 2));
    uint8_t recordSum = static_cast<uint8_t>(~(found + sum));
    message(6, "   Record sum = %d", recordSum);
    if (recordSum != 0)
        fail("Invalid checksum, found 0x%02x, expected 0x%02x", found, static_cast<uint8_t>(~sum));
    // Nothing may follow the checksum, not even a blank.
    if (length > 2 * static_cast<size_t>(count) + 4) fail("Garbage at end of line");
    ++recordLines;
    // A data record goes into the image with its place; a comment record is shown up to its first zero byte.
    if (type->kind == Kind::Data) {
        record.file = fileNames.empty() ? 0 : static_cast<uint32_t>(fileNames.size() - 1);
        record.line = lineNumber;
        addRecord(std::move(record));
    } else if (type->kind == Kind::Comment) {
        size_t textLength = 0;
        while (textLength < record.data.size() && record.data[textLength] != 0)
            ++textLength;
        std::string text(record.data.begin(), record.data.begin() + textLength);
        message(1, "%s", text.c_str());
        headerTexts.push_back(text);
    }
    return true;
}
