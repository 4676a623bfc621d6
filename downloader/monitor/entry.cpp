// Monitor entry: the drop-in string makes a controller that runs its own program fall into the serial
// monitor, a monitor that was already active is reset, and the probe byte shows that the monitor answers.
#include "downloader.h"
#include "monitor/protocol.h"

namespace {

/// Makes a controller that runs its own program drop into the monitor; sent without a terminator.
const char DROP_IN[] = "!!!KeepOutHere";
/// Monitor entry's attempts in all: the first with the drop-in string, then ten more with the probe alone.
constexpr int ENTRY_ATTEMPTS = 11;

bool holds(const uint8_t* answer, uint8_t error, uint8_t status, uint8_t prompt) {
    return answer[0] == error && answer[1] == status && answer[2] == prompt;
}

} // namespace

void Downloader::enterMonitor() {
    // 1. Only the first attempt sends the drop-in string; its answer is information, the probe decides.
    writeText(DROP_IN);
    uint8_t answer[3] = {0, 0, 0};
    if (readBytes(answer, 3)) {
        tracker.answered();
        if (answer[0] == MON_ERR_NOT_RECOGNIZED &&
            !(answer[1] == MON_STATUS_NONE && answer[2] == MON_PROMPT)) {
            message(2, "Monitor mode failed.");
        } else {
            // A monitor that is already active does not know the drop-in string: reset it. A byte of the
            // second answer that does not come leaves the first answer's byte in its place.
            if (holds(answer, MON_ERR_NOT_RECOGNIZED, MON_STATUS_NONE, MON_PROMPT)) {
                writeByte(MON_RESET);
                readBytes(answer, 3);
            }
            if (holds(answer, MON_ERR_NONE, MON_STATUS_COLD_RESET, MON_PROMPT))
                message(2, "Entered monitor mode.");
            else
                message(2, "Monitor mode failed.");
        }
    }

    // 2. The probe is no command: the monitor may call it not recognised, and may still report the reset.
    writeByte(MON_PROBE);
    awaitProbeAnswer(10);
}

void Downloader::awaitProbeAnswer(int attempt) {
    for (;; --attempt) {
        // A byte that never comes keeps its default here, and the messages show the buffer as it stands.
        uint8_t reply[3] = {MON_ERR_NONE, MON_STATUS_NONE, 0x00};
        unsigned got = 0;
        const std::string missing = receiveReply(reply, got, 5);
        if (missing.empty()) {
            judgeReply(reply, MON_ERR_NOT_RECOGNIZED, MON_STATUS_COLD_RESET);
            return;
        }
        // 3. A missing answer is retried with the probe alone, one attempt less each time; halfway down the
        // port is opened afresh in case the line itself is stuck. Whether it reopened shows in the next
        // answer.
        if (attempt == 0) throw ProtocolError{missing, outcome::Kind::NoAnswer};
        // Part of an answer came: the rest may still be on its way, and would be read as the next answer. A
        // line that gave nothing for five read time-outs is quiet already.
        if (got > 0) drainInput();
        if (attempt == 5) reopenPort();
        message(3, "Wake up attempted (%d).", attempt - 1);
        // Attempts run from 10 down to 0: the one with attempt - 1 is the (11 - (attempt - 1))th of 11.
        console.showWaiting(ENTRY_ATTEMPTS - (attempt - 1), ENTRY_ATTEMPTS);
        writeByte(MON_PROBE);
    }
}
