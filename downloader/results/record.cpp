// The record of every unit: the --results file opened before anything else, one whole line per unit.
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
    if (!platformAppendResult(handle, jsonLine(unitEvent(facts))))
        console.message(0, "ERROR: Could not write to results file %s.", path.c_str());
}
