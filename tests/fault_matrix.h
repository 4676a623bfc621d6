// The fault matrix: at every step of both dialogues the simulated controller (or the cable) goes wrong in one
// way at a time: silence, a wrong byte, a short reply, chatter before the reply, bytes that come just inside
// and just outside the read time-out, a hang-up. The real vq2dl must end every such run with the right exit
// status and console text, after the waits its own time-outs and pauses prescribe. The rows, how they run
// and the clean VQ-II run they are measured against.
#pragma once

#include "fixture.h"

namespace matrix {

using fx::Texts;

/// One read time-out of vq2dl, in seconds.
inline constexpr double T = 0.251;
/// The least a read or a write on a hung-up line costs.
inline constexpr double FAIL = 0.020;
/// The fixed pause of the boot loader steps.
inline constexpr double SETTLE = 0.100;
/// Slow answers: every byte waits this long, just inside or just outside one read time-out.
inline constexpr double INSIDE = 0.200, OUTSIDE = 0.320;
/// A run that goes on this long past the waits its dialogue prescribes is stuck in a wait of its own. Only a
/// hang is caught, not a slow machine: starting the program and the sanitizers cost far less.
inline constexpr double HANG = 10.0;
/// A run that has not ended by then is killed.
inline constexpr int RUN_LIMIT_MS = 30000;

/// Stands in an expected console text for received bytes whose count depends on how two waits race.
inline const std::string ANY = "\x01";

/// One case: the faults, and what the run must come to.
struct Row {
    std::string name;
    Texts faults;
    int status;
    std::string body;                  ///< the console output after the line that reports the open port
    double seconds;                    ///< the time-outs, pauses and slow bytes the run must wait through
    std::string wire = "";             ///< what the controller must have received first, when given
    size_t anyMax = std::string::npos; ///< the longest text that ANY in body may stand for
    /// The unit record's "step kind flash" ("erase no-answer erased"; "null null written" for a success),
    /// when given.
    std::string outcome = "";
};

/// The row with the outcome its unit record must show.
inline Row withOutcome(Row row, const std::string& outcome) {
    row.outcome = outcome;
    return row;
}

/// One controller generation: the firmware file and what a run shows and leaves behind.
struct Target {
    int generation;
    std::string file;                                ///< the S-record text
    Texts switches;                                  ///< vq2dl switches besides -c and the file
    std::string detected;                            ///< the lines that report the file read
    std::vector<std::pair<uint32_t, uint8_t>> flash; ///< what the flash holds after a download
};

inline const char* const SIGNATURE = "Boot 2.1\r\n";

/// Lines [from, to), each with its line end.
inline std::string joinLines(const std::vector<std::string>& lines, size_t from, size_t to) {
    std::string text;
    for (size_t i = from; i < to && i < lines.size(); ++i)
        text += lines[i] + "\n";
    return text;
}
/// Runs every row against its own simulated controller. The runs wait on their lines nearly all the time, so
/// they go side by side, each vq2dl in its own process.
void runRows(const Target& target, const std::vector<Row>& rows);
/// The fault that makes every byte of a command's answer wait the given time.
inline std::string slow(const std::string& command, double seconds) {
    return "slow@" + command + "=" + std::to_string(static_cast<int>(seconds * 1000 + 0.5));
}
inline std::string errorLine(const std::string& text) {
    return "ERROR: " + text + "\n";
}

// ---- VQ-II: the serial monitor ----
//
// The image has a one-byte record at 0x4000 (unpaged) and four bytes on page 0x3C, so that a download takes
// every kind of command: the drop-in string and the probe, the main flash erase, block writes, the page
// register and a page erase, and block read-backs. The runs are made at verbosity 3, where monitor entry and
// its retries show.

inline const Target VQ2 = {
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
inline const std::vector<std::string> VQ2_LINES = {
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
inline constexpr size_t AT_ERASE_MAIN = 1, AT_BLOCK_WRITE = 3, AT_PAGE_REGISTER = 4, AT_PAGE_ERASE = 6,
                        AT_READ_BACK = 11, AT_PAGED_READ_BACK = 13, VQ2_ALL = 14;

inline const std::string ENTERED = "Entered monitor mode.\n";

/// The console from monitor entry (as given) up to line n of a clean run.
inline std::string vq2(size_t n, const std::string& entry = ENTERED) {
    return entry + joinLines(VQ2_LINES, 0, n);
}

} // namespace matrix
