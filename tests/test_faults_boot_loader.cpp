// The fault matrix of the VQ-I boot loader, step by step, and record lines that cannot be sent.
#include "fault_matrix.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace matrix;
using fx::failed;

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

/// The rows with the outcomes their unit records must show at this step, the flash as it then stands: no
/// answer for silence, the port for a hang-up, a wrong answer for the rest.
std::vector<Row> atStep(std::vector<Row> rows, const std::string& step, const std::string& flash) {
    for (Row& row : rows)
        row.outcome = row.status == 0         ? "null null written"
                      : row.name == "silence" ? step + " no-answer " + flash
                      : row.name == "hang-up" || row.name.compare(0, 8, "line cut") == 0
                          ? step + " port " + flash
                          : step + " wrong-answer " + flash;
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
    runRows(VQ1, atStep(fatalRows("w", AT_WIPE, WIPED, TO_WIPE, {},
                                  {
                                      {"wrong byte", {"corrupt@w=1"}, 4, "\x88  Complete\r\nBoot>", T},
                                      {"short reply", {"short@w=17"}, 4, "w  Complete\r\nBoot", 2 * T},
                                      {"chatter", {"chatter@w=\\r\\n"}, 4, "\r\nw  Complete\r\nBoo", 0},
                                  },
                                  2 * T + SIGNATURE_STEP),
                        "erase", "erased"));
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
    runRows(VQ1, atStep(rows, "write", "partly-written"));
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
                      TO_END_LINE + 2 * 0.100 + FAIL,
                      "",
                      std::string::npos,
                      "write port partly-written"}});
}

// The controller takes bytes far slower than they come (2400 bit/s, 183 ms for one line): once the line's
// buffer is full, a line does not go out within its write time-out, and the run ends there.
TEST(FaultMatrixBootLoader, ControllerThatStopsTakingLines) {
    vqsim::Options options = fx::bootLoaderOptions();
    options.baud = 2400;
    auto sim = fx::startController(options);
    fx::TempDir dir;
    const int records = 640; // 28 KiB of lines, more than a pseudo-terminal holds
    fx::writeFile(dir.file("firmware.s19"), manyRecords(records));
    const fx::RunResult r = fx::run(
        VQ2DL_PROGRAM, {"-c", sim->devicePath(), "-dw", "0", dir.file("firmware.s19")}, "", RUN_LIMIT_MS);
    EXPECT_EQ(r.status, 4);
    const std::string head = "Opened comm port " + sim->devicePath() + " at 115200.\n" + vq1(AT_END_LINE);
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
    EXPECT_LT(r.seconds, TO_END_LINE + linesTime + HANG);
    // The end line never went out, so nothing was confirmed.
    for (const std::string& received : sim->lines())
        EXPECT_NE(received.compare(0, 2, "S9"), 0);
}
