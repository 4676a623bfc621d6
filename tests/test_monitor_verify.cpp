// The VQ-II read-back and the joined blocks of -b, against the simulated controller on a real
// pseudo-terminal, in-process; and the image check before a VQ-II download.
#include "fixture.h"

#include <algorithm>

using fx::Bytes, fx::Texts, fx::commands, fx::exitStatus, fx::pokeMemory;

// The read-back: a differing byte names its mapped address, a block that does not come is asked for once more
// after a fresh monitor entry, and a block that does not come twice ends the run.
TEST(MonitorVerify, MismatchNamesTheMappedAddress) {
    struct Case {
        uint32_t address;
        uint32_t controller; // where the record lives on the controller
        uint32_t bad;        // the byte changed there
        std::string text;
    };
    const std::vector<Case> cases = {
        {0x8010, 0x4010, 0x4012, "Verification failed: At 0x4012 expected 0x32, found 0xCD."},
        {0x3C8000, 0x3C8000, 0x3C8005, "Verification failed: At 0x3C8005 expected 0x35, found 0xCA."},
    };
    for (const Case& c : cases) {
        fx::Rig rig;
        ASSERT_TRUE(rig.open());
        const Bytes data = fx::bytes(32, 0x30);
        rig.add(c.address, data);
        pokeMemory(*rig.sim, c.controller, data);
        rig.sim->poke(c.bad, static_cast<uint8_t>(~data[c.bad - c.controller]));
        rig.dl.enterMonitor();
        fx::captured.clear();
        EXPECT_EQ(exitStatus([&] { rig.dl.verifyImage(); }), EXIT_PROTOCOL);
        const std::string last = fx::captured.substr(fx::captured.rfind("Verification failed"));
        EXPECT_EQ(last, c.text + "\n");
        EXPECT_EQ(fx::captured.find("Verification succeeded"), std::string::npos);
    }
}

TEST(MonitorVerify, LostBlockIsReadAgainAfterMonitorEntry) {
    fx::Rig rig(fx::monitorOptions({"short@readblock#1=5"}));
    ASSERT_TRUE(rig.open());
    rig.addInFlash(0xC000, fx::bytes(16, 0x60));
    rig.enter();
    rig.dl.verifyImage();
    // The monitor is active by now, so the drop-in string meets "not recognised" and a reset follows.
    EXPECT_EQ(commands(rig.txSinceMark()), (Texts{"A7 C000 16", "DROPIN", "RESET", "PROBE", "A7 C000 16"}));
    EXPECT_EQ(fx::captured, "Verifying:\nVerification succeeded, 1 records total (0 skipped).\n");
}

TEST(MonitorVerify, BlockLostTwiceEndsTheRun) {
    fx::Rig rig(fx::monitorOptions({"silent@readblock#2-3"}));
    ASSERT_TRUE(rig.open());
    rig.addInFlash(0xC000, fx::bytes(300, 0x11));
    rig.enter();
    EXPECT_EQ(exitStatus([&] { rig.dl.verifyImage(); }), EXIT_PROTOCOL);
    EXPECT_EQ(fx::captured, "Verifying:\nCould not read record 1 block 2 during verification.\n");
    EXPECT_EQ(commands(rig.txSinceMark()),
              (Texts{"A7 C000 256", "A7 C100 44", "DROPIN", "RESET", "PROBE", "A7 C100 44"}));
}

// Records that start in 0xFF00-0xFFFF are counted but not read back; one that starts just below is read in
// full; a zero-length record counts for the download but not for the read-back.
TEST(MonitorVerify, TopPageSkipAndZeroLengthRecords) {
    fx::Rig rig;
    ASSERT_TRUE(rig.open());
    rig.add(0x2000, {}); // the image keeps address order
    const Bytes below = fx::bytes(32, 0x21), top = fx::bytes(16, 0x41);
    rig.add(0xFEF0, below);
    rig.add(0xFF80, top);
    rig.prepare();
    rig.dl.writeImage();
    EXPECT_EQ(fx::captured,
              "Writing:\nZero-length s-rec found 1 - 0x2000 0.\nWrite complete, 3 records, 48 bytes.\n");
    rig.mark();
    rig.dl.verifyImage();
    EXPECT_EQ(commands(rig.txSinceMark()), Texts{"A7 FEF0 32"});
    EXPECT_EQ(fx::captured, "Verifying:\nVerification succeeded, 2 records total (1 skipped).\n");
}

// -b: the same memory, console text and comparisons in fewer commands. The image has gaps, a record crossing
// 0x8000 (whose tail at 0xC000 joins the record that follows it there), a zero-length record inside a run,
// records up to a page window's end and the next page, a record reaching the skipped top of the unpaged space
// and runs longer than a block.
TEST(MonitorJoin, SameMemoryAndTextInFewerCommands) {
    std::vector<std::pair<uint32_t, Bytes>> image = {{0x1000, fx::bytes(32, 0x01)},
                                                     {0x1020, fx::bytes(32, 0x21)},
                                                     {0x1040, fx::bytes(32, 0x41)},
                                                     {0x1100, fx::bytes(300, 0x02)},
                                                     {0x122C, fx::bytes(32, 0x03)},
                                                     {0x2000, fx::bytes(32, 0x10)},
                                                     {0x2010, {}},
                                                     {0x2020, fx::bytes(16, 0x30)},
                                                     {0x7FD0, fx::bytes(32, 0x50)},
                                                     {0x7FF0, fx::bytes(32, 0x60)},
                                                     {0xC010, fx::bytes(16, 0x70)},
                                                     {0xFEE0, fx::bytes(32, 0x80)},
                                                     {0xFF00, fx::bytes(16, 0x90)},
                                                     {0x30BFC0, fx::bytes(32, 0xA0)},
                                                     {0x30BFE0, fx::bytes(32, 0xB0)},
                                                     {0x318000, fx::bytes(32, 0xC0)},
                                                     {0x318020, fx::bytes(32, 0xD0)}};
    for (uint32_t i = 0; i < 16; ++i)
        image.push_back({0xD000 + 32 * i, fx::bytes(32, static_cast<uint8_t>(i))});
    fx::BothWays ways;
    ASSERT_NO_FATAL_FAILURE(fx::writeAndVerifyBothWays(ways, image));
    const auto& text = ways.text;
    const auto& sent = ways.sent;
    const auto& rigs = ways.rigs;
    EXPECT_EQ(text[1][0], text[0][0]);
    EXPECT_EQ(text[1][1], text[0][1]);
    EXPECT_NE(text[1][0].find("Zero-length s-rec found 7 - 0x2010 0.\n"), std::string::npos) << text[1][0];
    EXPECT_EQ(sent[1][0], (Texts{"A8 1000 96", "A8 1100 256", "A8 1200 76", "A8 2000 48", "A8 7FD0 48",
                                 "A8 C000 32", "A8 D000 256", "A8 D100 256", "A8 FEE0 48", "A2 0030 30",
                                 "ERASEPAGE", "A8 BFC0 64", "A2 0030 31", "ERASEPAGE", "A8 8000 64"}));
    EXPECT_EQ(sent[1][1], (Texts{"A2 0030 00", "A7 1000 96", "A7 1100 256", "A7 1200 76", "A7 2000 48",
                                 "A7 7FD0 48", "A7 C000 32", "A7 D000 256", "A7 D100 256", "A7 FEE0 32",
                                 "A2 0030 30", "A7 BFC0 64", "A2 0030 31", "A7 8000 64"}));
    EXPECT_GT(sent[0][0].size(), sent[1][0].size() + 20);
    EXPECT_GT(sent[0][1].size(), sent[1][1].size() + 20);
    for (uint32_t address = 0; address < 0x10000; ++address)
        ASSERT_EQ(rigs[1].sim->peek(address), rigs[0].sim->peek(address)) << std::hex << address;
    for (uint32_t address = 0x308000; address < 0x31C000; ++address)
        ASSERT_EQ(rigs[1].sim->peek(address), rigs[0].sim->peek(address)) << std::hex << address;
}

// A byte that differs inside a joined block is reported as without -b: the same address and bytes, after the
// percentages of the records up to the one that holds it.
TEST(MonitorJoin, MismatchReadsAsWithoutJoining) {
    std::string text[2];
    for (int join = 0; join < 2; ++join) {
        fx::Rig rig;
        ASSERT_TRUE(rig.open());
        for (uint32_t i = 0; i < 6; ++i) {
            rig.addInFlash(0x1000 + 32 * i, fx::bytes(32, static_cast<uint8_t>(0x20 * i)));
        }
        rig.sim->poke(0x1083, 0x00);
        rig.dl.options.joinBlocks = join == 1;
        rig.dl.options.showPercent = true;
        rig.enter();
        EXPECT_EQ(exitStatus([&] { rig.dl.verifyImage(); }), EXIT_PROTOCOL);
        text[join] = fx::captured;
        EXPECT_EQ(commands(rig.txSinceMark()).size(), join ? 1u : 5u);
    }
    EXPECT_EQ(text[0],
              "$Verifying\nVerifying:\n%83.33\nVerification failed: At 0x1083 expected 0x83, found 0x00.\n");
    EXPECT_EQ(text[1], text[0]);
}

// A read-back returns once its bytes are there, however the line hands them over: the controller sees the
// next command soon after the answer's last byte reached the host (a bound that only a wait of our own can
// break).
TEST(MonitorVerify, ReadBackReturnsOnceTheBytesAreThere) {
    for (vqsim::Delivery delivery : {vqsim::Delivery::Fifo, vqsim::Delivery::Usb}) {
        vqsim::Options options;
        options.baud = 9600;
        options.delivery = delivery;
        fx::Rig rig(options);
        ASSERT_TRUE(rig.open());
        rig.dl.options.baudRate = 9600;
        ASSERT_TRUE(rig.dl.openPort());
        for (uint32_t i = 0; i < 3; ++i) {
            rig.addInFlash(0x1000 + 256 * i, fx::bytes(256, static_cast<uint8_t>(i)));
        }
        rig.dl.enterMonitor();
        const size_t before = rig.sim->turnarounds().size();
        rig.dl.verifyImage();
        EXPECT_EQ(fx::captured.substr(fx::captured.rfind("Verification")),
                  "Verification succeeded, 3 records total (0 skipped).\n");
        const std::vector<double> after = rig.sim->turnarounds();
        ASSERT_EQ(after.size(), before + 3) << "after the probe and the first two read-backs";
        EXPECT_LT(*std::min_element(after.begin() + static_cast<long>(before), after.end()), 20000.0);
    }
}

// Paged records that would not land where the image says are refused before the port is opened.
TEST(MonitorImageCheck, RecordsOutsideThePageWindow) {
    struct Case {
        uint32_t address;
        size_t length;
        const char* reason; // null: accepted
    };
    const char* const window = "window address outside 0x8000-0xBFFF";
    const std::vector<Case> cases = {
        {0x8000, 16, nullptr},
        {0xFFF0, 16, nullptr},
        {0x3C8000, 256, nullptr},
        {0x3CBFF0, 16, nullptr},
        {0xFF8000, 16, nullptr},
        {0x3C0000, 16, window},
        {0x3CC000, 16, window},
        {0x10000, 0, nullptr}, // an empty record is never written
        {0x3C0000, 1, window},
        {0xFFF0, 17, "data run past 0xFFFF"},     // the block address would wrap to the registers at 0x0000
        {0xBFF0, 0x4011, "data run past 0xFFFF"}, // down to 0x7FF0, on at 0xC000, and past the top
        {0xBFF0, 0x4010, nullptr},
        {0x3CBFF0, 17, "data run past the end of the page window"},
        {0x1008000, 16, "page number above 0xFF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address);
        Downloader dl;
        fx::captured.clear();
        dl.console.sink = fx::captureSink;
        dl.image.addRecord(fx::record(c.address, fx::bytes(c.length)));
        char text[160] = "";
        if (c.reason)
            std::snprintf(text, sizeof text,
                          "ERROR: Record at 0x%X cannot be written to a VQ-II controller: %s.\n", c.address,
                          c.reason);
        EXPECT_EQ(exitStatus([&] { checkImage(Generation::VQ2, dl.image, dl.console); }),
                  c.reason ? EXIT_FILE : 0);
        EXPECT_EQ(fx::captured, text);
    }
}
