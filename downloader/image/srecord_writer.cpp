// S-record output for the read-back file, and the temporary file that only a complete file leaves behind.
#include "image/srecord_writer.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

std::string formatSRecord(int type, uint32_t address, const uint8_t* data, size_t n) {
    const int addressBytes = type == 2 || type == 8 ? 3 : type == 3 || type == 7 ? 4 : 2;
    const unsigned count = static_cast<unsigned>(addressBytes + n + 1);
    std::string line(4 + 2 * count + 2, '\0');
    static const char DIGITS[] = "0123456789ABCDEF";
    size_t at = 0;
    auto put = [&](unsigned byte) {
        line[at++] = DIGITS[(byte >> 4) & 0xF];
        line[at++] = DIGITS[byte & 0xF];
    };
    line[at++] = 'S';
    line[at++] = static_cast<char>('0' + type);
    put(count);
    unsigned sum = count;
    for (int i = addressBytes - 1; i >= 0; --i) {
        const unsigned byte = (address >> (8 * i)) & 0xFF;
        sum += byte;
        put(byte);
    }
    for (size_t i = 0; i < n; ++i) {
        sum += data[i];
        put(data[i]);
    }
    put(~sum & 0xFF);
    line[at++] = '\r';
    line[at++] = '\n';
    return line;
}

namespace {

bool exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error) || std::filesystem::is_symlink(path, error);
}

} // namespace

ReplacingFile::~ReplacingFile() {
    discard();
}

bool ReplacingFile::open() {
    // An existing target must be one that can be written over: not a directory, not a read-only file.
    if (std::FILE* old = std::fopen(path.c_str(), "rb")) {
        std::fclose(old);
        std::FILE* probe = std::fopen(path.c_str(), "r+b");
        if (!probe) {
            reason = std::strerror(errno);
            return false;
        }
        std::fclose(probe);
    }
    // A short name of fixed form beside the target, so that a target name near the longest the system
    // allows still gets one, and no file of the user's is taken over.
    const size_t separator = path.find_last_of("/\\");
    const std::string dir = separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
    std::string candidate = dir + "~vq2dl-read.tmp";
    for (int i = 1; i < 1000 && exists(candidate); ++i)
        candidate = dir + "~vq2dl-read" + std::to_string(i) + ".tmp";
    file = std::fopen(candidate.c_str(), "wb");
    if (!file) {
        reason = std::strerror(errno);
        return false;
    }
    temporaryPath = candidate;
    return true;
}

bool ReplacingFile::commit(const std::string& content) {
    if (!file) return false;
    errno = 0;
    bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    written = std::fflush(file) == 0 && written;
    int saved = errno;
    written = std::fclose(file) == 0 && written;
    if (saved == 0) saved = errno;
    file = nullptr;
    if (!written) {
        reason = std::strerror(saved ? saved : EIO);
        discard();
        return false;
    }
    std::error_code error;
    std::filesystem::rename(temporaryPath, path, error);
    if (error) {
        reason = error.message();
        discard();
        return false;
    }
    temporaryPath.clear();
    return true;
}

void ReplacingFile::discard() {
    if (file) std::fclose(file);
    file = nullptr;
    if (!temporaryPath.empty()) std::remove(temporaryPath.c_str());
    temporaryPath.clear();
}
