// The switches that only make sense together, or not together, and the arguments a station hands on: both
// from the parsed options, never from the text of the command line.
#include "command_line.h"
#include "keep_switches.h"
#include "serials/checks.h"

#include "monitor/blocks.h"
#include "monitor/read_areas.h"
#include "ports/ports.h"

#include <algorithm>
#include <cstdio>

namespace {

std::string readBackFault(const Options& o) {
    if ((!o.readRanges.empty() || o.readTwice) && o.readBackFile.empty())
        return std::string("ERROR: Switch '") + (o.readTwice ? "--twice" : "--range") + "' needs '--read'.";
    // 0x8000-0xBFFF is held at 0x4000-0x7FFF: ranges on both would put the same flash in the file twice, and
    // a download would write it twice.
    for (size_t i = 0; i < o.readRanges.size(); ++i) {
        for (size_t j = i + 1; j < o.readRanges.size(); ++j) {
            const auto& a = o.readRanges[i];
            const auto& b = o.readRanges[j];
            if (monitor::inWindow(a.first) == monitor::inWindow(b.first)) continue;
            if (monitor::mapStart(a.first) <= monitor::mapStart(b.second) &&
                monitor::mapStart(b.first) <= monitor::mapStart(a.second)) {
                char text[200];
                std::snprintf(
                    text, sizeof text,
                    "ERROR: Ranges 0x%X-0x%X and 0x%X-0x%X are the same flash (0x8000-0xBFFF is held "
                    "at 0x4000-0x7FFF).",
                    a.first, a.second, b.first, b.second);
                return text;
            }
        }
    }
    if (!o.readBackFile.empty() && (o.wipeOnly || o.verifyOnly))
        return std::string("ERROR: Switch '--read' cannot be combined with -") + (o.wipeOnly ? 'w' : 'V') +
               ".";
    return "";
}

/// --loop and --loop-count with what they need, and --await-unit (the loop's probe of one port).
std::string loopFault(const Options& o) {
    if (!o.awaitUnit.empty() && o.awaitUnit != "there" && o.awaitUnit != "gone")
        return "ERROR: Switch '--await-unit' takes there or gone, not '" + o.awaitUnit + "'.";
    if (!o.awaitUnit.empty() && (!o.portGiven || o.isStation()))
        return "ERROR: Switch '--await-unit' needs '-c'.";
    if (o.loopCountGiven && !o.loop) return "ERROR: Switch '--loop-count' needs '--loop'.";
    if (o.loopCountGiven && o.loopCount < 1)
        return "ERROR: Switch '--loop-count' needs a number of units, not '" + std::to_string(o.loopCount) +
               "'.";
    if (!o.loop) return "";
    if (o.wipeOnly || !o.readBackFile.empty())
        return std::string("ERROR: Switch '--loop' cannot be combined with '") +
               (o.wipeOnly ? "-w" : "--read") + "'.";
    if (!o.isStation() && !o.portGiven) return "ERROR: Switch '--loop' needs '-c' or '--ports'.";
    if (!o.isStation() && (o.showPercent || o.logPath))
        return std::string("ERROR: Switch '--loop' cannot be combined with '") +
               (o.showPercent ? "-p" : "--log") + "'" + (o.logPath ? " (use '--log-dir')" : "") + ".";
    return "";
}

std::string stationFault(const Options& o) {
    // -c with --loop becomes a station of one port once the checks are done.
    if (!o.isStation() && o.loop) return "";
    if (!o.isStation())
        return o.logDir.empty() ? ""
                                : "ERROR: Switch '--log-dir' needs '--ports'; one port logs with '--log'.";
    const char* other = o.portGiven               ? "-c"
                        : o.showPercent           ? "-p"
                        : !o.readBackFile.empty() ? "--read"
                        : o.logPath               ? "--log"
                                                  : nullptr;
    if (other)
        return std::string("ERROR: Switch '--ports' cannot be combined with '") + other + "'" +
               (o.logPath ? " (use '--log-dir')" : "") + ".";
    for (size_t i = 0; i < o.stationPorts.size(); ++i) {
        const station::PortSpec& slot = o.stationPorts[i];
        int number = 0;
        std::string path;
        const bool digits = slot.port.find_first_not_of("0123456789") == std::string::npos;
        if (!digits && !platformPortName(slot.port, number, path))
            return "ERROR: Switch '--ports' needs port numbers or device paths, not '" + slot.port + "'.";
        for (size_t j = 0; j < i; ++j) {
            const station::PortSpec& earlier = o.stationPorts[j];
            if (!samePort(earlier.port, slot.port) && earlier.name != slot.name) continue;
            return "ERROR: Port " + (earlier.name == slot.name ? slot.name : slot.port) +
                   " is given twice in '--ports'.";
        }
    }
    return station::logFault(o.stationPorts, o.logDir, o.resultsPath);
}

} // namespace

std::string checkCombinations(const Options& o) {
    std::string fault = readBackFault(o);
    if (fault.empty()) fault = loopFault(o);
    if (fault.empty()) fault = stationFault(o);
    if (fault.empty()) fault = keepFault(o);
    return fault.empty() ? serials::switchesFault(o) : fault;
}

std::vector<std::string> childArguments(const Options& options) {
    std::vector<std::string> args;
    for (const Argument& argument : options.arguments)
        if (argument.toChildren) args.insert(args.end(), argument.texts.begin(), argument.texts.end());
    return args;
}

std::vector<std::string> rerunArguments(const Options& options) {
    return argumentTexts(rerunSwitches(options), {});
}

std::vector<Argument> rerunSwitches(const Options& options) {
    std::vector<Argument> kept;
    for (const Argument& argument : options.arguments)
        if (argument.inRerun) kept.push_back(argument);
    return kept;
}

std::vector<std::string> argumentTexts(const std::vector<Argument>& arguments,
                                       const std::vector<std::string>& leftOut) {
    std::vector<std::string> texts;
    for (const Argument& argument : arguments)
        if (argument.switchName.empty() ||
            std::find(leftOut.begin(), leftOut.end(), argument.switchName) == leftOut.end())
            texts.insert(texts.end(), argument.texts.begin(), argument.texts.end());
    return texts;
}

std::vector<std::string> recordedSwitches(const Options& options) {
    // The same rule for a single run and a station: the switches that shaped what happened to the unit. Where
    // the run went and what it wrote besides the unit have fields of their own in the record, and the tags
    // and digests are the files' and the people's.
    static const char* const UNRECORDED[] = {"c",    "ports",      "log", "log-dir",      "results",
                                             "json", "no-extract", "tag", "expect-sha256"};
    std::vector<std::string> switches;
    for (const Argument& argument : options.arguments) {
        bool kept = !argument.switchName.empty();
        for (const char* name : UNRECORDED)
            kept = kept && argument.switchName != name;
        if (kept) switches.insert(switches.end(), argument.texts.begin(), argument.texts.end());
    }
    return switches;
}
