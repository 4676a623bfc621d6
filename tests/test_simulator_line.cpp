// The simulated controller's line (its reopening, pacing and deliveries), its flash dumps, line log and
// preload.
#include "fixture.h"

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>
#include <thread>

using fx::Bytes, fx::operator+, fx::toBytes, fx::DROP_IN, fx::DONE, fx::COLD_RESET, fx::NOT_RECOGNIZED,
    fx::writeBlock, fx::readBlock, fx::setPage, fx::secondsSince, fx::Clock;

TEST(Line, SurvivesTheDownloaderReopening) {
    auto sim = fx::startController(fx::monitorOptions());
    EXPECT_FALSE(sim->idleAfterSession(0)) << "no session yet";
    {
        fx::Peer peer(sim->devicePath());
        EXPECT_EQ(peer.exchange(DROP_IN, 3), COLD_RESET);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(sim->idleAfterSession(100));
    EXPECT_FALSE(sim->idleAfterSession(60000));
    for (int round = 0; round < 3; ++round) {
        fx::Peer peer(sim->devicePath());
        ASSERT_TRUE(peer.isOpen());
        EXPECT_EQ(peer.exchange({0x0D}, 3), NOT_RECOGNIZED) << "round " << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(sim->idleAfterSession(0)) << "the line is held";
    }
    EXPECT_EQ(sim->counters().probes, 3u);
    sim->stop();
    sim->stop();
    EXPECT_EQ(sim->counters().bytesOut, 12u) << "the state stays readable after stop";
}

TEST(Line, BaudPacesBothDirections) {
    const Bytes data = fx::bytes(256, 1);
    double paced[2], fast[2];
    for (int baud : {0, 19200}) {
        vqsim::Options options = fx::monitorOptions({}, true);
        options.baud = baud;
        auto sim = fx::startController(options);
        fx::Peer peer(sim->devicePath());
        auto start = Clock::now();
        EXPECT_EQ(peer.exchange(writeBlock(0x1000, data), 3), DONE);
        (baud ? paced : fast)[0] = secondsSince(start);
        start = Clock::now();
        EXPECT_EQ(peer.exchange(readBlock(0x1000, 256), 259), data + DONE);
        (baud ? paced : fast)[1] = secondsSince(start);
    }
    // 263 bytes each way at ten bit times of 1/19200 s: 137 ms.
    for (int i = 0; i < 2; ++i) {
        EXPECT_GE(paced[i], 0.130) << i;
        EXPECT_LE(paced[i], 0.400) << i;
        EXPECT_LT(fast[i], paced[i] / 2) << i;
    }
}

TEST(Line, StopIsPromptInTheMiddleOfAnAnswer) {
    vqsim::Options paced = fx::monitorOptions({}, true);
    paced.baud = 300; // a read-back of 256 bytes would take nine seconds
    vqsim::Options slow = fx::monitorOptions({"slow@readblock=10000"}, true);
    for (const vqsim::Options& options : {paced, slow}) {
        auto sim = fx::startController(options);
        fx::Peer peer(sim->devicePath());
        peer.send(readBlock(0x1000, 256));
        peer.read(1, 150);
        auto start = Clock::now();
        sim->stop();
        EXPECT_LT(secondsSince(start), 0.5);
        EXPECT_LT(sim->sent().size(), 10u);
    }
}

// Answer bytes reach the host as the chosen line hands them over: a UART FIFO's tail after 4 idle character
// times, a USB adapter's short last packet once its latency timer has run out after the packet's first byte.
// (How a pseudo-terminal's reader splits them up is the kernel's business, so only times are checked.)
TEST(Line, DeliveriesHoldTheLastBytesForTheirTimers) {
    const double byteUs = 86.8; // at 115200 bit/s
    struct Case {
        vqsim::Delivery delivery;
        double leastHeldUs;  // how long the answer's last bytes waited at least
        double leastSeconds; // line time up to the last chunk's first byte, plus its timer
    };
    const Case cases[] = {{vqsim::Delivery::Byte, 0, 263 * byteUs / 1e6},
                          {vqsim::Delivery::Fifo, 4 * byteUs, 263 * byteUs / 1e6},
                          {vqsim::Delivery::Usb, 16000 - 10 * byteUs, 253 * byteUs / 1e6 + 0.016}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.delivery));
        vqsim::Options options = fx::monitorOptions({}, true);
        options.baud = 115200;
        options.delivery = c.delivery;
        auto sim = fx::startController(options);
        fx::Peer peer(sim->devicePath());
        auto start = Clock::now();
        EXPECT_EQ(peer.exchange(readBlock(0x1000, 256), 259), Bytes(256, 0xFF) + DONE);
        EXPECT_GE(secondsSince(start), c.leastSeconds);
        // The hold counts once the next command shows that the answer has ended.
        EXPECT_EQ(peer.exchange({0x0D}, 3), NOT_RECOGNIZED);
        const double held = static_cast<double>(sim->counters().heldMicros);
        EXPECT_GE(held, c.leastHeldUs);
        if (c.delivery == vqsim::Delivery::Byte) {
            EXPECT_EQ(held, 0.0);
        }
    }
}

TEST(Simulator, DumpsFlashAndLogsEveryByte) {
    fx::TempDir dir;
    auto sim = fx::startController(fx::monitorOptions({}, true));
    {
        fx::Peer peer(sim->devicePath());
        EXPECT_EQ(peer.exchange(writeBlock(0xC000, {1, 2, 3, 4}), 3), DONE);
        EXPECT_EQ(peer.exchange(setPage(0x3C), 3), DONE);
        EXPECT_EQ(peer.exchange(writeBlock(0xBFFF, {5, 6}), 3), DONE);
    }
    for (int i = 0; i < 100 && !sim->idleAfterSession(0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    sim->stop();
    std::string error;
    ASSERT_TRUE(sim->dump(dir.file("flash.s19"), false, error)) << error;
    ASSERT_TRUE(sim->dump(dir.file("flash.bin"), true, error)) << error;
    ASSERT_TRUE(sim->writeLog(dir.file("line.log"), error)) << error;
    // 0xBFFF on page 0x3C, then 0xC000 (overwritten by the spilled byte 6) in the unpaged space.
    EXPECT_EQ(fx::readFile(dir.file("flash.s19")),
              fx::srec(0, 0, toBytes("vqsim")) + "\n" + fx::srec(1, 0xC000, {6, 2, 3, 4}) + "\n" +
                  fx::srec(2, 0x3CBFFF, {5}) + "\n" + fx::srec(8, 0) + "\n");
    std::string raw = fx::readFile(dir.file("flash.bin"));
    ASSERT_EQ(raw.size(), 0x10000u);
    EXPECT_EQ(raw.substr(0xBFFE, 6), std::string("\xFF\xFF\x06\x02\x03\x04", 6))
        << "page 0 shows in the window";
    EXPECT_EQ(std::count(raw.begin(), raw.end(), '\xFF'), 0x10000 - 4);
    std::string log = fx::readFile(dir.file("line.log"));
    EXPECT_NE(log.find(" in  A8\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" out 3E  >\n"), std::string::npos);
    EXPECT_NE(log.find("# line opened\n"), std::string::npos);
    EXPECT_NE(log.find("# line closed\n"), std::string::npos);
    // The title, three events (serving, opened, closed), 18 bytes in and 9 out.
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1 + 3 + 18 + 9) << log;
    // A place that cannot be written gets nothing, not half a file.
    EXPECT_FALSE(sim->dump(dir.file("missing/flash.s19"), false, error));
    EXPECT_EQ(error.find("cannot write " + dir.file("missing/flash.s19") + ": "), 0u) << error;
    EXPECT_EQ(fx::listDir(dir.path()), (std::vector<std::string>{"flash.bin", "flash.s19", "line.log"}));

    auto vq1 = fx::startController(fx::bootLoaderOptions());
    vq1->poke(0x8000, 0xAA);
    vq1->poke(0xFFFF, 0x01);
    ASSERT_TRUE(vq1->dump(dir.file("vq1.s19"), false, error)) << error;
    EXPECT_EQ(fx::readFile(dir.file("vq1.s19")), fx::srec(0, 0, toBytes("vqsim")) + "\n" +
                                                     fx::srec(1, 0x8000, {0xAA}) + "\n" +
                                                     fx::srec(1, 0xFFFF, {1}) + "\n" + fx::srec(9, 0) + "\n");
}

// --preload fills the flash from an S-record file in the addresses that --dump writes, so that a dump
// preloads back to the same dump; a file with any fault changes nothing and says where the fault is.
TEST(Simulator, PreloadFillsTheFlashOrChangesNothing) {
    fx::TempDir dir;
    const std::string good = dir.file("good.s19");
    fx::writeFile(good, fx::srec(0, 0, toBytes("hdr")) + "\r\n" + fx::srec(1, 0x4000, {1, 2, 3}) + "\r\n" +
                            fx::srec(2, 0x3CBFFE, {4, 5}) + "\r\n\r\n" + fx::srec(3, 0xC010, {6}) + "\n" +
                            fx::srec(9, 0x4000) + "\r\n");
    auto sim = fx::startController(fx::monitorOptions());
    std::string error;
    ASSERT_TRUE(sim->preload(good, error)) << error;
    EXPECT_EQ(sim->peek(0x4002), 3);
    EXPECT_EQ(sim->peek(0x3CBFFF), 5);
    EXPECT_EQ(sim->peek(0xC010), 6);
    EXPECT_EQ(sim->peek(0xC011), 0xFF);
    ASSERT_TRUE(sim->dump(dir.file("a.s19"), false, error)) << error;
    vqsim::Simulator again(fx::monitorOptions());
    ASSERT_TRUE(again.preload(dir.file("a.s19"), error)) << error;
    ASSERT_TRUE(again.dump(dir.file("b.s19"), false, error)) << error;
    EXPECT_EQ(fx::readFile(dir.file("b.s19")), fx::readFile(dir.file("a.s19")));

    struct Case {
        int generation;
        std::string content; ///< after a good first line at 0x5000
        std::string fault;   ///< empty: the file is missing
    };
    std::string badSum = fx::srec(1, 0x6000, {7});
    badSum.back() = badSum.back() == '0' ? '1' : '0';
    const std::vector<Case> cases = {
        {2, badSum, "line 2: bad checksum"},
        {2, fx::srec(1, 0x6000, {7}).substr(0, 10), "line 2: the length does not match the byte count"},
        {2, "S1040000GG00", "line 2: not a hexadecimal digit"},
        {2, "s1040000AA51", "line 2: not an S-record"},
        {2, fx::srec(2, 0x3CC000, {7}), "line 2: address 0x3CC000 is not in the simulated flash"},
        {2, fx::srec(2, 0x3CBFFF, {7, 8}), "line 2: address 0x3CC000 is not in the simulated flash"},
        {1, fx::srec(2, 0x10000, {7}), "line 2: address 0x10000 is not in the simulated flash"},
        {2, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content);
        const std::string path = dir.file("bad.s19");
        std::remove(path.c_str());
        if (!c.fault.empty()) fx::writeFile(path, fx::srec(1, 0x5000, {9}) + "\n" + c.content + "\n");
        vqsim::Options options = fx::monitorOptions();
        options.generation = c.generation;
        vqsim::Simulator bad(options);
        EXPECT_FALSE(bad.preload(path, error));
        EXPECT_EQ(error, "cannot preload " + path + ": " +
                             (c.fault.empty() ? "No such file or directory" : c.fault));
        EXPECT_EQ(bad.peek(0x5000), 0xFF) << "nothing of a bad file is taken";
    }
    // The program stops before it serves.
    const fx::RunResult r = fx::run(VQSIM_PROGRAM, {"--preload", dir.file("bad.s19")}, "", 10000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "vqsim: cannot preload " + dir.file("bad.s19") + ": No such file or directory\n");
}

// Only a regular file is preloaded, and no line beyond the longest record: a FIFO or /dev/zero is refused at
// once instead of holding the start for ever or filling the memory.
TEST(Simulator, PreloadTakesRegularFilesWithBoundedLines) {
    fx::TempDir dir;
    const std::string fifo = dir.file("fifo"), longLine = dir.file("long.s19");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fx::writeFile(longLine, fx::srec(1, 0x5000, {9}) + "\n" + std::string(515, 'S'));
    fx::writeFile(dir.file("longest.s19"), fx::srec(1, 0x4000, std::vector<uint8_t>(252, 7)) + "\n");
    struct Case {
        std::string path;
        std::string fault;
    };
    const std::vector<Case> cases = {
        {fifo, "not a regular file"},       {"/dev/zero", "not a regular file"},
        {dir.path(), "not a regular file"}, {longLine, "line 2: longer than 514 characters"},
        {dir.file("longest.s19"), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        vqsim::Simulator sim(fx::monitorOptions());
        std::string error;
        EXPECT_EQ(sim.preload(c.path, error), c.fault.empty());
        EXPECT_EQ(error, c.fault.empty() ? "" : "cannot preload " + c.path + ": " + c.fault);
        EXPECT_EQ(sim.peek(0x4000), c.fault.empty() ? 7 : 0xFF);
    }
    const fx::RunResult r = fx::run(VQSIM_PROGRAM, {"--preload", fifo}, "", 10000);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "vqsim: cannot preload " + fifo + ": not a regular file\n");
}
