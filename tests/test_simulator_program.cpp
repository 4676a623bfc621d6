// The vqsim program: a run that ends with its line, a run ended by a signal, its options and its help.
#include "fixture.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using fx::Bytes, fx::operator+, fx::toBytes, fx::DROP_IN, fx::DONE, fx::COLD_RESET, fx::writeBlock,
    fx::readBlock, fx::secondsSince, fx::Clock;

namespace {

// vqsim in the background, its first line read as soon as it comes.
struct Background : fx::Background {
    explicit Background(const std::vector<std::string>& args) : fx::Background(VQSIM_PROGRAM, args) {}
};

std::string linkTarget(const std::string& link) {
    char buffer[256];
    ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    return n < 0 ? "" : std::string(buffer, n);
}

/// The device a starting vqsim links at link, once the link is there (5 s at the most); empty without it.
std::string awaitLink(const std::string& link) {
    std::string device;
    for (int i = 0; i < 200 && device.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        device = linkTarget(link);
    }
    return device;
}

} // namespace

TEST(Program, OnceEndsAfterTheLineStaysClosed) {
    fx::TempDir dir;
    const std::string link = dir.file("vq-com1"), dump = dir.file("flash.s19");
    fx::RunResult result;
    std::thread program([&] {
        result = fx::run(VQSIM_PROGRAM, {"--once", "--link", link, "--dump", dump, "--log", dir.file("log")},
                         "", 20000);
    });
    const std::string device = awaitLink(link);
    ASSERT_EQ(device.compare(0, 9, "/dev/pts/"), 0) << device;
    Clock::time_point closed;
    {
        fx::Peer peer(link);
        EXPECT_EQ(peer.exchange(DROP_IN, 3), COLD_RESET);
        EXPECT_EQ(peer.exchange(writeBlock(0xC000, {9, 8}), 3), DONE);
        EXPECT_EQ(peer.exchange(readBlock(0xC000, 2), 5), (Bytes{9, 8} + DONE));
        closed = Clock::now();
    }
    program.join();
    EXPECT_GE(secondsSince(closed), 1.4);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, device + "\nSimulated VQ-II controller: bytes written 2, pages erased 0, "
                                   "verification reads 1.\n");
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(fx::fileExists(link));
    EXPECT_EQ(fx::readFile(dump), fx::srec(0, 0, toBytes("vqsim")) + "\n" + fx::srec(1, 0xC000, {9, 8}) +
                                      "\n" + fx::srec(9, 0) + "\n");
    EXPECT_NE(fx::readFile(dir.file("log")).find(" in  A7\n"), std::string::npos);
}

// Started with its standard output closed, the simulator opens it on the null device first: the line it
// opens never takes its place, so the device path it prints never reaches the line.
TEST(Program, ClosedStandardOutputIsNotTheLine) {
    fx::TempDir dir;
    const std::string link = dir.file("vq-com1");
    fx::RunResult result;
    std::thread program([&] {
        result = fx::run("/bin/sh", {"-c", "exec \"$0\" \"$@\" >&-", VQSIM_PROGRAM, "--once", "--link", link},
                         "", 20000);
    });
    const std::string device = awaitLink(link);
    ASSERT_EQ(device.compare(0, 9, "/dev/pts/"), 0) << device;
    {
        fx::Peer peer(link);
        EXPECT_EQ(peer.exchange(DROP_IN, 3), COLD_RESET);
        // Nothing more than the answer came.
        EXPECT_EQ(peer.read(1, 300), Bytes{});
    }
    program.join();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "");
}

TEST(Program, EndsOnSigtermAndReplacesAnOldLink) {
    fx::TempDir dir;
    const std::string link = dir.file("vq-com1");
    ASSERT_EQ(symlink("/nowhere", link.c_str()), 0);
    Background vqsim({"--generation", "1", "--link", link, "--dump", dir.file("flash.bin"),
                      "--dump-format=bin", "--signature", "Rev\\x41\\r\\n"});
    std::string device = vqsim.line();
    ASSERT_EQ(device.compare(0, 9, "/dev/pts/"), 0) << device;
    EXPECT_EQ(linkTarget(link), device);
    {
        fx::Peer peer(link);
        EXPECT_EQ(peer.exchange(toBytes("S"), 6), toBytes("RevA\r\n"));
    }
    std::string rest;
    EXPECT_EQ(vqsim.finish(SIGTERM, rest), 0);
    EXPECT_EQ(rest, "Simulated VQ-I controller: bytes written 0, lines 0 (0 bad), wipes 0.\n");
    EXPECT_FALSE(fx::fileExists(link));
    EXPECT_EQ(fx::readFile(dir.file("flash.bin")), std::string(0x10000, '\xFF'));
}

TEST(Program, CountServesSeveralControllersEachWithItsOwnFaults) {
    fx::TempDir dir;
    const std::string prefix = dir.file("vq-");
    Background vqsim({"--count", "3", "--link", prefix, "--fault", "1:silent@dropin", "--fault",
                      "error@writeblock#2=0xE6", "--dump", dir.file("flash-")});
    std::vector<std::string> devices;
    for (int i = 0; i < 3; ++i) {
        devices.push_back(vqsim.line());
        ASSERT_EQ(devices.back().compare(0, 9, "/dev/pts/"), 0) << devices.back();
        EXPECT_EQ(linkTarget(prefix + std::to_string(i)), devices.back());
    }
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        fx::Peer peer(prefix + std::to_string(i));
        // Controller 1 alone is silent; the fault without an index is every controller's.
        EXPECT_EQ(peer.exchange(DROP_IN, 3, i == 1 ? 300 : 2000), i == 1 ? Bytes{} : COLD_RESET);
        EXPECT_EQ(peer.exchange(writeBlock(0xC000, {1}), 3), DONE);
        EXPECT_EQ(peer.exchange(writeBlock(0xC001, {2}), 3), (Bytes{0xE6, 0x00, 0x3E}));
    }
    std::string rest;
    EXPECT_EQ(vqsim.finish(SIGTERM, rest), 0);
    const std::string summary =
        "Simulated VQ-II controller: bytes written 2, pages erased 0, verification reads 0.\n";
    EXPECT_EQ(rest, "0: " + summary + "1: " + summary + "2: " + summary);
    EXPECT_EQ(fx::listDir(dir.path()), (std::vector<std::string>{"flash-0", "flash-1", "flash-2"}));
}

TEST(Program, RefusesBadOptionsWithAMessage) {
    fx::TempDir dir;
    fx::writeFile(dir.file("file"), "keep");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--generation", "3"}, "vqsim: --generation takes 1 or 2, not \"3\"\n"},
        {{"--fault", "silent@nothing"},
         "vqsim: bad fault \"silent@nothing\": unknown command \"nothing\" for a "
         "VQ-II controller (dropin reset probe writebyte erasepage erasemain "
         "writeblock readblock any)\n"},
        {{"--baud", "0"}, "vqsim: --baud takes a positive rate in bit/s, not \"0\"\n"},
        {{"--deliver", "usb:0"},
         "vqsim: --deliver takes byte, fifo, usb or usb:MS (MS from 1 to 255), not \"usb:0\"\n"},
        {{"--dump-format", "hex"}, "vqsim: --dump-format takes srec or bin, not \"hex\"\n"},
        {{"--in-monitor", "--generation", "1"},
         "vqsim: --in-monitor applies to a VQ-II controller (--generation "
         "2) only\n"},
        {{"--count", "65"}, "vqsim: --count takes 1 to 64, not \"65\"\n"},
        {{"--count", "3", "--fault", "3:silent@any"},
         "vqsim: --fault \"3:silent@any\": no controller 3 (--count 3 counts from 0)\n"},
        {{"--fault", "0:silent@any"}, "vqsim: --fault \"0:silent@any\": no controller 0 without --count\n"},
        {{"--bogus"}, "vqsim: unknown option \"--bogus\"\n"},
        {{"image.s19"}, "vqsim: unexpected argument \"image.s19\"\n"},
        {{"--log"}, "vqsim: --log needs a value\n"},
        {{"--version=1"}, "vqsim: --version takes no value\n"},
        {{"--link", dir.file("file")},
         "vqsim: cannot make the link " + dir.file("file") + ": it exists and is not a symbolic link\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        fx::RunResult r = fx::run(VQSIM_PROGRAM, c.args, dir.path(), 10000);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        std::string expected = c.message;
        // Options that parse but cannot be carried out get no pointer to the help.
        const bool startFailed =
            c.args[0] == "--link" || (c.args[0] == "--fault" && c.args[1].find(':') == std::string::npos);
        if (!startFailed) expected += "Try \"vqsim --help\".\n";
        EXPECT_EQ(r.err, expected);
    }
    EXPECT_EQ(fx::readFile(dir.file("file")), "keep");
    EXPECT_EQ(fx::listDir(dir.path()), std::vector<std::string>{"file"});
}

TEST(Program, HelpDocumentsEveryOptionAndFault) {
    fx::RunResult r = fx::run(VQSIM_PROGRAM, {"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"--generation",
                             "--in-monitor",
                             "--baud",
                             "--deliver",
                             "byte",
                             "fifo",
                             "usb[:MS]",
                             "--link",
                             "--fault",
                             "--signature",
                             "--dump",
                             "--dump-format",
                             "--preload",
                             "--log",
                             "--once",
                             "--help",
                             "--version",
                             "KIND@COMMAND[#N[-M]][=VALUE]",
                             "silent",
                             "error=0xNN",
                             "status=0xNN",
                             "prompt=0xNN",
                             "short=K",
                             "corrupt=K",
                             "chatter=TEXT",
                             "extra=0xNN",
                             "slow=MS",
                             "reply=TEXT",
                             "hangup",
                             "ignore",
                             "hangup-after=N",
                             "stream=MS",
                             "dropin reset probe writebyte erasepage erasemain writeblock readblock any",
                             "wake (the \"!!\") cr w u s9 x S any",
                             "Examples:"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

TEST(Program, VersionIsTheProjects) {
    fx::RunResult r = fx::run(VQSIM_PROGRAM, {"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "vqsim " VQ2DL_VERSION "\n");
    EXPECT_EQ(r.err, "");
}
