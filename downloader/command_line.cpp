// The command line of vq2dl: the switch table, strict values, file names and the rate check.
#include "command_line.h"

#include "basics.h"
#include "keep_switches.h"
#include "monitor/read_areas.h"
#include "ports/ports.h"
#include "serials/checks.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const int STANDARD_RATES[] = {9600, 19200, 38400, 56000, 115200};
/// The slowest non-standard rate taken.
constexpr int MIN_RATE = 50;

/// What a switch takes after its name: nothing, a whole number, a port (a number or a device name), a text.
enum class Takes { Nothing, Number, Port, Text };

/// One switch: its name without the dash or dashes, what it takes, what it does with it (the text of its
/// refusal, or empty), and whether a station passes it to its children and keeps it in the rerun line.
struct Switch {
    const char* name;
    Takes takes;
    std::string (*apply)(Options& o, const char* text, int number);
    bool toChildren = true;
    bool inRerun = true;
    CommandLine::Action action = CommandLine::Action::Run;
};

std::string setPort(Options& o, const char* text);
std::string setBaudRate(Options& o, int value);

using Action = CommandLine::Action;
const std::string TAKEN;

// The single-letter switches. A value comes right after the name (-c2, -dw1000) or as the next argument; -dc
// and -dw come before -d, so that the longer name is taken.
const Switch SHORT_SWITCHES[] = {
    {"b", Takes::Nothing, [](Options& o, const char*, int) { return o.joinBlocks = true, TAKEN; }},
    {"c", Takes::Port, [](Options& o, const char* text, int) { return setPort(o, text); }},
    {"dc", Takes::Number, [](Options& o, const char*, int number) { return o.dcDelay = number, TAKEN; }},
    {"dw", Takes::Number, [](Options& o, const char*, int number) { return o.wipeDelay = number, TAKEN; }},
    {"d", Takes::Number, [](Options& o, const char*, int number) { return o.recordDelay = number, TAKEN; }},
    {"i", Takes::Text, [](Options& o, const char* text, int) { return o.installDir = text, TAKEN; }},
    {"p", Takes::Nothing, [](Options& o, const char*, int) { return o.showPercent = true, TAKEN; }},
    {"r", Takes::Number, [](Options& o, const char*, int number) { return setBaudRate(o, number); }},
    {"v", Takes::Number, [](Options& o, const char*, int number) { return o.verbosity = number, TAKEN; }},
    {"V", Takes::Nothing, [](Options& o, const char*, int) { return o.verifyOnly = true, TAKEN; }},
    {"w", Takes::Nothing, [](Options& o, const char*, int) { return o.wipeOnly = true, TAKEN; }},
};

// The long switches: "--name", and "--name VALUE" or "--name=VALUE" for those that take a value. A station
// gives its children --json and --no-extract itself, and keeps its own switches from them.
const Switch LONG_SWITCHES[] = {
    {"help", Takes::Nothing, nullptr, true, true, Action::Help},
    {"version", Takes::Nothing, nullptr, true, true, Action::Version},
    {"log", Takes::Text, [](Options& o, const char* text, int) { return o.logPath = text, TAKEN; }},
    {"list-ports", Takes::Nothing, [](Options& o, const char*, int) { return o.listPorts = true, TAKEN; }},
    {"read", Takes::Text, [](Options& o, const char* text, int) { return setReadBack(o, text); }},
    {"range", Takes::Text, [](Options& o, const char* text, int) { return addReadRange(o, text); }},
    {"twice", Takes::Nothing, [](Options& o, const char*, int) { return o.readTwice = true, TAKEN; }},
    {"json", Takes::Nothing, [](Options& o, const char*, int) { return o.json = true, TAKEN; }, false},
    {"ports", Takes::Text, [](Options& o, const char* text, int) { return addStationPorts(o, text); }, false,
     false},
    {"log-dir", Takes::Text, [](Options& o, const char* text, int) { return setLogDir(o, text); }, false},
    {"results", Takes::Text, [](Options& o, const char* text, int) { return o.resultsPath = text, TAKEN; },
     false},
    {"no-extract", Takes::Nothing, [](Options& o, const char*, int) { return o.extractIni = false, TAKEN; },
     false},
    {"tag", Takes::Text, [](Options& o, const char* text, int) { return addTag(o, text); }},
    {"expect-sha256", Takes::Text,
     [](Options& o, const char* text, int) { return addExpectedDigest(o, text); }},
    {"keep", Takes::Text, [](Options& o, const char* text, int) { return addKeepRange(o, text); }},
    {"keep-dir", Takes::Text,
     [](Options& o, const char* text, int) { return setKeepText(o.keep.dir, "--keep-dir", text); }},
    {"keep-from", Takes::Text,
     [](Options& o, const char* text, int) { return setKeepText(o.keep.from, "--keep-from", text); }},
    // A station names each of its children's ports itself.
    {"port-name", Takes::Text,
     [](Options& o, const char* text, int) { return setKeepText(o.keep.portLabel, "--port-name", text); },
     false, false},
    {"serial", Takes::Text,
     [](Options& o, const char* text, int) { return serials::takeSwitch(o.serial, "serial", text); }},
    {"serial-counter", Takes::Text,
     [](Options& o, const char* text, int) { return serials::takeSwitch(o.serial, "serial-counter", text); }},
    {"serial-value", Takes::Text,
     [](Options& o, const char* text, int) { return serials::takeSwitch(o.serial, "serial-value", text); }},
    {"serial-keep", Takes::Nothing,
     [](Options& o, const char*, int) { return serials::takeSwitch(o.serial, "serial-keep", ""); }},
    {"loop", Takes::Nothing, [](Options& o, const char*, int) { return o.loop = true, TAKEN; }, false},
    {"loop-count", Takes::Number,
     [](Options& o, const char*, int number) {
         o.loopCountGiven = true;
         return o.loopCount = number, TAKEN;
     },
     false},
    {"await-unit", Takes::Text, [](Options& o, const char* text, int) { return o.awaitUnit = text, TAKEN; }},
};

/// A whole number: an optional sign, then digits, nothing after. fits is false for one beyond an int, which
/// leaves value as it was.
bool wholeNumber(const char* text, int& value, bool& fits) {
    const char* digits = text + (*text == '+' || *text == '-');
    if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
    for (const char* p = digits; *p; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    errno = 0;
    const long long number = std::strtoll(text, nullptr, 10);
    fits = errno != ERANGE && number >= INT_MIN && number <= INT_MAX;
    if (fits) value = static_cast<int>(number);
    return true;
}

/// The refusal of a number beyond an int: clamped, it would ask for something else (a wait of 24 days).
std::string outOfRange(const char* name, const char* value) {
    return std::string("ERROR: Switch '-") + name + "' takes a number from " + std::to_string(INT_MIN) +
           " to " + std::to_string(INT_MAX) + ", not '" + value + "'.";
}

std::string setPort(Options& o, const char* text) {
    // A device path leaves the number as it was; only the path is used then.
    int number = o.port;
    bool fits = true;
    std::string path;
    const bool isNumber = wholeNumber(text, number, fits);
    if (isNumber && !fits) return outOfRange("c", text);
    if (!isNumber && !platformPortName(text, number, path))
        return std::string("ERROR: Switch '-c' needs a port number or a device path, not '") + text + "'.";
    o.port = number;
    o.portPath = path;
    o.portGiven = true;
    return TAKEN;
}

std::string setBaudRate(Options& o, int value) {
    if (value < 0) {
        // A negative rate asks for a non-standard speed, taken as it is from the slowest a UART offers on.
        if (value > -MIN_RATE)
            return "ERROR: Specified comm rate " + std::to_string(value) +
                   " invalid: a non-standard rate is " + std::to_string(MIN_RATE) + " bit/s or more.";
        o.baudRate = value == INT_MIN ? INT_MAX : -value;
        return TAKEN;
    }
    o.baudRate = value;
    for (int rate : STANDARD_RATES)
        if (rate == value) return TAKEN;
    return "ERROR: Specified comm rate " + std::to_string(value) + " invalid.";
}

/// The first single-letter switch whose name begins the text after the dash.
const Switch* shortSwitch(const char* text) {
    for (const Switch& s : SHORT_SWITCHES)
        if (std::strncmp(text, s.name, std::strlen(s.name)) == 0) return &s;
    return nullptr;
}

/// The long switch named by the text after the two dashes, up to an "=".
const Switch* longSwitch(const char* text) {
    size_t length = std::strcspn(text, "=");
    for (const Switch& s : LONG_SWITCHES)
        if (std::strlen(s.name) == length && std::strncmp(text, s.name, length) == 0) return &s;
    return nullptr;
}

/// True when an argument is one of the long switches, with or without a value after "=".
bool isLongSwitch(const char* text) {
    return text[0] == '-' && text[1] == '-' && longSwitch(text + 2);
}

} // namespace

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine line;
    Options& o = line.options;
    if (argc > 0 && argv[0]) o.programName = argv[0];
    for (int i = 0; i < argc; ++i)
        o.commandLine.push_back(argv[i] ? argv[i] : "");
    // The first fault counts; the rest is only read for --json.
    bool refused = false;
    auto refuse = [&](const std::string& shown, const std::string& error) {
        refused = true;
        line.action = Action::Refused;
        line.shown = shown;
        line.error = error;
    };
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i] ? argv[i] : "";
        if (arg[0] != '-') {
            if (refused) continue;
            if (o.fileNames.size() == MAX_FILES) {
                // The console shows the usage text alone; the result needs a text.
                refuse("", "More than " + std::to_string(MAX_FILES) + " firmware files.");
                continue;
            }
            o.fileNames.push_back(arg);
            o.arguments.push_back({"", {arg}, true, true});
            continue;
        }
        const bool isLong = arg[1] == '-' && arg[2] != '\0';
        const Switch* s = isLong ? longSwitch(arg + 2) : shortSwitch(arg + 1);
        if (!s) {
            // A lone "-" has no letter to show: it is named whole, as a long switch is.
            const std::string shown = isLong || arg[1] == '\0' ? arg : std::string("-") + arg[1];
            if (!refused)
                refuse("Switch not recognized: '" + shown + "'.", "Switch not recognized: '" + shown + "'.");
            continue;
        }
        // A single-letter switch takes its value from the rest of its argument; a long one after an "=".
        const char* rest = isLong ? arg + 2 + std::strlen(s->name) : arg + 1 + std::strlen(s->name);
        if (isLong && *rest == '=') ++rest;
        const bool attached = *rest != '\0' || (isLong && rest[-1] == '=');
        if (s->takes == Takes::Nothing) {
            if (attached) {
                if (!refused)
                    refuse(std::string("Switch not recognized: '") + arg + "'.",
                           std::string("Switch not recognized: '") + arg + "'.");
            } else if (refused) {
                o.json = o.json || std::strcmp(s->name, "json") == 0;
            } else if (s->action != Action::Run) {
                line.action = s->action;
                return line;
            } else {
                s->apply(o, "", 0);
                o.arguments.push_back({s->name, {arg}, s->toChildren, s->inRerun});
            }
            continue;
        }
        const int first = i;
        const char* value = rest;
        if (!attached) {
            if (i + 1 >= argc) {
                if (!refused) refuse(std::string("ERROR: Switch '") + arg + "' needs a value.", "");
                continue;
            }
            // A value that is one of the switches means a value was left out: "-i --json" would take
            // "--json" for a folder. The switch is read as one, for --json's sake.
            if (isLongSwitch(argv[i + 1])) {
                if (!refused)
                    refuse(std::string("ERROR: Switch '") + arg + "' needs a value, not the switch '" +
                               argv[i + 1] + "'.",
                           "");
                continue;
            }
            value = argv[++i] ? argv[i] : "";
        }
        if (refused) continue;
        int number = 0;
        bool fits = true;
        if (s->takes == Takes::Number && !wholeNumber(value, number, fits)) {
            refuse(std::string("ERROR: Switch '-") + s->name + "' needs a number, not '" + value + "'.", "");
            continue;
        }
        if (!fits) {
            refuse(outOfRange(s->name, value), "");
            continue;
        }
        const std::string fault = s->apply(o, value, number);
        if (!fault.empty()) {
            refuse(fault, "");
            continue;
        }
        Argument taken{s->name, {}, s->toChildren, s->inRerun};
        for (int k = first; k <= i; ++k)
            taken.texts.push_back(argv[k]);
        o.arguments.push_back(taken);
    }
    if (refused) {
        if (line.error.empty()) line.error = line.shown;
        return line;
    }
    const std::string fault = checkCombinations(o);
    if (!fault.empty()) {
        refuse(fault, fault);
        return line;
    }
    // One port in a loop is a station of one port, named as the messages name the port.
    if (o.loop && !o.isStation()) o.stationPorts.push_back({o.portName(), o.portName()});
    // A read-back without firmware files reads the unpaged flash; it never falls back on a file.
    if (o.fileNames.empty() && o.readBackFile.empty()) o.fileNames.push_back("velquin2.s19");
    // One digest for each firmware file, in the same order: a digest that lines up with another file than the
    // one meant would refuse the right build, or pass a wrong one.
    if (!o.expectedDigests.empty()) {
        const std::string digests = o.wipeOnly ? "ERROR: Switch '--expect-sha256' cannot be combined with -w."
                                    : o.expectedDigests.size() != o.fileNames.size()
                                        ? "ERROR: Switch '--expect-sha256' is given " +
                                              std::to_string(o.expectedDigests.size()) + " times for " +
                                              std::to_string(o.fileNames.size()) + " firmware files."
                                        : std::string();
        if (!digests.empty()) refuse(digests, digests);
    }
    return line;
}
