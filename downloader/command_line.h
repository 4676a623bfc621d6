// The command line of vq2dl: parsed once into Options, with what it asks for besides a run.
#pragma once

#include "options.h"

#include <string>
#include <vector>

/// A parsed command line: the options, and whether it asks for a run, the usage text, the version or is
/// refused.
struct CommandLine {
    enum class Action { Run, Help, Version, Refused };
    Options options;
    Action action = Action::Run;
    /// A refused command line: the text the console shows before the usage text (empty: the usage text
    /// alone), and the error the closing event carries.
    std::string shown;
    std::string error;
};

/// Reads the whole command line. Parsing stops at the first fault, --help or --version; after a fault the
/// rest is only looked through for --json, so that a refusal reaches a calling program as an event.
CommandLine parseCommandLine(int argc, char** argv);

/// The setters of --read, --log-dir, --range, --ports, --tag and --expect-sha256 (switch_values.cpp): the
/// text of the refusal, or empty when the value was taken.
std::string setReadBack(Options& o, const char* file);
std::string setLogDir(Options& o, const char* folder);
std::string addReadRange(Options& o, const char* text);
std::string addStationPorts(Options& o, const char* text);
/// A --tag KEY=VALUE: a key of letters, digits, "_", "-" and ".", a value of one line that is not empty.
std::string addTag(Options& o, const char* text);
/// A --expect-sha256 digest of 64 hexadecimal digits, kept in lower case.
std::string addExpectedDigest(Options& o, const char* text);

/// Checks the switches that only make sense together, or not together; the text of the first fault, or
/// empty.
std::string checkCombinations(const Options& options);

/// The lines of the usage text, with the program's name.
std::vector<std::string> usageLines(const std::string& programName);

/// The arguments each child of a station gets besides its own: every one but the station's own switches.
std::vector<std::string> childArguments(const Options& options);
/// The arguments a rerun of a station's failed ports keeps besides its --ports: every one but --ports.
std::vector<std::string> rerunArguments(const Options& options);
/// The same arguments as parsed, each with its switch's name.
std::vector<Argument> rerunSwitches(const Options& options);
/// The texts of the arguments as typed, in order, but those of the switches named in leftOut (names without
/// their dashes: "keep-from").
std::vector<std::string> argumentTexts(const std::vector<Argument>& arguments,
                                       const std::vector<std::string>& leftOut);
/// The switches a unit record names, firmware files left out: a station's, as its children got them, or a
/// single run's.
std::vector<std::string> recordedSwitches(const Options& options);
