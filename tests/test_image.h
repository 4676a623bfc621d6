// What the image tests share: joined lines, an image that shows its messages in fx::captured, and the start
// of an update file.
#pragma once

#include "fixture.h"

#include "image/firmware_image.h"

#include <string>
#include <utility>
#include <vector>

namespace image_test {

inline std::string lines(const std::vector<std::string>& texts, const char* end = "\r\n") {
    std::string joined;
    for (const auto& text : texts)
        joined += text + end;
    return joined;
}

// A fresh image that shows its messages at the given verbosity in fx::captured.
struct Image : FirmwareImage {
    explicit Image(int level = 1, std::string dir = ".") {
        fx::captured.clear();
        messageCallback = fx::captureSink;
        verbosity = level;
        installDir = std::move(dir);
    }
    /// Reads a file and puts its .ini files in place, as a run does once the image is accepted.
    void load(const std::string& path) {
        FirmwareImage::load(path);
        installExtracted();
    }
    s19Error error(const std::string& path) {
        try {
            load(path);
        } catch (const s19Error& e) {
            return e;
        }
        ADD_FAILURE() << "no error reading " << path;
        return {};
    }
    std::string parseError(const std::string& line) {
        try {
            parseLine(line);
        } catch (const s19Error& e) {
            return e.text;
        }
        return "no error";
    }
    std::vector<uint8_t> at(uint32_t address) {
        return records.count(address) ? records[address].data : std::vector<uint8_t>{};
    }
};

inline std::string container(const std::vector<std::string>& texts) {
    return lines({"#!VQU-OUT", std::string(75, '-'), "This Velquin Update file was constructed from:"}) +
           lines(texts);
}

} // namespace image_test
