// The command line, the console and the run driver, through the real vq2dl program and a Downloader.
#include "fixture.h"

#include "downloader.h"
#include "simulator.h"

#include <deque>
#include <stdexcept>
#include <string>
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
           "   -c port  - specify comm port to which Velquin is connected, default is\n"
           "              port 1.\n"
           "   -d MS    - delay MS milliseconds between records, increase if you cannot\n"
           "              reboot after download, default is zero.\n"
           "   -dw MS   - set after-wipe delay to MS, default is 250 ms.\n"
           "   -i dir   - specify install directory for update files.\n"
           "   -p       - enable percentage reporting.\n"
           "   -r rate  - specify baud rate of connection to VQ box, 9600,\n"
           "              19200, 38400, 56000 and 115200 (default) are the only valid speeds (use\n"
           "              negative rate values, like '-r -2343', to get non-standard speeds).\n"
           "   -v level - set Verbosity of output.\n"
           "   -V       - Verify only, don't download.\n"
           "   -w       - wipe only, don't try to download.\n"
           "   --read FILE  - read the controller back into FILE, erase and write nothing.\n"
           "   --range A-B  - with --read: read only A to B, e.g. 0xC000-0xFFFF.\n"
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
    EXPECT_EQ(parse(e, {"-d", "c5", "-c3x", "-v", "file.s19", "-pq", "-Vx", "-w", "-d-4"}), -1);
    EXPECT_EQ(e.recordDelay, -4) << "a negative delay is stored as given";
    EXPECT_EQ(e.dcDelay, 0);
    EXPECT_EQ(e.port, 3);
    EXPECT_EQ(e.verbosity, 0) << "-v consumes the file name as its value";
    EXPECT_EQ(e.fileNames, std::vector<std::string>{"velquin2.s19"});
    EXPECT_TRUE(e.showPercent && e.verifyOnly && e.wipeOnly);

    Downloader f;
    EXPECT_EQ(parse(f, {"-cCOM3", "-c", "/dev/ttyUSB0", "-v3", "-v", "2"}), -1);
    EXPECT_EQ(f.port, 0);
    EXPECT_EQ(f.portPath, "/dev/ttyUSB0");
    EXPECT_EQ(f.portName(), "/dev/ttyUSB0");
    EXPECT_EQ(f.verbosity, 2) << "the last -v wins";
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
    for (const char* bad : {"300", "0", "57600", "x"}) {
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
    std::string shown = settledText(seen.out);
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
