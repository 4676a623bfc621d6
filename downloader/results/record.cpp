// The record of every unit: the --results file opened before anything else, one whole line per unit in JSON
// or CSV, appended under a lock and flushed to the disk.
#include "results.h"

#include "basics.h"
#include "console/console.h"
#include "json_line.h"

void ResultsFile::open(const std::string& file, Console& console) {
    std::string reason;
    path = file;
    if (!platformOpenResults(path, handle, reason))
        console.fatal(EXIT_USAGE, "ERROR: Could not open results file %s: %s.", path.c_str(), reason.c_str());
}

void ResultsFile::record(const UnitFacts& facts, Console& console) {
    if (handle < 0) return;
    const nlohmann::ordered_json unit = unitEvent(facts);
    const bool csv = csvResults(path);
    const std::string line = csv ? csvRecord(unit) : jsonLine(unit);
    if (!platformAppendResult(handle, line, csv ? csvHeader(unit) : ""))
        console.message(0, "ERROR: Could not write to results file %s.", path.c_str());
}
