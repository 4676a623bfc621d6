// The faults as they are written on vqsim's command line: KIND@COMMAND[#N[-M]][=VALUE], plus the two
// line-wide faults hangup-after=N and stream=MS, read into a FaultSet with a reason for each that does not
// fit; and the escapes of the texts they carry.
#include "engine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <iterator>

namespace vqsim {

namespace {

/// What the value of a fault kind is.
enum class Value { None, Byte, Count, Position, Millis, Text, AnyText };

struct KindInfo {
    const char* name;
    FaultKind kind;
    Value value;
    int generation; ///< 0: both
};

const KindInfo KINDS[] = {
    {"silent", FaultKind::Silent, Value::None, 0},   {"error", FaultKind::Error, Value::Byte, 2},
    {"status", FaultKind::Status, Value::Byte, 2},   {"prompt", FaultKind::Prompt, Value::Byte, 2},
    {"short", FaultKind::Short, Value::Count, 0},    {"corrupt", FaultKind::Corrupt, Value::Position, 0},
    {"chatter", FaultKind::Chatter, Value::Text, 0}, {"extra", FaultKind::Extra, Value::Byte, 0},
    {"slow", FaultKind::Slow, Value::Millis, 0},     {"reply", FaultKind::Reply, Value::AnyText, 1},
    {"hangup", FaultKind::Hangup, Value::None, 0},   {"ignore", FaultKind::Ignore, Value::None, 2},
};

const char* const MONITOR_COMMANDS[] = {"dropin",    "reset",      "probe",     "writebyte", "erasepage",
                                        "erasemain", "writeblock", "readblock", "any"};
/// The commands that change the controller's flash or page register, which an ignore fault may leave undone.
const char* const CHANGING_COMMANDS[] = {"writebyte", "erasepage", "erasemain", "writeblock", "any"};
const char* const BOOT_COMMANDS[] = {"wake", "cr", "w", "u", "s9", "x", "S", "any"};
constexpr unsigned long MAX_MILLIS = 600000;

/// A whole unsigned number, decimal or 0x hexadecimal, from 0 to max. A leading zero is a plain digit, never
/// the mark of an octal number: "010" is ten.
bool parseNumber(const std::string& text, unsigned long long max, unsigned long long& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || !std::isxdigit(static_cast<unsigned char>(digits[0]))) return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoull(digits.c_str(), &end, hex ? 16 : 10);
    return errno == 0 && *end == '\0' && value <= max;
}

bool knownCommand(const std::string& command, int generation) {
    if (generation == 2) {
        for (const char* name : MONITOR_COMMANDS)
            if (command == name) return true;
    } else {
        for (const char* name : BOOT_COMMANDS)
            if (command == name) return true;
    }
    return false;
}

std::string commandList(int generation) {
    std::string list;
    if (generation == 2) {
        for (const char* name : MONITOR_COMMANDS)
            list += std::string(list.empty() ? "" : " ") + name;
    } else {
        for (const char* name : BOOT_COMMANDS)
            list += std::string(list.empty() ? "" : " ") + name;
    }
    return list;
}

/// "#N" or "#N-M" into fault.first and fault.last.
bool parseOccurrences(const std::string& text, Fault& fault) {
    size_t dash = text.find('-');
    unsigned long long first = 0, last = 0;
    if (!parseNumber(text.substr(0, dash), UINT64_MAX, first) || first == 0) return false;
    last = first;
    if (dash != std::string::npos && (!parseNumber(text.substr(dash + 1), UINT64_MAX, last) || last < first))
        return false;
    fault.first = first;
    fault.last = last;
    return true;
}

/// The value of a fault kind; a reason when it does not fit.
bool parseValue(const KindInfo& info, bool given, const std::string& text, Fault& fault,
                std::string& reason) {
    if (info.value == Value::None) {
        if (given) reason = std::string("\"") + info.name + "\" takes no value";
        return !given;
    }
    if (!given) {
        reason = std::string("\"") + info.name + "\" needs a value (" + info.name + "@COMMAND=VALUE)";
        return false;
    }
    unsigned long long number = 0;
    switch (info.value) {
    case Value::Byte:
        if (parseNumber(text, 0xFF, number)) break;
        reason = "\"" + text + "\" is not a byte value (0x00 to 0xFF)";
        return false;
    case Value::Count:
    case Value::Position:
        if (parseNumber(text, 0xFFFF, number) && (info.value == Value::Count || number > 0)) break;
        reason =
            "\"" + text + "\" is not a byte " + (info.value == Value::Count ? "count" : "position (from 1)");
        return false;
    case Value::Millis:
        if (parseNumber(text, MAX_MILLIS, number)) break;
        reason = "\"" + text + "\" is not a time in milliseconds (0 to 600000)";
        return false;
    default:
        if (unescape(text, fault.text) && (info.value == Value::AnyText || !fault.text.empty())) break;
        reason = "\"" + text + "\" is not a text (escapes: \\r \\n \\t \\\\ \\xNN)";
        return false;
    }
    fault.number = static_cast<unsigned>(number);
    return true;
}

/// hangup-after=N or stream=MS.
bool parseLineFault(const std::string& written, FaultSet& faults, std::string& reason) {
    size_t equals = written.find('=');
    std::string name = written.substr(0, equals);
    std::string value = equals == std::string::npos ? "" : written.substr(equals + 1);
    unsigned long long number = 0;
    if (name == "hangup-after") {
        if (parseNumber(value, UINT64_MAX, number) && number > 0) {
            faults.hangupAfter = number;
            return true;
        }
        reason = "hangup-after needs a byte count of 1 or more";
    } else if (name == "stream") {
        if (parseNumber(value, MAX_MILLIS, number) && number > 0) {
            faults.streamMs = static_cast<int>(number);
            return true;
        }
        reason = "stream needs a time in milliseconds from 1 to 600000";
    } else {
        reason = "expected KIND@COMMAND[#N[-M]][=VALUE], hangup-after=N or stream=MS";
    }
    return false;
}

/// Splits KIND@COMMAND[#N[-M]][=VALUE] into its kind, its target (command and occurrences) and its value. The
/// value may also follow the kind (KIND=VALUE@COMMAND[#N[-M]]), as the kinds are listed; the value then runs
/// to the last '@'. False for a line-wide fault.
bool splitFault(const std::string& written, std::string& kind, std::string& target, std::string& value,
                bool& given) {
    size_t cut = written.find_first_of("@=");
    if (cut == std::string::npos) return false;
    kind = written.substr(0, cut);
    if (written[cut] == '=') {
        size_t at = written.rfind('@');
        if (at == std::string::npos || kind == "hangup-after" || kind == "stream") return false;
        value = written.substr(cut + 1, at - cut - 1);
        target = written.substr(at + 1);
        given = true;
        return true;
    }
    size_t equals = written.find('=', cut);
    given = equals != std::string::npos;
    target = written.substr(cut + 1, given ? equals - cut - 1 : std::string::npos);
    value = given ? written.substr(equals + 1) : "";
    return true;
}

bool parseFault(const std::string& written, int generation, FaultSet& faults, std::string& reason) {
    std::string kindName, target, value;
    bool given = false;
    if (!splitFault(written, kindName, target, value, given)) return parseLineFault(written, faults, reason);
    const KindInfo* info = nullptr;
    for (const KindInfo& k : KINDS)
        if (kindName == k.name) info = &k;
    if (!info) {
        reason = "unknown kind \"" + kindName +
                 "\" (silent error status prompt short corrupt chatter extra slow reply hangup ignore)";
        return false;
    }
    if (info->generation != 0 && info->generation != generation) {
        reason = "\"" + kindName + "\" applies to a " + (info->generation == 2 ? "VQ-II" : "VQ-I") +
                 " controller only";
        return false;
    }
    size_t hash = target.find('#');
    Fault fault;
    fault.kind = info->kind;
    fault.command = target.substr(0, hash);
    if (!knownCommand(fault.command, generation)) {
        reason = "unknown command \"" + fault.command + "\" for a " + (generation == 2 ? "VQ-II" : "VQ-I") +
                 " controller (" + commandList(generation) + ")";
        return false;
    }
    if (fault.kind == FaultKind::Ignore &&
        std::find(std::begin(CHANGING_COMMANDS), std::end(CHANGING_COMMANDS), fault.command) ==
            std::end(CHANGING_COMMANDS)) {
        reason = "\"ignore\" applies to a command that changes the flash (writebyte erasepage erasemain "
                 "writeblock any)";
        return false;
    }
    if (hash != std::string::npos && !parseOccurrences(target.substr(hash + 1), fault)) {
        reason = "occurrences must be #N or #N-M with 1 <= N <= M";
        return false;
    }
    if (!parseValue(*info, given, value, fault, reason)) return false;
    faults.faults.push_back(fault);
    return true;
}

} // namespace

bool unescape(const std::string& text, std::vector<uint8_t>& bytes) {
    bytes.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes.push_back(static_cast<uint8_t>(text[i]));
            continue;
        }
        if (++i == text.size()) return false;
        char c = text[i];
        if (c == 'r')
            bytes.push_back('\r');
        else if (c == 'n')
            bytes.push_back('\n');
        else if (c == 't')
            bytes.push_back('\t');
        else if (c == '\\')
            bytes.push_back('\\');
        else if (c == 'x' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            bytes.push_back(static_cast<uint8_t>(std::strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16)));
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

bool parseFaults(const std::vector<std::string>& specs, int generation, FaultSet& faults,
                 std::string& error) {
    faults = FaultSet();
    for (const std::string& written : specs) {
        std::string reason;
        if (!parseFault(written, generation, faults, reason)) {
            error = "bad fault \"" + written + "\": " + reason;
            return false;
        }
    }
    return true;
}

} // namespace vqsim
