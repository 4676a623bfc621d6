// The record of every unit: the --results file opened before anything else, the line of a unit appended in
// JSON or CSV, and the unit line of a single-port run however it ends.
#include "downloader.h"
#include "results.h"

/// An error text as one line without "ERROR: ": "Download failed:\r\n   Could not open comm port 3.\n Reason:
/// ..." reads as a sentence.
std::string oneLine(const std::string& text) {
    std::string line = text.compare(0, 7, "ERROR: ") == 0 ? text.substr(7) : text;
    for (size_t at; (at = line.find_first_of("\r\n")) != std::string::npos;) {
        size_t end = line.find_first_not_of("\r\n ", at);
        line.replace(at, (end == std::string::npos ? line.size() : end) - at,
                     end == std::string::npos ? "" : " ");
    }
    return line;
}

void Downloader::openResults() {
    if (resultsPath.empty()) return;
    std::string reason;
    if (!platformOpenResults(resultsPath, resultsHandle, reason))
        fatal(EXIT_USAGE, "ERROR: Could not open results file %s: %s.", resultsPath.c_str(), reason.c_str());
}

void Downloader::recordUnit(const UnitFacts& facts) {
    if (resultsHandle < 0) return;
    const nlohmann::ordered_json unit = unitEvent(facts);
    // Texts that are not valid UTF-8 (a file name, an S0 header) have their bad bytes replaced: a record that
    // could not be written at all would be the worse loss.
    const bool csv = csvResults(resultsPath);
    const std::string line =
        csv ? csvRecord(unit)
            : unit.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    if (!platformAppendResult(resultsHandle, line, csv ? csvHeader(unit) : ""))
        message(0, "ERROR: Could not write to results file %s.", resultsPath.c_str());
}

void Downloader::recordRun(int status, const outcome::Outcome& outcome) {
    // A station records its ports' runs itself.
    if (resultsHandle < 0 || !stationPorts.empty()) return;
    UnitFacts facts;
    facts.port = portName();
    facts.device = portPath.empty() ? platformDeviceName(port) : portPath;
    for (const FileRead& file : filesRead)
        facts.files.push_back(
            {{"name", file.name},
             {"sha256", file.sha256},
             {"header", file.header.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(file.header)},
             {"generation", file.generation}});
    if (!filesRead.empty()) facts.generation = filesRead.back().generation;
    facts.action = wipeOnly ? "wipe" : verifyOnly ? "verify" : !readBackFile.empty() ? "read" : "download";
    facts.switches = recordArgs;
    facts.tags = tags;
    facts.status = status;
    facts.ok = status == EXIT_DONE;
    facts.outcome = outcome;
    facts.ended = std::chrono::system_clock::now();
    facts.started = facts.ended - std::chrono::milliseconds(eventMs());
    const std::string error = oneLine(lastError);
    facts.error = facts.ok ? "" : error.empty() ? "status " + std::to_string(status) : error;
    facts.seconds = static_cast<double>(eventMs()) / 1000.0;
    facts.ms = static_cast<double>(eventMs());
    if (facts.ok) {
        const bool monitor = facts.generation == "VQ-II";
        facts.written = facts.action == "download" ? bytesMoved : 0;
        facts.verified = monitor && (facts.action == "download" || facts.action == "verify") ? bytesMoved : 0;
        facts.read = facts.action == "read" ? bytesMoved : 0;
    }
    recordUnit(facts);
}
