// The simulated controller, driven over its pseudo-terminal as the downloader would drive it: the VQ-II
// monitor and its memory, the VQ-I boot loader, faults, the line's reopening and pacing, and the vqsim
// program.
#include "fixture.h"

#include "simulator.h"

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Bytes DROP_IN = text("!!!KeepOutHere");
const Bytes DONE = {0xE0, 0x00, 0x3E};
const Bytes COLD_RESET = {0xE0, 0x08, 0x3E};
const Bytes NOT_RECOGNIZED = {0xE1, 0x00, 0x3E};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The downloader's end of the line: the slave side, opened exclusively as vq2dl opens it.
class Peer {
public:
    explicit Peer(const std::string& path) {
        fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) ioctl(fd, TIOCEXCL);
    }
    ~Peer() { close(); }
    bool isOpen() const { return fd >= 0; }
    void close() {
        if (fd >= 0) ioctl(fd, TIOCNXCL);
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    void send(const Bytes& bytes) { ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    // Reads until n bytes came, the line hung up, or the time ran out.
    Bytes read(size_t n, int timeoutMs = 2000) {
        Bytes got;
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n && !hungUp) {
            int left =
                int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (left <= 0) break;
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            uint8_t buffer[512];
            ssize_t r = ::read(fd, buffer, std::min(sizeof buffer, n - got.size()));
            if (r > 0)
                got.insert(got.end(), buffer, buffer + r);
            else if (r == 0 || errno != EAGAIN)
                hungUp = true;
        }
        return got;
    }
    Bytes exchange(const Bytes& command, size_t n, int timeoutMs = 2000) {
        send(command);
        return read(n, timeoutMs);
    }
    bool hungUp = false;

private:
    int fd = -1;
};

std::unique_ptr<vqsim::Simulator> started(vqsim::Options options) {
    auto sim = std::make_unique<vqsim::Simulator>(std::move(options));
    std::string error;
    EXPECT_TRUE(sim->start(error)) << error;
    return sim;
}

vqsim::Options monitor(bool inMonitor, std::vector<std::string> faults = {}) {
    vqsim::Options o;
    o.inMonitor = inMonitor;
    o.faults = std::move(faults);
    return o;
}

vqsim::Options bootLoader(std::vector<std::string> faults = {}) {
    vqsim::Options o;
    o.generation = 1;
    o.faults = std::move(faults);
    return o;
}

Bytes writeBlock(uint16_t address, const Bytes& data) {
    return Bytes{0xA8, uint8_t(address >> 8), uint8_t(address), uint8_t(data.size() - 1)} + data;
}
Bytes readBlock(uint16_t address, size_t n) {
    return {0xA7, uint8_t(address >> 8), uint8_t(address), uint8_t(n - 1)};
}
Bytes setPage(uint8_t page) {
    return {0xA2, 0x00, 0x30, page};
}

Bytes peekRange(const vqsim::Simulator& sim, uint32_t address, size_t n) {
    Bytes b;
    for (size_t i = 0; i < n; ++i)
        b.push_back(sim.peek(address + uint32_t(i)));
    return b;
}

} // namespace

TEST(Monitor, RunningProgramWakesOnlyToTheDropInString) {
    auto sim = started(monitor(false));
    Peer peer(sim->devicePath());
    ASSERT_TRUE(peer.isOpen());
    // A program of its own: commands and half a drop-in string go unanswered.
    peer.send(Bytes{0x0D, 0xB4} + text("!!!Keep"));
    EXPECT_EQ(peer.read(1, 150), Bytes());
    EXPECT_EQ(peer.exchange(text("xx") + DROP_IN, 3), COLD_RESET);
    EXPECT_EQ(peer.exchange({0x0D}, 3), NOT_RECOGNIZED);
    // In the monitor the drop-in string gets one answer as a whole, and nothing more.
    EXPECT_EQ(peer.exchange(DROP_IN, 3), NOT_RECOGNIZED);
    EXPECT_EQ(peer.read(1, 50), Bytes());
    EXPECT_EQ(peer.exchange({0xB4}, 3), COLD_RESET);
    EXPECT_EQ(peer.exchange({0x55}, 3), NOT_RECOGNIZED);
    // A drop-in string broken off: one answer for the part, then the breaking byte and the probe as commands.
    EXPECT_EQ(peer.exchange(text("!!!Kx") + Bytes{0x0D}, 9),
              NOT_RECOGNIZED + NOT_RECOGNIZED + NOT_RECOGNIZED);
    vqsim::Counters c = sim->counters();
    EXPECT_EQ(c.probes, 2u);
    EXPECT_EQ(c.resets, 1u);
    EXPECT_EQ(sim->received().size(), 2u + 7 + 16 + 1 + 14 + 1 + 1 + 6);
}

TEST(Monitor, MemoryHasPagesInTheWindowAndErases) {
    auto sim = started(monitor(true));
    Peer peer(sim->devicePath());
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
    // Erase main: all of it.
    EXPECT_EQ(peer.exchange({0xB6}, 3), DONE);
    EXPECT_EQ(peekRange(*sim, 0x3D8000, 16), Bytes(16, 0xFF));
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
    auto options = bootLoader();
    options.signature = "Sig 2.0\r\n";
    auto sim = started(options);
    Peer peer(sim->devicePath());
    sim->poke(0x9000, 0x12);
    EXPECT_EQ(peer.exchange(text("\r"), 7), text("\r\nBoot>"));
    EXPECT_EQ(peer.exchange(text("!!"), 7), text("\r\nBoot>"));
    peer.send(text("q!"));
    EXPECT_EQ(peer.read(1, 100), Bytes()) << "unknown bytes and half a wake-up are ignored";
    EXPECT_EQ(peer.exchange(text("w"), 18), text("w  Complete\r\nBoot>"));
    EXPECT_EQ(sim->peek(0x9000), 0xFF);
    EXPECT_EQ(peer.exchange(text("u"), 15), text("u - waiting ..."));
    std::string good = fx::srec(1, 0x8000, {1, 2, 3}) + "\r\n";
    std::string bad = fx::srec(1, 0x8100, {4, 5}) + "\r\n";
    bad[bad.size() - 3] ^= 1; // checksum off by one bit
    std::string end = "S9030000FC\r\n";
    peer.send(text(good + bad));
    EXPECT_EQ(peer.read(1, 100), Bytes()) << "no answer per line";
    EXPECT_EQ(peer.exchange(text(end), 17), text("  Complete\r\nBoot>"));
    EXPECT_EQ(peer.read(1, 50), Bytes());
    EXPECT_EQ(sim->lines(), (std::vector<std::string>{good, bad, end}));
    EXPECT_EQ(peekRange(*sim, 0x8000, 3), (Bytes{1, 2, 3}));
    EXPECT_EQ(sim->peek(0x8100), 0xFF) << "a line with a bad checksum is not written";
    EXPECT_EQ(peer.exchange(text("x"), 8), text("x\r\nBoot>"));
    EXPECT_EQ(peer.exchange(text("S"), 9), text("Sig 2.0\r\n"));
    vqsim::Counters c = sim->counters();
    EXPECT_EQ(c.linesReceived, 3u);
    EXPECT_EQ(c.badLines, 1u);
    EXPECT_EQ(c.bytesWritten, 3u);
    EXPECT_EQ(c.mainErases, 1u);
    EXPECT_EQ(sim->summary(), "Simulated VQ-I controller: bytes written 3, lines 3 (1 bad), wipes 1.");
}

TEST(Faults, ChangeTheAnswersOfChosenOccurrences) {
    auto sim = started(monitor(false, {"silent@probe#1-2", "error@writeblock#2=0xE6", "prompt@erasemain=0x3F",
                                       "corrupt@readblock#1=2", "short@readblock#2=3", "extra@writebyte=0x55",
                                       "chatter@erasepage=ab\\r\\n", "status=0x0C@reset"}));
    Peer peer(sim->devicePath());
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
    EXPECT_EQ(peer.exchange({0xB8}, 7), text("ab\r\n") + DONE);
    EXPECT_EQ(peer.exchange({0xB4}, 3), (Bytes{0xE0, 0x0C, 0x3E}));
    EXPECT_EQ(peer.exchange({0xB4}, 3), (Bytes{0xE0, 0x0C, 0x3E})) << "no occurrences given: every one";
}

TEST(Faults, BootLoaderRepliesCanBeReplacedAndChattered) {
    auto sim = started(
        bootLoader({"reply@cr#2=Nope", "chatter@wake=Hi\\x21\\r\\n", "silent@s9", "corrupt@any#4=1"}));
    Peer peer(sim->devicePath());
    EXPECT_EQ(peer.exchange(text("\r"), 7), text("\r\nBoot>"));
    EXPECT_EQ(peer.exchange(text("\r"), 4), text("Nope"));
    EXPECT_EQ(peer.exchange(text("!!"), 12), text("Hi!\r\n\r\nBoot>"));
    EXPECT_EQ(peer.exchange(text("x"), 8), text("\x87\r\nBoot>"));
    EXPECT_EQ(peer.exchange(text("u"), 15), text("u - waiting ..."));
    EXPECT_EQ(peer.exchange(text("S9030000FC\r\n"), 1, 150), Bytes());
    EXPECT_EQ(peer.exchange(text("x"), 8), text("x\r\nBoot>")) << "the S9 line ended the reception";
}

TEST(Faults, SlowAnswersAndAStreamOfChatter) {
    auto slow = started(monitor(true, {"slow@probe=40"}));
    Peer a(slow->devicePath());
    auto start = Clock::now();
    EXPECT_EQ(a.exchange({0x0D}, 3), NOT_RECOGNIZED);
    EXPECT_GE(secondsSince(start), 0.115);
    auto stream = started(monitor(false, {"stream=20"}));
    Peer b(stream->devicePath());
    Bytes chatter = b.read(5, 1000);
    EXPECT_EQ(chatter, Bytes(5, '.'));
    EXPECT_TRUE(stream->received().empty());
}

TEST(Faults, HangupClosesTheLine) {
    auto sim = started(monitor(true, {"hangup@erasemain"}));
    Peer peer(sim->devicePath());
    EXPECT_EQ(peer.exchange({0x0D}, 3), NOT_RECOGNIZED);
    EXPECT_FALSE(sim->hungUp());
    EXPECT_EQ(peer.exchange({0xB6}, 3), Bytes());
    EXPECT_TRUE(peer.hungUp);
    EXPECT_TRUE(sim->hungUp());
    EXPECT_EQ(sim->counters().mainErases, 1u);
    EXPECT_TRUE(sim->idleAfterSession(60000)) << "a hung-up line ends a --once run";

    auto after = started(monitor(true, {"hangup-after=5"}));
    Peer second(after->devicePath());
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

TEST(Line, SurvivesTheDownloaderReopening) {
    auto sim = started(monitor(false));
    EXPECT_FALSE(sim->idleAfterSession(0)) << "no session yet";
    {
        Peer peer(sim->devicePath());
        EXPECT_EQ(peer.exchange(DROP_IN, 3), COLD_RESET);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(sim->idleAfterSession(100));
    EXPECT_FALSE(sim->idleAfterSession(60000));
    for (int round = 0; round < 3; ++round) {
        Peer peer(sim->devicePath());
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
        vqsim::Options options = monitor(true);
        options.baud = baud;
        auto sim = started(options);
        Peer peer(sim->devicePath());
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
    vqsim::Options paced = monitor(true);
    paced.baud = 300; // a read-back of 256 bytes would take nine seconds
    vqsim::Options slow = monitor(true, {"slow@readblock=10000"});
    for (const vqsim::Options& options : {paced, slow}) {
        auto sim = started(options);
        Peer peer(sim->devicePath());
        peer.send(readBlock(0x1000, 256));
        peer.read(1, 150);
        auto start = Clock::now();
        sim->stop();
        EXPECT_LT(secondsSince(start), 0.5);
        EXPECT_LT(sim->sent().size(), 10u);
    }
}

TEST(Simulator, DumpsFlashAndLogsEveryByte) {
    fx::TempDir dir;
    auto sim = started(monitor(true));
    {
        Peer peer(sim->devicePath());
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
              fx::srec(0, 0, text("vqsim")) + "\n" + fx::srec(1, 0xC000, {6, 2, 3, 4}) + "\n" +
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

    auto vq1 = started(bootLoader());
    vq1->poke(0x8000, 0xAA);
    vq1->poke(0xFFFF, 0x01);
    ASSERT_TRUE(vq1->dump(dir.file("vq1.s19"), false, error)) << error;
    EXPECT_EQ(fx::readFile(dir.file("vq1.s19")), fx::srec(0, 0, text("vqsim")) + "\n" +
                                                     fx::srec(1, 0x8000, {0xAA}) + "\n" +
                                                     fx::srec(1, 0xFFFF, {1}) + "\n" + fx::srec(9, 0) + "\n");
}

// --preload fills the flash from an S-record file in the addresses that --dump writes, so that a dump
// preloads back to the same dump; a file with any fault changes nothing and says where the fault is.
TEST(Simulator, PreloadFillsTheFlashOrChangesNothing) {
    fx::TempDir dir;
    const std::string good = dir.file("good.s19");
    fx::writeFile(good, fx::srec(0, 0, text("hdr")) + "\r\n" + fx::srec(1, 0x4000, {1, 2, 3}) + "\r\n" +
                            fx::srec(2, 0x3CBFFE, {4, 5}) + "\r\n\r\n" + fx::srec(3, 0xC010, {6}) + "\n" +
                            fx::srec(9, 0x4000) + "\r\n");
    auto sim = started(monitor(false));
    std::string error;
    ASSERT_TRUE(sim->preload(good, error)) << error;
    EXPECT_EQ(sim->peek(0x4002), 3);
    EXPECT_EQ(sim->peek(0x3CBFFF), 5);
    EXPECT_EQ(sim->peek(0xC010), 6);
    EXPECT_EQ(sim->peek(0xC011), 0xFF);
    ASSERT_TRUE(sim->dump(dir.file("a.s19"), false, error)) << error;
    vqsim::Simulator again(monitor(false));
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
        vqsim::Options options = monitor(false);
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

namespace {

// vqsim as a background process whose first line of output is read as soon as it comes.
struct Background {
    explicit Background(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(out[1], 1);
            ::close(out[0]);
            std::vector<char*> argv = {const_cast<char*>(VQSIM_PROGRAM)};
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(VQSIM_PROGRAM, argv.data());
            _exit(127);
        }
        ::close(out[1]);
        fd = out[0];
    }
    ~Background() {
        if (pid > 0 && status == -2) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (fd >= 0) ::close(fd);
    }
    // Everything written up to the first newline (or the end), waiting at most 10 s.
    std::string line() {
        std::string text;
        char c;
        pollfd p = {fd, POLLIN, 0};
        while (poll(&p, 1, 10000) > 0 && ::read(fd, &c, 1) == 1 && c != '\n')
            text += c;
        return text;
    }
    // The exit status after a signal, with the rest of the output.
    int finish(int signal, std::string& rest) {
        kill(pid, signal);
        rest.clear();
        char buffer[256];
        ssize_t n;
        pollfd p = {fd, POLLIN, 0};
        while (poll(&p, 1, 10000) > 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0)
            rest.append(buffer, n);
        int raw = 0;
        waitpid(pid, &raw, 0);
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return status;
    }
    pid_t pid = -1;
    int fd = -1;
    int status = -2;
};

std::string linkTarget(const std::string& link) {
    char buffer[256];
    ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    return n < 0 ? "" : std::string(buffer, n);
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
    std::string device;
    for (int i = 0; i < 200 && device.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        device = linkTarget(link);
    }
    ASSERT_EQ(device.compare(0, 9, "/dev/pts/"), 0) << device;
    Clock::time_point closed;
    {
        Peer peer(link);
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
    EXPECT_EQ(fx::readFile(dump), fx::srec(0, 0, text("vqsim")) + "\n" + fx::srec(1, 0xC000, {9, 8}) + "\n" +
                                      fx::srec(9, 0) + "\n");
    EXPECT_NE(fx::readFile(dir.file("log")).find(" in  A7\n"), std::string::npos);
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
        Peer peer(link);
        EXPECT_EQ(peer.exchange(text("S"), 6), text("RevA\r\n"));
    }
    std::string rest;
    EXPECT_EQ(vqsim.finish(SIGTERM, rest), 0);
    EXPECT_EQ(rest, "Simulated VQ-I controller: bytes written 0, lines 0 (0 bad), wipes 0.\n");
    EXPECT_FALSE(fx::fileExists(link));
    EXPECT_EQ(fx::readFile(dir.file("flash.bin")), std::string(0x10000, '\xFF'));
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
        {{"--bogus"}, "vqsim: unknown option \"--bogus\"\n"},
        {{"image.s19"}, "vqsim: unexpected argument \"image.s19\"\n"},
        {{"--log"}, "vqsim: --log needs a value\n"},
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
        if (c.args[0] != "--link" && c.args[0] != "--fault") expected += "Try \"vqsim --help\".\n";
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
                             "hangup-after=N",
                             "stream=MS",
                             "dropin reset probe writebyte erasepage erasemain writeblock readblock any",
                             "wake (the \"!!\") cr w u s9 x S any",
                             "Examples:"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
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
        vqsim::Options options = monitor(true);
        options.baud = 115200;
        options.delivery = c.delivery;
        auto sim = started(options);
        Peer peer(sim->devicePath());
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
