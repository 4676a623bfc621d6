// The command line of vq2dl: the switch tables, strict values, file names, the rate check and the usage text.
#include "downloader.h"
#include "events.h"
#include "monitor/blocks.h"
#include "monitor/read_areas.h"
#include "ports/ports.h"

#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

const int STANDARD_RATES[] = {9600, 19200, 38400, 56000, 115200};

/// What a switch takes after its name: nothing, a whole number, a port (a number or a device name), a text.
enum class Takes { Nothing, Number, Port, Text };

/// One switch: its name without the dash or dashes, what it takes, and what it does with it.
struct Switch {
    const char* name;
    Takes takes;
    void (*apply)(Downloader& d, const char* text, int number);
};

// The single-letter switches. A value comes right after the name (-c2, -dw1000) or as the next argument; -dc
// and -dw come before -d, so that the longer name is taken.
const Switch SHORT_SWITCHES[] = {
    {"b", Takes::Nothing, [](Downloader& d, const char*, int) { d.joinBlocks = true; }},
    {"c", Takes::Port,
     [](Downloader& d, const char* text, int) {
         d.setPort(text);
         d.portGiven = true;
     }},
    {"dc", Takes::Number, [](Downloader& d, const char*, int number) { d.dcDelay = number; }},
    {"dw", Takes::Number, [](Downloader& d, const char*, int number) { d.wipeDelay = number; }},
    {"d", Takes::Number, [](Downloader& d, const char*, int number) { d.recordDelay = number; }},
    {"i", Takes::Text, [](Downloader& d, const char* text, int) { d.installDir = text; }},
    {"p", Takes::Nothing, [](Downloader& d, const char*, int) { d.showPercent = true; }},
    {"r", Takes::Number, [](Downloader& d, const char*, int number) { d.setBaudRate(number); }},
    {"v", Takes::Number, [](Downloader& d, const char*, int number) { d.verbosity = number; }},
    {"V", Takes::Nothing, [](Downloader& d, const char*, int) { d.verifyOnly = true; }},
    {"w", Takes::Nothing, [](Downloader& d, const char*, int) { d.wipeOnly = true; }},
};

// The long switches: "--name", and "--name VALUE" or "--name=VALUE" for those that take a value.
const Switch LONG_SWITCHES[] = {
    {"help", Takes::Nothing, [](Downloader& d, const char*, int) { d.help(); }},
    {"version", Takes::Nothing, [](Downloader& d, const char*, int) { d.version(); }},
    {"log", Takes::Text, [](Downloader& d, const char* text, int) { d.logPath = text; }},
    {"list-ports", Takes::Nothing, [](Downloader& d, const char*, int) { d.listPorts = true; }},
    {"read", Takes::Text, [](Downloader& d, const char* text, int) { d.setReadBack(text); }},
    {"range", Takes::Text, [](Downloader& d, const char* text, int) { d.addReadRange(text); }},
    {"twice", Takes::Nothing, [](Downloader& d, const char*, int) { d.readTwice = true; }},
    {"json", Takes::Nothing, [](Downloader& d, const char*, int) { d.jsonEvents = true; }},
    {"ports", Takes::Text, [](Downloader& d, const char* text, int) { d.addStationPorts(text); }},
    {"log-dir", Takes::Text, [](Downloader& d, const char* text, int) { d.logDir = text; }},
    {"results", Takes::Text, [](Downloader& d, const char* text, int) { d.resultsPath = text; }},
    {"no-extract", Takes::Nothing, [](Downloader& d, const char*, int) { d.extractIni = false; }},
    {"serial", Takes::Text, [](Downloader& d, const char* text, int) { d.addSerialSwitch("serial", text); }},
    {"serial-counter", Takes::Text,
     [](Downloader& d, const char* text, int) { d.addSerialSwitch("serial-counter", text); }},
    {"serial-value", Takes::Text,
     [](Downloader& d, const char* text, int) { d.addSerialSwitch("serial-value", text); }},
    {"serial-keep", Takes::Nothing,
     [](Downloader& d, const char*, int) { d.addSerialSwitch("serial-keep", ""); }},
};

/// Keeps the arguments from first to last for the children of a station (all but the station's own switches)
/// and for the rerun of its failed ports (all but --ports).
void keepArguments(Downloader& d, const Switch* s, char** argv, int first, int last) {
    const std::string name = s ? s->name : "";
    for (int i = first; i <= last; ++i) {
        if (name != "ports" && name != "log-dir" && name != "results") d.childArgs.push_back(argv[i]);
        if (name != "ports") d.retryArgs.push_back(argv[i]);
    }
}

/// A whole number: an optional sign, then digits, nothing after. Values beyond an int are held at its limits.
bool wholeNumber(const char* text, int& value) {
    const char* digits = text + (*text == '+' || *text == '-');
    if (!std::isdigit(static_cast<unsigned char>(*digits))) return false;
    for (const char* p = digits; *p; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    long number = std::strtol(text, nullptr, 10);
    value = number > INT_MAX ? INT_MAX : number < INT_MIN ? INT_MIN : static_cast<int>(number);
    return true;
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

} // namespace

void Downloader::parseArgs(int argc, char** argv) {
    if (argc > 0 && argv[0]) programName = argv[0];
    for (int i = 0; i < argc; ++i)
        commandLine.push_back(argv[i] ? argv[i] : "");
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            addFile(arg);
            keepArguments(*this, nullptr, argv, i, i);
            continue;
        }
        const bool isLong = arg[1] == '-' && arg[2] != '\0';
        const Switch* s = isLong ? longSwitch(arg + 2) : shortSwitch(arg + 1);
        if (!s) {
            // A lone "-" has no letter to show: it is named whole, as a long switch is.
            if (isLong || arg[1] == '\0') refuse("Switch not recognized: '%s'.", arg);
            refuse("Switch not recognized: '-%c'.", arg[1]);
        }
        // A single-letter switch takes its value from the rest of its argument; a long one after an "=".
        const char* rest = isLong ? arg + 2 + std::strlen(s->name) : arg + 1 + std::strlen(s->name);
        if (isLong && *rest == '=') ++rest;
        const bool attached = *rest != '\0' || (isLong && rest[-1] == '=');
        if (s->takes == Takes::Nothing) {
            if (attached) refuse("Switch not recognized: '%s'.", arg);
            s->apply(*this, "", 0);
            keepArguments(*this, s, argv, i, i);
            continue;
        }
        const int first = i;
        const char* value = rest;
        if (!attached) {
            if (i + 1 >= argc) {
                refuse("ERROR: Switch '%s' needs a value.", arg);
            }
            value = argv[++i];
        }
        int number = 0;
        if (s->takes == Takes::Number && !wholeNumber(value, number)) {
            refuse("ERROR: Switch '-%s' needs a number, not '%s'.", s->name, value);
        }
        s->apply(*this, value, number);
        keepArguments(*this, s, argv, first, i);
    }
    checkReadBackSwitches();
    checkStationSwitches();
    checkSerialSwitches();
    // A read-back without firmware files reads the unpaged flash; it never falls back on a file.
    if (fileNames.empty() && readBackFile.empty()) addFile("velquin2.s19");
}

void Downloader::setReadBack(const char* file) {
    if (*file == '\0') {
        refuse("ERROR: Switch '--read' needs a value.");
    }
    readBackFile = file;
}

void Downloader::addReadRange(const char* text) {
    uint32_t first = 0, last = 0;
    if (!monitor::parseRange(text, first, last)) {
        refuse("ERROR: Invalid range '%s'.", text);
    }
    readRanges.push_back({first, last});
}

void Downloader::checkReadBackSwitches() {
    if ((!readRanges.empty() || readTwice) && readBackFile.empty()) {
        refuse("ERROR: Switch '%s' needs '--read'.", readTwice ? "--twice" : "--range");
    }
    // 0x8000-0xBFFF is held at 0x4000-0x7FFF: ranges on both would put the same flash in the file twice, and
    // a download would write it twice.
    for (size_t i = 0; i < readRanges.size(); ++i) {
        for (size_t j = i + 1; j < readRanges.size(); ++j) {
            const auto& a = readRanges[i];
            const auto& b = readRanges[j];
            if (monitor::inWindow(a.first) == monitor::inWindow(b.first)) continue;
            if (monitor::mapStart(a.first) <= monitor::mapStart(b.second) &&
                monitor::mapStart(b.first) <= monitor::mapStart(a.second)) {
                message(0,
                        "ERROR: Ranges 0x%X-0x%X and 0x%X-0x%X are the same flash (0x8000-0xBFFF is held at "
                        "0x4000-0x7FFF).",
                        a.first, a.second, b.first, b.second);
                usage();
            }
        }
    }
    if (!readBackFile.empty() && (wipeOnly || verifyOnly)) {
        refuse("ERROR: Switch '--read' cannot be combined with -%c.", wipeOnly ? 'w' : 'V');
    }
}

void Downloader::setPort(const char* text) {
    // A device path leaves the number as it was; only the path is used then.
    int number = port;
    std::string path;
    if (wholeNumber(text, number) || platformPortName(text, number, path)) {
        port = number;
        portPath = path;
        return;
    }
    refuse("ERROR: Switch '-c' needs a port number or a device path, not '%s'.", text);
}

void Downloader::addFile(const char* name) {
    if (fileNames.size() == MAX_FILES) {
        // The console shows the usage text alone; the result needs a text.
        events::failed("More than " + std::to_string(MAX_FILES) + " firmware files.");
        usage();
    }
    fileNames.push_back(name);
}

void Downloader::setBaudRate(int value) {
    if (value < 0) {
        // A negative rate asks for a non-standard speed, taken as it is.
        baudRate = value == INT_MIN ? INT_MAX : -value;
        return;
    }
    baudRate = value;
    for (int rate : STANDARD_RATES)
        if (rate == value) return;
    refuse("ERROR: Specified comm rate %d invalid.", value);
}

std::vector<std::string> Downloader::usageText() const {
    const char* lines[] = {
        "usage: %s [options] [-c<port>] [-r<rate>] [s19-file]...",
        "   as in",
        "",
        "      %s -c2 vq-2.s19",
        "",
        "Download requires that the monitor/bootloader already be resident on your MCU,",
        "it cannot burn a blank chip.",
        "",
        "   -b       - send records that follow each other as full blocks (VQ-II).",
        "   -c port  - specify comm port to which Velquin is connected, default is",
        "              port 1.",
        "              A device path such as /dev/ttyUSB0 (or COM3) works too.",
        "   -d MS    - delay MS milliseconds between records, increase if you cannot",
        "              reboot after download, default is zero.",
        "   -dc MS   - accepted and stored, no step uses it, default is zero.",
        "   -dw MS   - set after-wipe delay to MS, default is 250 ms.",
        "   -i dir   - specify install directory for update files.",
        "              Default is '.'.",
        "   -p       - enable percentage reporting.",
        "   -r rate  - specify baud rate of connection to VQ box, 9600,",
        "              19200, 38400, 56000 and 115200 (default) are the only valid speeds (use",
        "              negative rate values, like '-r -2343', to get non-standard speeds).",
        "   -v level - set Verbosity of output.",
        "              -1 percentages only (with -p), 0 errors,",
        "              1 progress (default), 2 protocol, 3 retries, 4 byte traces,",
        "              5 and 6 S-record line traces.",
        "   -V       - Verify only, don't download.",
        "   -w       - wipe only, don't try to download.",
        "   --log FILE   - append every message, byte traces included, to FILE.",
        "   --list-ports - list the serial ports of this system.",
        "   --json       - JSON Lines events on standard output, for programs.",
        "   --read FILE  - read the controller back into FILE, erase and write nothing.",
        "   --range A-B  - with --read: read only A to B, e.g. 0xC000-0xFFFF.",
        "   --twice      - with --read: read every block twice and compare the readings.",
        "   --ports LIST - a station: every port of LIST (NAME=PORT or PORT, by commas) at once.",
        "   --log-dir DIR  - with --ports: a log for each port, DIR/NAME.log.",
        "   --results FILE - append a JSON line for each port and run to FILE.",
        "   --no-extract - write none of an update's .ini files (a station extracts them once).",
        "   --serial A:F - write each unit's serial number at A in format F after verification:",
        "                  u16le, u16be, u32le, u32be, u64le, u64be, dec:N or hex:N (N digits).",
        "                  u32be 1000003 at 0x7FF0 is 00 0F 42 43 at 0x7FF0-0x7FF3.",
        "   --serial-counter FILE - take each number from the counter FILE (next=N).",
        "   --serial-value N      - this number (one unit).",
        "   --serial-keep         - a unit that holds a number at A keeps it (VQ-II).",
        "   --help       - show this text.",
        "   --version    - show the version.",
        "   s19-file - the list of names of the s19 files to download, default file is",
        "              velquin2.s19.",
        "",
    };
    std::vector<std::string> text;
    for (const char* line : lines) {
        std::string out = line;
        size_t at = out.find("%s");
        if (at != std::string::npos) out.replace(at, 2, programName);
        text.push_back(out);
    }
    return text;
}

void Downloader::refuse(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatText(format, args);
    va_end(args);
    // Under --json the error is the result's, and no usage text follows.
    events::failed(text);
    if (events::active()) throw static_cast<int>(EXIT_USAGE);
    message(0, "%s", text.c_str());
    usage();
}

void Downloader::usage() {
    if (events::active()) throw static_cast<int>(EXIT_USAGE);
    for (const std::string& line : usageText())
        message(0, "%s", line.c_str());
    throw static_cast<int>(EXIT_USAGE);
}

void Downloader::help() {
    events::stop();
    // Asked for, so shown at every verbosity, and a success.
    if (messageCallback)
        for (const std::string& line : usageText())
            messageCallback(line.c_str());
    throw static_cast<int>(EXIT_DONE);
}

void Downloader::version() {
    events::stop();
    if (messageCallback) messageCallback("vq2dl " VQ2DL_VERSION);
    throw static_cast<int>(EXIT_DONE);
}

std::string Downloader::portName() const {
    return portPath.empty() ? std::to_string(port) : portPath;
}
