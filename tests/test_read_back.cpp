// Read-back: a preloaded simulated controller read into an S-record file by the vq2dl program, the file
// compared with what was preloaded and written back with a plain download; faults, bad ranges and refusals.
#include "fixture.h"

#include "monitor/read_areas.h"

#include <map>

namespace {

using fx::Bytes, fx::Texts, fx::s19;
using Memory = std::map<uint32_t, uint8_t>;

using fx::BANNER;

// What the controller holds before it is read: lines whole and half erased, paged and unpaged, the vectors.
const std::vector<std::pair<uint32_t, Bytes>> PRELOAD = {
    {0x4000, fx::bytes(64, 1)},      {0x4110, Bytes(16, 0x11)},       {0x7FE0, Bytes(32, 0x7E)},
    {0xC000, Bytes(32, 0xC0)},       {0xFFE0, fx::bytes(32, 0xE0)},   {0x3C8000, Bytes(32, 0xAA)},
    {0x3CBFE0, fx::bytes(32, 0x40)}, {0x3D9000, fx::bytes(16, 0x90)},
};

// The byte the controller was preloaded with at a controller address (erased where nothing was).
uint8_t preloaded(uint32_t address) {
    for (const auto& r : PRELOAD)
        if (address >= r.first && address - r.first < r.second.size()) return r.second[address - r.first];
    return 0xFF;
}

// A file as vq2dl's own reader takes it, one record a line.
FirmwareImage loadImage(const std::string& path) {
    FirmwareImage image;
    image.load(path);
    return image;
}

// One run of image addresses in the file and where the controller holds it.
struct Span {
    uint32_t file;
    uint32_t controller;
    uint32_t length;
};

} // namespace

// All three ways of choosing what is read, each read back, compared with what was preloaded, and written back
// with a plain download into an erased controller.
TEST(ReadBack, ReadsWhatWasChosenAndWritesItBack) {
    fx::TempDir dir;
    const std::string preload = dir.file("preload.s19"), firmware = dir.file("new.s19");
    fx::writeFile(preload, s19(PRELOAD));
    // Records across 0x8000 from below (on at 0xC000), in the window range (0x4000 lower), and on pages.
    fx::writeFile(firmware, s19({{0x4000, Bytes(16, 0)},
                                 {0x7FF0, Bytes(48, 0)},
                                 {0x8110, Bytes(16, 0)},
                                 {0x3C8000, Bytes(16, 0)},
                                 {0x3D9000, Bytes(16, 0)}}));
    struct Case {
        const char* name;
        Texts args;
        std::vector<Span> spans;
        std::string summary;
    };
    const std::vector<Case> cases = {
        {"default", {}, {{0x4000, 0x4000, 0x4000}, {0xC000, 0xC000, 0x4000}}, "192 bytes in 6 records"},
        {"ranges",
         {"--range", "0x3C8000-0x3CBFFF", "--range", "0x4010-0x410F", "--range=33040-33071", "--range",
          "0x4000-0x401f"},
         {{0x4000, 0x4000, 0x110}, {0x8110, 0x4110, 0x20}, {0x3C8000, 0x3C8000, 0x4000}},
         "176 bytes in 7 records"},
        {"firmware",
         {firmware},
         {{0x4000, 0x4000, 16},
          {0x7FF0, 0x7FF0, 16},
          {0x8110, 0x4110, 16},
          {0xC000, 0xC000, 32},
          {0x3C8000, 0x3C8000, 16},
          {0x3D9000, 0x3D9000, 16}},
         "112 bytes in 6 records"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir.file(std::string(c.name) + ".s19");
        fx::Rig source;
        ASSERT_TRUE(source.start(preload));
        Texts args = {"--read", out};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const fx::RunResult r = source.run(args);
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find(" at 115200.\nReading back into " + out + ":\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.substr(r.out.rfind('\n', r.out.size() - 2) + 1),
                  "Read complete, " + c.summary + ".\n");
        const vqsim::Counters counted = source.sim->counters();
        EXPECT_EQ(counted.bytesWritten + counted.blocksWritten + counted.mainErases + counted.pagesErased,
                  0u);

        // The file: a header naming the program, lines of at most 32 bytes on 32-byte boundaries, no whole
        // line of erased bytes, and nothing outside what was asked for.
        const std::string text = fx::readFile(out);
        const bool paged = c.spans.back().file > 0xFFFF;
        const std::string end = fx::srec(paged ? 8 : 9, 0) + "\r\n";
        EXPECT_EQ(text.substr(text.size() - end.size()), end);
        const FirmwareImage image = loadImage(out);
        Memory file;
        for (const auto& entry : image.records) {
            const SRecord& record = entry.second;
            EXPECT_LE(record.address % 32 + record.length, 32u) << std::hex << record.address;
            EXPECT_FALSE(record.length == 32 && record.data == Bytes(32, 0xFF)) << std::hex << record.address;
            for (uint32_t i = 0; i < record.length; ++i)
                file[record.address + i] = record.data[i];
        }
        fx::Rig target;
        ASSERT_TRUE(target.start());
        const fx::RunResult back = target.run({"-dw", "0", out});
        ASSERT_EQ(back.status, 0) << back.out;
        size_t covered = 0;
        for (const Span& span : c.spans) {
            for (uint32_t i = 0; i < span.length; ++i) {
                const uint8_t expected = preloaded(span.controller + i);
                const auto found = file.find(span.file + i);
                ASSERT_EQ(found == file.end() ? 0xFF : found->second, expected) << std::hex << span.file + i;
                ASSERT_EQ(target.sim->peek(span.controller + i), expected) << std::hex << span.controller + i;
                covered += found != file.end();
            }
        }
        EXPECT_EQ(covered, file.size()) << "bytes outside the chosen areas";
    }
}

// Every documented way of reading, on a controller whose 0x4000-0x7FFF is erased: each file detects as VQ-II
// code, and a plain download puts it back.
TEST(ReadBack, EachDocumentedRangeDownloadsBack) {
    fx::TempDir dir;
    const std::vector<std::pair<uint32_t, Bytes>> high = {
        {0xC000, Bytes(32, 0xC0)}, {0xFFE0, fx::bytes(32, 0xE0)}, {0x3C8000, Bytes(32, 0xAA)}};
    const std::string preload = dir.file("preload.s19"), firmware = dir.file("new.s19");
    fx::writeFile(preload, s19(high));
    fx::writeFile(firmware, s19({{0x7FF0, Bytes(16, 0)}, {0xC000, Bytes(64, 0)}}));
    struct Case {
        Texts args;
        uint32_t first, last;
    };
    const std::vector<Case> cases = {
        {{}, 0xC000, 0xFFFF},
        {{firmware}, 0xC000, 0xC03F},
        {{"--range", "0x3C8000-0x3CBFFF"}, 0x3C8000, 0x3CBFFF},
        {{"--range", "0xC000-0xFFFF"}, 0xC000, 0xFFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.first);
        const std::string out = dir.file("backup.s19");
        fx::Rig source;
        ASSERT_TRUE(source.start(preload));
        Texts args = {"--read", out};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ASSERT_EQ(source.run(args).status, 0);
        EXPECT_EQ(loadImage(out).lowAddress, 0x4000u) << "VQ-II code";
        fx::Rig target;
        ASSERT_TRUE(target.start());
        const fx::RunResult back = target.run({"-dw", "0", out});
        ASSERT_EQ(back.status, 0) << back.out;
        EXPECT_NE(back.out.find("Detected VQ-II (HCS12) code.\n"), std::string::npos);
        EXPECT_NE(back.out.find("Zero-length s-rec found 1 - 0x4000 0.\n"), std::string::npos);
        for (uint32_t address = c.first; address <= c.last; ++address)
            ASSERT_EQ(target.sim->peek(address), source.sim->peek(address)) << std::hex << address;
    }
}

// --twice reads each block twice: a byte damaged on the line in either reading ends the run with the address,
// and no file; without it the damage goes into the file unnoticed.
TEST(ReadBack, TwiceFindsAByteDamagedOnTheLine) {
    fx::TempDir dir;
    const std::string preload = dir.file("preload.s19"), out = dir.file("backup.s19");
    fx::writeFile(preload, s19(PRELOAD));
    struct Case {
        Texts faults;
        bool twice;
        int status;
        uint8_t at4004; ///< the byte at 0x4004 in the file
        std::string tail;
    };
    const std::vector<Case> cases = {
        {{}, true, 0, 5, "Read complete, 96 bytes in 3 records.\nBoth readings of every block agreed.\n"},
        {{"corrupt@readblock#1=5"}, false, 0, 0xFA, "Read complete, 96 bytes in 3 records.\n"},
        {{"corrupt@readblock#1=5"},
         true,
         EXIT_PROTOCOL,
         0,
         "Read-back failed: At 0x4004 read 0xFA, then 0x05.\n"},
        {{"corrupt@readblock#4=5"},
         true,
         EXIT_PROTOCOL,
         0,
         "Read-back failed: At 0x4104 read 0xFF, then 0x00.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tail);
        std::remove(out.c_str());
        fx::Rig controller(fx::monitorOptions(c.faults));
        ASSERT_TRUE(controller.start(preload));
        Texts args = {"--read", out, "--range", "0x4000-0x41FF"};
        if (c.twice) args.push_back("--twice");
        const fx::RunResult r = controller.run(args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_TRUE(fx::endsWith(r.out, c.tail));
        if (c.status != 0) {
            EXPECT_EQ(fx::listDir(dir.path()), Texts{"preload.s19"});
            continue;
        }
        const FirmwareImage image = loadImage(out);
        ASSERT_EQ(image.records.count(0x4000), 1u);
        EXPECT_EQ(image.records.at(0x4000).data[4], c.at4004);
        EXPECT_EQ(controller.sim->counters().blocksRead, c.twice ? 4u : 2u);
    }
}

// The console of a read with -p, line for line, and the header record.
TEST(ReadBack, TranscriptWithPercentages) {
    fx::TempDir dir;
    const std::string preload = dir.file("preload.s19"), out = dir.file("out.s19");
    fx::writeFile(preload, s19(PRELOAD));
    fx::Rig controller;
    ASSERT_TRUE(controller.start(preload));
    const fx::RunResult r = controller.run({"-p", "--range", "0x3D9000-0x3D913F", "--read", out});
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, BANNER + "Opened comm port " + controller.sim->devicePath() +
                         " at 115200.\n"
                         "$Reading\n"
                         "Reading back into " +
                         out +
                         ":\n"
                         "Setting page register 0x3d:\n"
                         "Page set.\n"
                         "%50.00\n"
                         "%100.00\n"
                         "%100.00\n"
                         "Read complete, 32 bytes in 1 records.\n");
    // The header names the program and the date: "vq2dl 2.00 read-back YYYY-MM-DD".
    const std::string text = fx::readFile(out);
    const std::string header = text.substr(0, text.find('\r'));
    std::string shown;
    for (size_t i = 8; i + 2 < header.size(); i += 2)
        shown += static_cast<char>(std::stoi(header.substr(i, 2), nullptr, 16));
    EXPECT_EQ(header.substr(0, 8), "S0220000");
    EXPECT_EQ(shown.substr(0, 21), "vq2dl 2.00 read-back ");
    EXPECT_EQ(shown.size(), 31u);
    EXPECT_EQ(shown.substr(25, 1) + shown.substr(28, 1), "--") << shown;
}

// A read that fails mid-way leaves no file and no temporary, and an older file as it was.
TEST(ReadBack, FailureLeavesNothing) {
    struct Case {
        Texts faults;
        bool existing;
        std::string tail;
    };
    const std::vector<Case> cases = {
        {{"silent@readblock#3-4"}, false, "Could not read the block at 0x4200 during read-back.\n"},
        {{"silent@readblock#3-4"}, true, "Could not read the block at 0x4200 during read-back.\n"},
        {{"error@readblock#70=0xE6"}, true, "ERROR: Access error when writing FLASH/EEPROM memory, e=0xE6\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults[0]);
        fx::TempDir dir;
        const std::string out = dir.file("backup.s19");
        if (c.existing) fx::writeFile(out, "older\n");
        fx::Rig controller(fx::monitorOptions(c.faults));
        ASSERT_TRUE(controller.start());
        const fx::RunResult r = controller.run({"--read", out});
        EXPECT_EQ(r.status, EXIT_PROTOCOL);
        ASSERT_GE(r.out.size(), c.tail.size()) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - c.tail.size()), c.tail);
        EXPECT_EQ(fx::listDir(dir.path()), c.existing ? Texts{"backup.s19"} : Texts{});
        if (c.existing) {
            EXPECT_EQ(fx::readFile(out), "older\n");
        }
    }
}

// A block whose answer comes later than one read time-out (a loaded host, a USB hub) is let go by: the line
// is left to fall quiet, the monitor entered afresh and the block read again, in a verification and in a
// read-back alike, plain or twice. Each byte of the late answer waits 300 ms, the first block being one byte.
TEST(ReadBack, ALateAnswerIsLetGoByAndTheBlockReadAgain) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), s19({{0x4000, {0x11}}, {0x4100, {0x22}}}, 0x4000));
    struct Case {
        Texts args;
        std::string fault;
        std::string tail;
    };
    const std::vector<Case> cases = {
        {{"-dw", "0", dir.file("fw.s19")},
         "slow@readblock#1=300",
         "Verification succeeded, 2 records total (0 skipped).\n"},
        {{"-dw", "0", dir.file("fw.s19")},
         "slow@readblock#2=300",
         "Verification succeeded, 2 records total (0 skipped).\n"},
        {{"--read", dir.file("one.s19"), "--range", "0x4000-0x4000"},
         "slow@readblock#1=300",
         "Read complete, 1 bytes in 1 records.\n"},
        {{"--read", dir.file("two.s19"), "--twice", "--range", "0x4000-0x4000"},
         "slow@readblock#2=300",
         "Read complete, 1 bytes in 1 records.\nBoth readings of every block agreed.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault + " " + c.args[0]);
        fx::Rig rig(fx::monitorOptions({c.fault}));
        ASSERT_TRUE(rig.start());
        fx::pokeMemory(*rig.sim, 0x4000, {0x11});
        const fx::RunResult r = rig.run(c.args);
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(fx::endsWith(r.out, c.tail)) << r.out;
        // The block was asked for once more than there are blocks.
        EXPECT_EQ(rig.sim->counters().blocksRead, c.args[0] == "-dw" ? 3u : c.args[2] == "--twice" ? 3u : 2u);
    }
    EXPECT_NE(fx::readFile(dir.file("one.s19")).find(fx::srec(1, 0x4000, {0x11})), std::string::npos);
}

// A file that cannot be written, a VQ-I image and bad switches end the run before anything is sent.
TEST(ReadBack, RefusedBeforeTheLineIsUsed) {
    fx::TempDir dir;
    const std::string vq1 = dir.file("vq1.s19");
    fx::writeFile(vq1, s19({{0x9000, Bytes(16, 1)}}));
    struct Case {
        Texts args;
        int status;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{"--read", dir.file("no/out.s19")},
         EXIT_FILE,
         BANNER + "ERROR: Could not write " + dir.file("no/out.s19") + ": No such file or directory.\n"},
        {{"--read", dir.path()},
         EXIT_FILE,
         BANNER + "ERROR: Could not write " + dir.path() + ": Is a directory.\n"},
        {{"--read", dir.file("out.s19"), vq1},
         EXIT_USAGE,
         BANNER + "Reading " + vq1 +
             ":\nDetected VQ-I (HC908) code.\nEntry point: 0x0000\nCode range : 0x9000-0x9000\n"
             "File read successfully.\n\nERROR: A VQ-I boot loader cannot be read back.\n"},
        {{"--range", "0x4000-0x40FF"}, EXIT_USAGE, "ERROR: Switch '--range' needs '--read'.\n"},
        {{"--read", dir.file("out.s19"), "-w"},
         EXIT_USAGE,
         "ERROR: Switch '--read' cannot be combined with -w.\n"},
        {{"-V", "--read=" + dir.file("out.s19")},
         EXIT_USAGE,
         "ERROR: Switch '--read' cannot be combined with -V.\n"},
        {{"--read="}, EXIT_USAGE, "ERROR: Switch '--read' needs a file name, not an empty one.\n"},
        {{"--read", dir.file("out.s19"), "--range"}, EXIT_USAGE, "ERROR: Switch '--range' needs a value.\n"},
        {{"--read", dir.file("out.s19"), "--range", "0x7F00-0x80FF"},
         EXIT_USAGE,
         "ERROR: Invalid range '0x7F00-0x80FF'.\n"},
        {{"--read", dir.file("out.s19"), "--range", "0x4000-0x40FF", "--range", "0x8000-0x80FF"},
         EXIT_USAGE,
         "ERROR: Ranges 0x4000-0x40FF and 0x8000-0x80FF are the same flash (0x8000-0xBFFF is held at "
         "0x4000-0x7FFF).\n"},
        {{"--read", dir.file("out.s19"), "--range", "0xBF00-0xBFFF", "--range", "0x4000-0x7FFF"},
         EXIT_USAGE,
         "ERROR: Ranges 0xBF00-0xBFFF and 0x4000-0x7FFF are the same flash (0x8000-0xBFFF is held at "
         "0x4000-0x7FFF).\n"},
        {{"--twice"}, EXIT_USAGE, "ERROR: Switch '--twice' needs '--read'.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        fx::Rig controller;
        ASSERT_TRUE(controller.start());
        const fx::RunResult r = controller.run(c.args);
        EXPECT_EQ(r.status, c.status);
        if (c.status == EXIT_USAGE && c.out.compare(0, BANNER.size(), BANNER) != 0)
            EXPECT_EQ(r.out.substr(0, c.out.size() + 7), c.out + "usage: ") << "the usage text follows";
        else
            EXPECT_EQ(r.out, c.out);
        EXPECT_TRUE(controller.sim->received().empty());
        EXPECT_EQ(fx::listDir(dir.path()), Texts{"vq1.s19"});
    }
}

// Ranges as a user types them: each end hexadecimal with 0x or decimal, both in one flash area, in order.
TEST(ReadBack, RangeSyntax) {
    struct Case {
        const char* text;
        bool valid;
        uint32_t first, last;
    };
    const std::vector<Case> cases = {
        {"16384-32767", true, 0x4000, 0x7FFF},
        {"0XC000-0xffff", true, 0xC000, 0xFFFF},
        {"0x8000-0xBFFF", true, 0x8000, 0xBFFF},
        {"0x3C8000-0x3CBFFF", true, 0x3C8000, 0x3CBFFF},
        {"0xFF8000-0xFF8000", true, 0xFF8000, 0xFF8000},
        {"0x4000", false, 0, 0},
        {"0x5000-0x4000", false, 0, 0},
        {"0x7F00-0x80FF", false, 0, 0},
        {"0x3000-0x30FF", false, 0, 0},
        {"0x3CC000-0x3CC0FF", false, 0, 0},
        {"0x1008000-0x10080FF", false, 0, 0},
        {"0x3C8000-0x3D8000", false, 0, 0},
        {"0x-0x10", false, 0, 0},
        {"16384-", false, 0, 0},
        {"0x4000-0x40zz", false, 0, 0},
        {" 0x4000-0x4010", false, 0, 0},
        {"0x4000-0x4010 ", false, 0, 0},
        {"16384-1638a", false, 0, 0},
        {"0x100004000-0x100004010", false, 0, 0},
        {"", false, 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t first = 0, last = 0;
        EXPECT_EQ(monitor::parseRange(c.text, first, last), c.valid) << c.text;
        if (c.valid) {
            EXPECT_EQ(std::make_pair(first, last), std::make_pair(c.first, c.last)) << c.text;
        }
    }
}
