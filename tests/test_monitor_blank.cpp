// -b leaves out the runs of 0xFF that this run's erases left so: the same memory, console text and
// read-back in fewer write commands, and an erase that did not take shows in the verification.
#include "fixture.h"
#include "monitor/blocks.h"

#include <regex>

using fx::Bytes, fx::Texts, fx::commands, fx::operator+;

namespace {

Bytes ff(size_t n) {
    return Bytes(n, 0xFF);
}

/// The blocks of an image as "C000 16", a blank one as "C010 32 FF".
Texts planned(const std::vector<std::pair<uint32_t, Bytes>>& image, bool leaveOutBlank) {
    FirmwareImage store;
    for (const auto& entry : image)
        store.addRecord(fx::record(entry.first, entry.second));
    Texts out;
    char text[40];
    for (const monitor::Block& block :
         monitor::planBlocks(monitor::recordList(store), true, false, leaveOutBlank)) {
        std::snprintf(text, sizeof text, "%X %u%s", block.address, block.n, block.blank ? " FF" : "");
        out.push_back(text);
    }
    return out;
}

/// An image with runs of 0xFF inside a record, across records, across 0x8000, on a page, and a page of
/// nothing but 0xFF; and the bytes it leaves out.
const std::vector<std::pair<uint32_t, Bytes>> IMAGE = {
    {0x4000, fx::bytes(8, 1) + ff(16) + fx::bytes(8, 2)},
    {0x4020, fx::bytes(16, 3) + ff(16)},
    {0x4040, ff(16) + fx::bytes(16, 4)},
    {0x7FE0, ff(64)},
    {0xC020, fx::bytes(16, 5)},
    {0x3C8000, fx::bytes(16, 6) + ff(64)},
    {0x3D8000, ff(32)},
};
constexpr unsigned LEFT_OUT = 16 + 32 + 64 + 64 + 32;

std::string s19(const std::vector<std::pair<uint32_t, Bytes>>& image) {
    return fx::s19(image, 0xC020);
}

} // namespace

// Which bytes go into blank blocks: only runs in the unpaged flash or a page's window that verification reads
// back, at either end of bytes that follow each other or longer than a command costs inside them.
TEST(MonitorBlank, PlannedBlocks) {
    struct Case {
        const char* what;
        std::vector<std::pair<uint32_t, Bytes>> image;
        Texts blocks;
    };
    const std::vector<Case> cases = {
        {"inside a record",
         {{0xC000, fx::bytes(8) + ff(16) + fx::bytes(8)}},
         {"C000 8", "C008 16 FF", "C018 8"}},
        {"a short run inside costs more than it saves",
         {{0xC000, fx::bytes(8) + ff(7) + fx::bytes(8)}},
         {"C000 23"}},
        {"a short run at the end of a record before a gap",
         {{0xC000, fx::bytes(8) + ff(3)}, {0xD000, ff(2) + fx::bytes(4)}},
         {"C000 8", "C008 3 FF", "D000 2 FF", "D002 4"}},
        {"across records",
         {{0xC000, fx::bytes(16) + ff(16)}, {0xC020, ff(16) + fx::bytes(16)}},
         {"C000 16", "C010 32 FF", "C030 16"}},
        {"across 0x8000", {{0x7FF0, ff(32)}, {0xC010, fx::bytes(4)}}, {"7FF0 16 FF", "C000 16 FF", "C010 4"}},
        {"a long run: the data after it start a block",
         {{0xC000, fx::bytes(10) + ff(300) + fx::bytes(500)}},
         {"C000 10", "C00A 256 FF", "C10A 44 FF", "C136 256", "C236 244"}},
        {"on a page",
         {{0x3C8000, fx::bytes(16) + ff(32)}, {0x3C8030, fx::bytes(4)}},
         {"3C8000 16", "3C8010 32 FF", "3C8030 4"}},
        {"below the flash (registers, RAM)",
         {{0x1000, ff(32)}, {0x3FF0, ff(32)}},
         {"1000 32", "3FF0 16", "4000 16 FF"}},
        {"a record that verification passes over",
         {{0xFEF0, ff(16)}, {0xFF00, ff(16)}},
         {"FEF0 16 FF", "FF00 16"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(planned(c.image, true), c.blocks);
    }
    EXPECT_EQ(planned(cases[0].image, false), Texts{"C000 32"});
}

// Against the controller: -b writes the image in fewer commands, page set and erase included, and the memory,
// the console text and the read-back are those of a download without -b. The page windows hold old bytes
// that only their own erase clears.
TEST(MonitorBlank, SameMemoryAndTextInFewerCommands) {
    fx::BothWays ways;
    ASSERT_NO_FATAL_FAILURE(fx::writeAndVerifyBothWays(ways, IMAGE, [](fx::Rig& rig) {
        fx::pokeMemory(*rig.sim, 0x3C8000, Bytes(0x4000, 0x5A));
        fx::pokeMemory(*rig.sim, 0x3D8000, Bytes(0x4000, 0x5A));
    }));
    const auto& text = ways.text;
    const auto& sent = ways.sent;
    const auto& rigs = ways.rigs;
    EXPECT_EQ(text[1][0], text[0][0]);
    EXPECT_EQ(text[1][1], text[0][1]);
    EXPECT_EQ(sent[1][0], (Texts{"A8 4000 8", "A8 4018 24", "A8 4050 16", "A8 C020 16", "A2 0030 3C",
                                 "ERASEPAGE", "A8 8000 16", "A2 0030 3D", "ERASEPAGE"}));
    EXPECT_EQ(sent[1][1], (Texts{"A2 0030 00", "A7 4000 96", "A7 7FE0 32", "A7 C000 48", "A2 0030 3C",
                                 "A7 8000 80", "A2 0030 3D", "A7 8000 32"}));
    EXPECT_EQ(rigs[1].dl.blankBytes, LEFT_OUT);
    EXPECT_EQ(rigs[0].dl.blankBytes, 0u) << "nothing is left out without -b";
    EXPECT_EQ(rigs[0].sim->counters().bytesWritten, 288u);
    EXPECT_EQ(rigs[1].sim->counters().bytesWritten, 288u - LEFT_OUT);
    for (const auto& record : IMAGE)
        for (const fx::Rig& rig : rigs)
            EXPECT_EQ(fx::peekRange(*rig.sim, monitor::mapStart(record.first), record.second.size()),
                      record.second)
                << std::hex << record.first;
}

// An erase that did not take leaves old bytes where -b left 0xFF out: the verification reads them and ends
// the run with status 4 at the first of them. Without -b every byte is written, and -V never assumes an
// erase.
TEST(MonitorBlank, EraseThatDidNotTakeFailsTheVerification) {
    fx::TempDir files;
    fx::writeFile(files.file("fw.s19"), s19(IMAGE));
    std::vector<std::pair<uint32_t, Bytes>> old;
    for (const auto& record : IMAGE)
        old.push_back({record.first, Bytes(record.second.size(), 0x5A)});
    fx::writeFile(files.file("old.s19"), s19(old));
    std::vector<std::pair<uint32_t, Bytes>> soiled = IMAGE;
    soiled[5].second[40] = 0x00;
    fx::writeFile(files.file("soiled.s19"), s19(soiled));
    // The simulated main erase clears the pages too: a page keeps its old bytes when neither erase takes.
    fx::writeFile(files.file("page.s19"), s19({{0x4000, fx::bytes(16)}, IMAGE[5]}));
    struct Case {
        std::string file;
        Texts args;
        Texts faults;
        std::string preload;
        int status;
        std::string last;
    };
    const std::string fail = "Verification failed: At ";
    const std::vector<Case> cases = {
        {"fw.s19", {"-b"}, {"ignore@erasemain"}, "old.s19", 4, fail + "0x4008 expected 0xFF, found 0x5A.\n"},
        {"page.s19",
         {"-b"},
         {"ignore@erasemain", "ignore@erasepage#1"},
         "old.s19",
         4,
         fail + "0x3C8010 expected 0xFF, found 0x5A.\n"},
        {"fw.s19", {}, {"ignore@erasemain", "ignore@erasepage"}, "old.s19", 0, "(0 skipped).\n"},
        {"fw.s19", {"-V", "-b"}, {}, "soiled.s19", 4, fail + "0x3C8028 expected 0xFF, found 0x00.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + (c.args.empty() ? "" : " " + c.args.front()) + " " + c.preload);
        fx::Rig rig(fx::monitorOptions(c.faults));
        ASSERT_TRUE(rig.start(files.file(c.preload)));
        Texts args = {"-dw", "0"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const fx::RunResult result = rig.run(args, files.file(c.file));
        EXPECT_EQ(result.status, c.status) << result.out;
        EXPECT_TRUE(fx::endsWith(result.out, c.last));
    }
}

// What was left out: a line at -v 2 after the write, and the summary on a terminal.
TEST(MonitorBlank, VerbosityTwoAndTheSummarySayWhatWasLeftOut) {
    fx::TempDir files;
    fx::writeFile(files.file("fw.s19"), s19(IMAGE));
    fx::Rig rig;
    ASSERT_TRUE(rig.start());
    const fx::RunResult detail = rig.run({"-dw", "0", "-b", "-v", "2"}, files.file("fw.s19"));
    EXPECT_EQ(detail.status, 0);
    EXPECT_NE(detail.out.find("Write complete, 7 records, 288 bytes.\nLeft out 6 blocks: 208 bytes of 0xFF "
                              "not sent.\n"),
              std::string::npos)
        << detail.out;
    const fx::RunResult plain = rig.run({"-dw", "0", "-v", "2"}, files.file("fw.s19"));
    EXPECT_EQ(plain.out.find("Left out"), std::string::npos);

    const fx::RunResult seen = fx::runOnTerminal(
        VQ2DL_PROGRAM, {"-c", rig.sim->devicePath(), "-dw", "0", "-b", files.file("fw.s19")});
    EXPECT_EQ(seen.status, 0);
    EXPECT_TRUE(std::regex_search(seen.out, std::regex("\nDone in [0-9]+\\.[0-9] s: 288 bytes written and "
                                                       "verified, [0-9]+\\.[0-9] KB/s, 208 bytes of 0xFF not "
                                                       "sent\\.\n$")))
        << seen.out;
}
