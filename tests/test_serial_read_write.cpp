// Reading, writing and expecting replies on the serial link, with the test playing the controller on the
// master side of a pseudo-terminal.
#include "test_serial.h"

#include <string>
#include <thread>
#include <vector>

using namespace serial_test;

namespace {

/// Literal trace lines of the bytes 0, 1, 2, ... for 3, 17 and 40 bytes.
const char* const TRACE_3 = " 00 01 02\n";
const char* const TRACE_17 = " 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n"
                             "@:  10\n";
const char* const TRACE_40 = " 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n"
                             "@:  10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f\n"
                             "@:  20 21 22 23 24 25 26 27\n";

/// The trace text with its prefix ("RX" or "TX") filled in.
std::string traceOf(const char* kind, const char* lines) {
    std::string result = std::string(kind) + ": " + lines;
    for (size_t at = result.find('@'); at != std::string::npos; at = result.find('@', at))
        result.replace(at, 1, kind);
    return result;
}

} // namespace

// ---- Reading and writing

TEST(SerialRead, OneByteOrATimeOut) {
    Pty pty;
    Downloader d;
    openOn(d, pty);
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_FALSE(d.readByte(&byte));
    double waited = msSince(start);
    EXPECT_GE(waited, 245.0);
    EXPECT_LE(waited, 400.0);

    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.send("\xA7");
    });
    start = Clock::now();
    EXPECT_TRUE(d.readByte(&byte));
    waited = msSince(start);
    peer.join();
    EXPECT_EQ(byte, 0xA7);
    EXPECT_GE(waited, 90.0);
    EXPECT_LE(waited, 200.0);
}

TEST(SerialRead, TracesOf3And17And40Bytes) {
    Pty pty;
    Downloader d;
    attach(d, 4);
    openOn(d, pty);
    uint8_t buffer[64];

    pty.send(std::string("\xE0\x00\x3E", 3));
    EXPECT_TRUE(d.readBytes(buffer, 3));
    EXPECT_EQ(fx::captured, "RX:  e0 00 3e\n");

    const std::pair<unsigned, const char*> cases[] = {{3, TRACE_3}, {17, TRACE_17}, {40, TRACE_40}};
    for (const auto& c : cases) {
        fx::captured.clear();
        pty.send(fx::toText(fx::bytes(c.first)));
        EXPECT_TRUE(d.readBytes(buffer, c.first));
        EXPECT_EQ(fx::captured, traceOf("RX", c.second)) << c.first;
        EXPECT_EQ(std::memcmp(buffer, fx::bytes(c.first).data(), c.first), 0);
    }

    // At verbosity 3 the bytes come as before, without a trace.
    attach(d, 3);
    pty.send(fx::toText(fx::bytes(17)));
    EXPECT_TRUE(d.readBytes(buffer, 17));
    EXPECT_EQ(fx::captured, "");
}

TEST(SerialRead, ReplyThatStopsShort) {
    Pty pty;
    Downloader d;
    attach(d, 4);
    openOn(d, pty);
    uint8_t buffer[3];
    pty.send(std::string("\xE0\x00", 2));
    auto start = Clock::now();
    EXPECT_FALSE(d.readBytes(buffer, 3));
    EXPECT_GE(msSince(start), 245.0);
    EXPECT_EQ(buffer[0], 0xE0);
    EXPECT_EQ(buffer[1], 0x00);
    // The position of the failed read shows nothing.
    EXPECT_EQ(fx::captured, "RX:  e0 00\n");

    fx::captured.clear();
    EXPECT_FALSE(d.readBytes(buffer, 3));
    EXPECT_EQ(fx::captured, "") << "nothing came, so there is no trace line";
}

namespace {
Pty* watchedPeer = nullptr;
bool sentBeforeTrace = false;
/// The console sink for the TX test: a trace line must be shown before any byte of its block is on the line.
void watchingSink(const char* line) {
    if (watchedPeer && watchedPeer->pending()) sentBeforeTrace = true;
    fx::captureSink(line);
}
} // namespace

TEST(SerialWrite, TracesOf3And17And40BytesComeFirst) {
    Pty pty;
    Downloader d;
    openOn(d, pty);
    d.console.verbosity = 4;
    d.console.sink = watchingSink;
    watchedPeer = &pty;
    sentBeforeTrace = false;

    const std::pair<unsigned, const char*> cases[] = {{3, TRACE_3}, {17, TRACE_17}, {40, TRACE_40}};
    for (const auto& c : cases) {
        fx::captured.clear();
        std::vector<uint8_t> block = fx::bytes(c.first);
        EXPECT_TRUE(d.writeBytes(block.data(), c.first));
        EXPECT_EQ(fx::captured, traceOf("TX", c.second)) << c.first;
        EXPECT_EQ(pty.receive(c.first), fx::toText(block));
        EXPECT_FALSE(sentBeforeTrace) << c.first;
    }
    watchedPeer = nullptr;

    // writeByte and writeText: the same trace, the text without its terminator.
    fx::captured.clear();
    EXPECT_TRUE(d.writeByte(0xB4));
    EXPECT_TRUE(d.writeText("\r!!"));
    EXPECT_EQ(fx::captured, "TX:  b4\nTX:  0d 21 21\n");
    EXPECT_EQ(pty.receive(4), "\xB4\r!!");
    EXPECT_EQ(pty.receive(1, 50), "");

    attach(d, 3);
    EXPECT_TRUE(d.writeText("w"));
    EXPECT_EQ(fx::captured, "");
    EXPECT_EQ(pty.receive(1), "w");
}

// ---- expect

TEST(SerialExpect, ExactLongerAndShorterReplies) {
    Pty pty;
    Downloader d;
    attach(d, 2);
    openOn(d, pty);

    // Exact: the eighth attempt times out, so the reply takes one read time-out longer.
    pty.send("\r\nBoot>");
    auto start = Clock::now();
    EXPECT_TRUE(d.expect("\r\nBoot>", true));
    EXPECT_GE(msSince(start), 245.0);
    EXPECT_EQ(fx::captured, "\r\nBoot>\n");

    // Longer: the first 7 are compared, the eighth is consumed and dropped.
    fx::captured.clear();
    pty.send("\r\nBoot>XY");
    start = Clock::now();
    EXPECT_TRUE(d.expect("\r\nBoot>", false));
    EXPECT_LE(msSince(start), 200.0) << "no attempt had to time out";
    EXPECT_EQ(fx::captured, "\r\nBoot>\n");
    uint8_t byte = 0;
    EXPECT_TRUE(d.readByte(&byte));
    EXPECT_EQ(byte, 'Y');

    // Shorter, and a zero byte that ends the text.
    fx::captured.clear();
    pty.send("\r\nBoot");
    EXPECT_FALSE(d.expect("\r\nBoot>", false));
    pty.send(std::string("\r\nBo\0t>", 7));
    EXPECT_FALSE(d.expect("\r\nBoot>", false));
    EXPECT_EQ(fx::captured, "\r\nBoot\n\r\nBo\n");

    // At verbosity 1 the received text is not shown.
    attach(d, 1);
    pty.send("u\r\n");
    EXPECT_TRUE(d.expect("u\r\n", true));
    EXPECT_EQ(fx::captured, "");
}

TEST(SerialExpect, FatalMismatchEndsTheRunWithStatus4) {
    Pty pty;
    Downloader d;
    attach(d, -1); // fatal texts show at every verbosity
    openOn(d, pty);
    pty.send("Boat>");
    EXPECT_EQ(fx::exitStatus([&] { d.expect("Boot>", true); }), 4);
    EXPECT_EQ(fx::captured,
              "Download failed:\n   Expected response \"Boot>\",\n   but received this \"Boat>\".\n\n");
}

TEST(SerialExpect, SilentLine) {
    Pty pty;
    Downloader d;
    attach(d, 2);
    openOn(d, pty);
    auto start = Clock::now();
    int status = fx::exitStatus([&] { d.expect("\r\nBoot>", true); });
    double waited = msSince(start);
    EXPECT_EQ(status, 4);
    // Eight attempts of 251 ms each.
    EXPECT_GE(waited, 8 * 245.0);
    EXPECT_LE(waited, 8 * 251.0 + 600.0);
    EXPECT_EQ(fx::captured,
              "\n"
              "Download failed:\n   Expected response \"\r\nBoot>\",\n   but received this \"\".\n\n");
}
