// The record store: data records kept in ascending order of their start addresses.
#include "firmware_image.h"

#include <algorithm>
#include <tuple>
#include <utility>

void FirmwareImage::addRecord(SRecord record) {
    // Records mostly come in ascending order, so the end of the map is the likely place; a record with a
    // start address already present takes that place and the old record is released.
    uint32_t address = record.address;
    records.insert_or_assign(records.end(), address, std::move(record));
}

std::string FirmwareImage::fileOf(const SRecord& record) const {
    return record.file < fileNames.size() ? fileNames[record.file] : std::string();
}

bool FirmwareImage::findOverlap(Landing where, const SRecord*& later, const SRecord*& earlier) const {
    // Every run of bytes with its record and its place in the record, in controller address order.
    struct Run {
        uint64_t start, end;
        const SRecord* record;
        size_t offset;
        uint8_t at(uint64_t address) const { return record->data[offset + (address - start)]; }
    };
    std::vector<Run> runs;
    runs.reserve(records.size());
    for (const auto& entry : records) {
        size_t offset = 0;
        for (const auto& piece : where(entry.second)) {
            // A run never reaches past the record's data; the runs follow each other through it.
            const uint32_t length =
                static_cast<uint32_t>(std::min<size_t>(piece.second, entry.second.data.size() - offset));
            if (length > 0)
                runs.push_back({piece.first, uint64_t{piece.first} + length, &entry.second, offset});
            offset += length;
        }
    }
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.start < b.start; });
    // The runs not yet passed, compared with each that begins inside them. Two records that hold the same
    // bytes where they meet (a read-back of both views of 0x4000-0x7FFF) do no harm and are written as ever.
    std::vector<const Run*> open;
    for (const Run& run : runs) {
        open.erase(
            std::remove_if(open.begin(), open.end(), [&](const Run* o) { return o->end <= run.start; }),
            open.end());
        for (const Run* other : open) {
            if (other->record == run.record) continue;
            const uint64_t end = std::min(run.end, other->end);
            uint64_t address = run.start;
            while (address < end && run.at(address) == other->at(address))
                ++address;
            if (address == end) continue;
            // The record read later names the one that was there before it.
            const bool runIsLater = std::tie(run.record->file, run.record->line) >
                                    std::tie(other->record->file, other->record->line);
            later = runIsLater ? run.record : other->record;
            earlier = runIsLater ? other->record : run.record;
            return true;
        }
        open.push_back(&run);
    }
    return false;
}
