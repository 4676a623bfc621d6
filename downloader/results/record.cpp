// The record of every unit: the --results file opened before anything else, and the unit line of a
// single-port run however it ends.
#include "downloader.h"
#include "results.h"
#include "sha256.h"

#include <algorithm>

namespace {

std::string digestOf(const std::string& path) {
    std::string hex;
    sha256OfFile(path, hex);
    return hex;
}

} // namespace

void Downloader::openResults() {
    if (resultsPath.empty()) return;
    std::string reason;
    if (!results.open(resultsPath, reason))
        fatal(EXIT_USAGE, "ERROR: Could not open results file %s: %s.", resultsPath.c_str(), reason.c_str());
}

void Downloader::recordUnit(const UnitFacts& facts) {
    if (!results.isOpen()) return;
    if (!results.append(unitEvent(facts).dump() + "\n"))
        message(0, "ERROR: Could not write to results file %s.", resultsPath.c_str());
}

void Downloader::recordRun(int status) {
    // A station records its ports' runs itself.
    if (!results.isOpen() || !stationPorts.empty()) return;
    UnitFacts facts;
    facts.port = portName();
    facts.device = portPath.empty() ? platformDeviceName(port) : portPath;
    for (const auto& file : filesRead)
        facts.files.push_back(
            {{"name", file.first}, {"sha256", digestOf(file.first)}, {"generation", file.second}});
    if (!filesRead.empty()) facts.generation = filesRead.back().second;
    facts.action = wipeOnly ? "wipe" : verifyOnly ? "verify" : !readBackFile.empty() ? "read" : "download";
    for (const std::string& arg : retryArgs)
        if (std::find(fileNames.begin(), fileNames.end(), arg) == fileNames.end())
            facts.switches.push_back(arg);
    facts.status = status;
    facts.ok = status == EXIT_DONE;
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
