// The command line, the console and the run driver, through the real vq2dl program and a Downloader.
#include "fixture.h"

#include "downloader.h"
#include "ports/ports.h"
#include "simulator.h"

#include <csignal>
#include <deque>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <regex>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const NO_PORT_PATH = "/nonexistent/vq-port";

// The usage text exactly as a user sees it, for a program called vq2dl.
std::string usageText(const std::string& program) {
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
           "              port 1; a device path such as /dev/ttyUSB0 (or COM3) works too.\n"
           "   -d MS    - delay MS milliseconds between records, increase if you cannot\n"
           "              reboot after download, default is zero.\n"
           "   -dc MS   - accepted and stored, no step uses it, default is zero.\n"
           "   -dw MS   - set after-wipe delay to MS, default is 250 ms.\n"
           "   -i dir   - specify install directory for update files, default is '.'.\n"
           "   -p       - enable percentage reporting.\n"
           "   -r rate  - specify baud rate of connection to VQ box, 9600,\n"
           "              19200, 38400, 56000 and 115200 (default) are the only valid speeds (use\n"
           "              negative rate values, like '-r -2343', to get non-standard speeds).\n"
           "   -v level - set Verbosity of output: -1 percentages only (with -p), 0 errors,\n"
           "              1 progress (default), 2 protocol, 3 retries, 4 byte traces,\n"
           "              5 and 6 S-record line traces.\n"
           "   -V       - Verify only, don't download.\n"
           "   -w       - wipe only, don't try to download.\n"
           "   --log FILE   - append every message, byte traces included, to FILE.\n"
           "   --list-ports - list the serial ports of this system.\n"
           "   --read FILE  - read the controller back into FILE, erase and write nothing.\n"
           "   --range A-B  - with --read: read only A to B, e.g. 0xC000-0xFFFF.\n"
           "   --help       - show this text.\n"
           "   --version    - show the version.\n"
           "   s19-file - the list of names of the s19 files to download, default file is\n"
           "              velquin2.s19.\n"
           "\n";
}

// Parses a command line into a fresh Downloader; returns the exit status thrown, or -1 when none was.
int parse(Downloader& d, std::vector<std::string> arguments) {
    // The Downloader keeps pointers into its argument vector (the install directory), as into argv.
    static std::deque<std::vector<std::string>> kept;
    kept.push_back(std::move(arguments));
    std::vector<std::string>& args = kept.back();
    args.insert(args.begin(), "vq2dl");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(&a[0]);
    fx::captured.clear();
    d.setMessageCallback(fx::captureSink);
    try {
        d.parseArgs(static_cast<int>(argv.size()), argv.data());
    } catch (int status) {
        return status;
    }
    return -1;
}

fx::RunResult vq2dl(const std::vector<std::string>& args, const std::string& cwd = "") {
    return fx::run(VQ2DL_PROGRAM, args, cwd);
}

// The report the driver prints after reading a file (and after what the reader itself shows).
std::string report(bool vq2, unsigned entry, unsigned low, unsigned high) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "Detected VQ-%s code.\nEntry point: 0x%04x\nCode range : 0x%04x-0x%04x\n"
                  "File read successfully.\n\n",
                  vq2 ? "II (HCS12)" : "I (HC908)", entry, low, high);
    return text;
}

const std::string BANNER = "Velquin Download 2.00\n\n";
const std::string NO_PORT_TEXT = std::string("Download failed:\r\n   Could not open comm port ") +
                                 NO_PORT_PATH + ".\n   Reason: no such device.\n";

} // namespace

TEST(CommandLine, DefaultsWithoutArguments) {
    Downloader d;
    EXPECT_EQ(parse(d, {}), -1);
    EXPECT_EQ(d.port, 1);
    EXPECT_EQ(d.baudRate, 115200);
    EXPECT_EQ(d.verbosity, 1);
    EXPECT_EQ(d.wipeDelay, 250);
    EXPECT_EQ(d.recordDelay, 0);
    EXPECT_EQ(d.dcDelay, 0);
    EXPECT_FALSE(d.showPercent || d.verifyOnly || d.wipeOnly);
    EXPECT_STREQ(d.installDir, ".");
    EXPECT_EQ(d.fileNames, std::vector<std::string>{"velquin2.s19"});
}

TEST(CommandLine, ValuesTakeTheRestOrTheNextArgument) {
    Downloader d;
    EXPECT_EQ(
        parse(d, {"-c2", "-r", "38400", "a.s19", "b.s19", "-dw", "1000", "-dc7", "-v", "-1", "-i", "-x"}),
        -1);
    EXPECT_EQ(d.port, 2);
    EXPECT_EQ(d.baudRate, 38400);
    EXPECT_EQ(d.fileNames, (std::vector<std::string>{"a.s19", "b.s19"}));
    EXPECT_EQ(d.wipeDelay, 1000);
    EXPECT_EQ(d.dcDelay, 7);
    EXPECT_EQ(d.recordDelay, 0);
    EXPECT_EQ(d.verbosity, -1);
    EXPECT_STREQ(d.installDir, "-x");
    EXPECT_EQ(fx::captured, "");

    Downloader e;
    EXPECT_EQ(parse(e, {"-d", "5", "-dc", "-3", "-c", "3", "-p", "-V", "-w", "-d-4"}), -1);
    EXPECT_EQ(e.recordDelay, -4) << "a negative delay is stored as given";
    EXPECT_EQ(e.dcDelay, -3);
    EXPECT_EQ(e.port, 3);
    EXPECT_TRUE(e.showPercent && e.verifyOnly && e.wipeOnly);

    Downloader f;
    EXPECT_EQ(parse(f, {"-c4", "-c", "/dev/ttyUSB0", "-v3", "-v", "2"}), -1);
    EXPECT_EQ(f.port, 4) << "a device path leaves the number";
    EXPECT_EQ(f.portPath, "/dev/ttyUSB0");
    EXPECT_EQ(f.portName(), "/dev/ttyUSB0");
    EXPECT_EQ(f.verbosity, 2) << "the last -v wins";
}

namespace {

// Every option field of a Downloader as "name=value" lines, so that a test sees what changed and what did
// not.
std::string state(const Downloader& d) {
    std::string text;
    auto add = [&](const char* name, const std::string& value) {
        text += std::string(name) + "=" + value + "\n";
    };
    add("port", std::to_string(d.port));
    add("path", d.portPath);
    add("rate", std::to_string(d.baudRate));
    add("d", std::to_string(d.recordDelay));
    add("dc", std::to_string(d.dcDelay));
    add("dw", std::to_string(d.wipeDelay));
    add("i", d.installDir);
    add("v", std::to_string(d.verbosity));
    add("pVw", std::to_string(d.showPercent) + std::to_string(d.verifyOnly) + std::to_string(d.wipeOnly));
    add("log", d.logPath ? d.logPath : "(none)");
    add("list", std::to_string(d.listPorts));
    std::string files;
    for (const std::string& name : d.fileNames)
        files += name + " ";
    add("files", files);
    return text;
}

// The default state with some fields replaced ("port=3\nd=5\n").
std::string stateWith(const std::string& changes) {
    Downloader d;
    parse(d, {});
    std::string text = state(d);
    for (size_t at = 0; at < changes.size();) {
        size_t end = changes.find('\n', at);
        std::string line = changes.substr(at, end - at);
        std::string key = line.substr(0, line.find('=') + 1);
        size_t old = text.find("\n" + key) + 1;
        text.replace(old, text.find('\n', old) - old, line);
        at = end + 1;
    }
    return text;
}

} // namespace

TEST(CommandLine, EveryAcceptedSpellingMeansWhatItDid) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-c3"}, "port=3\n"},
        {{"-c", "3"}, "port=3\n"},
        {{"-c", "+3"}, "port=3\n"},
        {{"-c", "007"}, "port=7\n"},
        {{"-c", "-1"}, "port=-1\n"},
        {{"-c", "99999999999999"}, "port=2147483647\n"},
        {{"-c", "-99999999999999"}, "port=-2147483648\n"},
        {{"-c/dev/ttyACM0"}, "path=/dev/ttyACM0\n"},
        {{"-d5"}, "d=5\n"},
        {{"-d", "5"}, "d=5\n"},
        {{"-dc5"}, "dc=5\n"},
        {{"-dc", "5"}, "dc=5\n"},
        {{"-dw1000"}, "dw=1000\n"},
        {{"-dw", "-1"}, "dw=-1\n"},
        {{"-r38400"}, "rate=38400\n"},
        {{"-r", "-2343"}, "rate=2343\n"},
        {{"-v", "-1"}, "v=-1\n"},
        {{"-v6"}, "v=6\n"},
        {{"-i", ""}, "i=\n"},
        {{"-i", "-p"}, "i=-p\n"},
        {{"-p", "-V", "-w"}, "pVw=111\n"},
        {{"a.s19", "-v", "2", "b.s19"}, "v=2\nfiles=a.s19 b.s19 \n"},
        {{"--log", "run.log"}, "log=run.log\n"},
        {{"--log=run.log"}, "log=run.log\n"},
        {{"--log", "-v"}, "log=-v\n"},
        {{"--list-ports"}, "list=1\n"},
    };
    for (const auto& [args, changes] : cases) {
        Downloader d;
        EXPECT_EQ(parse(d, args), -1) << args[0];
        EXPECT_EQ(fx::captured, "") << args[0];
        EXPECT_EQ(state(d), stateWith(changes)) << args[0];
    }
}

TEST(CommandLine, ARefusedSpellingEndsTheRunWithTheUsageText) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-verify"}, "ERROR: Switch '-v' needs a number, not 'erify'."},
        {{"-v", "fw.s19"}, "ERROR: Switch '-v' needs a number, not 'fw.s19'."},
        {{"-v", ""}, "ERROR: Switch '-v' needs a number, not ''."},
        {{"-v", "+"}, "ERROR: Switch '-v' needs a number, not '+'."},
        {{"-v", "1.5"}, "ERROR: Switch '-v' needs a number, not '1.5'."},
        {{"-d", "c5"}, "ERROR: Switch '-d' needs a number, not 'c5'."},
        {{"-dx5"}, "ERROR: Switch '-d' needs a number, not 'x5'."},
        {{"-dc5ms"}, "ERROR: Switch '-dc' needs a number, not '5ms'."},
        {{"-dw", " 250"}, "ERROR: Switch '-dw' needs a number, not ' 250'."},
        {{"-r", "38400x"}, "ERROR: Switch '-r' needs a number, not '38400x'."},
        {{"-r", "x"}, "ERROR: Switch '-r' needs a number, not 'x'."},
        {{"-c", "COM3"}, "ERROR: Switch '-c' needs a port number or a device path, not 'COM3'."},
        {{"-c", "ttyUSB0"}, "ERROR: Switch '-c' needs a port number or a device path, not 'ttyUSB0'."},
        {{"-c3x"}, "ERROR: Switch '-c' needs a port number or a device path, not '3x'."},
        {{"-c", ""}, "ERROR: Switch '-c' needs a port number or a device path, not ''."},
        {{"-write"}, "Switch not recognized: '-write'."},
        {{"-pq"}, "Switch not recognized: '-pq'."},
        {{"-Vx"}, "Switch not recognized: '-Vx'."},
        {{"--verify"}, "Switch not recognized: '--verify'."},
        {{"--help=now"}, "Switch not recognized: '--help=now'."},
        {{"-x"}, "Switch not recognized: '-x'."},
        {{"fw.s19", "--log"}, "ERROR: Switch '--log' needs a value."},
    };
    for (const auto& [args, first] : cases) {
        Downloader d;
        EXPECT_EQ(parse(d, args), 1) << args[0];
        EXPECT_EQ(fx::captured, first + "\n" + usageText("vq2dl")) << args[0];
    }
    // Nothing is read or sent: the run ends before the banner.
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), fx::srec(1, 0x4000, {1}) + "\n");
    auto r = vq2dl({"-verify", "-c", NO_PORT_PATH, "fw.s19"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR: Switch '-v' needs a number, not 'erify'.\n" + usageText(VQ2DL_PROGRAM));
}

TEST(Program, HelpAndVersion) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"-v", "-1", "--help", "-x"}}) {
        auto help = vq2dl(args);
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out, usageText(VQ2DL_PROGRAM)) << "shown at every verbosity, before later switches";
    }
    auto version = vq2dl({"--version", "-c", NO_PORT_PATH});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "vq2dl " VQ2DL_VERSION "\n");
}

TEST(CommandLine, Rates) {
    for (int rate : {9600, 19200, 38400, 56000, 115200}) {
        Downloader d;
        EXPECT_EQ(parse(d, {"-r" + std::to_string(rate)}), -1);
        EXPECT_EQ(d.baudRate, rate);
    }
    Downloader custom;
    EXPECT_EQ(parse(custom, {"-r", "-2343"}), -1);
    EXPECT_EQ(custom.baudRate, 2343);
    EXPECT_EQ(fx::captured, "");
    Downloader forced;
    EXPECT_EQ(parse(forced, {"-r", "-57600"}), -1);
    EXPECT_EQ(forced.baudRate, 57600);
    for (const char* bad : {"300", "0", "57600", "+9601"}) {
        Downloader d;
        EXPECT_EQ(parse(d, {"-r", bad, "-r", "9600"}), 1) << bad;
        int value = std::atoi(bad);
        EXPECT_EQ(fx::captured,
                  "ERROR: Specified comm rate " + std::to_string(value) + " invalid.\n" + usageText("vq2dl"));
    }
}

TEST(CommandLine, BadSwitchesAndTooManyFiles) {
    for (const char* bad : {"-x", "-X", "-C2", "-"}) {
        Downloader d;
        EXPECT_EQ(parse(d, {bad}), 1) << bad;
        std::string shown = bad[1] ? std::string(1, bad[1]) : std::string();
        // A lone "-" names no letter: the text ends where the missing letter would stand.
        std::string first =
            bad[1] ? "Switch not recognized: '-" + shown + "'.\n" : "Switch not recognized: '-\n";
        EXPECT_EQ(fx::captured, first + usageText("vq2dl")) << bad;
    }
    std::vector<std::string> files;
    for (int i = 0; i < 20; ++i)
        files.push_back("f" + std::to_string(i) + ".s19");
    Downloader twenty;
    EXPECT_EQ(parse(twenty, files), -1);
    EXPECT_EQ(twenty.fileNames.size(), 20u);
    files.push_back("one-too-many.s19");
    Downloader d;
    EXPECT_EQ(parse(d, files), 1);
    EXPECT_EQ(fx::captured, usageText("vq2dl"));

    Downloader missing;
    EXPECT_EQ(parse(missing, {"a.s19", "-c"}), 1);
    EXPECT_EQ(fx::captured, "ERROR: Switch '-c' needs a value.\n" + usageText("vq2dl"));
}

TEST(Console, MessagesFollowTheVerbosity) {
    Downloader d;
    d.setMessageCallback(fx::captureSink);
    fx::captured.clear();
    d.verbosity = 1;
    d.message(2, "hidden");
    d.message(1, "shown %d%%", 5);
    d.message(1, "progress\r");
    d.message(0, "%s", "");
    d.message(-1, "$%s", "Writing");
    EXPECT_EQ(fx::captured, "shown 5%\nprogress\r\n$Writing\n");
    fx::captured.clear();
    d.verbosity = -1;
    d.message(0, "error");
    d.message(-1, "%%%.2f", 41.666);
    try {
        d.fatal(4, "fatal %s", "text");
        FAIL() << "fatal returned";
    } catch (int status) {
        EXPECT_EQ(status, 4);
    }
    EXPECT_EQ(fx::captured, "%41.67\nfatal text\n");
    // A long text is not cut.
    fx::captured.clear();
    std::string longText(3000, 'x');
    d.message(-1, "%s", longText.c_str());
    EXPECT_EQ(fx::captured, longText + "\n");
}

TEST(Program, UsageAndStatuses) {
    auto r = vq2dl({"-q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Switch not recognized: '-q'.\n" + usageText(VQ2DL_PROGRAM));
    EXPECT_EQ(r.err, "");

    auto quiet = vq2dl({"-v", "-1", "-r", "300"});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out, "") << "the usage text is a level 0 message";
}

TEST(Program, ReportsEachFileThenFailsOnThePort) {
    fx::TempDir dir;
    fx::writeFile(dir.file("low.s19"),
                  fx::srec(0, 0, {'H', 'D', 'R'}) + "\r\n" + fx::srec(1, 0x4000, fx::bytes(16)) + "\r\n" +
                      fx::srec(1, 0xC000, fx::bytes(16)) + "\r\n" + fx::srec(9, 0xC000) + "\r\n");
    fx::writeFile(dir.file("high.s19"), fx::srec(1, 0x9000, fx::bytes(4)) + "\n");
    auto r = vq2dl({"-c", NO_PORT_PATH, "low.s19", "high.s19"}, dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, BANNER + "Reading low.s19:\nHDR\n" + report(true, 0xC000, 0x4000, 0xC000) +
                         "Reading high.s19:\n" + report(true, 0xC000, 0x4000, 0xC000) + NO_PORT_TEXT);

    // A first file at 0x8080 or above makes the run VQ-I for good.
    auto vq1 = vq2dl({"-c", NO_PORT_PATH, "high.s19", "low.s19"}, dir.path());
    EXPECT_EQ(vq1.status, 2);
    EXPECT_EQ(vq1.out, BANNER + "Reading high.s19:\n" + report(false, 0, 0x9000, 0x9000) +
                           "Reading low.s19:\nHDR\n" + report(false, 0xC000, 0x4000, 0xC000) + NO_PORT_TEXT);
}

TEST(Program, GenerationThreshold) {
    fx::TempDir dir;
    fx::writeFile(dir.file("a.s19"), fx::srec(1, 0x8080, {1}) + "\n");
    fx::writeFile(dir.file("b.s19"), fx::srec(1, 0x807F, {1}) + "\n");
    fx::writeFile(dir.file("empty.s19"), fx::srec(9, 0x1234) + "\n");
    auto a = vq2dl({"-c", NO_PORT_PATH, "a.s19"}, dir.path());
    EXPECT_NE(a.out.find("Detected VQ-I (HC908) code."), std::string::npos);
    auto b = vq2dl({"-c", NO_PORT_PATH, "b.s19"}, dir.path());
    EXPECT_NE(b.out.find("Detected VQ-II (HCS12) code."), std::string::npos);
    auto empty = vq2dl({"-c", NO_PORT_PATH, "empty.s19"}, dir.path());
    EXPECT_EQ(empty.out,
              BANNER + "Reading empty.s19:\n" + report(false, 0x1234, 0xFFFFFFFF, 0) + NO_PORT_TEXT);
    EXPECT_EQ(empty.status, 2);
}

TEST(Program, FileErrorsEndWithStatus3) {
    fx::TempDir dir;
    fx::writeFile(dir.file("bad.s19"),
                  fx::srec(1, 0, {1, 2}) + "\n" + fx::srec(1, 2, {3}) + "\n" + "S1050000AABB00\n");
    auto bad = vq2dl({"-c", NO_PORT_PATH, "bad.s19"}, dir.path());
    EXPECT_EQ(bad.status, 3);
    EXPECT_EQ(bad.out, BANNER +
                           "Reading bad.s19:\n"
                           "ERROR: Reading bad.s19 line 3: Invalid checksum, found 0x00, expected 0x95.\n");
    auto missing = vq2dl({"-v", "-1", "-c", NO_PORT_PATH, "missing.s19"}, dir.path());
    EXPECT_EQ(missing.status, 3);
    EXPECT_EQ(missing.out, "ERROR: Reading missing.s19 line 0: Can't open input file.\n");
}

TEST(Program, WipeOnlyReadsNoFile) {
    auto r = vq2dl({"-w", "-V", "-c", NO_PORT_PATH, "does-not-exist.s19"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, BANNER + NO_PORT_TEXT);
}

TEST(Program, NumberedPortThatDoesNotExist) {
    // Port numbers map to system devices; one far beyond any machine's ports cannot open.
    fx::TempDir dir;
    fx::writeFile(dir.file("a.s19"), fx::srec(1, 0x1000, {1}) + "\n");
    auto r = vq2dl({"-c", "9999", "a.s19"}, dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(
        r.out.find("Download failed:\r\n   Could not open comm port 9999.\n   Reason: no such device.\n"),
        std::string::npos)
        << r.out;
}

namespace {

// What a terminal finally shows: progress lines and their clearing taken out.
std::string settledText(std::string text) {
    // A text after a carriage return that another carriage return follows was drawn over.
    for (size_t cr = text.find('\r'); cr != std::string::npos;) {
        size_t next = text.find_first_of("\r\n", cr + 1);
        if (next != std::string::npos && text[next] == '\r') {
            text.erase(cr, next - cr);
        } else {
            cr = text.find('\r', cr + 1);
        }
    }
    // The last carriage return in front of a message only moved the cursor back.
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) continue;
        out += text[i];
    }
    return out;
}

} // namespace

TEST(Progress, OnATerminalOneLineRewritesItselfAndIsCleared) {
    fx::TempDir dir;
    std::string file;
    for (uint32_t a = 0x4000; a < 0x4000 + 40 * 32; a += 32)
        file += fx::srec(1, a, fx::bytes(32, a & 0xFF)) + "\n";
    file += fx::srec(2, 0x3C8000, fx::bytes(64)) + "\n";
    fx::writeFile(dir.file("fw.s19"), file);

    vqsim::Options options;
    vqsim::Simulator sim(options);
    std::string error;
    ASSERT_TRUE(sim.start(error)) << error;
    auto seen = fx::runOnTerminal(VQ2DL_PROGRAM, {"-c", sim.devicePath(), "fw.s19"}, dir.path());
    ASSERT_EQ(seen.status, 0) << seen.out;
    const std::string full = "Writing   [####################] 41/41 records, 1344/1344 bytes";
    EXPECT_NE(seen.out.find("\rWriting   [#"), std::string::npos);
    EXPECT_NE(seen.out.find("\r" + full), std::string::npos) << seen.out;
    EXPECT_NE(seen.out.find("\rVerifying [####################] 41/41 records, 1344/1344 bytes"),
              std::string::npos);
    // A drawing counts what is done, and is blanked over before the next message: the page change of the last
    // record, and the closing line once all is written.
    std::string blank = "\r" + std::string(full.size(), ' ') + "\r";
    EXPECT_NE(seen.out.find("\rWriting   [###################-] 40/41 records, 1280/1344 bytes" + blank +
                            "Setting page register 0x3c:\n"),
              std::string::npos);
    EXPECT_NE(seen.out.find(full + blank + "Write complete, 41 records, 1344 bytes.\n"), std::string::npos);

    // Once drawn over, the terminal holds exactly what a script reads.
    vqsim::Simulator again(options);
    ASSERT_TRUE(again.start(error)) << error;
    auto script = vq2dl({"-c", again.devicePath(), "fw.s19"}, dir.path());
    ASSERT_EQ(script.status, 0);
    EXPECT_EQ(script.out.find("] "), std::string::npos) << "no progress line without a terminal";
    std::string scriptText = script.out;
    EXPECT_EQ(scriptText.find("Done in"), std::string::npos) << "no summary without a terminal";
    // The summary line closes what a person sees; everything before it is what the script read.
    std::string shown = settledText(seen.out);
    size_t summary = shown.rfind("Done in ");
    ASSERT_NE(summary, std::string::npos) << shown;
    shown.erase(summary);
    // The port names differ between the two runs.
    auto portLine = [](std::string text, const std::string& device) {
        size_t at = text.find(device);
        return at == std::string::npos ? text : text.replace(at, device.size(), "PORT");
    };
    EXPECT_EQ(portLine(shown, sim.devicePath()), portLine(scriptText, again.devicePath()));

    // -p and other verbosities keep the terminal free of it too.
    vqsim::Simulator third(options);
    ASSERT_TRUE(third.start(error)) << error;
    auto percent = fx::runOnTerminal(VQ2DL_PROGRAM, {"-p", "-c", third.devicePath(), "fw.s19"}, dir.path());
    EXPECT_EQ(percent.status, 0);
    EXPECT_EQ(percent.out.find("] "), std::string::npos);
}

TEST(Progress, OnATerminalARunEndsWithWhatItDid) {
    fx::TempDir dir;
    std::string vq2;
    for (uint32_t a = 0x4000; a < 0x4000 + 8 * 32; a += 32)
        vq2 += fx::srec(1, a, fx::bytes(32, a & 0xFF)) + "\n";
    fx::writeFile(dir.file("vq2.s19"), vq2);
    fx::writeFile(dir.file("vq1.s19"),
                  fx::srec(1, 0x9000, fx::bytes(100)) + "\n" + fx::srec(9, 0x9000) + "\n");
    const std::string seconds = "Done in [0-9]+\\.[0-9] s: ";
    const std::string rate = ", [0-9]+\\.[0-9] KB/s\\.\n$";
    // One controller of each generation takes every run in turn; the verification reads what was written.
    const struct {
        int generation;
        std::vector<std::string> args;
        std::string last;
    } cases[] = {
        {2, {"vq2.s19"}, seconds + "256 bytes written and verified" + rate},
        {2, {"-V", "vq2.s19"}, seconds + "256 bytes verified" + rate},
        {2, {"-w"}, seconds + "flash erased\\.\n$"},
        {1, {"vq1.s19"}, seconds + "100 bytes written" + rate},
        {1, {"-V", "vq1.s19"}, seconds + "signature read\\.\n$"},
    };
    std::unique_ptr<vqsim::Simulator> sims[3];
    for (const auto& c : cases) {
        auto& sim = sims[c.generation];
        if (!sim) {
            vqsim::Options options;
            options.generation = c.generation;
            sim = std::make_unique<vqsim::Simulator>(options);
            std::string error;
            ASSERT_TRUE(sim->start(error)) << error;
        }
        std::vector<std::string> args = {"-c", sim->devicePath()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto seen = fx::runOnTerminal(VQ2DL_PROGRAM, args, dir.path());
        EXPECT_EQ(seen.status, 0) << seen.out;
        EXPECT_TRUE(std::regex_search(seen.out, std::regex("\n" + c.last))) << seen.out;
    }
}

TEST(Log, HoldsTheHeaderAndEveryMessageWhileTheConsoleStaysAsItWas) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), fx::srec(0, 0, {'H', 'D', 'R'}) + "\n" +
                                          fx::srec(1, 0x4000, fx::bytes(20)) + "\n" + fx::srec(9, 0x4000) +
                                          "\n");
    vqsim::Options options;
    vqsim::Simulator sim(options);
    std::string error;
    ASSERT_TRUE(sim.start(error)) << error;
    const std::string log = dir.file("support log.txt");
    auto plain = vq2dl({"-c", sim.devicePath(), "fw.s19"}, dir.path());
    auto logged = vq2dl({"-c", sim.devicePath(), "--log", log, "fw.s19"}, dir.path());
    ASSERT_EQ(plain.status, 0) << plain.out;
    EXPECT_EQ(logged.status, 0);
    EXPECT_EQ(logged.out, plain.out);

    // A second run appends: two headers, each followed by its own stamped messages.
    auto failed = vq2dl({"-c", NO_PORT_PATH, "--log=" + log, "fw.s19"}, dir.path());
    EXPECT_EQ(failed.status, 2);
    std::string text = fx::readFile(log);
    std::regex header("==== vq2dl " VQ2DL_VERSION
                      ", [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [-+][0-9]{4}\n"
                      "Command line: [^\n]*vq2dl -c [^\n]* --log '[^']*/support log\\.txt' fw\\.s19\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), header), std::sregex_iterator()),
              1)
        << text;
    EXPECT_NE(text.find("Command line: " VQ2DL_PROGRAM " -c " + std::string(NO_PORT_PATH) + " '--log=" + log +
                        "' fw.s19\n"),
              std::string::npos)
        << text;
    auto stamped = [&](const std::string& line) {
        return std::regex_search(text, std::regex("\n *[0-9]+ ms  " + line + "\n"));
    };
    EXPECT_TRUE(stamped("Velquin Download 2\\.00"));
    EXPECT_TRUE(stamped("HDR")) << "the image reader's own message";
    EXPECT_TRUE(stamped("Entered monitor mode\\.")) << "level 2";
    EXPECT_TRUE(stamped("SR:  00001:0")) << "level 4";
    EXPECT_TRUE(stamped("TX:  a8 40 00 13")) << "the byte trace of the write-block command";
    EXPECT_TRUE(stamped("Done in [0-9.]+ s: 20 bytes written and verified, [0-9.]+ KB/s\\."));
    // A message of several lines is stamped line by line, without its carriage returns.
    EXPECT_TRUE(stamped("Download failed:"));
    EXPECT_TRUE(stamped("   Could not open comm port /nonexistent/vq-port\\."));
}

TEST(Log, ThatCannotBeOpenedEndsTheRunFirst) {
    auto r = vq2dl({"-w", "-c", NO_PORT_PATH, "--log", "/nonexistent/dir/vq.log"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR: Could not open log file /nonexistent/dir/vq.log: no such file or directory.\n");
}

namespace {

// A made-up sysfs and /dev: a USB adapter with a stable name, a modem without a serial number, two on-board
// ports, a port the kernel reserved without a UART, and a console with no device.
void makeTree(const fx::TempDir& dir) {
    auto mkdirs = [](const std::string& path) {
        ASSERT_EQ(std::system(("mkdir -p '" + path + "'").c_str()), 0);
    };
    auto link = [](const std::string& target, const std::string& at) {
        ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0);
    };
    const std::string sys = dir.file("sys"), dev = dir.file("dev");
    const std::string usb = sys + "/devices/pci0000:00/usb1/1-1", acm = sys + "/devices/pci0000:00/usb1/1-2";
    mkdirs(usb + "/1-1:1.0/ttyUSB0/tty/ttyUSB0");
    mkdirs(acm + "/1-2:1.0/tty/ttyACM0");
    mkdirs(sys + "/devices/pnp0/00:01/tty/ttyS0");
    mkdirs(sys + "/devices/pnp0/00:02/tty/ttyS10");
    mkdirs(sys + "/devices/platform/serial8250/tty/ttyS1");
    mkdirs(sys + "/devices/virtual/tty/tty0");
    mkdirs(sys + "/bus/usb-serial/drivers/ftdi_sio");
    mkdirs(sys + "/bus/usb/drivers/cdc_acm");
    mkdirs(sys + "/bus/pnp/drivers/serial");
    mkdirs(sys + "/class/tty");
    mkdirs(dev + "/serial/by-id");
    for (const auto& [file, text] : std::vector<std::pair<std::string, std::string>>{
             {usb + "/idVendor", "0403\n"},
             {usb + "/idProduct", "6001\n"},
             {usb + "/manufacturer", "FTDI\n"},
             {usb + "/product", "FT232R USB UART\n"},
             {usb + "/serial", "A12345\n"},
             {acm + "/idVendor", "2341\n"},
             {acm + "/idProduct", "0043\n"},
             {sys + "/devices/pnp0/00:01/tty/ttyS0/type", "4\n"},
             {sys + "/devices/pnp0/00:02/tty/ttyS10/type", "4\n"},
             {sys + "/devices/platform/serial8250/tty/ttyS1/type", "0\n"}})
        fx::writeFile(file, text);
    link(sys + "/bus/usb-serial/drivers/ftdi_sio", usb + "/1-1:1.0/ttyUSB0/driver");
    link("../..", usb + "/1-1:1.0/ttyUSB0/tty/ttyUSB0/device");
    link(sys + "/bus/usb/drivers/cdc_acm", acm + "/1-2:1.0/driver");
    link("../..", acm + "/1-2:1.0/tty/ttyACM0/device");
    for (const char* n : {"00:01/tty/ttyS0", "00:02/tty/ttyS10"}) {
        link(sys + "/bus/pnp/drivers/serial", sys + "/devices/pnp0/" + std::string(n, 5) + "/driver");
        link("../..", sys + "/devices/pnp0/" + n + "/device");
    }
    link("../..", sys + "/devices/platform/serial8250/tty/ttyS1/device");
    link("../../devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0", sys + "/class/tty/ttyUSB0");
    link("../../devices/pci0000:00/usb1/1-2/1-2:1.0/tty/ttyACM0", sys + "/class/tty/ttyACM0");
    link("../../devices/pnp0/00:01/tty/ttyS0", sys + "/class/tty/ttyS0");
    link("../../devices/pnp0/00:02/tty/ttyS10", sys + "/class/tty/ttyS10");
    link("../../devices/platform/serial8250/tty/ttyS1", sys + "/class/tty/ttyS1");
    link("../../devices/virtual/tty/tty0", sys + "/class/tty/tty0");
    link("../../ttyUSB0", dev + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0");
}

} // namespace

TEST(ListPorts, ReadsAMadeUpSysfsTree) {
    fx::TempDir dir;
    makeTree(dir);
    const std::string dev = dir.file("dev");
    Downloader d;
    d.setMessageCallback(fx::captureSink);
    fx::captured.clear();
    d.printPorts({dir.file("sys"), dev});
    EXPECT_EQ(fx::captured,
              dev + "/ttyACM0  USB 2341:0043, driver cdc_acm\n" + dev + "/ttyS0  driver serial\n" + dev +
                  "/ttyS10  driver serial\n" + dev +
                  "/ttyUSB0  USB 0403:6001 (FTDI FT232R USB UART), serial A12345, driver ftdi_sio, " + dev +
                  "/serial/by-id/usb-FTDI_FT232R_USB_UART_A12345-if00-port0\n");

    fx::TempDir empty;
    fx::captured.clear();
    d.printPorts({empty.file("sys"), empty.file("dev")});
    EXPECT_EQ(fx::captured, "No serial ports found.\n");

    // This machine's own ports, by the names -c takes, at every verbosity and without a banner.
    auto r = vq2dl({"-v", "-1", "--list-ports"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(
        std::regex_match(r.out, std::regex("No serial ports found\\.\n|(/dev/[^ \n]+(  [^\n]*)?\n)+")))
        << r.out;
}

TEST(Documents, EverySwitchOfTheUsageTextIsInTheReadmeTheManualPageAndTheCompletion) {
    const std::string readme = fx::readFile(VQ_SOURCE_DIR "/README.md");
    const std::string manual = fx::readFile(VQ_SOURCE_DIR "/man/vq2dl.1");
    const std::string completion = fx::readFile(VQ_SOURCE_DIR "/completions/vq2dl");
    // A name stands as a word of its own: "-d" is not found in "-dw".
    auto hasWord = [](const std::string& text, const std::string& word, const std::string& before,
                      const std::string& after) {
        for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
            bool start = at > 0 && before.find(text[at - 1]) != std::string::npos;
            bool end =
                at + word.size() < text.size() && after.find(text[at + word.size()]) != std::string::npos;
            if (start && end) return true;
        }
        return false;
    };
    Downloader d;
    std::vector<std::string> switches;
    for (const std::string& line : d.usageText()) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(" {3}(-[-a-zA-Z]+) .*"))) switches.push_back(m[1]);
    }
    ASSERT_GE(switches.size(), 14u);
    for (const std::string& name : switches) {
        // The manual page writes each dash as "\-", and each option as the heading of its paragraph.
        std::string roff = std::regex_replace(name, std::regex("-"), "\\-");
        EXPECT_TRUE(hasWord(readme, name, "`", " `")) << name;
        EXPECT_TRUE(hasWord(manual, roff, " ", " \n")) << name;
        EXPECT_TRUE(hasWord(completion, name, " \"", " \"")) << name;
    }
}

namespace {

void brokenSink(const char*) {
    throw std::runtime_error("the console is gone");
}

void textThrowingSink(const char*) {
    throw std::string("a text nobody caught");
}

} // namespace

TEST(Program, AnUnexpectedErrorIsNeverASuccess) {
    std::string args[] = {"vq2dl", "-w", "-c", NO_PORT_PATH};
    char* argv[] = {&args[0][0], &args[1][0], &args[2][0], &args[3][0]};
    const std::pair<MessageCallback, std::string> cases[] = {
        {brokenSink, "Exception caught: the console is gone\n"},
        {textThrowingSink, "Exception caught: a text nobody caught\n"},
    };
    for (const auto& [sink, text] : cases) {
        testing::internal::CaptureStdout();
        int status = runProgram(4, argv, sink);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), text);
        EXPECT_EQ(status, EXIT_INTERNAL);
    }
    // The same program with the console intact ends as usual.
    testing::internal::CaptureStdout();
    EXPECT_EQ(runProgram(4, argv, printLine), EXIT_PORT);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), BANNER + NO_PORT_TEXT);
}

namespace {

// A signal in the middle of a download (here while the monitor is being called up on a silent line) closes
// the port and ends with the shell's status, 128 + n.
TEST(Program, SignalDuringADownloadEndsWith128PlusN) {
    // A wipe, and a read-back whose file waits under a temporary name: neither leaves anything behind.
    fx::TempDir dir;
    const std::string backup = dir.file("backup.s19");
    for (bool readBack : {false, true}) {
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
            int master = posix_openpt(O_RDWR | O_NOCTTY);
            ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
            const std::string slave = ptsname(master);
            pid_t pid = fork();
            if (pid == 0) {
                close(master);
                execl(VQ2DL_PROGRAM, "vq2dl", readBack ? "--read" : "-w", readBack ? backup.c_str() : "-w",
                      "-c", slave.c_str(), static_cast<char*>(nullptr));
                _exit(127);
            }
            // The first byte on the line shows that vq2dl holds the port open.
            pollfd ready = {master, POLLIN, 0};
            EXPECT_EQ(poll(&ready, 1, 10000), 1);
            kill(pid, signalNumber);
            int status = 0;
            waitpid(pid, &status, 0);
            close(master);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signalNumber) << signalNumber;
            EXPECT_EQ(fx::listDir(dir.path()), std::vector<std::string>{}) << signalNumber;
        }
    }
}

} // namespace
