// The simulated controller, driven over its pseudo-terminal as the downloader would drive it: the VQ-II
// monitor and its memory, the VQ-I boot loader and faults.
#include "fixture.h"

#include "engine.h"

using fx::Bytes, fx::operator+, fx::toBytes, fx::DROP_IN, fx::DONE, fx::COLD_RESET, fx::NOT_RECOGNIZED,
    fx::writeBlock, fx::readBlock, fx::setPage, fx::peekRange, fx::secondsSince, fx::Clock;

TEST(Monitor, RunningProgramWakesOnlyToTheDropInString) {
    auto sim = fx::startController(fx::monitorOptions());
    fx::Peer peer(sim->devicePath());
    ASSERT_TRUE(peer.isOpen());
    // A program of its own: commands and half a drop-in string go unanswered.
    peer.send(Bytes{0x0D, 0xB4} + toBytes("!!!Keep"));
    EXPECT_EQ(peer.read(1, 150), Bytes());
    EXPECT_EQ(peer.exchange(toBytes("xx") + DROP_IN, 3), COLD_RESET);
    EXPECT_EQ(peer.exchange({0x0D}, 3), NOT_RECOGNIZED);
    // In the monitor the drop-in string gets one answer as a whole, and nothing more.
    EXPECT_EQ(peer.exchange(DROP_IN, 3), NOT_RECOGNIZED);
    EXPECT_EQ(peer.read(1, 50), Bytes());
    EXPECT_EQ(peer.exchange({0xB4}, 3), COLD_RESET);
    EXPECT_EQ(peer.exchange({0x55}, 3), NOT_RECOGNIZED);
    // A drop-in string broken off: one answer for the part, then the breaking byte and the probe as commands.
    EXPECT_EQ(peer.exchange(toBytes("!!!Kx") + Bytes{0x0D}, 9),
              NOT_RECOGNIZED + NOT_RECOGNIZED + NOT_RECOGNIZED);
    vqsim::Counters c = sim->counters();
    EXPECT_EQ(c.probes, 2u);
    EXPECT_EQ(c.resets, 1u);
    EXPECT_EQ(sim->received().size(), 2u + 7 + 16 + 1 + 14 + 1 + 1 + 6);
}

TEST(Monitor, MemoryHasPagesInTheWindowAndErases) {
    auto sim = fx::startController(fx::monitorOptions({}, true));
    fx::Peer peer(sim->devicePath());
    const Bytes a = fx::bytes(16, 0x10), b = fx::bytes(16, 0x80), c = fx::bytes(4, 0x40);
    EXPECT_EQ(peer.exchange(writeBlock(0xC000, c), 3), DONE);
    EXPECT_EQ(peer.exchange(setPage(0x3C), 3), DONE);
    EXPECT_EQ(sim->pageRegister(), 0x3C);
    EXPECT_EQ(peer.exchange(writeBlock(0x8000, a), 3), DONE);
    EXPECT_EQ(peer.exchange(setPage(0x3D), 3), DONE);
    EXPECT_EQ(peer.exchange(writeBlock(0x8000, b), 3), DONE);
    EXPECT_EQ(peekRange(*sim, 0x3C8000, 16), a);
    EXPECT_EQ(peekRange(*sim, 0x3D8000, 16), b);
    EXPECT_EQ(peekRange(*sim, 0xC000, 4), c);
    // The window shows the page the register selects; page 0 there is still erased.
    EXPECT_EQ(peer.exchange(readBlock(0x8000, 16), 19), b + DONE);
    EXPECT_EQ(peer.exchange(setPage(0x3C), 3), DONE);
    EXPECT_EQ(peer.exchange(readBlock(0x8000, 16), 19), a + DONE);
    EXPECT_EQ(peer.exchange(readBlock(0x7FFE, 4), 7), (Bytes{0xFF, 0xFF, 0x10, 0x11} + DONE));
    // A block past the end of the window spills into the unpaged space.
    EXPECT_EQ(peer.exchange(writeBlock(0xBFFE, {1, 2, 3, 4}), 3), DONE);
    EXPECT_EQ(peekRange(*sim, 0x3CBFFE, 4), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(peekRange(*sim, 0xC000, 4), (Bytes{3, 4, 0x42, 0x43}));
    // The longest block, and a byte written outside the page register.
    const Bytes big = fx::bytes(256, 7);
    EXPECT_EQ(peer.exchange(writeBlock(0x1000, big), 3), DONE);
    EXPECT_EQ(peer.exchange(readBlock(0x1000, 256), 259), big + DONE);
    EXPECT_EQ(peer.exchange({0xA2, 0x12, 0x34, 0x77}, 3), DONE);
    EXPECT_EQ(sim->peek(0x1234), 0x77);
    EXPECT_EQ(sim->pageRegister(), 0x3C);
    // Erase page: the selected page only.
    EXPECT_EQ(peer.exchange({0xB8}, 3), DONE);
    EXPECT_EQ(peekRange(*sim, 0x3C8000, 16), Bytes(16, 0xFF));
    EXPECT_EQ(peekRange(*sim, 0x3D8000, 16), b);
    EXPECT_EQ(sim->peek(0xC002), 0x42);
    // Erase main: all of the unpaged space; a page keeps its bytes until its own erase.
    EXPECT_EQ(peer.exchange({0xB6}, 3), DONE);
    EXPECT_EQ(peekRange(*sim, 0x3D8000, 16), b);
    EXPECT_EQ(peekRange(*sim, 0xC000, 4), Bytes(4, 0xFF));
    EXPECT_EQ(sim->peek(0x1000), 0xFF);
    vqsim::Counters n = sim->counters();
    EXPECT_EQ(n.blocksWritten, 5u);
    EXPECT_EQ(n.bytesWritten, 4u + 16 + 16 + 4 + 256);
    EXPECT_EQ(n.blocksRead, 4u);
    EXPECT_EQ(n.pageSets, 3u);
    EXPECT_EQ(n.pagesErased, 1u);
    EXPECT_EQ(n.mainErases, 1u);
    EXPECT_EQ(sim->summary(),
              "Simulated VQ-II controller: bytes written 296, pages erased 1, verification reads 4.");
    sim->poke(0x3C8001, 0x5A);
    EXPECT_EQ(peer.exchange(readBlock(0x8000, 2), 5), (Bytes{0xFF, 0x5A} + DONE));
}

TEST(BootLoader, AnswersItsDialogueByteForByte) {
    auto options = fx::bootLoaderOptions();
    options.signature = "Sig 2.0\r\n";
    auto sim = fx::startController(options);
    fx::Peer peer(sim->devicePath());
    sim->poke(0x9000, 0x12);
    EXPECT_EQ(peer.exchange(toBytes("\r"), 7), toBytes("\r\nBoot>"));
    EXPECT_EQ(peer.exchange(toBytes("!!"), 7), toBytes("\r\nBoot>"));
    peer.send(toBytes("q!"));
    EXPECT_EQ(peer.read(1, 100), Bytes()) << "unknown bytes and half a wake-up are ignored";
    EXPECT_EQ(peer.exchange(toBytes("w"), 18), toBytes("w  Complete\r\nBoot>"));
    EXPECT_EQ(sim->peek(0x9000), 0xFF);
    EXPECT_EQ(peer.exchange(toBytes("u"), 15), toBytes("u - waiting ..."));
    std::string good = fx::srec(1, 0x8000, {1, 2, 3}) + "\r\n";
    std::string bad = fx::srec(1, 0x8100, {4, 5}) + "\r\n";
    bad[bad.size() - 3] ^= 1; // checksum off by one bit
    std::string end = "S9030000FC\r\n";
    peer.send(toBytes(good + bad));
    EXPECT_EQ(peer.read(1, 100), Bytes()) << "no answer per line";
    EXPECT_EQ(peer.exchange(toBytes(end), 17), toBytes("  Complete\r\nBoot>"));
    EXPECT_EQ(peer.read(1, 50), Bytes());
    EXPECT_EQ(sim->lines(), (std::vector<std::string>{good, bad, end}));
    EXPECT_EQ(peekRange(*sim, 0x8000, 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(sim->peek(0x8100), 0xFF) << "a line with a bad checksum is not written";
    EXPECT_EQ(peer.exchange(toBytes("x"), 8), toBytes("x\r\nBoot>"));
    EXPECT_EQ(peer.exchange(toBytes("S"), 9), toBytes("Sig 2.0\r\n"));
    vqsim::Counters c = sim->counters();
    EXPECT_EQ(c.linesReceived, 3u);
    EXPECT_EQ(c.badLines, 1u);
    EXPECT_EQ(c.bytesWritten, 3u);
    EXPECT_EQ(c.mainErases, 1u);
    EXPECT_EQ(sim->summary(), "Simulated VQ-I controller: bytes written 3, lines 3 (1 bad), wipes 1.");
}

TEST(Faults, ChangeTheAnswersOfChosenOccurrences) {
    auto sim = fx::startController(fx::monitorOptions(
        {"silent@probe#1-2", "error@writeblock#2=0xE6", "prompt@erasemain=0x3F", "corrupt@readblock#1=2",
         "short@readblock#2=3", "extra@writebyte=0x55", "chatter@erasepage=ab\\r\\n", "status=0x0C@reset"}));
    fx::Peer peer(sim->devicePath());
    EXPECT_EQ(peer.exchange(DROP_IN, 3), COLD_RESET);
    EXPECT_EQ(peer.exchange({0x0D}, 3, 150), Bytes());
    EXPECT_EQ(peer.exchange({0x0D}, 3, 150), Bytes());
    EXPECT_EQ(peer.exchange({0x0D}, 3), NOT_RECOGNIZED);
    EXPECT_EQ(peer.exchange({0xB6}, 3), (Bytes{0xE0, 0x00, 0x3F}));
    EXPECT_EQ(peer.exchange(writeBlock(0xC000, {1, 2, 3, 4}), 3), DONE);
    EXPECT_EQ(peer.exchange(writeBlock(0xC004, {5}), 3), (Bytes{0xE6, 0x00, 0x3E}));
    EXPECT_EQ(sim->peek(0xC004), 5) << "the command is carried out whatever its answer";
    EXPECT_EQ(peer.exchange(readBlock(0xC000, 4), 7), (Bytes{1, 0xFD, 3, 4} + DONE));
    EXPECT_EQ(peer.exchange(readBlock(0xC000, 4), 7, 150), (Bytes{1, 2, 3}));
    EXPECT_EQ(peer.exchange(readBlock(0xC000, 2), 5), (Bytes{1, 2} + DONE));
    EXPECT_EQ(peer.exchange(setPage(1), 4), DONE + Bytes{0x55});
    EXPECT_EQ(peer.exchange({0xB8}, 7), toBytes("ab\r\n") + DONE);
    EXPECT_EQ(peer.exchange({0xB4}, 3), (Bytes{0xE0, 0x0C, 0x3E}));
    EXPECT_EQ(peer.exchange({0xB4}, 3), (Bytes{0xE0, 0x0C, 0x3E})) << "no occurrences given: every one";
}

// An ignored command is answered as usual and changes nothing: an erase that did not take, a lost write.
TEST(Faults, IgnoredCommandsChangeNothing) {
    auto sim = fx::startController(fx::monitorOptions(
        {"ignore@erasemain#1", "ignore@erasepage#1", "ignore@writeblock#2", "ignore@writebyte#2"}));
    fx::Peer peer(sim->devicePath());
    EXPECT_EQ(peer.exchange(DROP_IN, 3), COLD_RESET);
    EXPECT_EQ(peer.exchange(writeBlock(0xC000, {1, 2}), 3), DONE);
    EXPECT_EQ(peer.exchange(writeBlock(0xC002, {3}), 3), DONE);
    EXPECT_EQ(peer.exchange({0xB6}, 3), DONE);
    EXPECT_EQ(peekRange(*sim, 0xC000, 3), (Bytes{1, 2, 0xFF})) << "the second write and the first erase";
    EXPECT_EQ(peer.exchange(setPage(0x3C), 3), DONE);
    EXPECT_EQ(peer.exchange(setPage(0x3D), 3), DONE);
    EXPECT_EQ(peer.exchange(writeBlock(0x8000, {7}), 3), DONE);
    EXPECT_EQ(sim->peek(0x3C8000), 7) << "the second page register write went nowhere";
    EXPECT_EQ(peer.exchange({0xB8}, 3), DONE);
    EXPECT_EQ(sim->peek(0x3C8000), 7);
    EXPECT_EQ(peer.exchange({0xB8}, 3), DONE);
    EXPECT_EQ(sim->peek(0x3C8000), 0xFF);
    EXPECT_EQ(peer.exchange({0xB6}, 3), DONE);
    EXPECT_EQ(sim->peek(0xC000), 0xFF);
}

TEST(Faults, BootLoaderRepliesCanBeReplacedAndChattered) {
    auto sim = fx::startController(fx::bootLoaderOptions(
        {"reply@cr#2=Nope", "chatter@wake=Hi\\x21\\r\\n", "silent@s9", "corrupt@any#4=1"}));
    fx::Peer peer(sim->devicePath());
    EXPECT_EQ(peer.exchange(toBytes("\r"), 7), toBytes("\r\nBoot>"));
    EXPECT_EQ(peer.exchange(toBytes("\r"), 4), toBytes("Nope"));
    EXPECT_EQ(peer.exchange(toBytes("!!"), 12), toBytes("Hi!\r\n\r\nBoot>"));
    EXPECT_EQ(peer.exchange(toBytes("x"), 8), toBytes("\x87\r\nBoot>"));
    EXPECT_EQ(peer.exchange(toBytes("u"), 15), toBytes("u - waiting ..."));
    EXPECT_EQ(peer.exchange(toBytes("S9030000FC\r\n"), 1, 150), Bytes());
    EXPECT_EQ(peer.exchange(toBytes("x"), 8), toBytes("x\r\nBoot>")) << "the S9 line ended the reception";
}

TEST(Faults, SlowAnswersAndAStreamOfChatter) {
    auto slow = fx::startController(fx::monitorOptions({"slow@probe=40"}, true));
    fx::Peer a(slow->devicePath());
    auto start = Clock::now();
    EXPECT_EQ(a.exchange({0x0D}, 3), NOT_RECOGNIZED);
    EXPECT_GE(secondsSince(start), 0.115);
    auto stream = fx::startController(fx::monitorOptions({"stream=20"}));
    fx::Peer b(stream->devicePath());
    Bytes chatter = b.read(5, 1000);
    EXPECT_EQ(chatter, Bytes(5, '.'));
    EXPECT_TRUE(stream->received().empty());
}

TEST(Faults, HangupClosesTheLine) {
    auto sim = fx::startController(fx::monitorOptions({"hangup@erasemain"}, true));
    fx::Peer peer(sim->devicePath());
    EXPECT_EQ(peer.exchange({0x0D}, 3), NOT_RECOGNIZED);
    EXPECT_FALSE(sim->hungUp());
    EXPECT_EQ(peer.exchange({0xB6}, 3), Bytes());
    EXPECT_TRUE(peer.hungUp);
    EXPECT_TRUE(sim->hungUp());
    EXPECT_EQ(sim->counters().mainErases, 1u);
    EXPECT_TRUE(sim->idleAfterSession(60000)) << "a hung-up line ends a --once run";

    auto after = fx::startController(fx::monitorOptions({"hangup-after=5"}, true));
    fx::Peer second(after->devicePath());
    // The fifth byte drops the line unanswered; answers still on their way are lost with it.
    second.exchange({0x0D, 0x0D, 0x0D, 0x0D, 0x0D, 0x0D}, 20);
    EXPECT_TRUE(second.hungUp);
    EXPECT_TRUE(after->hungUp());
    EXPECT_EQ(after->received().size(), 5u);
    EXPECT_EQ(after->sent(), NOT_RECOGNIZED + NOT_RECOGNIZED + NOT_RECOGNIZED + NOT_RECOGNIZED);
}

TEST(Faults, MalformedFaultsStopTheStart) {
    struct Case {
        int generation;
        std::string fault;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {2, "loud@probe", "unknown kind \"loud\""},
        {2, "silent@wake", "unknown command \"wake\" for a VQ-II controller"},
        {1, "silent@probe", "unknown command \"probe\" for a VQ-I controller"},
        {2, "error@probe", "\"error\" needs a value"},
        {2, "error@probe=0x100", "\"0x100\" is not a byte value"},
        {2, "error@probe=-1", "\"-1\" is not a byte value"},
        {2, "silent@probe=1", "\"silent\" takes no value"},
        {1, "error@w=0xE1", "\"error\" applies to a VQ-II controller only"},
        {2, "reply@probe=x", "\"reply\" applies to a VQ-I controller only"},
        {2, "silent@probe#0", "occurrences must be #N or #N-M"},
        {2, "silent@probe#3-2", "occurrences must be #N or #N-M"},
        {2, "silent@probe#x", "occurrences must be #N or #N-M"},
        {2, "corrupt@readblock=0", "\"0\" is not a byte position (from 1)"},
        {2, "chatter@probe=", "\"\" is not a text"},
        {2, "chatter@probe=a\\q", "\"a\\q\" is not a text"},
        {1, "chatter@cr=\\x4", "\"\\x4\" is not a text"},
        {2, "slow@probe=fast", "\"fast\" is not a time in milliseconds"},
        {2, "hangup-after=0", "hangup-after needs a byte count"},
        {2, "stream=", "stream needs a time"},
        {2, "silent", "expected KIND@COMMAND"},
        {2, "ignore@readblock", "\"ignore\" applies to a command that changes the flash"},
        {1, "ignore@w", "\"ignore\" applies to a VQ-II controller only"},
        {2, "ignore@erasemain=1", "\"ignore\" takes no value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        vqsim::Options options;
        options.generation = c.generation;
        options.faults = {"silent@any#5", c.fault};
        vqsim::Simulator sim(options);
        std::string error;
        EXPECT_FALSE(sim.start(error));
        EXPECT_EQ(error.find("bad fault \"" + c.fault + "\": " + c.reason), 0u) << error;
        EXPECT_TRUE(sim.devicePath().empty());
    }
    vqsim::Options wrong;
    wrong.generation = 3;
    vqsim::Simulator sim(wrong);
    std::string error;
    EXPECT_FALSE(sim.start(error));
    EXPECT_EQ(error, "the generation must be 1 (VQ-I) or 2 (VQ-II), not 3");
}

// Fault numbers are decimal or 0x hexadecimal; a leading zero never makes one octal.
TEST(Faults, NumbersAreDecimalOrHexadecimalNeverOctal) {
    struct Case {
        std::string text;
        uint64_t first;
        unsigned number;
    };
    const std::vector<Case> cases = {
        {"corrupt@readblock#010=010", 10, 10},
        {"corrupt@readblock#08=08", 8, 8},
        {"corrupt@readblock#0x10=0X1f", 16, 31},
        {"error@probe=0xE6", 1, 0xE6},
    };
    for (const Case& c : cases) {
        vqsim::FaultSet faults;
        std::string error;
        ASSERT_TRUE(vqsim::parseFaults({c.text}, 2, faults, error)) << c.text << ": " << error;
        EXPECT_EQ(faults.faults.at(0).first, c.first) << c.text;
        EXPECT_EQ(faults.faults.at(0).number, c.number) << c.text;
    }
    for (const char* bad : {"corrupt@readblock=0x", "corrupt@readblock=0xg", "corrupt@readblock=1e"}) {
        vqsim::FaultSet faults;
        std::string error;
        EXPECT_FALSE(vqsim::parseFaults({bad}, 2, faults, error)) << bad;
    }
}
