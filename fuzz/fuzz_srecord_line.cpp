// Fuzz target: one line through the S-record line reader. Besides running clean under the sanitizers, every
// line must be judged the same with or without its line end, every fault must carry one of the reader's
// texts, every record taken must be as long as its line says and read back the same when written anew, and
// no line may be taken with text dropped: against a line end cut off here by our own rule, a taken line is
// exactly its fields, and the same line with a character added after them or a CR put inside fails.
#include "fuzz_check.h"

#include "image/firmware_image.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

const char* const FAULT_TEXTS[] = {
    "Not a Motorola S-record",          "Invalid checksum, found 0x",           "Garbage at end of line",
    "Line shorter than its byte count", "Byte count too small for the address", "Unknown S-record type '",
};

bool knownFault(const std::string& text) {
    for (const char* known : FAULT_TEXTS) {
        if (text.compare(0, std::string(known).size(), known) == 0) return true;
    }
    return false;
}

/// What one line did to a fresh image.
struct Outcome {
    bool threw = false;
    bool taken = false;
    std::string fault;
    FirmwareImage image;

    bool sameAs(const Outcome& other) const {
        if (threw != other.threw || taken != other.taken || fault != other.fault) return false;
        if (image.entryPoint != other.image.entryPoint || image.lowAddress != other.image.lowAddress ||
            image.highAddress != other.image.highAddress ||
            image.records.size() != other.image.records.size())
            return false;
        for (const auto& [address, record] : image.records) {
            auto match = other.image.records.find(address);
            if (match == other.image.records.end() || match->second.data != record.data) return false;
        }
        return true;
    }
};

void ignoreMessage(const char* text) {
    fuzzCheck(text != nullptr, "message without text");
}

void parseInto(Outcome& outcome, const std::string& line) {
    outcome.image.fileName = "fuzz.s19";
    outcome.image.lineNumber = 7;
    outcome.image.messageCallback = ignoreMessage;
    outcome.image.verbosity = 6;
    try {
        outcome.taken = outcome.image.parseLine(line);
    } catch (const s19Error& e) {
        outcome.threw = true;
        outcome.fault = e.text;
        fuzzCheck(e.file == "fuzz.s19" && e.line == 7, "fault names the wrong place");
        fuzzCheck(knownFault(e.text), "unknown fault text: " + fuzzShow(e.text));
    }
}

/// The record written as a line of the given type with upper-case digits and the right checksum.
std::string formatRecord(char type, unsigned addressBytes, const SRecord& record) {
    static const char DIGITS[] = "0123456789ABCDEF";
    std::string line = {'S', type};
    uint32_t sum = 0;
    auto put = [&](uint8_t byte) {
        line += DIGITS[byte >> 4];
        line += DIGITS[byte & 15];
        sum += byte;
    };
    put(static_cast<uint8_t>(addressBytes + record.data.size() + 1));
    for (unsigned i = addressBytes; i-- > 0;)
        put(static_cast<uint8_t>(record.address >> (8 * i)));
    for (uint8_t byte : record.data)
        put(byte);
    put(static_cast<uint8_t>(~sum));
    return line;
}

unsigned addressBytesOf(char type) {
    switch (type) {
    case '0':
    case '1':
    case '9':
        return 2;
    case '2':
    case '8':
        return 3;
    case '3':
    case '7':
        return 4;
    default:
        return 0;
    }
}

/// A line that was taken: its fields must agree with what went into the image.
void checkTaken(const std::string& line, const Outcome& outcome) {
    std::string stripped = line;
    FirmwareImage::stripLineEnd(stripped);
    fuzzCheck(stripped.size() >= 2 && stripped[0] == 'S', "a line taken without an S in front");
    char type = stripped[1];
    unsigned addressBytes = addressBytesOf(type);
    fuzzCheck(addressBytes != 0, "a line of an unknown type taken");
    const FirmwareImage& image = outcome.image;
    uint64_t addressLimit = uint64_t(1) << (8 * addressBytes);
    if (type == '7' || type == '8' || type == '9') {
        fuzzCheck(image.entryPoint < addressLimit, "entry point wider than its field");
        fuzzCheck(image.records.empty(), "a termination line added a record");
        return;
    }
    if (type == '0') {
        fuzzCheck(image.records.empty(), "a comment line added a record");
        return;
    }
    fuzzCheck(image.records.size() == 1, "a data line taken without exactly one record");
    const SRecord& record = image.records.begin()->second;
    fuzzCheck(image.records.begin()->first == record.address, "record filed under another address");
    fuzzCheck(record.address < addressLimit, "address wider than its field");
    fuzzCheck(record.length == record.data.size(), "record length differs from its bytes");
    fuzzCheck(stripped.size() == 2 * (addressBytes + 1 + record.data.size()) + 4,
              "line length disagrees with the record's length");
    fuzzCheck(image.lowAddress == record.address && image.highAddress == record.address,
              "code range is not the record's start address");
    Outcome again;
    parseInto(again, formatRecord(type, addressBytes, record));
    fuzzCheck(again.taken && again.sameAs(outcome), "the record written anew reads back otherwise");
}

/// The text before the line end, cut off by the rule of the file format rather than by the reader's code: a
/// final LF, with the CR before it if there is one.
std::string beforeLineEnd(const std::string& line) {
    size_t n = line.size();
    if (n > 0 && line[n - 1] == '\n') {
        --n;
        if (n > 0 && line[n - 1] == '\r') --n;
    }
    return line.substr(0, n);
}

/// A line that was taken keeps no text back: nothing but its fields stand before its line end, and the same
/// line with more text after the checksum, or with a CR inside it, is refused.
void checkNothingDropped(const std::string& line, const uint8_t* data, size_t size) {
    const std::string text = beforeLineEnd(line);
    const std::string end = line.substr(text.size());
    fuzzCheck(text.find_first_of("\r\n") == std::string::npos, "a line taken with a line end inside it");
    fuzzCheck(text.size() == 2 * FirmwareImage::hexValue(text, 2, 2) + 4,
              "a line taken with more or less text than its byte count: " + fuzzShow(line));
    for (const std::string extra : {" ", "0", "\r", "S"}) {
        // A CR before a lone LF makes a CR LF line end, which is no added text.
        if (extra == "\r" && end == "\n") continue;
        Outcome longer;
        parseInto(longer, text + extra + end);
        fuzzCheck(longer.threw, "a line taken with text after its checksum: " + fuzzShow(text + extra + end));
    }
    size_t at = size > 0 ? data[size - 1] % text.size() : 0;
    Outcome split;
    parseInto(split, text.substr(0, at) + "\r" + text.substr(at) + end);
    fuzzCheck(split.threw, "a line taken with a CR inside it");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    Outcome outcome;
    parseInto(outcome, line);
    if (outcome.taken) {
        checkTaken(line, outcome);
        checkNothingDropped(line, data, size);
    }
    if (!outcome.threw && !outcome.taken) {
        fuzzCheck(size > 0 && line[0] == '#', "a line refused without a fault that does not begin with #");
    }
    // A line end, whichever kind, changes nothing.
    if (line.find_first_of("\r\n") == std::string::npos) {
        for (const char* end : {"\n", "\r\n"}) {
            Outcome ended;
            parseInto(ended, line + end);
            fuzzCheck(ended.sameAs(outcome), "the line is judged otherwise with a line end");
        }
    }
    // A field read as a number never exceeds what its digits can hold.
    if (size >= 2) {
        size_t count = data[1] % 9;
        uint64_t value = FirmwareImage::hexValue(line, data[0], count);
        fuzzCheck(value < (uint64_t(1) << (4 * count)), "hexValue wider than its field");
    }
    std::string stripped = line;
    FirmwareImage::stripLineEnd(stripped);
    fuzzCheck(line.compare(0, stripped.size(), stripped) == 0, "stripLineEnd changed more than the end");
    return 0;
}
