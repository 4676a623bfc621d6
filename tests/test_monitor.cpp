// The VQ-II download: monitor entry, reply checking, paging and erase, block write and read-back, against the
// simulated controller on a real pseudo-terminal, in-process and through the vq2dl program.
#include "fixture.h"

#include "downloader.h"
#include "monitor/reply.h"
#include "simulator.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;

// A simulated controller and a Downloader talking to it over the pseudo-terminal. The Downloader goes first
// on the way out, so the port is closed before the controller stops.
class Rig {
public:
    explicit Rig(vqsim::Options options = {}) : sim(std::move(options)) {}

    ::testing::AssertionResult open(int verbosity = 1) {
        std::string error;
        if (!sim.start(error)) return ::testing::AssertionFailure() << "simulator: " << error;
        fx::captured.clear();
        dl.portPath = sim.devicePath();
        dl.setMessageCallback(fx::captureSink);
        dl.verbosity = verbosity;
        dl.wipeDelay = 0;
        if (!dl.openPort()) return ::testing::AssertionFailure() << "port: " << dl.portError;
        return ::testing::AssertionSuccess();
    }

    void add(uint32_t address, const Bytes& data) {
        SRecord record;
        record.address = address;
        record.length = static_cast<uint32_t>(data.size());
        record.data = data;
        dl.image.addRecord(record);
    }

    // Monitor entry and the main flash erase, then the messages and bytes so far are forgotten.
    void prepare() {
        dl.enterMonitor(10);
        dl.eraseMainFlash();
        mark();
    }
    void mark() {
        fx::captured.clear();
        txMark = sim.received().size();
    }
    Bytes txSinceMark() const {
        Bytes all = sim.received();
        return Bytes(all.begin() + static_cast<long>(std::min(txMark, all.size())), all.end());
    }

    vqsim::Simulator sim;
    Downloader dl;
    size_t txMark = 0;
};

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes slice(const Bytes& data, size_t from, size_t to) {
    return Bytes(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(to));
}

// The commands in the bytes the downloader sent, one readable text each: "A8 C000 16" is a block write of 16
// bytes at 0xC000, "A7 ..." a block read, "A2 0030 3C" a byte write; the one-byte commands by name.
Texts commands(const Bytes& tx) {
    static const std::string dropIn = "!!!KeepOutHere";
    Texts out;
    char text[32];
    for (size_t i = 0; i < tx.size();) {
        const uint8_t c = tx[i];
        const size_t left = tx.size() - i;
        if (c == '!' && left >= dropIn.size() && std::string(tx.begin() + i, tx.begin() + i + 14) == dropIn) {
            out.push_back("DROPIN");
            i += dropIn.size();
        } else if (c == 0x0D || c == 0xB4 || c == 0xB6 || c == 0xB8) {
            out.push_back(c == 0x0D ? "PROBE" : c == 0xB4 ? "RESET" : c == 0xB6 ? "ERASEMAIN" : "ERASEPAGE");
            ++i;
        } else if ((c == 0xA2 || c == 0xA7 || c == 0xA8) && left >= 4) {
            const unsigned n = tx[i + 3] + 1u;
            if (c == 0xA2)
                std::snprintf(text, sizeof text, "A2 %02X%02X %02X", tx[i + 1], tx[i + 2], tx[i + 3]);
            else
                std::snprintf(text, sizeof text, "%02X %02X%02X %u", c, tx[i + 1], tx[i + 2], n);
            out.push_back(text);
            i += 4 + (c == 0xA8 ? n : 0);
        } else {
            std::snprintf(text, sizeof text, "?? %02X", c);
            out.push_back(text);
            break;
        }
    }
    return out;
}

// Checks that the controller holds data from a controller address on.
void expectMemory(const vqsim::Simulator& sim, uint32_t address, const Bytes& data) {
    for (size_t i = 0; i < data.size(); ++i) {
        ASSERT_EQ(sim.peek(address + static_cast<uint32_t>(i)), data[i])
            << "at 0x" << std::hex << address + i;
    }
}

void pokeMemory(vqsim::Simulator& sim, uint32_t address, const Bytes& data) {
    for (size_t i = 0; i < data.size(); ++i)
        sim.poke(address + static_cast<uint32_t>(i), data[i]);
}

// Runs a step; returns the protocol error text it raised, or "(none)".
std::string protocolError(const std::function<void()>& step) {
    try {
        step();
    } catch (const std::string& text) {
        return text;
    }
    return "(none)";
}

// Runs a step; returns the exit status it raised, or -1.
int exitStatus(const std::function<void()>& step) {
    try {
        step();
    } catch (int status) {
        return status;
    }
    return -1;
}

vqsim::Options withFaults(Texts faults, bool inMonitor = false) {
    vqsim::Options options;
    options.faults = std::move(faults);
    options.inMonitor = inMonitor;
    return options;
}

} // namespace

// The short download and verification of two 16-byte records, one at 0xC000 and one on page 0x3C, byte for
// byte on the line and line for line on the console.
TEST(MonitorDownload, ShortImageExactBytes) {
    Rig rig;
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
    expectMemory(rig.sim, 0xC000, low);
    expectMemory(rig.sim, 0x3C8000, paged);
    EXPECT_EQ(rig.dl.currentPage, 0x3C);
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
    EXPECT_EQ(rig.sim.pageRegister(), 0x3C);
}

// The whole range of record kinds in one image: unpaged records, records across 0x8000 and at 0xC000, a
// 300-byte record, a zero-length record, a record in 0xFF00-0xFFFF and paged records on three pages.
TEST(MonitorDownload, MixedImageLandsWhereTheMappingSays) {
    Rig rig;
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

    expectMemory(rig.sim, 0x1000, r1000);
    expectMemory(rig.sim, 0x7FE0, slice(r7fe0, 0, 32));
    expectMemory(rig.sim, 0xC000, slice(r7fe0, 32, 64));
    expectMemory(rig.sim, 0x4100, r8100);
    expectMemory(rig.sim, 0xC100, rc100);
    expectMemory(rig.sim, 0xFF80, rff80);
    expectMemory(rig.sim, 0x308000, p30a);
    expectMemory(rig.sim, 0x30A000, p30b);
    expectMemory(rig.sim, 0x3C8000, p3c);
    expectMemory(rig.sim, 0x3DBFF0, p3d);
    EXPECT_EQ(rig.sim.peek(0x8100), 0xFF) << "an unpaged window address is written 0x4000 lower";
    const vqsim::Counters written = rig.sim.counters();
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
    EXPECT_EQ(rig.sim.counters().pagesErased, 3u) << "verification erases nothing";
}

// A record that starts below 0xC000 in the window range ends below 0x8000 and goes on at 0xC000.
TEST(MonitorDownload, RecordReachingTheWindowGoesOnAt0xC000) {
    Rig rig;
    ASSERT_TRUE(rig.open());
    const Bytes data = fx::bytes(32, 0x40);
    rig.add(0xBFF0, data);
    rig.prepare();
    rig.dl.writeImage();
    const Bytes expected = Bytes{0xA8, 0x7F, 0xF0, 0x0F} + slice(data, 0, 16) +
                           Bytes{0xA8, 0xC0, 0x00, 0x0F} + slice(data, 16, 32);
    EXPECT_EQ(rig.txSinceMark(), expected);
    expectMemory(rig.sim, 0x7FF0, slice(data, 0, 16));
    expectMemory(rig.sim, 0xC000, slice(data, 16, 32));
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
        Rig rig(withFaults(c.faults, c.inMonitor));
        ASSERT_TRUE(rig.open(3));
        EXPECT_EQ(protocolError([&] { rig.dl.enterMonitor(10); }), c.error);
        EXPECT_EQ(fx::captured, c.messages);
        EXPECT_EQ(commands(rig.sim.received()), c.sent);
    }
}

// Silence halfway down the retry chain: the port is opened afresh and the next attempt's answer ends the
// entry normally.
TEST(MonitorEntry, SilenceAtAttemptFiveReopensThePort) {
    Rig rig;
    ASSERT_TRUE(rig.open(3));
    rig.dl.enterMonitor(10);
    rig.mark();
    // Nothing was sent, so nothing answers at attempt 5.
    EXPECT_EQ(protocolError([&] { rig.dl.checkReply(MON_ERR_NOT_RECOGNIZED, MON_STATUS_COLD_RESET, 5); }),
              "(none)");
    EXPECT_EQ(fx::captured, "Reopening comm port.\nWake up attempted (4).\n");
    EXPECT_EQ(commands(rig.txSinceMark()), Texts{"PROBE"});
}

// A controller that never answers: ten retries with the probe only, one reopen, then the time-out error.
TEST(MonitorEntry, SilentControllerRunsTheWholeChain) {
    Rig rig(withFaults({"silent@any"}));
    ASSERT_TRUE(rig.open(3));
    EXPECT_EQ(protocolError([&] { rig.dl.enterMonitor(10); }), "Timed out reading response, 0xE0");
    EXPECT_EQ(fx::captured, "Wake up attempted (9).\nWake up attempted (8).\nWake up attempted (7).\n"
                            "Wake up attempted (6).\nWake up attempted (5).\nReopening comm port.\n"
                            "Wake up attempted (4).\nWake up attempted (3).\nWake up attempted (2).\n"
                            "Wake up attempted (1).\nWake up attempted (0).\n");
    Texts expected = {"DROPIN"};
    expected.insert(expected.end(), 11, "PROBE");
    EXPECT_EQ(commands(rig.sim.received()), expected);
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
        Rig rig(withFaults(c.faults));
        ASSERT_TRUE(rig.open());
        rig.dl.enterMonitor(10);
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
    Rig rig(withFaults({"error@erasepage=0xE6"}));
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
        Rig rig;
        ASSERT_TRUE(rig.open());
        const Bytes data = fx::bytes(32, 0x30);
        rig.add(c.address, data);
        pokeMemory(rig.sim, c.controller, data);
        rig.sim.poke(c.bad, static_cast<uint8_t>(~data[c.bad - c.controller]));
        rig.dl.enterMonitor(10);
        fx::captured.clear();
        EXPECT_EQ(exitStatus([&] { rig.dl.verifyImage(); }), EXIT_PROTOCOL);
        const std::string last = fx::captured.substr(fx::captured.rfind("Verification failed"));
        EXPECT_EQ(last, c.text + "\n");
        EXPECT_EQ(fx::captured.find("Verification succeeded"), std::string::npos);
    }
}

TEST(MonitorVerify, LostBlockIsReadAgainAfterMonitorEntry) {
    Rig rig(withFaults({"short@readblock#1=5"}));
    ASSERT_TRUE(rig.open());
    const Bytes data = fx::bytes(16, 0x60);
    rig.add(0xC000, data);
    pokeMemory(rig.sim, 0xC000, data);
    rig.dl.enterMonitor(10);
    rig.mark();
    rig.dl.verifyImage();
    // The monitor is active by now, so the drop-in string meets "not recognised" and a reset follows.
    EXPECT_EQ(commands(rig.txSinceMark()), (Texts{"A7 C000 16", "DROPIN", "RESET", "PROBE", "A7 C000 16"}));
    EXPECT_EQ(fx::captured, "Verifying:\nVerification succeeded, 1 records total (0 skipped).\n");
}

TEST(MonitorVerify, BlockLostTwiceEndsTheRun) {
    Rig rig(withFaults({"silent@readblock#2-3"}));
    ASSERT_TRUE(rig.open());
    const Bytes data = fx::bytes(300, 0x11);
    rig.add(0xC000, data);
    pokeMemory(rig.sim, 0xC000, data);
    rig.dl.enterMonitor(10);
    rig.mark();
    EXPECT_EQ(exitStatus([&] { rig.dl.verifyImage(); }), EXIT_PROTOCOL);
    EXPECT_EQ(fx::captured, "Verifying:\nCould not read record 1 block 2 during verification.\n");
    EXPECT_EQ(commands(rig.txSinceMark()),
              (Texts{"A7 C000 256", "A7 C100 44", "DROPIN", "RESET", "PROBE", "A7 C100 44"}));
}

// Records that start in 0xFF00-0xFFFF are counted but not read back; one that starts just below is read in
// full; a zero-length record counts for the download but not for the read-back.
TEST(MonitorVerify, TopPageSkipAndZeroLengthRecords) {
    Rig rig;
    ASSERT_TRUE(rig.open());
    const Bytes below = fx::bytes(32, 0x21), top = fx::bytes(16, 0x41);
    rig.add(0xFEF0, below);
    rig.add(0xFF80, top);
    rig.add(0x2000, {});
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
    std::string text[2][2];
    Texts sent[2][2];
    Rig rigs[2];
    for (int join = 0; join < 2; ++join) {
        Rig& rig = rigs[join];
        ASSERT_TRUE(rig.open());
        for (const auto& record : image)
            rig.add(record.first, record.second);
        rig.dl.joinBlocks = join == 1;
        rig.dl.showPercent = true;
        rig.prepare();
        rig.dl.writeImage();
        text[join][0] = fx::captured;
        sent[join][0] = commands(rig.txSinceMark());
        rig.mark();
        rig.dl.verifyImage();
        text[join][1] = fx::captured;
        sent[join][1] = commands(rig.txSinceMark());
    }
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
        ASSERT_EQ(rigs[1].sim.peek(address), rigs[0].sim.peek(address)) << std::hex << address;
    for (uint32_t address = 0x308000; address < 0x31C000; ++address)
        ASSERT_EQ(rigs[1].sim.peek(address), rigs[0].sim.peek(address)) << std::hex << address;
}

// A byte that differs inside a joined block is reported as without -b: the same address and bytes, after the
// percentages of the records up to the one that holds it.
TEST(MonitorJoin, MismatchReadsAsWithoutJoining) {
    std::string text[2];
    for (int join = 0; join < 2; ++join) {
        Rig rig;
        ASSERT_TRUE(rig.open());
        for (uint32_t i = 0; i < 6; ++i) {
            const Bytes data = fx::bytes(32, static_cast<uint8_t>(0x20 * i));
            rig.add(0x1000 + 32 * i, data);
            pokeMemory(rig.sim, 0x1000 + 32 * i, data);
        }
        rig.sim.poke(0x1083, 0x00);
        rig.dl.joinBlocks = join == 1;
        rig.dl.showPercent = true;
        rig.dl.enterMonitor(10);
        rig.mark();
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
        Rig rig(options);
        ASSERT_TRUE(rig.open());
        rig.dl.baudRate = 9600;
        ASSERT_TRUE(rig.dl.openPort());
        for (uint32_t i = 0; i < 3; ++i) {
            const Bytes data = fx::bytes(256, static_cast<uint8_t>(i));
            rig.add(0x1000 + 256 * i, data);
            pokeMemory(rig.sim, 0x1000 + 256 * i, data);
        }
        rig.dl.enterMonitor(10);
        const size_t before = rig.sim.turnarounds().size();
        rig.dl.verifyImage();
        EXPECT_EQ(fx::captured.substr(fx::captured.rfind("Verification")),
                  "Verification succeeded, 3 records total (0 skipped).\n");
        const std::vector<double> after = rig.sim.turnarounds();
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
        dl.setMessageCallback(fx::captureSink);
        SRecord record;
        record.address = c.address;
        record.length = static_cast<uint32_t>(c.length);
        record.data = fx::bytes(c.length);
        dl.image.addRecord(record);
        char text[160] = "";
        if (c.reason)
            std::snprintf(text, sizeof text,
                          "ERROR: Record at 0x%X cannot be written to a VQ-II controller: %s.\n", c.address,
                          c.reason);
        EXPECT_EQ(exitStatus([&] { dl.checkMonitorImage(); }), c.reason ? EXIT_FILE : -1);
        EXPECT_EQ(fx::captured, text);
    }
}

// ---- Whole runs of vq2dl against the simulated controller ----

namespace {

// An S-record file: S1 lines below 0x10000, S2 lines above, then S9 with the entry point.
std::string s19(const std::vector<std::pair<uint32_t, Bytes>>& records, uint32_t entry) {
    std::string text;
    for (const auto& r : records)
        text += fx::srec(r.first < 0x10000 ? 1 : 2, r.first, r.second) + "\r\n";
    return text + fx::srec(9, entry) + "\r\n";
}

struct Program {
    explicit Program(vqsim::Options options = {}) : sim(std::move(options)) {}
    ::testing::AssertionResult start() {
        std::string error;
        if (!sim.start(error)) return ::testing::AssertionFailure() << error;
        return ::testing::AssertionSuccess();
    }
    fx::RunResult run(Texts args, const std::string& file) {
        args.insert(args.begin(), {"-c", sim.devicePath()});
        args.push_back(file);
        return fx::run(VQ2DL_PROGRAM, args);
    }
    fx::TempDir dir;
    vqsim::Simulator sim;
};

const std::string BANNER = "Velquin Download 2.00\n\n";

} // namespace

TEST(MonitorProgram, DownloadTranscript) {
    Program p;
    ASSERT_TRUE(p.start());
    const Bytes a = fx::bytes(16, 0x01), b = fx::bytes(16, 0x51), c = fx::bytes(16, 0xA1);
    const std::string file = p.dir.file("vq2.s19");
    fx::writeFile(file, s19({{0x4000, a}, {0xC000, b}, {0x3C8000, c}}, 0x4000));
    const fx::RunResult r = p.run({}, file);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, BANNER + "Reading " + file +
                         ":\n"
                         "Detected VQ-II (HCS12) code.\n"
                         "Entry point: 0x4000\n"
                         "Code range : 0x4000-0x3c8000\n"
                         "File read successfully.\n"
                         "\n"
                         "Opened comm port " +
                         p.sim.devicePath() +
                         " at 115200.\n"
                         "Erasing main FLASH:\n"
                         "Erased.\n"
                         "Writing:\n"
                         "Setting page register 0x3c:\n"
                         "Page set.\n"
                         "Erasing page 0x3c:\n"
                         "Erased.\n"
                         "Write complete, 3 records, 48 bytes.\n"
                         "Verifying:\n"
                         "Setting page register 0x00:\n"
                         "Page set.\n"
                         "Setting page register 0x3c:\n"
                         "Page set.\n"
                         "Verification succeeded, 3 records total (0 skipped).\n");
    expectMemory(p.sim, 0x4000, a);
    expectMemory(p.sim, 0xC000, b);
    expectMemory(p.sim, 0x3C8000, c);
    EXPECT_EQ(p.sim.counters().mainErases, 1u);
}

TEST(MonitorProgram, WipeVerifyOnlyAndPercentages) {
    // -w reads no file (this one does not exist), enters the monitor and erases the main flash only.
    {
        Program p;
        ASSERT_TRUE(p.start());
        const fx::RunResult r = p.run({"-w", "-V"}, p.dir.file("missing.s19"));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, BANNER + "Opened comm port " + p.sim.devicePath() +
                             " at 115200.\nErasing main FLASH:\nErased.\n");
        EXPECT_EQ(commands(p.sim.received()), (Texts{"DROPIN", "PROBE", "ERASEMAIN"}));
    }
    // -V reads back only, and the first page register command is not needed; a differing byte ends with 4.
    {
        Program p;
        ASSERT_TRUE(p.start());
        const Bytes data = fx::bytes(16, 0x33);
        const std::string file = p.dir.file("v.s19");
        fx::writeFile(file, s19({{0x4000, data}}, 0x4000));
        pokeMemory(p.sim, 0x4000, data);
        fx::RunResult r = p.run({"-V"}, file);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(
            r.out.find(" at 115200.\nVerifying:\nVerification succeeded, 1 records total (0 skipped).\n"),
            std::string::npos)
            << r.out;
        EXPECT_EQ(commands(p.sim.received()), (Texts{"DROPIN", "PROBE", "A7 4000 16"}));
        p.sim.poke(0x400F, 0x00);
        r = p.run({"-V"}, file);
        EXPECT_EQ(r.status, EXIT_PROTOCOL);
        EXPECT_NE(r.out.find("Verifying:\nVerification failed: At 0x400F expected 0x42, found 0x00.\n"),
                  std::string::npos)
            << r.out;
    }
    // -p: the label markers and a percentage after every fifth record, for a calling program.
    {
        Program p;
        ASSERT_TRUE(p.start());
        std::vector<std::pair<uint32_t, Bytes>> records;
        for (uint32_t i = 0; i < 12; ++i)
            records.push_back({0x1000 + 0x100 * i, fx::bytes(16, static_cast<uint8_t>(i))});
        const std::string file = p.dir.file("p.s19");
        fx::writeFile(file, s19(records, 0x1000));
        const fx::RunResult r = p.run({"-p", "-dw", "0"}, file);
        EXPECT_EQ(r.status, 0);
        const size_t from = r.out.find("$Writing");
        ASSERT_NE(from, std::string::npos) << r.out;
        EXPECT_EQ(r.out.substr(from), "$Writing\nWriting:\n%41.67\n%83.33\n%100.00\n"
                                      "Write complete, 12 records, 192 bytes.\n"
                                      "$Verifying\nVerifying:\n%41.67\n%83.33\n%100.00\n"
                                      "Verification succeeded, 12 records total (0 skipped).\n");
    }
}

// A reply fault ends the run with "ERROR: " and the reply's text, and with status 4: a failed download never
// reports success.
TEST(MonitorProgram, ProtocolErrorEndsWithStatus4) {
    Program p(withFaults({"error@writeblock#2=0xE6"}));
    ASSERT_TRUE(p.start());
    const std::string file = p.dir.file("e.s19");
    fx::writeFile(file, s19({{0x4000, fx::bytes(16)}, {0x4100, fx::bytes(16)}, {0x4200, fx::bytes(16)}}, 0));
    const fx::RunResult r = p.run({"-dw", "0"}, file);
    EXPECT_EQ(r.status, EXIT_PROTOCOL);
    const std::string tail = "Writing:\nERROR: Access error when writing FLASH/EEPROM memory, e=0xE6\n";
    ASSERT_GE(r.out.size(), tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(commands(p.sim.received()), (Texts{"DROPIN", "PROBE", "ERASEMAIN", "A8 4000 16", "A8 4100 16"}))
        << "no record after the fault";
}

// A paged record outside the page window stops the run before the port is opened: nothing is sent.
TEST(MonitorProgram, UnplaceableRecordStopsBeforeThePort) {
    Program p;
    ASSERT_TRUE(p.start());
    const std::string file = p.dir.file("bad.s19");
    fx::writeFile(file, s19({{0x4000, fx::bytes(16)}, {0x3CC000, fx::bytes(16)}}, 0x4000));
    const fx::RunResult r = p.run({}, file);
    EXPECT_EQ(r.status, EXIT_FILE);
    EXPECT_EQ(r.out, BANNER + "Reading " + file +
                         ":\n"
                         "Detected VQ-II (HCS12) code.\n"
                         "Entry point: 0x4000\n"
                         "Code range : 0x4000-0x3cc000\n"
                         "File read successfully.\n"
                         "\n"
                         "ERROR: Record at 0x3CC000 cannot be written to a VQ-II controller: window address "
                         "outside 0x8000-0xBFFF.\n");
    EXPECT_TRUE(p.sim.received().empty());
}

// Bytes left waiting on the line from before (here: an answer's extra byte, kept while another program holds
// the line open) are discarded when the port opens; and the low-latency request, which a pseudo-terminal
// refuses, is refused quietly even at -v 3.
TEST(MonitorProgram, StaleInputIsDiscardedAndLowLatencyRefusedQuietly) {
    Program p(withFaults({"extra=0x3E@probe#1"}));
    ASSERT_TRUE(p.start());
    const int holder = open(p.sim.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    {
        Downloader dl;
        dl.portPath = p.sim.devicePath();
        ASSERT_TRUE(dl.openPort());
        dl.enterMonitor(10);
        for (int i = 0; i < 100 && p.sim.sent().size() < 7; ++i)
            usleep(10000);
        ASSERT_EQ(p.sim.sent().size(), 7u) << "the probe's answer and its extra byte";
    }
    const std::string file = p.dir.file("s.s19");
    fx::writeFile(file, s19({{0x4000, fx::bytes(16)}}, 0x4000));
    const fx::RunResult r = p.run({"-v", "3", "-dw", "0"}, file);
    close(holder);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Verification succeeded, 1 records total (0 skipped).\n"), std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("atency"), std::string::npos) << r.out;
}

// At 300 and 600 bit/s a command takes longer to go out than a read time-out lasts: the wait for its answer
// starts when it has left the line.
TEST(MonitorProgram, SlowLinesAt300And600) {
    for (int baud : {300, 600}) {
        vqsim::Options options;
        options.baud = baud;
        Program p(options);
        ASSERT_TRUE(p.start());
        const std::string file = p.dir.file("slow.s19");
        fx::writeFile(file, s19({{0x4000, fx::bytes(4)}}, 0x4000));
        const fx::RunResult r = p.run({"-r", "-" + std::to_string(baud), "-dw", "0"}, file);
        EXPECT_EQ(r.status, 0) << baud << "\n" << r.out;
        EXPECT_NE(r.out.find("Verification succeeded, 1 records total (0 skipped).\n"), std::string::npos);
        expectMemory(p.sim, 0x4000, fx::bytes(4));
    }
}
