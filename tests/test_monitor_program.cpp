// Whole runs of vq2dl against the simulated VQ-II controller.
#include "fixture.h"

#include <fcntl.h>
#include <unistd.h>

using fx::Bytes, fx::Texts, fx::commands, fx::expectMemory, fx::pokeMemory, fx::s19;

using fx::BANNER;

TEST(MonitorProgram, DownloadTranscript) {
    fx::Rig p;
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
                         p.sim->devicePath() +
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
    expectMemory(*p.sim, 0x4000, a);
    expectMemory(*p.sim, 0xC000, b);
    expectMemory(*p.sim, 0x3C8000, c);
    EXPECT_EQ(p.sim->counters().mainErases, 1u);
}

TEST(MonitorProgram, WipeVerifyOnlyAndPercentages) {
    // -w reads no file (this one does not exist), enters the monitor and erases the main flash only.
    {
        fx::Rig p;
        ASSERT_TRUE(p.start());
        const fx::RunResult r = p.run({"-w", "-V"}, p.dir.file("missing.s19"));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, BANNER + "Opened comm port " + p.sim->devicePath() +
                             " at 115200.\nErasing main FLASH:\nErased.\n");
        EXPECT_EQ(commands(p.sim->received()), (Texts{"DROPIN", "PROBE", "ERASEMAIN"}));
    }
    // -V reads back only, and the first page register command is not needed; a differing byte ends with 4.
    {
        fx::Rig p;
        ASSERT_TRUE(p.start());
        const Bytes data = fx::bytes(16, 0x33);
        const std::string file = p.dir.file("v.s19");
        fx::writeFile(file, s19({{0x4000, data}}, 0x4000));
        pokeMemory(*p.sim, 0x4000, data);
        fx::RunResult r = p.run({"-V"}, file);
        EXPECT_EQ(r.status, 0);
        EXPECT_NE(
            r.out.find(" at 115200.\nVerifying:\nVerification succeeded, 1 records total (0 skipped).\n"),
            std::string::npos)
            << r.out;
        EXPECT_EQ(commands(p.sim->received()), (Texts{"DROPIN", "PROBE", "A7 4000 16"}));
        p.sim->poke(0x400F, 0x00);
        r = p.run({"-V"}, file);
        EXPECT_EQ(r.status, EXIT_PROTOCOL);
        EXPECT_NE(r.out.find("Verifying:\nVerification failed: At 0x400F expected 0x42, found 0x00.\n"),
                  std::string::npos)
            << r.out;
    }
    // -p: the label markers and a percentage after every fifth record, for a calling program.
    {
        fx::Rig p;
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
    fx::Rig p(fx::monitorOptions({"error@writeblock#2=0xE6"}));
    ASSERT_TRUE(p.start());
    const std::string file = p.dir.file("e.s19");
    fx::writeFile(file, s19({{0x4000, fx::bytes(16)}, {0x4100, fx::bytes(16)}, {0x4200, fx::bytes(16)}}, 0));
    const fx::RunResult r = p.run({"-dw", "0"}, file);
    EXPECT_EQ(r.status, EXIT_PROTOCOL);
    const std::string tail = "Writing:\nERROR: Access error when writing FLASH/EEPROM memory, e=0xE6\n";
    ASSERT_GE(r.out.size(), tail.size()) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(commands(p.sim->received()),
              (Texts{"DROPIN", "PROBE", "ERASEMAIN", "A8 4000 16", "A8 4100 16"}))
        << "no record after the fault";
}

// A paged record outside the page window stops the run before the port is opened: nothing is sent.
TEST(MonitorProgram, UnplaceableRecordStopsBeforeThePort) {
    fx::Rig p;
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
    EXPECT_TRUE(p.sim->received().empty());
}

// Bytes left waiting on the line from before (here: an answer's extra byte, kept while another program holds
// the line open) are discarded when the port opens; and the low-latency request, which a pseudo-terminal
// refuses, is refused quietly even at -v 3.
TEST(MonitorProgram, StaleInputIsDiscardedAndLowLatencyRefusedQuietly) {
    fx::Rig p(fx::monitorOptions({"extra=0x3E@probe#1"}));
    ASSERT_TRUE(p.start());
    const int holder = open(p.sim->devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    {
        Downloader dl;
        dl.options.portPath = p.sim->devicePath();
        ASSERT_TRUE(dl.openPort());
        dl.enterMonitor();
        for (int i = 0; i < 100 && p.sim->sent().size() < 7; ++i)
            usleep(10000);
        ASSERT_EQ(p.sim->sent().size(), 7u) << "the probe's answer and its extra byte";
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
        fx::Rig p(options);
        ASSERT_TRUE(p.start());
        const std::string file = p.dir.file("slow.s19");
        fx::writeFile(file, s19({{0x4000, fx::bytes(4)}}, 0x4000));
        const fx::RunResult r = p.run({"-r", "-" + std::to_string(baud), "-dw", "0"}, file);
        EXPECT_EQ(r.status, 0) << baud << "\n" << r.out;
        EXPECT_NE(r.out.find("Verification succeeded, 1 records total (0 skipped).\n"), std::string::npos);
        expectMemory(*p.sim, 0x4000, fx::bytes(4));
    }
}
