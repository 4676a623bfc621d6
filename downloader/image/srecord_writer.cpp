// S-record output for the read-back file, and the temporary file that only a complete file leaves behind.
#include "image/srecord_writer.h"
#include "image/output_file.h"

#include <cerrno>
#include <cstring>

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

ReplacingFile::~ReplacingFile() {
    discard();
}

bool ReplacingFile::open() {
    // An existing target must be one that can be written over: not a directory, not a read-only file. The
    // temporary is the one the .ini extraction uses: made exclusively, removed on a signal.
    errno = 0;
    if (!canReplace(path)) {
        reason = std::strerror(errno ? errno : EACCES);
        return false;
    }
    errno = 0;
    file = createTemporaryBeside(path, temporaryPath);
    if (!file) {
        reason = std::strerror(errno ? errno : EIO);
        if (!temporaryPath.empty()) removeTemporary(temporaryPath);
        temporaryPath.clear();
        return false;
    }
    return true;
}

bool ReplacingFile::commit(const std::string& content, bool toDisk) {
    if (!file) return false;
    errno = 0;
    bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    written = std::fflush(file) == 0 && written;
    written = written && (!toDisk || flushToDisk(file));
    int saved = errno;
    written = std::fclose(file) == 0 && written;
    if (saved == 0) saved = errno;
    file = nullptr;
    if (!written) {
        reason = std::strerror(saved ? saved : EIO);
        discard();
        return false;
    }
    errno = 0;
    if (!replaceTarget(temporaryPath, path)) {
        reason = std::strerror(errno ? errno : EIO);
        discard();
        return false;
    }
    temporaryPath.clear();
    return true;
}

void ReplacingFile::discard() {
    if (file) std::fclose(file);
    file = nullptr;
    if (!temporaryPath.empty()) removeTemporary(temporaryPath);
    temporaryPath.clear();
}
