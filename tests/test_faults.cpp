// The fault matrix: at every step of both dialogues the simulated controller (or the cable) goes wrong in one
// way at a time: silence, a wrong byte, a short reply, chatter before the reply, bytes that come just inside
// and just outside the read time-out, a hang-up. The real vq2dl must end every such run with the right exit
// status and console text, within the time its own time-outs and pauses allow. Then the faults on the disk
// side (.ini extraction, vqu's output directory) and two downloaders on one port.
#include "fixture.h"

#include "simulator.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Texts = std::vector<std::string>;

/// One read time-out of vq2dl, in seconds.
constexpr double T = 0.251;
/// The least a read or a write on a hung-up line costs.
constexpr double FAIL = 0.020;
/// The fixed pause of the boot loader steps.
constexpr double SETTLE = 0.100;
/// Slow answers: every byte waits this long, just inside or just outside one read time-out.
constexpr double INSIDE = 0.200, OUTSIDE = 0.320;
/// What a run may take beyond the waits its dialogue prescribes: starting the program, reading the file,
/// and a loaded machine (sanitizers, other tests).
constexpr double SLACK = 1.0;
/// A run that has not ended by then hangs.
constexpr int RUN_LIMIT_MS = 30000;

/// Stands in an expected console text for received bytes whose count depends on how two waits race.
const std::string ANY = "\x01";

/// One case: the faults, and what the run must come to.
struct Row {
    std::string name;
    Texts faults;
    int status;
    std::string body;                  ///< the console output after the line that reports the open port
    double seconds;                    ///< the time-outs, pauses and slow bytes the run must wait through
    std::string wire = "";             ///< what the controller must have received first, when given
    size_t anyMax = std::string::npos; ///< the longest text that ANY in body may stand for
};

/// One controller generation: the firmware file and what a run shows and leaves behind.
struct Target {
    int generation;
    std::string file;                                ///< the S-record text
    Texts switches;                                  ///< vq2dl switches besides -c and the file
    std::string detected;                            ///< the lines that report the file read
    std::vector<std::pair<uint32_t, uint8_t>> flash; ///< what the flash holds after a download
};

const char* const SIGNATURE = "Boot 2.1\r\n";

std::string joinLines(const std::vector<std::string>& lines, size_t from, size_t to) {
    std::string text;
    for (size_t i = from; i < to && i < lines.size(); ++i)
        text += lines[i] + "\n";
    return text;
}

::testing::AssertionResult matches(const std::string& out, const std::string& expected, size_t anyMax) {
    size_t any = expected.find(ANY);
    if (any == std::string::npos) {
        if (out == expected) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the console showed\n"
                                             << ::testing::PrintToString(out) << "\ninstead of\n"
                                             << ::testing::PrintToString(expected);
    }
    const std::string head = expected.substr(0, any), tail = expected.substr(any + ANY.size());
    if (out.size() >= head.size() + tail.size() && out.compare(0, head.size(), head) == 0 &&
        out.compare(out.size() - tail.size(), tail.size(), tail) == 0 &&
        out.size() - head.size() - tail.size() <= anyMax)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the console showed\n"
                                         << ::testing::PrintToString(out) << "\nwhich does not match\n"
                                         << ::testing::PrintToString(expected);
}

void checkRow(const Target& target, const Row& row, const std::string& file, const vqsim::Simulator& sim,
              const fx::RunResult& r) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(r.status, row.status);
    const std::string head = "Velquin Download 2.00\n\nReading " + file + ":\n" + target.detected +
                             "Opened comm port " + sim.devicePath() + " at 115200.\n";
    EXPECT_TRUE(matches(r.out, head + row.body, row.anyMax));
    // Timers never fire early, so the prescribed waits are a floor; past them only the slack is allowed.
    EXPECT_GE(r.seconds, row.seconds - 0.03);
    EXPECT_LE(r.seconds, row.seconds * 1.1 + SLACK);
    if (!row.wire.empty()) {
        const std::vector<uint8_t> rx = sim.received();
        EXPECT_EQ(
            std::string(rx.begin(), rx.begin() + static_cast<long>(std::min(rx.size(), row.wire.size()))),
            row.wire);
    }
    if (row.status == 0) {
        for (const auto& byte : target.flash)
            EXPECT_EQ(sim.peek(byte.first), byte.second) << "flash at 0x" << std::hex << byte.first;
    }
}

/// Runs every row against its own simulated controller. The runs wait on their lines nearly all the time, so
/// they go side by side, each vq2dl in its own process.
void runRows(const Target& target, const std::vector<Row>& rows) {
    fx::TempDir dir;
    const std::string file = dir.file("firmware.s19");
    fx::writeFile(file, target.file);
    std::vector<std::unique_ptr<vqsim::Simulator>> sims;
    for (const Row& row : rows) {
        vqsim::Options options;
        options.generation = target.generation;
        options.signature = SIGNATURE;
        options.faults = row.faults;
        sims.push_back(std::make_unique<vqsim::Simulator>(options));
        std::string error;
        ASSERT_TRUE(sims.back()->start(error)) << row.name << ": " << error;
    }
    // A line that hangs up frees its terminal number, which the next pseudo-terminal made on this machine
    // takes: the downloader's reopen would then reach another test's line. Holding the far end keeps the
    // number taken until the run is over.
    std::vector<int> held;
    for (size_t i = 0; i < rows.size(); ++i) {
        for (const std::string& fault : rows[i].faults) {
            if (fault.compare(0, 6, "hangup") == 0)
                held.push_back(
                    open(sims[i]->devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        }
    }
    std::vector<fx::RunResult> results(rows.size());
    std::vector<std::thread> runs;
    for (size_t i = 0; i < rows.size(); ++i) {
        Texts args = {"-c", sims[i]->devicePath()};
        args.insert(args.end(), target.switches.begin(), target.switches.end());
        args.push_back(file);
        runs.emplace_back(
            [&results, i, args] { results[i] = fx::run(VQ2DL_PROGRAM, args, "", RUN_LIMIT_MS); });
    }
    for (std::thread& run : runs)
        run.join();
    for (int fd : held)
        close(fd);
    for (size_t i = 0; i < rows.size(); ++i)
        checkRow(target, rows[i], file, *sims[i], results[i]);
}

/// The fault that makes every byte of a command's answer wait the given time.
std::string slow(const std::string& command, double seconds) {
    return "slow@" + command + "=" + std::to_string(static_cast<int>(seconds * 1000 + 0.5));
}

std::string errorLine(const std::string& text) {
    return "ERROR: " + text + "\n";
}

// ---- VQ-II: the serial monitor ----
//
// The image has a one-byte record at 0x4000 (unpaged) and four bytes on page 0x3C, so that a download takes
// every kind of command: the drop-in string and the probe, the main flash erase, block writes, the page
// register and a page erase, and block read-backs. The runs are made at verbosity 3, where monitor entry and
// its retries show.

const Target VQ2 = {
    2,
    fx::srec(1, 0x4000, {0x11}) + "\r\n" + fx::srec(2, 0x3C8000, {0x55, 0x66, 0x77, 0x88}) + "\r\n" +
        fx::srec(9, 0x4000) + "\r\n",
    {"-dw", "0", "-v", "3"},
    "Detected VQ-II (HCS12) code.\nEntry point: 0x4000\nCode range : 0x4000-0x3c8000\nFile read "
    "successfully.\n\n",
    {{0x4000, 0x11}, {0x3C8000, 0x55}, {0x3C8001, 0x66}, {0x3C8002, 0x77}, {0x3C8003, 0x88}},
};

/// A clean VQ-II run line by line after monitor entry. A fault at a step shows after the lines before the
/// step's reply: AT_... counts them.
const std::vector<std::string> VQ2_LINES = {
    "Erasing main FLASH:",         // then the main flash erase
    "Erased.",                     //
    "Writing:",                    // then the block write at 0x4000
    "Setting page register 0x3c:", // then the page register
    "Page set.",                   //
    "Erasing page 0x3c:",          // then the page erase
    "Erased.",                     //
    "Write complete, 2 records, 5 bytes.",
    "Verifying:",
    "Setting page register 0x00:",
    "Page set.",                   // then the read-back of 0x4000
    "Setting page register 0x3c:", //
    "Page set.",                   // then the read-back on page 0x3C
    "Verification succeeded, 2 records total (0 skipped).",
};
constexpr size_t AT_ERASE_MAIN = 1, AT_BLOCK_WRITE = 3, AT_PAGE_REGISTER = 4, AT_PAGE_ERASE = 6,
                 AT_READ_BACK = 11, AT_PAGED_READ_BACK = 13, VQ2_ALL = 14;

const std::string ENTERED = "Entered monitor mode.\n";

/// The console from monitor entry (as given) up to line n of a clean run.
std::string vq2(size_t n, const std::string& entry = ENTERED) {
    return entry + joinLines(VQ2_LINES, 0, n);
}

/// Monitor entry retried from attempt `from` down to 0, with the port reopened after attempt 5.
std::string retries(int from, int to = 0) {
    std::string text;
    for (int attempt = from; attempt >= to; --attempt) {
        text += "Wake up attempted (" + std::to_string(attempt) + ").\n";
        if (attempt == 5 && to < 5) text += "Reopening comm port.\n";
    }
    return text;
}

/// After a hang-up every read and write fails at once (but not without a short pause): the five reads of
/// attempt 10; the probe and five reads of attempts 9 to 5; then, the port being gone for good after the
/// reopen, five reads of attempts 4 to 0.
constexpr double HANGUP_CHAIN = (5 + 5 * 6 + 5 * 5) * FAIL;

/// Slow answers just outside the time-out at monitor entry: the first byte comes on the second read, the
/// status byte misses its one read, and each retry then takes a byte of the old answer as its error byte,
/// until the prompt 0x3E is read as the error byte of attempt 8.
const std::string DESYNC = retries(9, 8) + errorLine("Unknown error status response, e=0x3E");

const std::string NO_STATUS = "Could not read status code, 0xE0 0x00";
const std::string NO_PROMPT = "Could not read monitor prompt, 0xE0 0x00 0x00";

/// The rows of an ordinary command, which is never retried: every missing byte ends the run. The wrong byte
/// and chatter rows come with their faults and the texts they raise; a short reply stops after shortCount
/// bytes.
std::vector<Row> commandRows(const std::string& command, size_t at, Row wrong, Row chatter, int shortCount) {
    const std::string before = vq2(at);
    wrong.body = before + errorLine(wrong.body);
    chatter.body = before + errorLine(chatter.body);
    return {
        {"silence", {"silent@" + command}, 4, before + errorLine("Timed out reading response, 0xE0"), 5 * T},
        wrong,
        chatter,
        {"short reply",
         {"short@" + command + "=" + std::to_string(shortCount)},
         4,
         before + errorLine(shortCount == 1 ? NO_STATUS : NO_PROMPT),
         T},
        {"slow inside", {slow(command, INSIDE)}, 0, vq2(VQ2_ALL), 3 * INSIDE},
        {"slow outside", {slow(command, OUTSIDE)}, 4, before + errorLine(NO_STATUS), OUTSIDE + T},
        {"hang-up",
         {"hangup@" + command},
         4,
         before + errorLine("Timed out reading response, 0xE0"),
         5 * FAIL},
    };
}

} // namespace

// The answer to the drop-in string is information only: the probe decides. Chatter shifts the answers, so the
// probe's reply check reads the rest of the old answer.
TEST(FaultMatrixMonitor, DropInAnswer) {
    runRows(VQ2, {
                     {"silence", {"silent@dropin"}, 0, vq2(VQ2_ALL, ""), T},
                     {"wrong byte", {"corrupt@dropin=2"}, 0, vq2(VQ2_ALL, "Monitor mode failed.\n"), 0},
                     {"short reply", {"short@dropin=1"}, 0, vq2(VQ2_ALL, ""), T},
                     {"chatter",
                      {"chatter@dropin=\\r\\n"},
                      4,
                      "Monitor mode failed.\n" + errorLine("Unknown error status response, e=0x08"),
                      0},
                     {"slow inside", {slow("dropin", INSIDE)}, 0, vq2(VQ2_ALL), 3 * INSIDE},
                     {"slow outside", {slow("dropin", OUTSIDE)}, 4, DESYNC, 3 * OUTSIDE},
                     {"hang-up",
                      {"hangup@dropin"},
                      4,
                      retries(9) + errorLine("Timed out reading response, 0xE0"),
                      2 * FAIL + HANGUP_CHAIN},
                 });
}

// A missing probe answer runs the retry chain (a short one reopens the port after attempt 5 and then
// succeeds); a wrong one ends the run at once.
TEST(FaultMatrixMonitor, Probe) {
    runRows(VQ2, {
                     {"silence", {"silent@probe#1"}, 0, vq2(VQ2_ALL, ENTERED + retries(9, 9)), 5 * T},
                     {"wrong byte",
                      {"corrupt@probe=3"},
                      4,
                      ENTERED + errorLine("Prompt was expected to be 0x3E but returned byte was 0xC1"),
                      0},
                     {"short reply", {"short@probe#1-6=2"}, 0, vq2(VQ2_ALL, ENTERED + retries(9, 4)), 6 * T},
                     {"chatter",
                      {"chatter@probe=\\r\\n"},
                      4,
                      ENTERED + errorLine("Unknown error status response, e=0x0D"),
                      0},
                     {"slow inside", {slow("probe", INSIDE)}, 0, vq2(VQ2_ALL), 3 * INSIDE},
                     {"slow outside", {slow("probe#1", OUTSIDE)}, 4, ENTERED + DESYNC, 3 * OUTSIDE},
                     {"hang-up",
                      {"hangup@probe"},
                      4,
                      ENTERED + retries(9) + errorLine("Timed out reading response, 0xE0"),
                      HANGUP_CHAIN},
                 });
}

TEST(FaultMatrixMonitor, EraseMain) {
    runRows(VQ2,
            commandRows("erasemain", AT_ERASE_MAIN,
                        {"wrong byte", {"corrupt@erasemain=2"}, 4, "Unknown status received, s=0xFF", 0},
                        {"chatter", {"chatter@erasemain=OK"}, 4, "Unknown error status response, e=0x4F", 0},
                        1));
}

TEST(FaultMatrixMonitor, PageRegister) {
    runRows(VQ2, commandRows(
                     "writebyte#1", AT_PAGE_REGISTER,
                     {"wrong byte", {"corrupt@writebyte#1=1"}, 4, "Unknown error status response, e=0x1F", 0},
                     {"chatter", {"chatter@writebyte#1=\\xE0"}, 4, "Unknown status received, s=0xE0", 0}, 2));
}

TEST(FaultMatrixMonitor, PageErase) {
    runRows(VQ2,
            commandRows(
                "erasepage", AT_PAGE_ERASE,
                {"wrong byte",
                 {"error@erasepage=0xE6"},
                 4,
                 "Access error when writing FLASH/EEPROM memory, e=0xE6",
                 0},
                {"chatter", {"chatter@erasepage=\\r\\n"}, 4, "Unknown error status response, e=0x0D", 0}, 1));
}

TEST(FaultMatrixMonitor, BlockWrite) {
    std::vector<Row> rows = commandRows(
        "writeblock#1", AT_BLOCK_WRITE,
        {"wrong byte",
         {"prompt@writeblock#1=0x3F"},
         4,
         "Prompt was expected to be 0x3E but returned byte was 0x3F",
         0},
        {"chatter", {"chatter@writeblock#1=E"}, 4, "Unknown error status response, e=0x45", 0}, 2);
    // The cable is pulled in the middle of the block: 16 bytes of entry and erase, then 3 of the block's 5.
    rows.push_back({"line cut mid-block",
                    {"hangup-after=19"},
                    4,
                    vq2(AT_BLOCK_WRITE) + errorLine("Timed out reading response, 0xE0"),
                    5 * FAIL});
    runRows(VQ2, rows);
}

// A read-back whose data do not come is read once more after a fresh monitor entry (the monitor, already
// active, is reset); a wrong data byte is a verification failure naming the full paged address.
TEST(FaultMatrixMonitor, BlockReadBack) {
    const std::string before = vq2(AT_READ_BACK);
    runRows(VQ2,
            {
                {"silence once",
                 {"silent@readblock#1"},
                 0,
                 before + ENTERED + joinLines(VQ2_LINES, AT_READ_BACK, VQ2_ALL),
                 T},
                {"silence",
                 {"silent@readblock"},
                 4,
                 before + ENTERED + "Could not read record 1 block 1 during verification.\n",
                 2 * T},
                {"wrong byte",
                 {"corrupt@readblock#2=3"},
                 4,
                 vq2(AT_PAGED_READ_BACK) + "Verification failed: At 0x3C8002 expected 0x77, found 0x88.\n",
                 0},
                {"short reply", {"short@readblock=3"}, 4, before + errorLine(NO_PROMPT), T},
                {"chatter",
                 {"chatter@readblock=\\r\\n"},
                 4,
                 before + errorLine("Unknown error status response, e=0x0A"),
                 0},
                {"slow inside", {slow("readblock", INSIDE)}, 0, vq2(VQ2_ALL), (4 + 7) * INSIDE},
                // The data byte goes to the re-entry's drop-in answer, and the reply bytes then shift as
                // at monitor entry.
                {"slow outside", {slow("readblock#1", OUTSIDE)}, 4, before + DESYNC, 4 * OUTSIDE},
                {"hang-up",
                 {"hangup@readblock#1"},
                 4,
                 before + retries(9) + errorLine("Timed out reading response, 0xE0"),
                 4 * FAIL + HANGUP_CHAIN},
            });
}

// ---- VQ-I: the boot loader ----

namespace {

const Target VQ1 = {
    1,
    fx::srec(1, 0x8100, {0xA1, 0xB2, 0xC3, 0xD4}) + "\r\n" + fx::srec(9, 0x8100) + "\r\n",
    {"-dw", "0"},
    "Detected VQ-I (HC908) code.\nEntry point: 0x8100\nCode range : 0x8100-0x8100\nFile read "
    "successfully.\n\n",
    {{0x8100, 0xA1}, {0x8101, 0xB2}, {0x8102, 0xC3}, {0x8103, 0xD4}},
};

/// A clean VQ-I run line by line after the port opened; AT_... counts the lines before a step's reply.
const std::vector<std::string> VQ1_LINES = {
    "Wake up attempted:", // then "!!" and the retry
    "Wakeup successful.",
    "",
    "Erasing:", // then "w" and "u"
    "Erased.",
    "",
    "Writing:", // then the lines and the reply to the S9 line
    "Write complete, 1 records, 4 bytes.",
    "",
    "Verifying:", // then the signature
    std::string("Signature: ") + SIGNATURE,
    "Verify complete.",
};
constexpr size_t AT_WAKE = 1, AT_WIPE = 4, AT_END_LINE = 7, AT_SIGNATURE = 10, VQ1_ALL = 12;

std::string vq1(size_t n) {
    return joinLines(VQ1_LINES, 0, n);
}

std::string failed(const std::string& expected, const std::string& received) {
    return "Download failed:\n   Expected response \"" + expected + "\",\n   but received this \"" +
           received + "\".\n\n";
}

const std::string PROMPT = "\r\nBoot>", WIPED = "w  Complete\r\nBoot>", WAITING = "u - waiting ...",
                  COMPLETE = "  Complete\r\nBoot>";

// When each step's reply is awaited in a clean run (the extra read that ends each reply included), with no
// wipe delay and no record delay.
constexpr double TO_WAKE = SETTLE + T;  // the carriage return, the pause and the drain
constexpr double TO_WIPE = TO_WAKE + T; // the prompt and one read more
constexpr double TO_RECEPTION = TO_WIPE + T;
constexpr double TO_END_LINE = TO_RECEPTION + T;
constexpr double TO_SIGNATURE = TO_END_LINE + T;
/// The signature step: its three pauses, the drain after "x", the read that ends the signature.
constexpr double SIGNATURE_STEP = 3 * SETTLE + 2 * T;
/// The second wake-up attempt when the first reply was wrong: the pause, the drain, one read more.
constexpr double RETRY = SETTLE + T + T;
constexpr double AFTER_WAKE = 3 * T + SIGNATURE_STEP;

/// A wrong answer to "!!" that fills every read of the first attempt at once.
const std::string WAKE_FAILS = "reply@wake=No prompt here";
constexpr double TO_RETRY = TO_WAKE + SETTLE + T;

/// The rows of a step whose reply a mismatch makes fatal. The wrong byte, short reply and chatter rows come
/// with their faults and received texts; silence, slow bytes and a hang-up are the same for every step.
std::vector<Row> fatalRows(const std::string& command, size_t at, const std::string& expected, double to,
                           Texts before, std::vector<Row> made, double afterReply) {
    const size_t length = expected.size();
    const std::string head = vq1(at);
    auto faults = [&before](const std::string& fault) {
        Texts all = before;
        all.push_back(fault);
        return all;
    };
    for (Row& row : made) {
        row.faults = faults(row.faults.front());
        row.body = head + failed(expected, row.body);
        row.seconds += to;
    }
    // Just outside the time-out every second read gets a byte: (length + 1) / 2 bytes come in all.
    const size_t halves = (length + 1) / 2;
    std::vector<Row> rows = {
        {"silence", faults("silent@" + command), 4, head + failed(expected, ""), to + (length + 1) * T},
        {"slow inside", faults(slow(command, INSIDE)), 0, vq1(VQ1_ALL),
         to + length * INSIDE + T + afterReply},
        {"slow outside", faults(slow(command, OUTSIDE)), 4,
         head + failed(expected, expected.substr(0, halves)),
         to + halves * OUTSIDE + (length % 2 == 0 ? T : 0)},
        {"hang-up", faults("hangup@" + command), 4, head + failed(expected, ""), to + (length + 1) * FAIL},
    };
    rows.insert(rows.end(), made.begin(), made.end());
    return rows;
}

} // namespace

// A wrong or missing answer to "!!" is retried once with a lone carriage return, which the boot loader
// answers: the download goes on. Slow bytes just outside the time-out leave the rest of the old answer in
// the input, where the retry reads it first.
TEST(FaultMatrixBootLoader, Wake) {
    const std::string retried = "\r!!\r";
    runRows(
        VQ1,
        {
            {"silence", {"silent@wake"}, 0, vq1(VQ1_ALL), TO_WAKE + 8 * T + RETRY + AFTER_WAKE, retried},
            {"wrong byte", {"corrupt@wake=3"}, 0, vq1(VQ1_ALL), TO_WAKE + T + RETRY + AFTER_WAKE, retried},
            {"short reply", {"short@wake=6"}, 0, vq1(VQ1_ALL), TO_WAKE + 2 * T + RETRY + AFTER_WAKE, retried},
            {"chatter", {"chatter@wake=ok"}, 0, vq1(VQ1_ALL), TO_WAKE + RETRY + AFTER_WAKE, retried},
            {"slow inside",
             {slow("wake", INSIDE)},
             0,
             vq1(VQ1_ALL),
             TO_WAKE + 7 * INSIDE + T + AFTER_WAKE,
             "\r!!w"},
            {"slow outside",
             {slow("wake", OUTSIDE)},
             4,
             vq1(AT_WAKE) + failed(PROMPT, ANY),
             TO_WAKE + 7 * OUTSIDE,
             retried},
            {"hang-up", {"hangup@wake"}, 4, vq1(AT_WAKE) + failed(PROMPT, ""), TO_WAKE + SETTLE + 18 * FAIL},
        });
}

// The lone carriage return is the last attempt: anything but the prompt ends the run.
TEST(FaultMatrixBootLoader, WakeRetry) {
    std::vector<Row> rows = fatalRows("cr#2", AT_WAKE, PROMPT, TO_RETRY, {WAKE_FAILS},
                                      {
                                          {"wrong byte", {"corrupt@cr#2=3"}, 4, "\r\n\xBDoot>", T},
                                          {"short reply", {"short@cr#2=6"}, 4, "\r\nBoot", 2 * T},
                                          {"chatter", {"chatter@cr#2=ok"}, 4, "ok\r\nBoo", 0},
                                      },
                                      AFTER_WAKE);
    for (Row& row : rows)
        row.wire = "\r!!\r";
    runRows(VQ1, rows);
}

TEST(FaultMatrixBootLoader, Wipe) {
    runRows(VQ1, fatalRows("w", AT_WIPE, WIPED, TO_WIPE, {},
                           {
                               {"wrong byte", {"corrupt@w=1"}, 4, "\x88  Complete\r\nBoot>", T},
                               {"short reply", {"short@w=17"}, 4, "w  Complete\r\nBoot", 2 * T},
                               {"chatter", {"chatter@w=\\r\\n"}, 4, "\r\nw  Complete\r\nBoo", 0},
                           },
                           2 * T + SIGNATURE_STEP));
}

TEST(FaultMatrixBootLoader, Reception) {
    runRows(VQ1, fatalRows("u", AT_WIPE, WAITING, TO_RECEPTION, {},
                           {
                               {"wrong byte", {"corrupt@u=15"}, 4, "u - waiting ..\xD1", T},
                               {"short reply", {"short@u=14"}, 4, "u - waiting ..", 2 * T},
                               {"chatter", {"chatter@u=#"}, 4, "#u - waiting ..", 0},
                           },
                           T + SIGNATURE_STEP));
}

TEST(FaultMatrixBootLoader, EndLine) {
    std::vector<Row> rows = fatalRows("s9", AT_END_LINE, COMPLETE, TO_END_LINE, {},
                                      {
                                          {"wrong byte", {"corrupt@s9=3"}, 4, "  \xBComplete\r\nBoot>", T},
                                          {"short reply", {"short@s9=16"}, 4, "  Complete\r\nBoot", 2 * T},
                                          {"chatter", {"chatter@s9=?\\r\\n"}, 4, "?\r\n  Complete\r\nBo", 0},
                                      },
                                      SIGNATURE_STEP);
    // The cable is pulled in the middle of the record line: "\r!!wu" and 10 of its 20 bytes.
    rows.push_back({"line cut mid-record",
                    {"hangup-after=15"},
                    4,
                    vq1(AT_END_LINE) + failed(COMPLETE, ""),
                    TO_END_LINE + 18 * FAIL});
    runRows(VQ1, rows);
}

// The signature is shown, never judged: whatever comes (or does not) before the line falls quiet is shown,
// and the run ends with status 0.
TEST(FaultMatrixBootLoader, Signature) {
    const std::string head = vq1(AT_SIGNATURE);
    const std::string done = "\nVerify complete.\n";
    runRows(
        VQ1,
        {
            {"silence", {"silent@S"}, 0, head + "Signature: " + done, TO_SIGNATURE + SIGNATURE_STEP},
            {"wrong byte",
             {"corrupt@S=1"},
             0,
             head + "Signature: \xBDoot 2.1\r\n" + done,
             TO_SIGNATURE + SIGNATURE_STEP},
            {"short reply", {"short@S=4"}, 0, head + "Signature: Boot" + done, TO_SIGNATURE + SIGNATURE_STEP},
            {"chatter",
             {"chatter@S=\\r\\n"},
             0,
             head + "Signature: \r\nBoot 2.1\r\n" + done,
             TO_SIGNATURE + SIGNATURE_STEP},
            {"slow inside",
             {slow("S", INSIDE)},
             0,
             vq1(VQ1_ALL),
             TO_SIGNATURE + SIGNATURE_STEP + 10 * INSIDE - SETTLE},
            // The first byte races the pause before the read (it has 351 ms); the second misses.
            {"slow outside",
             {slow("S", OUTSIDE)},
             0,
             head + "Signature: " + ANY + done,
             TO_SIGNATURE + SIGNATURE_STEP,
             "",
             1},
            {"hang-up", {"hangup@S"}, 0, head + "Signature: " + done, TO_SIGNATURE + 3 * SETTLE + T + FAIL},
        });
}

// ---- Record lines that cannot be sent ----
//
// No record line is answered, so a line that does not go out whole must end the run before the end line:
// otherwise the boot loader could confirm the end line over a gap in its flash.

namespace {

/// A VQ-I image of n records of 16 bytes each from 0x8100 on, one S1 line of 44 characters each.
std::string manyRecords(int n) {
    std::string text;
    for (int i = 0; i < n; ++i)
        text += fx::srec(1, 0x8100 + 16 * static_cast<uint32_t>(i), fx::bytes(16, static_cast<uint8_t>(i))) +
                "\r\n";
    return text + fx::srec(9, 0x8100) + "\r\n";
}

} // namespace

// The line hangs up in the middle of the second record line (with 100 ms between lines, the controller has
// taken it by then): the third line cannot be written, and the run ends at once instead of trying the other
// 37.
TEST(FaultMatrixBootLoader, LineCutBetweenRecordLines) {
    const Target target = {1,
                           manyRecords(40),
                           {"-dw", "0", "-d", "100"},
                           "Detected VQ-I (HC908) code.\nEntry point: 0x8100\nCode range : 0x8100-0x8370\n"
                           "File read successfully.\n\n",
                           {}};
    // "\r!!wu" and 44 bytes of the first line, then 10 of the second.
    runRows(target, {{"line cut",
                      {"hangup-after=59"},
                      4,
                      vq1(AT_END_LINE) + "Download failed:\n   Could not send line 3 of 40.\n\n",
                      TO_END_LINE + 2 * 0.100 + FAIL}});
}

// The controller takes bytes far slower than they come (2400 bit/s, 183 ms for one line): once the line's
// buffer is full, a line does not go out within its write time-out, and the run ends there.
TEST(FaultMatrixBootLoader, ControllerThatStopsTakingLines) {
    vqsim::Options options;
    options.generation = 1;
    options.baud = 2400;
    vqsim::Simulator sim(options);
    std::string error;
    ASSERT_TRUE(sim.start(error)) << error;
    fx::TempDir dir;
    const int records = 640; // 28 KiB of lines, more than a pseudo-terminal holds
    fx::writeFile(dir.file("firmware.s19"), manyRecords(records));
    const fx::RunResult r = fx::run(
        VQ2DL_PROGRAM, {"-c", sim.devicePath(), "-dw", "0", dir.file("firmware.s19")}, "", RUN_LIMIT_MS);
    EXPECT_EQ(r.status, 4);
    const std::string head = "Opened comm port " + sim.devicePath() + " at 115200.\n" + vq1(AT_END_LINE);
    const std::string failure = "Download failed:\n   Could not send line ";
    const size_t at = r.out.find(head), failed = r.out.find(failure);
    ASSERT_NE(at, std::string::npos) << r.out;
    ASSERT_NE(failed, std::string::npos) << r.out;
    // Progress lines, then the failure naming the line that did not go out.
    const int line = std::atoi(r.out.c_str() + failed + failure.size());
    EXPECT_GT(line, 10);
    EXPECT_LT(line, records);
    EXPECT_EQ(r.out.substr(failed), failure + std::to_string(line) + " of 640.\n\n");
    char progress[64];
    std::snprintf(progress, sizeof progress, "Line %4d of 640 (%6d bytes)\r", (line - 1) / 10 * 10,
                  (line - 1) / 10 * 160);
    EXPECT_EQ(r.out.substr(failed - std::strlen(progress), std::strlen(progress)), progress);
    // The downloader keeps pace with its own rate, so filling the line takes up to the lines' time at 115200.
    const double linesTime = records * 44 * 10 / 115200.0;
    EXPECT_LT(r.seconds, TO_END_LINE + SLACK + linesTime);
    // The end line never went out, so nothing was confirmed.
    for (const std::string& received : sim.lines())
        EXPECT_NE(received.compare(0, 2, "S9"), 0);
}

// ---- The disk side ----

namespace {

/// An update file made by hand: a text block, one .ini block (its tag on line 3) and the firmware.
std::string updateFile() {
    return "#!VQU-OUT\r\nUpdate for the fault tests\r\n#!VQU-INI(settings.ini)\r\n[serial]\r\nbaud=115200\r\n"
           "#!VQU-S19(fw.s19)\r\n" +
           fx::srec(1, 0x4000, {0x11}) + "\r\n" + fx::srec(9, 0x4000) + "\r\n#!VQU-END\r\n";
}

/// A VQ-II controller that the runs never reach (its line must stay untouched).
std::unique_ptr<vqsim::Simulator> idleController() {
    auto sim = std::make_unique<vqsim::Simulator>(vqsim::Options{});
    std::string error;
    if (sim->start(error)) return sim;
    ADD_FAILURE() << error;
    return nullptr;
}

} // namespace

// The install directory is missing, or a regular file stands where it should be: the run ends with status 3
// before the port is opened, and nothing is written anywhere.
TEST(DiskFaults, IniExtractionWithoutItsDirectory) {
    auto sim = idleController();
    ASSERT_TRUE(sim);
    fx::TempDir dir;
    fx::writeFile(dir.file("update.vqu"), updateFile());
    fx::writeFile(dir.file("blocker"), "a file, not a directory\n");
    for (const std::string installDir : {"missing", "blocker"}) {
        SCOPED_TRACE(installDir);
        const fx::RunResult r =
            fx::run(VQ2DL_PROGRAM, {"-c", sim->devicePath(), "-i", installDir, "update.vqu"}, dir.path(),
                    RUN_LIMIT_MS);
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.out, "Velquin Download 2.00\n\nReading update.vqu:\nUpdate for the fault tests\n"
                         "ERROR: Reading update.vqu line 3: Could not open " +
                             installDir + "/settings.ini for output.\n");
        EXPECT_EQ(fx::listDir(dir.path()), (Texts{"blocker", "update.vqu"}));
        EXPECT_EQ(fx::readFile(dir.file("blocker")), "a file, not a directory\n");
        EXPECT_LT(r.seconds, SLACK);
    }
    EXPECT_TRUE(sim->received().empty()) << "the port was opened";
}

// A block whose file cannot be replaced (a directory stands at its name) ends the run at its tag line; the
// block before it was extracted whole, and nothing of the failed one is left.
TEST(DiskFaults, IniBlockThatCannotReplaceItsTarget) {
    auto sim = idleController();
    ASSERT_TRUE(sim);
    fx::TempDir dir;
    fx::writeFile(dir.file("update.vqu"),
                  "#!VQU-INI(a.ini)\r\nx=1\r\n#!VQU-INI(b.ini)\r\ny=2\r\n#!VQU-END\r\n");
    ASSERT_EQ(mkdir(dir.file("inst").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("inst/b.ini").c_str(), 0755), 0);
    const fx::RunResult r = fx::run(VQ2DL_PROGRAM, {"-c", sim->devicePath(), "-i", "inst", "update.vqu"},
                                    dir.path(), RUN_LIMIT_MS);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "Velquin Download 2.00\n\nReading update.vqu:\n   Extracted inst/a.ini\n"
                     "ERROR: Reading update.vqu line 3: Could not open inst/b.ini for output.\n");
    EXPECT_EQ(fx::listDir(dir.file("inst")), (Texts{"a.ini", "b.ini"}));
    EXPECT_EQ(fx::readFile(dir.file("inst/a.ini")), "x=1\r\n");
    EXPECT_TRUE(fx::listDir(dir.file("inst/b.ini")).empty());
    EXPECT_TRUE(sim->received().empty()) << "the port was opened";
}

// vqu's output directory is a regular file from the start: nothing is written.
TEST(DiskFaults, PackerOutputDirectoryIsAFile) {
    fx::TempDir dir;
    fx::writeFile(dir.file("settings.ini"), "k=1\n");
    fx::writeFile(dir.file("fw.s19"), fx::srec(9, 0) + "\n");
    fx::writeFile(dir.file("out"), "a file, not a directory\n");
    const fx::RunResult r =
        fx::run(VQU_PROGRAM, {"out/update.vqu", "settings.ini", "fw.s19"}, dir.path(), RUN_LIMIT_MS);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Can't create output file 'out/update.vqu': Not a directory, aborting.\n");
    EXPECT_EQ(fx::listDir(dir.path()), (Texts{"fw.s19", "out", "settings.ini"}));
    EXPECT_EQ(fx::readFile(dir.file("out")), "a file, not a directory\n");
}

// vqu's output directory vanishes (or a file takes its place) while the update file is being written: the
// run fails with status 1 and the reason, and no temporary file is left anywhere.
TEST(DiskFaults, PackerOutputDirectoryVanishesWhileWriting) {
    for (bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "replaced by a file" : "removed");
        fx::TempDir dir;
        fx::writeFile(dir.file("fw.s19"), fx::srec(9, 0) + "\n");
        ASSERT_EQ(mkfifo(dir.file("pipe.ini").c_str(), 0644), 0);
        ASSERT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
        fx::RunResult r;
        std::thread packer([&] {
            r = fx::run(VQU_PROGRAM, {"out/update.vqu", "pipe.ini", "fw.s19"}, dir.path(), RUN_LIMIT_MS);
        });
        // vqu holds the pipe open for reading, creates its temporary file beside the output, and waits for
        // the pipe's text: that is when the directory goes.
        int fd = -1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (fd < 0 && std::chrono::steady_clock::now() < deadline) {
            fd = open(dir.file("pipe.ini").c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Texts temporaries;
        while (fd >= 0 && temporaries.empty() && std::chrono::steady_clock::now() < deadline) {
            temporaries = fx::listDir(dir.file("out"));
            if (temporaries.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        for (const std::string& name : temporaries)
            unlink(dir.file("out/" + name).c_str());
        rmdir(dir.file("out").c_str());
        if (replaced) fx::writeFile(dir.file("out"), "theirs\n");
        if (fd >= 0) {
            EXPECT_EQ(write(fd, "k=1\n", 4), 4);
            close(fd);
        }
        packer.join();
        ASSERT_GE(fd, 0) << "vqu never opened its input";
        ASSERT_EQ(temporaries.size(), 1u) << "no temporary file beside the output";
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("ERROR: Can't create output file 'out/update.vqu': ") +
                             (replaced ? "Not a directory" : "No such file or directory") + ", aborting.\n");
        const Texts left = replaced ? Texts{"fw.s19", "out", "pipe.ini"} : Texts{"fw.s19", "pipe.ini"};
        EXPECT_EQ(fx::listDir(dir.path()), left);
        if (replaced) {
            EXPECT_EQ(fx::readFile(dir.file("out")), "theirs\n");
        }
    }
}

// ---- Two downloaders on one port ----

// The first vq2dl holds the port through a long wipe delay; the second cannot open it (status 2) and sends
// nothing, and the first completes its download.
TEST(TwoDownloaders, SecondFailsOnThePortAndTheFirstCompletes) {
    vqsim::Simulator sim{vqsim::Options{}};
    std::string error;
    ASSERT_TRUE(sim.start(error)) << error;
    fx::TempDir dir;
    const std::string file = dir.file("firmware.s19");
    fx::writeFile(file, VQ2.file);
    fx::RunResult first;
    std::atomic<bool> firstDone{false};
    std::thread run([&] {
        first = fx::run(VQ2DL_PROGRAM, {"-c", sim.devicePath(), "-dw", "500", file}, "", RUN_LIMIT_MS);
        firstDone = true;
    });
    // The drop-in string has arrived once the first holds the port.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sim.received().size() < 14 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const fx::RunResult second = fx::run(VQ2DL_PROGRAM, {"-c", sim.devicePath(), file}, "", RUN_LIMIT_MS);
    const bool secondEndedFirst = !firstDone;
    run.join();

    EXPECT_EQ(second.status, 2);
    const std::string refused =
        "File read successfully.\n\nDownload failed:\r\n   Could not open comm port " + sim.devicePath() +
        ".\n   Reason: in use by another program.\n";
    ASSERT_GE(second.out.size(), refused.size()) << second.out;
    EXPECT_EQ(second.out.substr(second.out.size() - refused.size()), refused);
    EXPECT_TRUE(secondEndedFirst) << "the second run waited for the port";
    EXPECT_LT(second.seconds, SLACK);

    EXPECT_EQ(first.status, 0) << first.out;
    const std::string done = "Opened comm port " + sim.devicePath() + " at 115200.\n" + vq2(VQ2_ALL, "");
    ASSERT_GE(first.out.size(), done.size()) << first.out;
    EXPECT_EQ(first.out.substr(first.out.size() - done.size()), done);
    for (const auto& byte : VQ2.flash)
        EXPECT_EQ(sim.peek(byte.first), byte.second) << "flash at 0x" << std::hex << byte.first;
    // One drop-in string, one probe, one erase: only the first run spoke on the line.
    const vqsim::Counters counters = sim.counters();
    EXPECT_EQ(counters.probes, 1u);
    EXPECT_EQ(counters.mainErases, 1u);
}
