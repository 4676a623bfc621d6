// The VQ-II download: monitor entry, reply checking, paging and erase, block write, against the simulated
// controller on a real pseudo-terminal, in-process.
#include "fixture.h"
#include "monitor/reply.h"

#include <algorithm>

using fx::Bytes, fx::Texts, fx::operator+, fx::commands, fx::expectMemory, fx::protocolError, fx::slice;

// The short download and verification of two 16-byte records, one at 0xC000 and one on page 0x3C, byte for
// byte on the line and line for line on the console.
TEST(MonitorDownload, ShortImageExactBytes) {
    fx::Rig rig;
    ASSERT_TRUE(rig.open());
    const Bytes low = fx::bytes(16, 0x10), paged = fx::bytes(16, 0x80);
    rig.add(0xC000, low);
    rig.add(0x3C8000, paged);
    rig.prepare();

    rig.dl.writeImage();
    const Bytes writeTx = Bytes{0xA8, 0xC0, 0x00, 0x0F} + low + Bytes{0xA2, 0x00, 0x30, 0x3C, 0xB8} +
                          Bytes{0xA8, 0x80, 0x00, 0x0F} + paged;
    EXPECT_EQ(rig.txSinceMark(), writeTx);
    EXPECT_EQ(fx::captured, "Writing:\n"
                            "Setting page register 0x3c:\n"
                            "Page set.\n"
                            "Erasing page 0x3c:\n"
                            "Erased.\n"
                            "Write complete, 2 records, 32 bytes.\n");
    EXPECT_EQ(rig.dl.currentPage, 0x3C);
    expectMemory(*rig.sim, 0xC000, low);
    expectMemory(*rig.sim, 0x3C8000, paged);
    EXPECT_TRUE(rig.dl.erasedPages[0x3C]);
    EXPECT_FALSE(rig.dl.erasedPages[0]);

    rig.mark();
    rig.dl.verifyImage();
    const Bytes verifyTx = {0xA2, 0x00, 0x30, 0x00, 0xA7, 0xC0, 0x00, 0x0F,
                            0xA2, 0x00, 0x30, 0x3C, 0xA7, 0x80, 0x00, 0x0F};
    EXPECT_EQ(rig.txSinceMark(), verifyTx);
    EXPECT_EQ(fx::captured, "Verifying:\n"
                            "Setting page register 0x00:\n"
                            "Page set.\n"
                            "Setting page register 0x3c:\n"
                            "Page set.\n"
                            "Verification succeeded, 2 records total (0 skipped).\n");
    EXPECT_EQ(rig.sim->pageRegister(), 0x3C);
}

// The whole range of record kinds in one image: unpaged records, records across 0x8000 and at 0xC000, a
// 300-byte record, a zero-length record, a record in 0xFF00-0xFFFF and paged records on three pages.
TEST(MonitorDownload, MixedImageLandsWhereTheMappingSays) {
    fx::Rig rig;
    ASSERT_TRUE(rig.open(4));
    const Bytes r1000 = fx::bytes(16, 0x01), r7fe0 = fx::bytes(64, 0x20), r8100 = fx::bytes(32, 0x70),
                rc100 = fx::bytes(300, 0x05), rff80 = fx::bytes(16, 0x90), p30a = fx::bytes(32, 0xA0),
                p30b = fx::bytes(16, 0xC0), p3c = fx::bytes(16, 0xD0), p3d = fx::bytes(16, 0xE0);
    rig.add(0x3DBFF0, p3d); // added out of order: the image keeps address order
    rig.add(0x1000, r1000);
    rig.add(0x7FE0, r7fe0);
    rig.add(0x8100, r8100);
    rig.add(0x9000, {});
    rig.add(0xC100, rc100);
    rig.add(0xFF80, rff80);
    rig.add(0x308000, p30a);
    rig.add(0x30A000, p30b);
    rig.add(0x3C8000, p3c);
    rig.prepare();

    rig.dl.writeImage();
    EXPECT_EQ(commands(rig.txSinceMark()),
              (Texts{"A8 1000 16", "A8 7FE0 32", "A8 C000 32", "A8 4100 32", "A8 C100 256", "A8 C200 44",
                     "A8 FF80 16", "A2 0030 30", "ERASEPAGE", "A8 8000 32", "A8 A000 16", "A2 0030 3C",
                     "ERASEPAGE", "A8 8000 16", "A2 0030 3D", "ERASEPAGE", "A8 BFF0 16"}));
    // The 300-byte record goes as 256 bytes (length byte 0xFF), then 44 (0x2B).
    const Bytes tx = rig.txSinceMark();
    const Bytes head300 = {0xA8, 0xC1, 0x00, 0xFF};
    const Bytes tail300 = {0xA8, 0xC2, 0x00, 0x2B};
    EXPECT_NE(std::search(tx.begin(), tx.end(), head300.begin(), head300.end()), tx.end());
    EXPECT_NE(std::search(tx.begin(), tx.end(), tail300.begin(), tail300.end()), tx.end());
    EXPECT_NE(fx::captured.find("Writing:\nSR:  00001:0\n"), std::string::npos);
    EXPECT_NE(fx::captured.find("SR:  00005:1\n"), std::string::npos);
    EXPECT_NE(fx::captured.find("Zero-length s-rec found 4 - 0x5000 0.\n"), std::string::npos);
    EXPECT_NE(fx::captured.find("RX:  e0 00 3e\n"), std::string::npos);
    EXPECT_NE(fx::captured.find("Write complete, 10 records, 508 bytes.\n"), std::string::npos);

    expectMemory(*rig.sim, 0x1000, r1000);
    expectMemory(*rig.sim, 0x7FE0, slice(r7fe0, 0, 32));
    expectMemory(*rig.sim, 0xC000, slice(r7fe0, 32, 64));
    expectMemory(*rig.sim, 0x4100, r8100);
    expectMemory(*rig.sim, 0xC100, rc100);
    expectMemory(*rig.sim, 0xFF80, rff80);
    expectMemory(*rig.sim, 0x308000, p30a);
    expectMemory(*rig.sim, 0x30A000, p30b);
    expectMemory(*rig.sim, 0x3C8000, p3c);
    expectMemory(*rig.sim, 0x3DBFF0, p3d);
    EXPECT_EQ(rig.sim->peek(0x8100), 0xFF) << "an unpaged window address is written 0x4000 lower";
    const vqsim::Counters written = rig.sim->counters();
    EXPECT_EQ(written.pageSets, 3u);
    EXPECT_EQ(written.pagesErased, 3u);

    rig.mark();
    rig.dl.verifyImage();
    EXPECT_EQ(commands(rig.txSinceMark()),
              (Texts{"A2 0030 00", "A7 1000 16", "A7 7FE0 32", "A7 C000 32", "A7 4100 32", "A7 C100 256",
                     "A7 C200 44", "A2 0030 30", "A7 8000 32", "A7 A000 16", "A2 0030 3C", "A7 8000 16",
                     "A2 0030 3D", "A7 BFF0 16"}));
    EXPECT_NE(fx::captured.find("VR:  00004:1\n"), std::string::npos);
    EXPECT_NE(fx::captured.find("Verification succeeded, 9 records total (1 skipped).\n"), std::string::npos);
    EXPECT_EQ(rig.sim->counters().pagesErased, 3u) << "verification erases nothing";
}

// A record that starts below 0xC000 in the window range ends below 0x8000 and goes on at 0xC000.
TEST(MonitorDownload, RecordReachingTheWindowGoesOnAt0xC000) {
    fx::Rig rig;
    ASSERT_TRUE(rig.open());
    const Bytes data = fx::bytes(32, 0x40);
    rig.add(0xBFF0, data);
    rig.prepare();
    rig.dl.writeImage();
    const Bytes expected = Bytes{0xA8, 0x7F, 0xF0, 0x0F} + slice(data, 0, 16) +
                           Bytes{0xA8, 0xC0, 0x00, 0x0F} + slice(data, 16, 32);
    EXPECT_EQ(rig.txSinceMark(), expected);
    expectMemory(*rig.sim, 0x7FF0, slice(data, 0, 16));
    expectMemory(*rig.sim, 0xC000, slice(data, 16, 32));
    rig.dl.verifyImage();
    EXPECT_NE(fx::captured.find("Verification succeeded, 1 records total (0 skipped).\n"), std::string::npos);
}

// Monitor entry as the controller may meet it: running its program, already in the monitor, with a reset that
// goes unanswered, with an odd first answer, and probes answered in every accepted and one refused way.
TEST(MonitorEntry, Variants) {
    struct Case {
        const char* name;
        bool inMonitor;
        Texts faults;
        std::string messages; // at verbosity 3
        Texts sent;
        std::string error;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"running program", false, {}, "Entered monitor mode.\n", {"DROPIN", "PROBE"}, "(none)"},
        {"already in monitor", true, {}, "Entered monitor mode.\n", {"DROPIN", "RESET", "PROBE"}, "(none)"},
        {"reset unanswered", true, {"silent@reset"}, "Monitor mode failed.\n", {"DROPIN", "RESET", "PROBE"}, "(none)"},
        {"odd first answer", false, {"error@dropin=0xE1"}, "Monitor mode failed.\n", {"DROPIN", "PROBE"}, "(none)"},
        {"no first answer", false, {"silent@dropin"}, "", {"DROPIN", "PROBE"}, "(none)"},
        {"probe E1 08", false, {"error@probe=0xE1", "status@probe=0x08"}, "Entered monitor mode.\n",
         {"DROPIN", "PROBE"}, "(none)"},
        {"probe E0 08", false, {"error@probe=0xE0", "status@probe=0x08"}, "Entered monitor mode.\n",
         {"DROPIN", "PROBE"}, "(none)"},
        {"first probe lost", false, {"silent@probe#1"}, "Entered monitor mode.\nWake up attempted (9).\n",
         {"DROPIN", "PROBE", "PROBE"}, "(none)"},
        {"probe refused", false, {"error@probe=0xE5"}, "Entered monitor mode.\n", {"DROPIN", "PROBE"},
         "Attempt to write read-only memory, e=0xE5"},
        {"probe bad status", false, {"status@probe=0x01"}, "Entered monitor mode.\n", {"DROPIN", "PROBE"},
         "Program running, download failed, s=0x01"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fx::Rig rig(fx::monitorOptions(c.faults, c.inMonitor));
        ASSERT_TRUE(rig.open(3));
        EXPECT_EQ(protocolError([&] { rig.dl.enterMonitor(); }), c.error);
        EXPECT_EQ(fx::captured, c.messages);
        EXPECT_EQ(commands(rig.sim->received()), c.sent);
    }
}

// Silence halfway down the retry chain: the port is opened afresh and the next attempt's answer ends the
// entry normally.
TEST(MonitorEntry, SilenceAtAttemptFiveReopensThePort) {
    fx::Rig rig;
    ASSERT_TRUE(rig.open(3));
    rig.enter();
    // Nothing was sent, so nothing answers at attempt 5.
    EXPECT_EQ(protocolError([&] { rig.dl.awaitProbeAnswer(5); }), "(none)");
    EXPECT_EQ(fx::captured, "Reopening comm port.\nWake up attempted (4).\n");
    EXPECT_EQ(commands(rig.txSinceMark()), Texts{"PROBE"});
}

// A controller that never answers: ten retries with the probe only, one reopen, then the time-out error.
TEST(MonitorEntry, SilentControllerRunsTheWholeChain) {
    fx::Rig rig(fx::monitorOptions({"silent@any"}));
    ASSERT_TRUE(rig.open(3));
    EXPECT_EQ(protocolError([&] { rig.dl.enterMonitor(); }), "Timed out reading response, 0xE0");
    EXPECT_EQ(fx::captured, "Wake up attempted (9).\nWake up attempted (8).\nWake up attempted (7).\n"
                            "Wake up attempted (6).\nWake up attempted (5).\nReopening comm port.\n"
                            "Wake up attempted (4).\nWake up attempted (3).\nWake up attempted (2).\n"
                            "Wake up attempted (1).\nWake up attempted (0).\n");
    Texts expected = {"DROPIN"};
    expected.insert(expected.end(), 11, "PROBE");
    EXPECT_EQ(commands(rig.sim->received()), expected);
}

// Every error and status byte and every missing byte of a reply, as the texts that end the run.
TEST(MonitorReply, ErrorAndStatusTexts) {
    struct Case {
        Texts faults;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{}, "(none)"},
        {{"error@erasemain=0xE1"}, "Command not recognized, e=0xE1"},
        {{"error@erasemain=0xE2"}, "Command not allowed in run mode, e=0xE2"},
        {{"error@erasemain=0xE3"}, "Stack pointer out of range, e=0xE3"},
        {{"error@erasemain=0xE4"}, "Stack pointer invalid, e=0xE4"},
        {{"error@erasemain=0xE5"}, "Attempt to write read-only memory, e=0xE5"},
        {{"error@erasemain=0xE6"}, "Access error when writing FLASH/EEPROM memory, e=0xE6"},
        {{"error@erasemain=0xE7"}, "Unknown error status response, e=0xE7"},
        {{"error@erasemain=0xE8"}, "Unknown error status response, e=0xE8"},
        {{"error@erasemain=0xE9"}, "Memory protection violation writing EEPROM memory, e=0xE9"},
        {{"error@erasemain=0x41"}, "Unknown error status response, e=0x41"},
        {{"status@erasemain=0x01"}, "Program running, download failed, s=0x01"},
        {{"status@erasemain=0x02"}, "Program halted, download failed, s=0x02"},
        {{"status@erasemain=0x04"}, "Program trace detected, download failed, s=0x04"},
        {{"status@erasemain=0x08"}, "Cold reset detected, something grossly wrong, s=0x08"},
        {{"status@erasemain=0x0C"}, "Warm reset detected, something grossly wrong, s=0x0C"},
        {{"status@erasemain=0x03"}, "Unknown status received, s=0x03"},
        {{"error@erasemain=0xE5", "status@erasemain=0x04"}, "Attempt to write read-only memory, e=0xE5"},
        {{"status@erasemain=0x08", "prompt@erasemain=0x3F"},
         "Cold reset detected, something grossly wrong, s=0x08"},
        {{"prompt@erasemain=0x3F"}, "Prompt was expected to be 0x3E but returned byte was 0x3F"},
        {{"silent@erasemain"}, "Timed out reading response, 0xE0"},
        {{"short@erasemain=1"}, "Could not read status code, 0xE0 0x00"},
        {{"error@erasemain=0xE7", "short@erasemain=1"}, "Could not read status code, 0xE7 0x00"},
        {{"status@erasemain=0x02", "short@erasemain=2"}, "Could not read monitor prompt, 0xE0 0x02 0x00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults.empty() ? "clean" : c.faults.back());
        fx::Rig rig(fx::monitorOptions(c.faults));
        ASSERT_TRUE(rig.open());
        rig.dl.enterMonitor();
        fx::captured.clear();
        EXPECT_EQ(protocolError([&] { rig.dl.eraseMainFlash(); }), c.error);
        // The closing message only follows an accepted reply.
        const bool accepted = c.error == "(none)";
        EXPECT_EQ(fx::captured, accepted ? "Erasing main FLASH:\nErased.\n" : "Erasing main FLASH:\n");
    }
    EXPECT_EQ(hexByte(0x3E), "0x3E");
    EXPECT_EQ(hexByte(5), "0x05");
}

// A page erase that is refused leaves its page unmarked and says nothing more; the register was still set.
TEST(MonitorPaging, RefusedPageEraseStaysUnmarked) {
    fx::Rig rig(fx::monitorOptions({"error@erasepage=0xE6"}));
    ASSERT_TRUE(rig.open());
    rig.prepare();
    EXPECT_EQ(protocolError([&] { rig.dl.setPage(0x3C8000, true); }),
              "Access error when writing FLASH/EEPROM memory, e=0xE6");
    EXPECT_EQ(fx::captured, "Setting page register 0x3c:\nPage set.\nErasing page 0x3c:\n");
    EXPECT_FALSE(rig.dl.erasedPages[0x3C]);
    EXPECT_EQ(rig.dl.currentPage, 0x3C);
    // Reading unpaged addresses after that switches the register back, with no erase.
    rig.mark();
    rig.dl.setPage(0xC000, false);
    EXPECT_EQ(commands(rig.txSinceMark()), Texts{"A2 0030 00"});
    EXPECT_EQ(fx::captured, "Setting page register 0x00:\nPage set.\n");
}
