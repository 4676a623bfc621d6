// What the command-line tests share: the usage text, parsing into a Downloader, running vq2dl, the reports
// and the texts of a port that does not open.
#pragma once

#include "fixture.h"

#include "program.h"

#include <cstdio>
#include <string>
#include <vector>

namespace cli {

inline const char* const NO_PORT_PATH = "/nonexistent/vq-port";

// The usage text exactly as a user sees it, for a program called vq2dl.
inline std::string usageText(const std::string& program) {
    return "usage: " + program +
           " [options] [-c<port>] [-r<rate>] [s19-file]...\n"
           "   as in\n"
           "\n"
           "      " +
           program +
           " -c2 vq-2.s19\n"
           "\n"
           "Download requires that the monitor/bootloader already be resident on your MCU,\n"
           "it cannot burn a blank chip.\n"
           "\n"
           "   -b       - send records that follow each other as full blocks (VQ-II).\n"
           "   -c port  - specify comm port to which Velquin is connected, default is\n"
           "              port 1.\n"
           "              A device path such as /dev/ttyUSB0 works too (COM3 on Windows).\n"
           "   -d MS    - delay MS milliseconds between records, increase if you cannot\n"
           "              reboot after download, default is zero.\n"
           "   -dc MS   - accepted and stored, no step uses it, default is zero.\n"
           "   -dw MS   - set after-wipe delay to MS, default is 250 ms.\n"
           "   -i dir   - specify install directory for update files.\n"
           "              Default is '.'.\n"
           "   -p       - enable percentage reporting.\n"
           "   -r rate  - specify baud rate of connection to VQ box, 9600,\n"
           "              19200, 38400, 56000 and 115200 (default) are the only valid speeds (use\n"
           "              negative rate values, like '-r -2343', to get non-standard speeds).\n"
           "   -v level - set Verbosity of output.\n"
           "              -1 percentages only (with -p), 0 errors,\n"
           "              1 progress (default), 2 protocol, 3 retries, 4 byte traces,\n"
           "              5 and 6 S-record line traces.\n"
           "   -V       - Verify only, don't download.\n"
           "   -w       - wipe only, don't try to download.\n"
           "   --log FILE   - append every message, byte traces included, to FILE.\n"
           "   --list-ports - list the serial ports of this system.\n"
           "   --json       - JSON Lines events on standard output, for programs.\n"
           "   --read FILE  - read the controller back into FILE, erase and write nothing.\n"
           "   --range A-B  - with --read: read only A to B, e.g. 0xC000-0xFFFF.\n"
           "   --twice      - with --read: read every block twice and compare the readings.\n"
           "   --ports LIST - a station: every port of LIST (NAME=PORT or PORT, by commas) at once.\n"
           "   --log-dir DIR  - with --ports: a log for each port, DIR/NAME.log.\n"
           "   --results FILE - append a JSON line for each port and run to FILE.\n"
           "                    A FILE ending in .csv gets a CSV line instead.\n"
           "   --tag KEY=VALUE  - with --results and --json: add KEY=VALUE to every record\n"
           "                      (operator, work order, lot; repeatable).\n"
           "   --expect-sha256 HEX - refuse a firmware file whose SHA-256 is not HEX\n"
           "                         (once per file, in order).\n"
           "   --no-extract - write none of an update's .ini files (a station extracts them once).\n"
           "   --keep A-B   - VQ-II: save the unit's bytes A to B before the erase and write them back,\n"
           "                  e.g. 0x7F00-0x7FFF (repeatable; -V leaves them out of the comparison).\n"
           "   --keep-dir DIR   - keep the saved bytes in DIR/kept-PORT-TIME.s19 after a success too.\n"
           "   --keep-from FILE - take the kept bytes from FILE instead of reading the unit.\n"
           "   --port-name NAME - the port's name in the kept file's name, the serial journal and the unit\n"
           "                  record (a station gives each port its own).\n"
           "   --serial A:F - write each unit's serial number at A in format F after verification:\n"
           "                  u16le, u16be, u32le, u32be, u64le, u64be, dec:N or hex:N (N digits).\n"
           "                  u32be 1000003 at 0x7FF0 is 00 0F 42 43 at 0x7FF0-0x7FF3.\n"
           "   --serial-counter FILE - take each number from the counter FILE (next=N).\n"
           "   --serial-value N      - this number (one unit).\n"
           "   --serial-keep         - a unit that holds a number at A keeps it (VQ-II).\n"
           "   --loop       - with -c or --ports: program unit after unit as they are swapped in.\n"
           "   --loop-count N - with --loop: stop each port after N units.\n"
           "   --help       - show this text.\n"
           "   --version    - show the version.\n"
           "   s19-file - the list of names of the s19 files to download, default file is\n"
           "              velquin2.s19.\n"
           "\n";
}

// Parses a command line into fresh options, answered as the program answers it on a console that shows in
// fx::captured; returns the exit status of a command line that asks for no run, or -1 when it asks for one.
inline int parse(Options& options, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "vq2dl");
    std::vector<char*> argv;
    for (auto& a : arguments)
        argv.push_back(&a[0]);
    fx::captured.clear();
    const CommandLine line = parseCommandLine(static_cast<int>(argv.size()), argv.data());
    Console console(fx::captureSink);
    console.verbosity = line.options.verbosity;
    options = line.options;
    return answerCommandLine(line, console);
}

inline fx::RunResult vq2dl(const std::vector<std::string>& args, const std::string& cwd = "") {
    return fx::run(VQ2DL_PROGRAM, args, cwd);
}

// The report the driver prints after reading a file (and after what the reader itself shows).
inline std::string report(bool vq2, unsigned entry, unsigned low, unsigned high) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "Detected VQ-%s code.\nEntry point: 0x%04x\nCode range : 0x%04x-0x%04x\n"
                  "File read successfully.\n\n",
                  vq2 ? "II (HCS12)" : "I (HC908)", entry, low, high);
    return text;
}

using fx::BANNER;
inline const std::string NO_PORT_TEXT = std::string("Download failed:\r\n   Could not open comm port ") +
                                        NO_PORT_PATH + ".\n   Reason: no such device.\n";

} // namespace cli
