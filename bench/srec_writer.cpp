// Writing generated S-record files quickly: a 16 MiB image is half a million lines, formatted through a digit
// table into one buffer and written in large pieces.
#include "srec_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace bench {

namespace {

constexpr size_t WRITE_CHUNK = 1 << 20;
const char HEX[] = "0123456789ABCDEF";

/// Address bytes of a data record at this address in this form.
unsigned addressBytes(uint32_t address, AddressForm form) {
    if (form == AddressForm::S3 || address > 0xFFFFFF) return 4;
    return address > 0xFFFF ? 3 : 2;
}

/// Collects the lines of a file and writes them out in large pieces.
class LineSink {
public:
    explicit LineSink(std::FILE* output) : file(output) { text.reserve(WRITE_CHUNK + 1024); }

    /// Appends one record: type, count, address of width bytes, data and checksum, then CR LF.
    void record(char type, unsigned width, uint32_t address, const uint8_t* data, unsigned n) {
        unsigned count = width + n + 1;
        unsigned sum = count;
        text += 'S';
        text += type;
        hex(static_cast<uint8_t>(count));
        for (unsigned i = width; i-- > 0;) {
            uint8_t byte = static_cast<uint8_t>(address >> (8 * i));
            sum += byte;
            hex(byte);
        }
        for (unsigned i = 0; i < n; ++i) {
            sum += data[i];
            hex(data[i]);
        }
        hex(static_cast<uint8_t>(~sum));
        text += "\r\n";
        if (text.size() >= WRITE_CHUNK) flush();
    }

    /// Writes what is held; false once any write has failed.
    bool flush() {
        if (!text.empty() && std::fwrite(text.data(), 1, text.size(), file) != text.size()) failed = true;
        written += text.size();
        text.clear();
        return !failed;
    }

    uint64_t written = 0;
    bool failed = false;

private:
    void hex(uint8_t byte) {
        text += HEX[byte >> 4];
        text += HEX[byte & 0xF];
    }

    std::FILE* file;
    std::string text;
};

} // namespace

uint8_t dataByte(uint32_t address) {
    // A multiplicative hash: every byte value occurs, and neighbouring addresses differ.
    uint32_t x = (address + 0x9E37u) * 2654435761u;
    return static_cast<uint8_t>(x >> 24 ^ x >> 11);
}

uint64_t spanBytes(const std::vector<Span>& spans) {
    uint64_t total = 0;
    for (const Span& span : spans)
        total += span.length;
    return total;
}

bool writeSRecordFile(const std::string& path, const std::vector<Span>& spans, unsigned lineBytes,
                      AddressForm form, uint32_t entry, SRecordFile& written, std::string& error) {
    if (lineBytes == 0 || lineBytes > 250) {
        error = "a data record holds 1 to 250 bytes, not " + std::to_string(lineBytes);
        return false;
    }
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!file) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    written = SRecordFile();
    LineSink sink(file.get());
    const char header[] = "vqbench";
    sink.record('0', 2, 0, reinterpret_cast<const uint8_t*>(header), sizeof header - 1);
    uint8_t data[256];
    for (const Span& span : spans) {
        for (uint64_t offset = 0; offset < span.length; offset += lineBytes) {
            uint32_t address = static_cast<uint32_t>(span.address + offset);
            unsigned n = static_cast<unsigned>(std::min<uint64_t>(lineBytes, span.length - offset));
            for (unsigned i = 0; i < n; ++i)
                data[i] = spanByte(span, address + i);
            // The record's last byte decides, so that no 16-bit record runs past 0xFFFF.
            unsigned width = addressBytes(address + n - 1, form);
            sink.record(static_cast<char>('0' + width - 1), width, address, data, n);
            written.dataBytes += n;
            ++written.records;
        }
    }
    // S7, S8 or S9: the termination record as wide as the data records' addresses.
    unsigned width = addressBytes(entry, form);
    sink.record(static_cast<char>('0' + 11 - width), width, entry, nullptr, 0);
    sink.flush();
    written.textBytes = sink.written;
    if (sink.failed || std::fflush(file.get()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace bench
