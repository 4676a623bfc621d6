// The fault matrix of the VQ-II serial monitor, step by step.
#include "fault_matrix.h"

using namespace matrix;

namespace {

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

/// Slow answers just outside the time-out at monitor entry: the first byte comes on the second read and the
/// status byte misses its one read; the line is let fall quiet for one read time-out, which a byte every
/// 320 ms outlasts, so that the prompt 0x3E is read as the error byte of attempt 9.
const std::string DESYNC = retries(9, 9) + errorLine("Unknown error status response, e=0x3E");

const std::string NO_STATUS = "Could not read status code, 0xE0 0x00";
const std::string NO_PROMPT = "Could not read monitor prompt, 0xE0 0x00 0x00";

/// The rows of an ordinary command, which is never retried: every missing byte ends the run. The wrong byte
/// and chatter rows come with their faults and the texts they raise; a short reply stops after shortCount
/// bytes.
/// The unit record of each row names where the command stands in the download: its step and what the flash
/// holds then ("erase erased").
std::vector<Row> commandRows(const std::string& command, size_t at, Row wrong, Row chatter, int shortCount,
                             const std::string& step, const std::string& flash) {
    const std::string before = vq2(at);
    wrong.body = before + errorLine(wrong.body);
    chatter.body = before + errorLine(chatter.body);
    auto failed = [&](const std::string& kind) { return step + " " + kind + " " + flash; };
    return {
        withOutcome({"silence",
                     {"silent@" + command},
                     4,
                     before + errorLine("Timed out reading response, 0xE0"),
                     5 * T},
                    failed("no-answer")),
        withOutcome(wrong, failed("wrong-answer")),
        withOutcome(chatter, failed("wrong-answer")),
        withOutcome({"short reply",
                     {"short@" + command + "=" + std::to_string(shortCount)},
                     4,
                     before + errorLine(shortCount == 1 ? NO_STATUS : NO_PROMPT),
                     T},
                    failed("no-answer")),
        withOutcome({"slow inside", {slow(command, INSIDE)}, 0, vq2(VQ2_ALL), 3 * INSIDE},
                    "null null written"),
        withOutcome({"slow outside", {slow(command, OUTSIDE)}, 4, before + errorLine(NO_STATUS), OUTSIDE + T},
                    failed("no-answer")),
        // A line that hangs up is the port's fault, not the controller's.
        withOutcome({"hang-up",
                     {"hangup@" + command},
                     4,
                     before + errorLine("Timed out reading response, 0xE0"),
                     5 * FAIL},
                    failed("port")),
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
    runRows(VQ2,
            {
                {"silence", {"silent@probe#1"}, 0, vq2(VQ2_ALL, ENTERED + retries(9, 9)), 5 * T},
                withOutcome({"wrong byte",
                             {"corrupt@probe=3"},
                             4,
                             ENTERED + errorLine("Prompt was expected to be 0x3E but returned byte was 0xC1"),
                             0},
                            "enter wrong-answer untouched"),
                {"short reply", {"short@probe#1-6=2"}, 0, vq2(VQ2_ALL, ENTERED + retries(9, 4)), 6 * T},
                {"chatter",
                 {"chatter@probe=\\r\\n"},
                 4,
                 ENTERED + errorLine("Unknown error status response, e=0x0D"),
                 0},
                {"slow inside", {slow("probe", INSIDE)}, 0, vq2(VQ2_ALL), 3 * INSIDE},
                {"slow outside", {slow("probe#1", OUTSIDE)}, 4, ENTERED + DESYNC, 3 * OUTSIDE},
                withOutcome({"hang-up",
                             {"hangup@probe"},
                             4,
                             ENTERED + retries(9) + errorLine("Timed out reading response, 0xE0"),
                             HANGUP_CHAIN},
                            "enter port untouched"),
            });
}

TEST(FaultMatrixMonitor, EraseMain) {
    runRows(VQ2,
            commandRows("erasemain", AT_ERASE_MAIN,
                        {"wrong byte", {"corrupt@erasemain=2"}, 4, "Unknown status received, s=0xFF", 0},
                        {"chatter", {"chatter@erasemain=OK"}, 4, "Unknown error status response, e=0x4F", 0},
                        1, "erase", "erased"));
}

TEST(FaultMatrixMonitor, PageRegister) {
    runRows(VQ2, commandRows(
                     "writebyte#1", AT_PAGE_REGISTER,
                     {"wrong byte", {"corrupt@writebyte#1=1"}, 4, "Unknown error status response, e=0x1F", 0},
                     {"chatter", {"chatter@writebyte#1=\\xE0"}, 4, "Unknown status received, s=0xE0", 0}, 2,
                     "write", "partly-written"));
}

TEST(FaultMatrixMonitor, PageErase) {
    runRows(VQ2, commandRows(
                     "erasepage", AT_PAGE_ERASE,
                     {"wrong byte",
                      {"error@erasepage=0xE6"},
                      4,
                      "Access error when writing FLASH/EEPROM memory, e=0xE6",
                      0},
                     {"chatter", {"chatter@erasepage=\\r\\n"}, 4, "Unknown error status response, e=0x0D", 0},
                     1, "write", "partly-written"));
}

TEST(FaultMatrixMonitor, BlockWrite) {
    std::vector<Row> rows =
        commandRows("writeblock#1", AT_BLOCK_WRITE,
                    {"wrong byte",
                     {"prompt@writeblock#1=0x3F"},
                     4,
                     "Prompt was expected to be 0x3E but returned byte was 0x3F",
                     0},
                    {"chatter", {"chatter@writeblock#1=E"}, 4, "Unknown error status response, e=0x45", 0}, 2,
                    "write", "partly-written");
    // The cable is pulled in the middle of the block: 16 bytes of entry and erase, then 3 of the block's 5.
    rows.push_back(withOutcome({"line cut mid-block",
                                {"hangup-after=19"},
                                4,
                                vq2(AT_BLOCK_WRITE) + errorLine("Timed out reading response, 0xE0"),
                                5 * FAIL},
                               "write port partly-written"));
    runRows(VQ2, rows);
}

// A read-back whose data do not come is read once more after the line has fallen quiet and a fresh monitor
// entry (the monitor, already active, is reset); a wrong data byte is a verification failure naming the full
// paged address.
TEST(FaultMatrixMonitor, BlockReadBack) {
    const std::string before = vq2(AT_READ_BACK);
    runRows(VQ2, {
                     {"silence once",
                      {"silent@readblock#1"},
                      0,
                      before + ENTERED + joinLines(VQ2_LINES, AT_READ_BACK, VQ2_ALL),
                      T},
                     withOutcome({"silence",
                                  {"silent@readblock"},
                                  4,
                                  before + ENTERED + "Could not read record 1 block 1 during verification.\n",
                                  2 * T},
                                 "verify no-answer written"),
                     withOutcome({"wrong byte",
                                  {"corrupt@readblock#2=3"},
                                  4,
                                  vq2(AT_PAGED_READ_BACK) +
                                      "Verification failed: At 0x3C8002 expected 0x77, found 0x88.\n",
                                  0},
                                 "verify mismatch written"),
                     {"short reply", {"short@readblock=3"}, 4, before + errorLine(NO_PROMPT), T},
                     {"chatter",
                      {"chatter@readblock=\\r\\n"},
                      4,
                      before + errorLine("Unknown error status response, e=0x0A"),
                      0},
                     {"slow inside", {slow("readblock", INSIDE)}, 0, vq2(VQ2_ALL), (4 + 7) * INSIDE},
                     // The late block is let go by before the re-entry; its last bytes come while the probe
                     // waits, which lets the line fall quiet once more and probes again.
                     {"slow outside",
                      {slow("readblock#1", OUTSIDE)},
                      0,
                      before + retries(9, 9) + joinLines(VQ2_LINES, AT_READ_BACK, VQ2_ALL),
                      4 * OUTSIDE + T},
                     withOutcome({"hang-up",
                                  {"hangup@readblock#1"},
                                  4,
                                  before + retries(9) + errorLine("Timed out reading response, 0xE0"),
                                  4 * FAIL + HANGUP_CHAIN},
                                 "verify port written"),
                 });
}
