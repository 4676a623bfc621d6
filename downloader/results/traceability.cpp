// What ties a unit to an approved build and to the people and orders behind it: --tag KEY=VALUE in every
// record and start event, and --expect-sha256, which refuses any other build before a port is touched.
#include "downloader.h"
#include "sha256.h"

#include <cctype>
#include <cstring>

namespace {

constexpr size_t DIGEST_DIGITS = 64;
constexpr size_t MAX_TAG_KEY = 64;

bool tagKeyCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("_-.", c);
}

} // namespace

void Downloader::addTag(const char* text) {
    // A key names a column of a spreadsheet: letters, digits, "_", "-" and "."; a value is one line of text.
    // An empty value is refused, as it is most often a variable a script forgot to set.
    const char* equals = std::strchr(text, '=');
    const std::string key = equals ? std::string(text, equals) : std::string();
    const std::string value = equals ? std::string(equals + 1) : std::string();
    bool valid = !key.empty() && key.size() <= MAX_TAG_KEY && !value.empty();
    for (char c : key)
        valid = valid && tagKeyCharacter(c);
    for (char c : value)
        valid = valid && !std::iscntrl(static_cast<unsigned char>(c));
    if (!valid) refuse("ERROR: Switch '--tag' needs KEY=VALUE, not '%s'.", text);
    for (const auto& tag : tags)
        if (tag.first == key) refuse("ERROR: Tag '%s' is given twice.", key.c_str());
    tags.push_back({key, value});
}

void Downloader::addExpectedDigest(const char* text) {
    std::string digest = text;
    bool valid = digest.size() == DIGEST_DIGITS;
    for (char& c : digest) {
        valid = valid && std::isxdigit(static_cast<unsigned char>(c));
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (!valid) refuse("ERROR: Switch '--expect-sha256' needs 64 hexadecimal digits, not '%s'.", text);
    expectedDigests.push_back(digest);
}

void Downloader::checkRecordSwitches() {
    if (expectedDigests.empty()) return;
    // One digest for each firmware file, in the same order: a digest that lines up with another file than the
    // one meant would refuse the right build, or pass a wrong one.
    if (wipeOnly) refuse("ERROR: Switch '--expect-sha256' cannot be combined with -w.");
    if (expectedDigests.size() != fileNames.size())
        refuse("ERROR: Switch '--expect-sha256' is given %u times for %u firmware files.",
               static_cast<unsigned>(expectedDigests.size()), static_cast<unsigned>(fileNames.size()));
}

void Downloader::refuseUnexpectedFiles() {
    // Before any file is loaded, so that not even an update's .ini files are written from a wrong build; a
    // file that cannot be read here is left to the loader, which says why.
    for (size_t i = 0; i < expectedDigests.size() && i < fileNames.size(); ++i) {
        std::string digest;
        if (!sha256OfFile(fileNames[i], digest)) continue;
        if (digest != expectedDigests[i])
            fatal(EXIT_FILE, "ERROR: %s has SHA-256 %s, not the expected %s.", fileNames[i].c_str(),
                  digest.c_str(), expectedDigests[i].c_str());
    }
}
