// The vq2dl program as a whole: help, version, the console, the reports and exit statuses, unexpected errors
// and signals.
#include "test_cli.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <functional>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace cli;

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

// The banner gives the project's version as major.minor, the minor with two digits (as the read-back header
// does); the manual pages, as the build makes them, the whole of it.
TEST(Program, OneVersionEverywhere) {
    char numbers[32];
    std::snprintf(numbers, sizeof numbers, "%d.%02d", VQ2DL_VERSION_MAJOR, VQ2DL_VERSION_MINOR);
    EXPECT_EQ(
        std::string(VQ2DL_VERSION)
            .rfind(std::to_string(VQ2DL_VERSION_MAJOR) + "." + std::to_string(VQ2DL_VERSION_MINOR) + ".", 0),
        0u);
    auto run = vq2dl({"-w", "-c", NO_PORT_PATH});
    EXPECT_EQ(run.out.rfind(std::string("Velquin Download ") + numbers + "\n", 0), 0u) << run.out;
    for (const char* page : {"vq2dl.1", "vqu.1", "vqsim.1"}) {
        const std::string text = fx::readFile(std::string(VQ_BINARY_DIR "/man/") + page);
        EXPECT_NE(text.substr(0, text.find('\n')).find("\"vq2dl " VQ2DL_VERSION "\""), std::string::npos)
            << page;
        EXPECT_EQ(text.find("@PROJECT_VERSION@"), std::string::npos) << page;
    }
}

TEST(Console, MessagesFollowTheVerbosity) {
    Downloader d;
    d.console.sink = fx::captureSink;
    fx::captured.clear();
    d.console.verbosity = 1;
    d.message(2, "hidden");
    d.message(1, "shown %d%%", 5);
    d.message(1, "progress\r");
    d.message(0, "%s", "");
    d.message(-1, "$%s", "Writing");
    EXPECT_EQ(fx::captured, "shown 5%\nprogress\r\n$Writing\n");
    fx::captured.clear();
    d.console.verbosity = -1;
    d.message(0, "error");
    d.message(-1, "%%%.2f", 41.666);
    EXPECT_EQ(fx::exitStatus([&] { d.fatal(4, "fatal %s", "text"); }), 4);
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

// How each file is reported, and the first one deciding the generation, are in test_golden.cpp.

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
    // A bad checksum's transcript is in test_golden.cpp.
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
    // Port numbers map to system devices; one far beyond any machine's ports cannot open, and the reason
    // names the device that was tried.
    fx::TempDir dir;
    fx::writeFile(dir.file("a.s19"), fx::srec(1, 0x1000, {1}) + "\n");
    auto r = vq2dl({"-c", "9999", "a.s19"}, dir.path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("Download failed:\r\n   Could not open comm port 9999.\n   Reason: no such device "
                         "/dev/ttyS9998.\n"),
              std::string::npos)
        << r.out;
}

// Each kind of error ends with its own status wherever it is raised, the message at the verbosity it has in a
// run; what is of no known kind goes on to the program, which ends with "Exception caught" and status 5.
TEST(Program, EachKindOfErrorEndsWithItsStatus) {
    const struct {
        int verbosity;
        std::function<void()> raise;
        int status;
        std::string shown;
    } cases[] = {
        {1, [] { throw 2; }, EXIT_PORT, ""},
        {1,
         [] {
             throw s19Error{"a.s19", 3, "Bad record"};
         },
         EXIT_FILE, "ERROR: Reading a.s19 line 3: Bad record.\n"},
        {-1,
         [] {
             throw s19Error{"a.s19", 3, "Bad record"};
         },
         EXIT_FILE, "ERROR: Reading a.s19 line 3: Bad record.\n"},
        {1, [] { throw ProtocolError{"Timed out reading response, 0xE0"}; }, EXIT_PROTOCOL,
         "ERROR: Timed out reading response, 0xE0\n"},
        {-1, [] { throw ProtocolError{"Timed out reading response, 0xE0"}; }, EXIT_PROTOCOL, ""},
    };
    for (const auto& c : cases) {
        Downloader d;
        d.console.sink = fx::captureSink;
        d.console.verbosity = c.verbosity;
        fx::captured.clear();
        EXPECT_EQ(runToStatus(d, c.raise), c.status);
        EXPECT_EQ(fx::captured, c.shown);
    }
    Downloader d;
    EXPECT_THROW(runToStatus(d, [] { throw std::runtime_error("unknown"); }), std::runtime_error);
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
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
            const fx::Texts args = readBack ? fx::Texts{"--read", backup} : fx::Texts{"-w"};
            EXPECT_EQ(fx::killedWhileWaiting(args, signalNumber), 128 + signalNumber) << signalNumber;
            EXPECT_EQ(fx::listDir(dir.path()), std::vector<std::string>{}) << signalNumber;
        }
    }
}

// A single run stopped by a signal is one that ended: its unit line says so with its status, and the log ends
// with it. A long pause after the erase is no longer than a signal's way out.
TEST(Program, AStoppedRunIsRecordedAndEndsSoon) {
    fx::TempDir dir;
    const std::string units = dir.file("units.jsonl");
    EXPECT_EQ(fx::killedWhileWaiting({"--results", units, "-w"}, SIGTERM), 128 + SIGTERM);
    const std::string text = fx::readFile(units);
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    const nlohmann::json unit = nlohmann::json::parse(text);
    EXPECT_EQ(unit["status"], 128 + SIGTERM);
    EXPECT_EQ(unit["ok"], false);
    EXPECT_EQ(unit["action"], "wipe");
    EXPECT_EQ(unit["error"], "Ended by signal " + std::to_string(SIGTERM) + ".");

    // A minute's pause after the wipe: the run still ends within a few seconds of the signal.
    fx::Rig controller;
    ASSERT_TRUE(controller.start());
    fx::Background run(VQ2DL_PROGRAM, {"-c", controller.sim->devicePath(), "-w", "-dw", "60000"});
    const auto start = fx::Clock::now();
    while (controller.sim->received().empty() && fx::msSince(start) < 10000)
        usleep(1000);
    usleep(300000);
    const auto signalled = fx::Clock::now();
    std::string rest;
    EXPECT_EQ(run.finish(SIGINT, rest), 128 + SIGINT) << rest;
    EXPECT_LT(fx::secondsSince(signalled), 10.0);
}

// A read-back whose output goes to a pipe that closes early (| head -3) ends on SIGPIPE like any other
// signal: status 141, no temporary file and no backup left.
TEST(Program, ClosedPipeEndsAReadBackCleanly) {
    fx::TempDir dir;
    fx::Rig controller;
    ASSERT_TRUE(controller.start());
    const std::string status = dir.file("status");
    const fx::RunResult r =
        fx::run("/bin/sh", {"-c", "{ \"$0\" -c \"$1\" --read \"$2\" -v 4; echo $? >\"$3\"; } | head -3",
                            VQ2DL_PROGRAM, controller.sim->devicePath(), dir.file("backup.s19"), status});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
    EXPECT_EQ(fx::readFile(status), std::to_string(128 + SIGPIPE) + "\n");
    EXPECT_EQ(fx::listDir(dir.path()), std::vector<std::string>{"status"});
}

} // namespace
