// --serial and its switches, and what is refused before any port opens: a number that cannot be laid where
// asked, a counter that cannot give every unit of the run a number.
#include "downloader.h"
#include "monitor/blocks.h"
#include "serials/serials.h"

#include <cstdio>
#include <random>

namespace {

/// Where a number can lie on a VQ-II controller: the flash areas of the image's addresses. 0 when none.
uint32_t areaOf(uint32_t address) {
    if (address >= 0x10000) {
        const uint32_t window = address & 0xFFFF;
        return window >= WINDOW_START && window < WINDOW_END ? address & 0xFFC000 : 0;
    }
    return address >= 0x4000 ? address & 0xC000 : 0;
}

/// The image's first byte other than 0xFF that lands in [first, last] of the controller, where the landing
/// maps it; false when there is none.
bool imageByteIn(const FirmwareImage& image, FirmwareImage::Landing where, uint32_t first, uint32_t last,
                 const SRecord*& holder, uint32_t& at) {
    for (const auto& entry : image.records) {
        const SRecord& record = entry.second;
        size_t offset = 0;
        for (const auto& run : where(record)) {
            for (uint32_t i = 0; i < run.second && offset + i < record.data.size(); ++i) {
                const uint32_t address = run.first + i;
                if (address < first || address > last || record.data[offset + i] == 0xFF) continue;
                holder = &record;
                at = address;
                return true;
            }
            offset += run.second;
        }
    }
    return false;
}

std::vector<std::pair<uint32_t, uint32_t>> asAddressed(const SRecord& record) {
    return {{record.address, static_cast<uint32_t>(record.data.size())}};
}

} // namespace

void Downloader::addSerialSwitch(const std::string& name, const char* text) {
    if (name == "serial-keep") {
        serial.keep = true;
        return;
    }
    if (*text == '\0') refuse("ERROR: Switch '--%s' needs a value.", name.c_str());
    if (name == "serial") {
        if (serial.asked) refuse("ERROR: Switch '--serial' may be given once.");
        if (!serials::parsePlacement(text, serial.address, serial.format))
            refuse("ERROR: Invalid serial number place '%s' (ADDR:FORMAT, FORMAT one of u16le, u16be, u32le, "
                   "u32be, u64le, u64be, dec:N, hex:N).",
                   text);
        serial.asked = true;
    } else if (name == "serial-counter") {
        if (!serial.counterPath.empty()) refuse("ERROR: Switch '--serial-counter' may be given once.");
        serial.counterPath = text;
    } else {
        if (serial.valueGiven) refuse("ERROR: Switch '--serial-value' may be given once.");
        if (!serials::parseNumber(text, serial.value))
            refuse("ERROR: Switch '--serial-value' needs a whole number, not '%s'.", text);
        serial.valueGiven = true;
    }
}

void Downloader::checkSerialSwitches() {
    const bool source = !serial.counterPath.empty() || serial.valueGiven;
    if (!serial.asked) {
        if (source || serial.keep)
            refuse("ERROR: Switch '%s' needs '--serial'.", !serial.counterPath.empty() ? "--serial-counter"
                                                           : serial.valueGiven         ? "--serial-value"
                                                                                       : "--serial-keep");
        return;
    }
    if (!source) refuse("ERROR: Switch '--serial' needs '--serial-counter' or '--serial-value'.");
    if (!serial.counterPath.empty() && serial.valueGiven)
        refuse("ERROR: Switches '--serial-counter' and '--serial-value' cannot be combined.");
    if (verifyOnly || wipeOnly || !readBackFile.empty())
        refuse("ERROR: Switch '--serial' cannot be combined with %s.", verifyOnly ? "-V"
                                                                       : wipeOnly ? "-w"
                                                                                  : "--read");
    if (serial.valueGiven && serial.value > serials::maxValue(serial.format))
        refuse("ERROR: Serial number %llu does not fit %s.", static_cast<unsigned long long>(serial.value),
               serial.format.name.c_str());
    // One number for several units would be the very fault the counter is there to prevent.
    if (serial.valueGiven && stationPorts.size() > 1)
        refuse("ERROR: Switch '--serial-value' gives one unit its number; use '--serial-counter' with "
               "'--ports'.");
    // Names this run's lines in the journal.
    std::random_device random;
    char run[24];
    std::snprintf(run, sizeof run, "%08x%08x", random(), random());
    serial.run = run;
}

void Downloader::refuseSerialOverlap(const SRecord& holder, uint32_t at) {
    fatal(EXIT_FILE,
          "ERROR: Serial number at 0x%X-0x%X overlaps image data other than 0xFF at 0x%X (the record at "
          "0x%X, %s "
          "line %d).",
          serial.address, serial.address + serial.format.width - 1, at, holder.address,
          image.fileOf(holder).c_str(), holder.line);
}

void Downloader::checkSerial(Generation generation, size_t units) {
    if (!serial.asked) return;
    const uint32_t first = serial.address;
    const uint32_t last = first + serial.format.width - 1;
    // 1. The place: flash that this download erases, read back after writing.
    if (serial.keep && generation == Generation::VQ1)
        fatal(EXIT_FILE,
              "ERROR: --serial-keep needs a VQ-II controller: a VQ-I controller cannot be read back.");
    if (first <= 0xFFFF && last >= 0xFF00)
        fatal(EXIT_FILE, "ERROR: Serial number at 0x%X-0x%X lies in 0xFF00-0xFFFF, which is never read back.",
              first, last);
    const SRecord* holder = nullptr;
    uint32_t at = 0;
    if (generation == Generation::VQ1) {
        if (last > 0xFFFF)
            fatal(EXIT_FILE, "ERROR: Serial number at 0x%X-0x%X lies above 0xFFFF.", first, last);
        if (imageByteIn(image, asAddressed, first, last, holder, at)) refuseSerialOverlap(*holder, at);
    } else {
        if (areaOf(first) == 0 || areaOf(first) != areaOf(last))
            fatal(EXIT_FILE, "ERROR: Serial number at 0x%X-0x%X does not lie in one area of the flash.",
                  first, last);
        const uint32_t page = first >> 16;
        bool written = page == 0;
        for (const auto& entry : image.records)
            written = written || (entry.second.length > 0 && entry.second.address >> 16 == page);
        if (!written)
            fatal(EXIT_FILE,
                  "ERROR: Serial number at 0x%X-0x%X lies in page 0x%02X, which this download does not erase "
                  "(the image writes nothing there).",
                  first, last, page);
        const uint32_t mapped = monitor::mapStart(first);
        if (imageByteIn(image, monitor::landing, mapped, mapped + serial.format.width - 1, holder, at))
            refuseSerialOverlap(*holder, at);
    }
    // 2. The counter: every unit of the run must be able to get a number.
    if (serial.counterPath.empty()) return;
    serials::Counter counter;
    serials::Failure failure;
    if (!serials::peekCounter(serial.counterPath, counter, failure))
        fatal(EXIT_FILE, "ERROR: Serial counter %s line %d: %s.", serial.counterPath.c_str(), failure.line,
              failure.text.c_str());
    const uint64_t left = serials::numbersLeft(counter, serials::maxValue(serial.format));
    if (left < units)
        fatal(EXIT_FILE,
              "ERROR: Serial counter %s has %llu numbers left that fit %s, fewer than the %llu units.",
              serial.counterPath.c_str(), static_cast<unsigned long long>(left), serial.format.name.c_str(),
              static_cast<unsigned long long>(units));
}
