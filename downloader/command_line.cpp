// The command line of vq2dl: switches, file names, the rate check and the usage text.
#include "downloader.h"
#include "monitor/read_areas.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const int STANDARD_RATES[] = {9600, 19200, 38400, 56000, 115200};

// Numbers follow strtol: blanks skipped, an optional sign, digits up to the first other character, and 0 when
// there are none. Values beyond an int are held at its limits.
int number(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

} // namespace

void Downloader::parseArgs(int argc, char** argv) {
    if (argc > 0 && argv[0]) programName = argv[0];
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-') {
            addFile(arg);
            continue;
        }
        if (arg[1] == '-' && readBackSwitch(argc, argv, i)) continue;
        char letter = arg[1];
        if (letter == 'p') {
            showPercent = true;
            continue;
        }
        if (letter == 'V') {
            verifyOnly = true;
            continue;
        }
        if (letter == 'w') {
            wipeOnly = true;
            continue;
        }
        if (letter != 'c' && letter != 'd' && letter != 'i' && letter != 'r' && letter != 'v') {
            message(0, "Switch not recognized: '-%c'.", letter);
            usage();
        }
        // -dc and -dw pick a delay by their third character; every value switch takes the rest of its
        // argument, or the whole next one.
        int* delay = &recordDelay;
        const char* rest = arg + 2;
        if (letter == 'd' && (arg[2] == 'c' || arg[2] == 'w')) {
            delay = arg[2] == 'c' ? &dcDelay : &wipeDelay;
            rest = arg + 3;
        }
        const char* value = rest;
        if (*rest == '\0') {
            if (i + 1 >= argc) {
                message(0, "ERROR: Switch '%s' needs a value.", arg);
                usage();
            }
            value = argv[++i];
        }
        switch (letter) {
        case 'c':
            if (value[0] == '/') {
                portPath = value;
            } else {
                portPath.clear();
                port = number(value);
            }
            break;
        case 'd':
            *delay = number(value);
            break;
        case 'i':
            installDir = value;
            break;
        case 'r':
            setBaudRate(number(value));
            break;
        default:
            verbosity = number(value);
            break;
        }
    }
    checkReadBackSwitches();
    // A read-back without firmware files reads the unpaged flash; it never falls back on a file.
    if (fileNames.empty() && readBackFile.empty()) addFile("velquin2.s19");
}

bool Downloader::readBackSwitch(int argc, char** argv, int& i) {
    // --read FILE and --range FIRST-LAST, the value also as --read=FILE and --range=FIRST-LAST.
    const std::string arg = argv[i];
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    if (name != "--read" && name != "--range") return false;
    const char* value = equals == std::string::npos ? nullptr : argv[i] + equals + 1;
    if (!value) {
        if (i + 1 >= argc) {
            message(0, "ERROR: Switch '%s' needs a value.", name.c_str());
            usage();
        }
        value = argv[++i];
    }
    if (name == "--read") {
        if (*value == '\0') {
            message(0, "ERROR: Switch '%s' needs a value.", name.c_str());
            usage();
        }
        readBackFile = value;
        return true;
    }
    uint32_t first = 0, last = 0;
    if (!monitor::parseRange(value, first, last)) {
        message(0, "ERROR: Invalid range '%s'.", value);
        usage();
    }
    readRanges.push_back({first, last});
    return true;
}

void Downloader::checkReadBackSwitches() {
    if (!readRanges.empty() && readBackFile.empty()) {
        message(0, "ERROR: Switch '--range' needs '--read'.");
        usage();
    }
    if (!readBackFile.empty() && (wipeOnly || verifyOnly)) {
        message(0, "ERROR: Switch '--read' cannot be combined with -%c.", wipeOnly ? 'w' : 'V');
        usage();
    }
}

void Downloader::addFile(const char* name) {
    if (fileNames.size() == MAX_FILES) usage();
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
    message(0, "ERROR: Specified comm rate %d invalid.", value);
    usage();
}

void Downloader::usage() {
    const char* lines[] = {
        "usage: %s [options] [-c<port>] [-r<rate>] [s19-file]...",
        "   as in",
        "",
        "      %s -c2 vq-2.s19",
        "",
        "Download requires that the monitor/bootloader already be resident on your MCU,",
        "it cannot burn a blank chip.",
        "",
        "   -c port  - specify comm port to which Velquin is connected, default is",
        "              port 1.",
        "   -d MS    - delay MS milliseconds between records, increase if you cannot",
        "              reboot after download, default is zero.",
        "   -dw MS   - set after-wipe delay to MS, default is 250 ms.",
        "   -i dir   - specify install directory for update files.",
        "   -p       - enable percentage reporting.",
        "   -r rate  - specify baud rate of connection to VQ box, 9600,",
        "              19200, 38400, 56000 and 115200 (default) are the only valid speeds (use",
        "              negative rate values, like '-r -2343', to get non-standard speeds).",
        "   -v level - set Verbosity of output.",
        "   -V       - Verify only, don't download.",
        "   -w       - wipe only, don't try to download.",
        "   --read FILE  - read the controller back into FILE, erase and write nothing.",
        "   --range A-B  - with --read: read only A to B, e.g. 0xC000-0xFFFF.",
        "   s19-file - the list of names of the s19 files to download, default file is",
        "              velquin2.s19.",
        "",
    };
    for (const char* line : lines) {
        if (line[0] == '\0')
            message(0, "%s", "");
        else if (std::strstr(line, "%s"))
            message(0, line, programName);
        else
            message(0, "%s", line);
    }
    throw static_cast<int>(EXIT_USAGE);
}

std::string Downloader::portName() const {
    return portPath.empty() ? std::to_string(port) : portPath;
}
