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
    // Every run of bytes with its record, in controller address order: a run that begins before the furthest
    // end of those before it shares bytes with the run that reached that far.
    struct Run {
        uint64_t start, end;
        const SRecord* record;
    };
    std::vector<Run> runs;
    runs.reserve(records.size());
    for (const auto& entry : records)
        for (const auto& run : where(entry.second))
            if (run.second > 0) runs.push_back({run.first, uint64_t{run.first} + run.second, &entry.second});
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) { return a.start < b.start; });
    const Run* furthest = nullptr;
    for (const Run& run : runs) {
        if (furthest && run.start < furthest->end && run.record != furthest->record) {
            // The record read later names the one that was there before it.
            const bool runIsLater = std::tie(run.record->file, run.record->line) >
                                    std::tie(furthest->record->file, furthest->record->line);
            later = runIsLater ? run.record : furthest->record;
            earlier = runIsLater ? furthest->record : run.record;
            return true;
        }
        if (!furthest || run.end > furthest->end) furthest = &run;
    }
    return false;
}
