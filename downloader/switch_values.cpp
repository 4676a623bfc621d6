// The values of long switches that can be refused: each setter returns the text of its refusal, or empty.
#include "command_line.h"

#include "monitor/read_areas.h"

#include <cctype>
#include <cstring>

/// The text of a --read, --range or --ports value that cannot be taken; empty when it was.
std::string setReadBack(Options& o, const char* file) {
    if (*file == '\0') return "ERROR: Switch '--read' needs a file name, not an empty one.";
    o.readBackFile = file;
    return "";
}

std::string setLogDir(Options& o, const char* folder) {
    // An empty name would put the logs in the root folder, or nowhere.
    if (*folder == '\0') return "ERROR: Switch '--log-dir' needs a folder name, not an empty one.";
    o.logDir = folder;
    return "";
}

std::string addReadRange(Options& o, const char* text) {
    uint32_t first = 0, last = 0;
    if (!monitor::parseRange(text, first, last)) return std::string("ERROR: Invalid range '") + text + "'.";
    o.readRanges.push_back({first, last});
    return "";
}

std::string addStationPorts(Options& o, const char* text) {
    std::string error;
    if (!station::splitPortList(text, o.stationPorts, error))
        return "ERROR: Switch '--ports': " + error + ".";
    return "";
}

/// A --tag KEY=VALUE: a key names a column of a spreadsheet (letters, digits, "_", "-" and "."); a value is
/// one line of text. An empty value is refused, as it is most often a variable a script forgot to set.
std::string addTag(Options& o, const char* text) {
    const char* equals = std::strchr(text, '=');
    const std::string key = equals ? std::string(text, equals) : std::string();
    const std::string value = equals ? std::string(equals + 1) : std::string();
    bool valid = !key.empty() && key.size() <= 64 && !value.empty();
    for (char c : key)
        valid = valid && (std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_-.", c));
    for (char c : value)
        valid = valid && !std::iscntrl(static_cast<unsigned char>(c));
    if (!valid) return std::string("ERROR: Switch '--tag' needs KEY=VALUE, not '") + text + "'.";
    for (const auto& tag : o.tags)
        if (tag.first == key) return "ERROR: Tag '" + key + "' is given twice.";
    o.tags.push_back({key, value});
    return "";
}

/// A --expect-sha256 digest, kept in lower case.
std::string addExpectedDigest(Options& o, const char* text) {
    std::string digest = text;
    bool valid = digest.size() == 64;
    for (char& c : digest) {
        valid = valid && std::isxdigit(static_cast<unsigned char>(c));
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (!valid)
        return std::string("ERROR: Switch '--expect-sha256' needs 64 hexadecimal digits, not '") + text +
               "'.";
    o.expectedDigests.push_back(digest);
    return "";
}
