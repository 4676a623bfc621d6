// Known flash contents before the controller serves: an S-record file read into the simulated flash. The
// reader is the simulator's own and checks every line in full: a file with any fault changes nothing.
#include "engine.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace vqsim {

namespace {

/// The longest S-record line, without its line end: a byte count of 0xFF, as the downloader reads them.
constexpr size_t MAX_LINE = 2 * 0xFF + 4;

/// The value of two hexadecimal digits at pos; -1 when they are not two digits.
int hexByte(const std::string& line, size_t pos) {
    if (pos + 2 > line.size()) return -1;
    int value = 0;
    for (size_t i = pos; i < pos + 2; ++i) {
        const char c = line[i];
        if (!std::isxdigit(static_cast<unsigned char>(c))) return -1;
        value = value * 16 + (std::isdigit(static_cast<unsigned char>(c))
                                  ? c - '0'
                                  : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    return value;
}

/// True when the controller has flash at an address: VQ-I below 0x10000; VQ-II there too, and in the window
/// 0x8000-0xBFFF of the pages above.
bool inFlash(uint32_t address, bool paged) {
    if (address <= 0xFFFF) return true;
    return paged && address >> 16 <= 0xFF && (address & 0xFFFF) >= WINDOW_START &&
           (address & 0xFFFF) <= WINDOW_END;
}

/// One line: its data bytes go to bytes; an empty text, or the fault.
std::string readLine(const std::string& line, bool paged, std::vector<std::pair<uint32_t, uint8_t>>& bytes) {
    static const int ADDRESS_BYTES[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    if (line.size() < 4 || line[0] != 'S' || !std::isdigit(static_cast<unsigned char>(line[1])) ||
        ADDRESS_BYTES[line[1] - '0'] == 0)
        return "not an S-record";
    const int type = line[1] - '0';
    const int count = hexByte(line, 2);
    const int addressBytes = ADDRESS_BYTES[type];
    if (count < addressBytes + 1 || line.size() != 4 + 2 * static_cast<size_t>(count))
        return "the length does not match the byte count";
    unsigned sum = static_cast<unsigned>(count);
    std::vector<uint8_t> fields;
    for (int i = 0; i < count; ++i) {
        const int byte = hexByte(line, 4 + 2 * static_cast<size_t>(i));
        if (byte < 0) return "not a hexadecimal digit";
        sum += static_cast<unsigned>(byte);
        fields.push_back(static_cast<uint8_t>(byte));
    }
    if ((sum & 0xFF) != 0xFF) return "bad checksum";
    if (type < 1 || type > 3) return "";
    uint32_t address = 0;
    for (int i = 0; i < addressBytes; ++i)
        address = address << 8 | fields[static_cast<size_t>(i)];
    for (int i = addressBytes; i < count - 1; ++i, ++address) {
        if (!inFlash(address, paged)) {
            char text[64];
            std::snprintf(text, sizeof text, "address 0x%X is not in the simulated flash", address);
            return text;
        }
        bytes.push_back({address, fields[static_cast<size_t>(i)]});
    }
    return "";
}

} // namespace

bool Simulator::preload(const std::string& path, std::string& error) {
    // A regular file only: a FIFO would wait for a writer, a device such as /dev/zero never ends. Opened
    // without waiting, then looked at.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot preload " + path + ": " + (fd < 0 ? std::strerror(errno) : "not a regular file");
        if (fd >= 0) close(fd);
        return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(fdopen(fd, "rb"), &std::fclose);
    if (!file) {
        close(fd);
        error = "cannot preload " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::pair<uint32_t, uint8_t>> bytes;
    std::string line;
    const bool paged = engine->flash.paged();
    bool more = true;
    for (int number = 1; more; ++number) {
        // A line is taken up to the longest S-record the downloader takes, and no further.
        line.clear();
        int c;
        while ((c = std::getc(file.get())) != EOF && c != '\n' && line.size() <= MAX_LINE)
            line += static_cast<char>(c);
        more = c != EOF;
        if (line.size() > MAX_LINE) {
            error = "cannot preload " + path + ": line " + std::to_string(number) + ": longer than " +
                    std::to_string(MAX_LINE) + " characters";
            return false;
        }
        while (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty()) continue;
        const std::string fault = readLine(line, paged, bytes);
        if (!fault.empty()) {
            error = "cannot preload " + path + ": line " + std::to_string(number) + ": " + fault;
            return false;
        }
    }
    if (std::ferror(file.get())) {
        error = "cannot preload " + path + ": read error";
        return false;
    }
    std::lock_guard<std::mutex> lock(engine->mutex);
    for (const auto& byte : bytes)
        engine->flash.image(byte.first) = byte.second;
    engine->preloaded.insert(engine->preloaded.end(), bytes.begin(), bytes.end());
    return true;
}

} // namespace vqsim
