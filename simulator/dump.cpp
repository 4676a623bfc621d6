// What the simulated controller leaves behind: its flash as S-records or raw bytes, and the log of every byte
// that crossed the line. Files are written under a temporary name and renamed, so nothing half-written is
// left.
#include "engine.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace vqsim {

namespace {

/// The longest data part of one dumped record.
constexpr size_t RECORD_BYTES = 32;

/// One S-record line with its checksum: type 0, 1, 2, 8 or 9 with the address size that type has.
std::string record(int type, uint32_t address, const uint8_t* data, size_t n) {
    int addressBytes = type == 2 || type == 8 ? 3 : 2;
    unsigned count = static_cast<unsigned>(addressBytes + n + 1);
    char hex[8];
    std::snprintf(hex, sizeof hex, "S%d%02X", type, count);
    std::string line = hex;
    unsigned sum = count;
    for (int i = addressBytes - 1; i >= 0; --i) {
        unsigned b = (address >> (8 * i)) & 0xFF;
        sum += b;
        std::snprintf(hex, sizeof hex, "%02X", b);
        line += hex;
    }
    for (size_t i = 0; i < n; ++i) {
        sum += data[i];
        std::snprintf(hex, sizeof hex, "%02X", data[i]);
        line += hex;
    }
    std::snprintf(hex, sizeof hex, "%02X", ~sum & 0xFF);
    return line + hex + "\n";
}

/// The image addresses a dump covers: the 64 KiB space (with page 0 in the window), then the window of every
/// further page. A VQ-I controller has the 64 KiB space alone.
std::vector<std::pair<uint32_t, uint32_t>> spans(const Flash& flash) {
    std::vector<std::pair<uint32_t, uint32_t>> list = {{0, 0x10000}};
    if (flash.paged()) {
        for (uint32_t page = 1; page < 256; ++page)
            list.push_back({page << 16 | WINDOW_START, (page << 16 | WINDOW_END) + 1});
    }
    return list;
}

std::string srecords(const Flash& flash) {
    const char header[] = "vqsim";
    std::string text = record(0, 0, reinterpret_cast<const uint8_t*>(header), sizeof header - 1);
    bool wide = false;
    for (const auto& span : spans(flash)) {
        uint32_t address = span.first;
        while (address < span.second) {
            if (flash.image(address) == ERASED) {
                ++address;
                continue;
            }
            std::vector<uint8_t> data;
            while (address + data.size() < span.second && data.size() < RECORD_BYTES &&
                   flash.image(address + static_cast<uint32_t>(data.size())) != ERASED)
                data.push_back(flash.image(address + static_cast<uint32_t>(data.size())));
            bool paged = address + data.size() > 0x10000;
            wide = wide || paged;
            text += record(paged ? 2 : 1, address, data.data(), data.size());
            address += static_cast<uint32_t>(data.size());
        }
    }
    return text + (wide ? record(8, 0, nullptr, 0) : record(9, 0, nullptr, 0));
}

std::string binary(const Flash& flash) {
    std::string bytes(0x10000, '\0');
    for (uint32_t a = 0; a < 0x10000; ++a)
        bytes[a] = static_cast<char>(flash.image(a));
    return bytes;
}

std::string logText(const Engine& e) {
    std::string text = "# vqsim log: VQ-" + std::string(e.options.generation == 1 ? "I" : "II") +
                       " controller; seconds since the start, direction, byte\n";
    char line[64];
    for (const LogEntry& entry : e.log) {
        double seconds = static_cast<double>(entry.micros) / 1e6;
        if (entry.kind == LogKind::Event) {
            std::snprintf(line, sizeof line, "%11.6f # ", seconds);
            text += line + e.events[entry.value] + "\n";
            continue;
        }
        uint8_t byte = static_cast<uint8_t>(entry.value);
        std::snprintf(line, sizeof line, "%11.6f %-3s %02X", seconds,
                      entry.kind == LogKind::In ? "in" : "out", byte);
        text += line;
        if (byte >= 0x20 && byte < 0x7F) text += std::string("  ") + static_cast<char>(byte);
        text += "\n";
    }
    return text;
}

/// Writes a whole file under a temporary name beside it, then renames it into place.
bool writeWhole(const std::string& path, const std::string& content, std::string& error) {
    std::string temporary = path + ".vqsim-XXXXXX";
    std::vector<char> name(temporary.begin(), temporary.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    int saved = errno;
    bool ok = done == content.size() && fchmod(fd, 0644) == 0;
    if (close(fd) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (ok && std::rename(name.data(), path.c_str()) != 0) {
        ok = false;
        saved = errno;
    }
    if (!ok) {
        unlink(name.data());
        error = "cannot write " + path + ": " + std::strerror(saved);
    }
    return ok;
}

} // namespace

bool Simulator::dump(const std::string& path, bool binaryDump, std::string& error) const {
    std::string content;
    {
        std::lock_guard<std::mutex> lock(engine->mutex);
        content = binaryDump ? binary(engine->flash) : srecords(engine->flash);
    }
    return writeWhole(path, content, error);
}

bool Simulator::writeLog(const std::string& path, std::string& error) const {
    std::string content;
    {
        std::lock_guard<std::mutex> lock(engine->mutex);
        content = logText(*engine);
    }
    return writeWhole(path, content, error);
}

} // namespace vqsim
