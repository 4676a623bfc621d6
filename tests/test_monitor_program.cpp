// Whole runs of vq2dl against the simulated VQ-II controller. The transcripts of a download, a wipe, a
// verification, the percentages and the refusals are in test_golden.cpp.
#include "fixture.h"

#include <fcntl.h>
#include <unistd.h>

using fx::expectMemory, fx::s19;

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
