// The record of every unit: the --results file opened before anything else, one whole line per unit.
#include "results.h"

#include "basics.h"
#include "console/console.h"
#include "json_line.h"

/// An error text as one line without "ERROR: ": "Download failed:\r\n   Could not open comm port 3.\n Reason:
/// ..." reads as a sentence.
std::string oneLine(const std::string& text) {
    std::string line = withoutErrorWord(text);
    for (size_t at; (at = line.find_first_of("\r\n")) != std::string::npos;) {
        size_t end = line.find_first_not_of("\r\n ", at);
        line.replace(at, (end == std::string::npos ? line.size() : end) - at,
                     end == std::string::npos ? "" : " ");
    }
    return line;
}

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
