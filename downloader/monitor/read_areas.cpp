// The areas of a read-back. Each area is a run of image addresses that the controller holds in one piece:
// an address A in 0x8000-0xBFFF unpaged lives at A - 0x4000, every other one where it says.
#include "monitor/read_areas.h"

#include "monitor/blocks.h"

#include <algorithm>
#include <cctype>

namespace monitor {

namespace {

/// The flash areas and page windows are 16 KiB each, on 16 KiB boundaries.
constexpr uint32_t AREA_BITS = 14;

/// One address: "0x" and hexadecimal digits, or decimal digits, no more than 32 bits.
bool parseAddress(const char*& text, uint32_t& value) {
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const int base = hex ? 16 : 10;
    if (hex) text += 2;
    uint64_t number = 0;
    const char* start = text;
    for (; std::isxdigit(static_cast<unsigned char>(*text)); ++text) {
        const int digit = std::isdigit(static_cast<unsigned char>(*text))
                              ? *text - '0'
                              : std::tolower(static_cast<unsigned char>(*text)) - 'a' + 10;
        if (digit >= base) return false;
        number = number * base + static_cast<unsigned>(digit);
        if (number > 0xFFFFFFFFu) return false;
    }
    value = static_cast<uint32_t>(number);
    return text != start;
}

/// True when the run lies in one flash area: unpaged from 0x4000 on, or in a page's window.
bool inOneArea(uint32_t first, uint32_t last) {
    if (first > last || first >> AREA_BITS != last >> AREA_BITS) return false;
    if (first <= 0xFFFF) return first >= 0x4000;
    return first >> 16 <= 0xFF && (first & 0xC000) == 0x8000;
}

} // namespace

std::vector<Area> defaultAreas() {
    return {{0x4000, 0x4000}, {0xC000, 0x4000}};
}

bool parseRange(const char* text, uint32_t& first, uint32_t& last) {
    if (!parseAddress(text, first) || *text++ != '-' || !parseAddress(text, last) || *text != '\0')
        return false;
    return inOneArea(first, last);
}

bool sameFlash(uint32_t firstA, uint32_t lastA, uint32_t firstB, uint32_t lastB) {
    return mapStart(firstA) <= mapStart(lastB) && mapStart(firstB) <= mapStart(lastA);
}

std::vector<Area> recordAreas(const FirmwareImage& image) {
    std::vector<Area> areas;
    for (const auto& entry : image.records) {
        const SRecord& record = entry.second;
        uint32_t address = record.address;
        uint32_t target = mapStart(address);
        for (uint32_t left = recordLength(record); left > 0;) {
            const unsigned n = blockLength(target, left);
            // A plain download maps every line of the file on its own: a block that landed elsewhere than
            // its own address says is given at the address it landed on.
            areas.push_back({mapStart(address) == target ? address : target, n});
            address += n;
            target = nextBlock(target, n);
            left -= n;
        }
    }
    return areas;
}

std::vector<Area> normaliseAreas(std::vector<Area> areas) {
    std::sort(areas.begin(), areas.end(), [](const Area& a, const Area& b) { return a.address < b.address; });
    std::vector<Area> joined;
    for (const Area& area : areas) {
        const uint64_t end = static_cast<uint64_t>(area.address) + area.length;
        if (!joined.empty() && area.address <= joined.back().address + uint64_t{joined.back().length}) {
            Area& last = joined.back();
            last.length = static_cast<uint32_t>(
                std::max<uint64_t>(last.address + uint64_t{last.length}, end) - last.address);
        } else if (area.length > 0) {
            joined.push_back(area);
        }
    }
    std::vector<Area> pieces;
    for (const Area& area : joined) {
        uint64_t address = area.address;
        const uint64_t end = address + area.length;
        while (address < end) {
            const uint64_t boundary = ((address >> AREA_BITS) + 1) << AREA_BITS;
            const uint64_t pieceEnd = std::min(end, boundary);
            pieces.push_back({static_cast<uint32_t>(address), static_cast<uint32_t>(pieceEnd - address)});
            address = pieceEnd;
        }
    }
    return pieces;
}

} // namespace monitor
