// --serial and its switches, and what is refused before any port opens: a number that cannot be laid where
// asked, a counter that cannot give every unit of the run a number.
#include "serials/checks.h"

#include "monitor/blocks.h"
#include "serials/serials.h"

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

std::string serials::takeSwitch(Request& request, const std::string& name, const char* text) {
    if (name == "serial-keep") {
        request.keep = true;
        return "";
    }
    if (*text == '\0') return "ERROR: Switch '--" + name + "' needs a value.";
    if (name == "serial") {
        if (request.asked) return "ERROR: Switch '--serial' may be given once.";
        if (!parsePlacement(text, request.address, request.format))
            return std::string("ERROR: Invalid serial number place '") + text +
                   "' (ADDR:FORMAT, FORMAT one of u16le, u16be, u32le, u32be, u64le, u64be, dec:N, hex:N).";
        request.asked = true;
    } else if (name == "serial-counter") {
        if (!request.counterPath.empty()) return "ERROR: Switch '--serial-counter' may be given once.";
        request.counterPath = text;
    } else {
        if (request.valueGiven) return "ERROR: Switch '--serial-value' may be given once.";
        if (!parseNumber(text, request.value))
            return std::string("ERROR: Switch '--serial-value' needs a whole number, not '") + text + "'.";
        request.valueGiven = true;
    }
    return "";
}

std::string serials::switchesFault(const Options& o) {
    const Request& serial = o.serial;
    const bool source = !serial.counterPath.empty() || serial.valueGiven;
    if (!serial.asked) {
        if (!source && !serial.keep) return "";
        return std::string("ERROR: Switch '") +
               (!serial.counterPath.empty() ? "--serial-counter"
                : serial.valueGiven         ? "--serial-value"
                                            : "--serial-keep") +
               "' needs '--serial'.";
    }
    if (!source) return "ERROR: Switch '--serial' needs '--serial-counter' or '--serial-value'.";
    if (!serial.counterPath.empty() && serial.valueGiven)
        return "ERROR: Switches '--serial-counter' and '--serial-value' cannot be combined.";
    if (o.verifyOnly || o.wipeOnly || !o.readBackFile.empty())
        return std::string("ERROR: Switch '--serial' cannot be combined with ") +
               (o.verifyOnly ? "-V"
                : o.wipeOnly ? "-w"
                             : "--read") +
               ".";
    if (serial.valueGiven && serial.value > maxValue(serial.format))
        return "ERROR: Serial number " + std::to_string(serial.value) + " does not fit " +
               serial.format.name + ".";
    // One number for several units would be the very fault the counter is there to prevent.
    if (serial.valueGiven && (o.stationPorts.size() > 1 || o.loop))
        return std::string("ERROR: Switch '--serial-value' gives one unit its number; use '--serial-counter' "
                           "with '") +
               (o.loop ? "--loop" : "--ports") + "'.";
    return "";
}

namespace {

[[noreturn]] void refuseOverlap(const serials::Request& serial, const FirmwareImage& image,
                                const SRecord& holder, uint32_t at, Console& console) {
    console.fatal(
        EXIT_FILE,
        "ERROR: Serial number at 0x%X-0x%X overlaps image data other than 0xFF at 0x%X (the record at "
        "0x%X, %s line %d).",
        serial.address, serial.address + serial.format.width - 1, at, holder.address,
        image.fileOf(holder).c_str(), holder.line);
}

} // namespace

void serials::checkPlace(const Options& options, Generation generation, const FirmwareImage& image,
                         Console& console) {
    const Request& serial = options.serial;
    if (!serial.asked) return;
    const uint32_t first = serial.address;
    const uint32_t last = first + serial.format.width - 1;
    // 1. The place: flash that this download erases, read back after writing.
    if (serial.keep && generation == Generation::VQ1)
        console.fatal(
            EXIT_FILE,
            "ERROR: --serial-keep needs a VQ-II controller: a VQ-I controller cannot be read back.");
    if (first <= 0xFFFF && last >= 0xFF00)
        console.fatal(EXIT_FILE,
                      "ERROR: Serial number at 0x%X-0x%X lies in 0xFF00-0xFFFF, which is never read back.",
                      first, last);
    const SRecord* holder = nullptr;
    uint32_t at = 0;
    if (generation == Generation::VQ1) {
        if (last > 0xFFFF)
            console.fatal(EXIT_FILE, "ERROR: Serial number at 0x%X-0x%X lies above 0xFFFF.", first, last);
        if (imageByteIn(image, asAddressed, first, last, holder, at))
            refuseOverlap(serial, image, *holder, at, console);
    } else {
        if (areaOf(first) == 0 || areaOf(first) != areaOf(last))
            console.fatal(EXIT_FILE,
                          "ERROR: Serial number at 0x%X-0x%X does not lie in one area of the flash.", first,
                          last);
        const uint32_t page = first >> 16;
        bool written = page == 0;
        for (const auto& entry : image.records)
            written = written || (entry.second.length > 0 && entry.second.address >> 16 == page);
        if (!written)
            console.fatal(
                EXIT_FILE,
                "ERROR: Serial number at 0x%X-0x%X lies in page 0x%02X, which this download does not "
                "erase (the image writes nothing there).",
                first, last, page);
        const uint32_t mapped = monitor::mapStart(first);
        if (imageByteIn(image, monitor::landing, mapped, mapped + serial.format.width - 1, holder, at))
            refuseOverlap(serial, image, *holder, at, console);
    }
    // 2. The counter: every unit of the run must be able to get a number.
    if (serial.counterPath.empty()) return;
    const size_t units = options.isStation() ? options.stationPorts.size() : 1;
    Counter counter;
    Failure failure;
    if (!peekCounter(serial.counterPath, counter, failure))
        console.fatal(EXIT_FILE, "ERROR: Serial counter %s line %d: %s.", serial.counterPath.c_str(),
                      failure.line, failure.text.c_str());
    const uint64_t left = numbersLeft(counter, maxValue(serial.format));
    if (left < units)
        console.fatal(
            EXIT_FILE,
            "ERROR: Serial counter %s has %llu numbers left that fit %s, fewer than the %llu units.",
            serial.counterPath.c_str(), static_cast<unsigned long long>(left), serial.format.name.c_str(),
            static_cast<unsigned long long>(units));
}
