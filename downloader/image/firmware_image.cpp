// The record store: data records kept in ascending order of their start addresses.
#include "firmware_image.h"

#include <utility>

void FirmwareImage::addRecord(SRecord record) {
    // Records mostly come in ascending order, so the end of the map is the likely place; a record with a
    // start address already present takes that place and the old record is released.
    uint32_t address = record.address;
    records.insert_or_assign(records.end(), address, std::move(record));
}
