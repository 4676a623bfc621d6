// The kept file: the unit's own bytes in S-records, named after the port and the time, written whole.
#include "image/kept_file.h"

#include "image/output_file.h"
#include "image/srecord_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace {

/// Data bytes on one line, on 32-byte boundaries.
constexpr uint32_t LINE_BYTES = 32;

/// The time in UTC in a strftime format.
std::string utcText(std::time_t when, const char* format) {
    char text[32] = "";
    // One thread: the library's own buffer is safe here.
    if (const std::tm* utc = std::gmtime(&when)) std::strftime(text, sizeof text, format, utc);
    return text;
}

/// True when something, even a dangling link, stands at the path.
bool taken(const std::string& path) {
    std::error_code error;
    return std::filesystem::symlink_status(path, error).type() != std::filesystem::file_type::not_found;
}

} // namespace

std::string keptFileText(const std::map<uint32_t, uint8_t>& bytes, std::time_t when) {
    const std::string title = "vq2dl " + std::to_string(VQ2DL_VERSION_MAJOR) + "." +
                              (VQ2DL_VERSION_MINOR < 10 ? "0" : "") + std::to_string(VQ2DL_VERSION_MINOR) +
                              " kept " + utcText(when, "%Y-%m-%dT%H:%M:%SZ");
    std::string text = formatSRecord(0, 0, reinterpret_cast<const uint8_t*>(title.data()), title.size());
    // The zero-length record at 0x4000 makes the file VQ-II code, however high the kept bytes lie.
    text += formatSRecord(1, 0x4000, nullptr, 0);
    bool paged = false;
    std::vector<uint8_t> line;
    for (auto at = bytes.begin(); at != bytes.end();) {
        // One line: bytes whose addresses follow each other, up to the next 32-byte boundary.
        const uint32_t address = at->first;
        const uint32_t end = (address / LINE_BYTES + 1) * LINE_BYTES;
        line.clear();
        for (uint32_t next = address; at != bytes.end() && at->first == next && next < end; ++at, ++next)
            line.push_back(at->second);
        const bool wide = address + line.size() - 1 > 0xFFFF;
        paged = paged || wide;
        text += formatSRecord(wide ? 2 : 1, address, line.data(), line.size());
    }
    return text + formatSRecord(paged ? 8 : 9, 0, nullptr, 0);
}

std::string keptFileName(const std::string& dir, const std::string& port, std::time_t when) {
    std::string stem = "kept-" + port + "-" + utcText(when, "%Y%m%dT%H%M%SZ");
    if (!dir.empty()) stem = dir + (dir.back() == '/' || dir.back() == '\\' ? "" : "/") + stem;
    // A file of that name is never written over: it may be the backup of another unit, or an input.
    std::string path = stem + ".s19";
    for (int i = 2; taken(path) && i < 1000; ++i)
        path = stem + "-" + std::to_string(i) + ".s19";
    return path;
}

bool writeKeptFile(const std::string& path, const std::string& text, std::string& reason) {
    const std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (!folder.empty()) {
        // The station's other units make the same folder at the same moment: what counts is that it is there.
        std::error_code made, error;
        std::filesystem::create_directories(folder, made);
        if (!std::filesystem::is_directory(folder, error)) {
            reason = made ? made.message() : error ? error.message() : "not a folder";
            return false;
        }
    }
    // The name is new: a file that took it since it was chosen is not written over.
    if (taken(path)) {
        reason = std::strerror(EEXIST);
        return false;
    }
    ReplacingFile output(path);
    if (!output.open() || !output.commit(text, true)) {
        reason = output.error();
        return false;
    }
    return true;
}
