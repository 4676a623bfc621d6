// The switches of what each unit record carries beside the run, each refused in its own words.
#include "record_switches.h"

#include <cctype>
#include <cstring>

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
