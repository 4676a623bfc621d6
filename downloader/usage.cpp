// The usage text of vq2dl: the original lines word for word, and a line of its own for each switch added.
#include "command_line.h"

std::vector<std::string> usageLines(const std::string& programName) {
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
        "              A device path such as /dev/ttyUSB0 works too (COM3 on Windows).",
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
        "                    A FILE ending in .csv gets a CSV line instead.",
        "   --tag KEY=VALUE  - with --results and --json: add KEY=VALUE to every record",
        "                      (operator, work order, lot; repeatable).",
        "   --expect-sha256 HEX - refuse a firmware file whose SHA-256 is not HEX",
        "                         (once per file, in order).",
        "   --no-extract - write none of an update's .ini files (a station extracts them once).",
        "   --keep A-B   - VQ-II: save the unit's bytes A to B before the erase and write them back,",
        "                  e.g. 0x7F00-0x7FFF (repeatable; -V leaves them out of the comparison).",
        "   --keep-dir DIR   - keep the saved bytes in DIR/kept-PORT-TIME.s19 after a success too.",
        "   --keep-from FILE - take the kept bytes from FILE instead of reading the unit.",
        "   --port-name NAME - the port's name in the kept file's name, the serial journal and the unit",
        "                  record (a station gives each port its own).",
        "   --serial A:F - write each unit's serial number at A in format F after verification:",
        "                  u16le, u16be, u32le, u32be, u64le, u64be, dec:N or hex:N (N digits).",
        "                  u32be 1000003 at 0x7FF0 is 00 0F 42 43 at 0x7FF0-0x7FF3.",
        "   --serial-counter FILE - take each number from the counter FILE (next=N).",
        "   --serial-value N      - this number (one unit).",
        "   --serial-keep         - a unit that holds a number at A keeps it (VQ-II).",
        "   --loop       - with -c or --ports: program unit after unit as they are swapped in.",
        "   --loop-count N - with --loop: stop each port after N units.",
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
