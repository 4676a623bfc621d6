// Generated firmware for the benchmarks: the same bytes at the same addresses in every run, written as
// S-records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

/// A run of consecutive addresses that the image fills.
struct Span {
    uint32_t address;
    uint32_t length;
    bool padding = false; ///< every byte 0xFF, as a linker or srec_cat -fill 0xFF pads an image
};

/// Which data records name the addresses: S1 below 0x10000 and S2 above (S3 past 24 bits), or S3 throughout.
enum class AddressForm { Shortest, S3 };

/// What was written.
struct SRecordFile {
    uint64_t dataBytes = 0; ///< bytes of data in all the data records
    uint64_t records = 0;   ///< data records
    uint64_t textBytes = 0; ///< size of the file
};

/// The byte the generated images hold at an address.
uint8_t dataByte(uint32_t address);
/// The byte a span holds at an address: 0xFF in padding, dataByte elsewhere.
inline uint8_t spanByte(const Span& span, uint32_t address) {
    return span.padding ? 0xFF : dataByte(address);
}

/// Writes a header record, the spans as data records of at most lineBytes bytes each (a record never runs
/// past the end of its span), and a termination record with the entry point, each line ended by CR LF.
bool writeSRecordFile(const std::string& path, const std::vector<Span>& spans, unsigned lineBytes,
                      AddressForm form, uint32_t entry, SRecordFile& written, std::string& error);

/// The total length of the spans.
uint64_t spanBytes(const std::vector<Span>& spans);

} // namespace bench
