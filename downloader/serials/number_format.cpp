// How a serial number is laid into the flash: binary of 2, 4 or 8 bytes either way round, or N ASCII digits,
// decimal or upper-case hexadecimal, zero-padded.
#include "serials.h"

#include <cctype>
#include <cstdio>

namespace serials {

namespace {

/// The most digits a dec:N or hex:N format may ask for.
constexpr unsigned MAX_DIGITS = 64;

bool digitsOnly(const std::string& text, bool hex) {
    if (text.empty()) return false;
    for (char c : text)
        if (!(hex ? std::isxdigit(static_cast<unsigned char>(c))
                  : std::isdigit(static_cast<unsigned char>(c))))
            return false;
    return true;
}

/// Accumulates digits of a base into value; false when the number grows past 64 bits.
bool accumulate(const std::string& digits, unsigned base, uint64_t& value) {
    value = 0;
    for (char c : digits) {
        const unsigned digit =
            std::isdigit(static_cast<unsigned char>(c))
                ? static_cast<unsigned>(c - '0')
                : static_cast<unsigned>(std::toupper(static_cast<unsigned char>(c)) - 'A' + 10);
        if (value > (UINT64_MAX - digit) / base) return false;
        value = value * base + digit;
    }
    return true;
}

} // namespace

bool parseNumber(const std::string& text, uint64_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    return digitsOnly(digits, hex) && accumulate(digits, hex ? 16 : 10, value);
}

bool parseFormat(const std::string& text, Format& format) {
    static const struct {
        const char* name;
        unsigned width;
        bool bigEndian;
    } BINARY[] = {{"u16le", 2, false}, {"u16be", 2, true},  {"u32le", 4, false},
                  {"u32be", 4, true},  {"u64le", 8, false}, {"u64be", 8, true}};
    format.name = text;
    for (const auto& binary : BINARY) {
        if (text != binary.name) continue;
        format.kind = Kind::Binary;
        format.width = binary.width;
        format.bigEndian = binary.bigEndian;
        return true;
    }
    const bool dec = text.compare(0, 4, "dec:") == 0;
    if (!dec && text.compare(0, 4, "hex:") != 0) return false;
    uint64_t digits = 0;
    if (!digitsOnly(text.substr(4), false) || !accumulate(text.substr(4), 10, digits) || digits == 0 ||
        digits > MAX_DIGITS)
        return false;
    format.kind = dec ? Kind::Decimal : Kind::Hex;
    format.width = static_cast<unsigned>(digits);
    return true;
}

bool parsePlacement(const std::string& text, uint32_t& address, Format& format) {
    const size_t colon = text.find(':');
    uint64_t value = 0;
    if (colon == std::string::npos || !parseNumber(text.substr(0, colon), value) || value > 0xFFFFFF)
        return false;
    address = static_cast<uint32_t>(value);
    return parseFormat(text.substr(colon + 1), format);
}

uint64_t maxValue(const Format& format) {
    // Digits beyond what 64 bits hold are leading zeros: the largest number is then the 64-bit one.
    const unsigned bits = format.kind == Kind::Binary ? 8 * format.width
                          : format.kind == Kind::Hex  ? 4 * format.width
                                                      : 0;
    if (format.kind != Kind::Decimal) return bits >= 64 ? UINT64_MAX : (uint64_t(1) << bits) - 1;
    uint64_t most = 0;
    for (unsigned i = 0; i < format.width; ++i) {
        if (most > (UINT64_MAX - 9) / 10) return UINT64_MAX;
        most = most * 10 + 9;
    }
    return most;
}

std::vector<uint8_t> encode(const Format& format, uint64_t value) {
    std::vector<uint8_t> bytes(format.width, '0');
    if (format.kind == Kind::Binary) {
        for (unsigned i = 0; i < format.width; ++i) {
            const unsigned at = format.bigEndian ? format.width - 1 - i : i;
            bytes[at] = static_cast<uint8_t>(value >> (8 * i));
        }
        return bytes;
    }
    const unsigned base = format.kind == Kind::Decimal ? 10 : 16;
    for (unsigned i = format.width; i > 0 && value > 0; --i, value /= base)
        bytes[i - 1] = static_cast<uint8_t>("0123456789ABCDEF"[value % base]);
    return bytes;
}

bool decode(const Format& format, const std::vector<uint8_t>& bytes, uint64_t& value) {
    if (bytes.size() != format.width) return false;
    if (format.kind == Kind::Binary) {
        value = 0;
        for (unsigned i = 0; i < format.width; ++i)
            value |= uint64_t(bytes[format.bigEndian ? format.width - 1 - i : i]) << (8 * i);
        return true;
    }
    const std::string digits(bytes.begin(), bytes.end());
    // Only what this program writes: upper-case hexadecimal digits.
    for (char c : digits)
        if (std::islower(static_cast<unsigned char>(c))) return false;
    return digitsOnly(digits, format.kind == Kind::Hex) &&
           accumulate(digits, format.kind == Kind::Hex ? 16 : 10, value);
}

std::string textOf(const Format& format, uint64_t value) {
    if (format.kind == Kind::Binary) return std::to_string(value);
    const std::vector<uint8_t> bytes = encode(format, value);
    return std::string(bytes.begin(), bytes.end());
}

std::string hexBytes(const std::vector<uint8_t>& bytes) {
    std::string text;
    char hex[4];
    for (uint8_t byte : bytes) {
        std::snprintf(hex, sizeof hex, "%02X", byte);
        text += (text.empty() ? "" : " ") + std::string(hex);
    }
    return text;
}

nlohmann::ordered_json recordOf(const Request& request, const Plan& plan) {
    nlohmann::ordered_json record;
    record["value"] = plan.hasNumber ? nlohmann::ordered_json(plan.number) : nlohmann::ordered_json(nullptr);
    record["text"] = plan.hasNumber ? textOf(request.format, plan.number) : hexBytes(plan.bytes);
    record["address"] = request.address;
    record["bytes"] = hexBytes(plan.bytes);
    record["source"] = plan.source;
    record["state"] = plan.state;
    // A kept number gone from the unit with its flash: whether the kept file still holds it.
    if (plan.source == "kept" && (plan.state == "erased" || plan.state == "void"))
        record["kept_file"] = plan.inKeptFile;
    return record;
}

} // namespace serials
