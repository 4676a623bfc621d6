// The probe of a fixture's port between units. It holds the port only while no run does, and sends nothing
// but the entry's first step, which a running program and an active monitor or boot loader all take without
// harm.
#include "station/presence.h"

#include "platform/system.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace presence {

namespace {

const char DROP_IN[] = "!!!KeepOutHere";
const char BOOT_PROMPT[] = "Boot>";
/// The pause between the VQ-I carriage return and the "!!", as the wake-up has it.
constexpr int WAKE_PAUSE_MS = 50;
/// The most bytes a probe reads: a chattering program must not hold it longer than its time.
constexpr size_t MOST_BYTES = 256;
/// The longest step of a wait between probes, so that a stop is seen soon.
constexpr int SLEEP_STEP_MS = 50;

/// An answer of the monitor: an error byte (E0 or E1), a status byte and the prompt 3E.
bool monitorAnswer(const std::vector<uint8_t>& bytes) {
    for (size_t i = 2; i < bytes.size(); ++i)
        if (bytes[i] == 0x3E && (bytes[i - 2] == 0xE0 || bytes[i - 2] == 0xE1)) return true;
    return false;
}

bool bootAnswer(const std::vector<uint8_t>& bytes) {
    const std::string text(bytes.begin(), bytes.end());
    return text.find(BOOT_PROMPT) != std::string::npos;
}

} // namespace

bool Tracker::take(Seen seen) {
    if (awaited == Awaited::Gone) {
        if (seen == Seen::NoDevice) return true;
        silentInRow = seen == Seen::Silent ? silentInRow + 1 : 0;
        return silentInRow >= SILENT_PROBES;
    }
    if (seen == Seen::Answered) return true;
    // A device that was missing and is there now is an adapter that came with its unit.
    if (seen == Seen::NoDevice) {
        deviceMissed = true;
        return false;
    }
    return deviceMissed;
}

void Prober::close() {
    if (handle != NO_PORT) platformClose(handle);
    handle = NO_PORT;
}

Seen Prober::probe() {
    if (handle == NO_PORT) {
        std::string reason;
        handle = platformOpen(device, baudRate, reason);
        if (handle == NO_PORT) return Seen::NoDevice;
    }
    // What waited on the line from before (a program's output) is no answer to this probe.
    uint8_t buffer[64];
    for (size_t dropped = 0; dropped < MOST_BYTES;) {
        const size_t n = platformReadAvailable(handle, buffer, sizeof buffer);
        if (n == 0) break;
        dropped += n;
    }
    const auto send = [this](const char* text) {
        return platformWrite(handle, reinterpret_cast<const uint8_t*>(text), std::strlen(text), 1000);
    };
    bool written;
    if (monitor) {
        written = send(DROP_IN);
    } else {
        written = send("\r");
        platformSleepMs(WAKE_PAUSE_MS);
        written = written && send("!!");
    }
    if (!written) {
        // A port that takes no bytes has lost its device (an adapter pulled out).
        close();
        return Seen::NoDevice;
    }
    std::vector<uint8_t> answer;
    const int64_t deadline = platformNowMs() + ANSWER_MS;
    while (answer.size() < MOST_BYTES) {
        const int64_t left = deadline - platformNowMs();
        if (left <= 0) break;
        uint8_t byte;
        const ReadResult result = platformRead(handle, &byte, static_cast<int>(left));
        if (result == ReadResult::Failed) {
            close();
            return Seen::NoDevice;
        }
        if (result == ReadResult::Byte) answer.push_back(byte);
        if (monitor ? monitorAnswer(answer) : bootAnswer(answer)) return Seen::Answered;
    }
    return Seen::Silent;
}

bool awaitUnit(Prober& prober, Awaited awaited, const std::function<bool()>& stopped) {
    Tracker tracker(awaited);
    while (!stopped()) {
        const int64_t next = platformNowMs() + PROBE_MS;
        if (tracker.take(prober.probe())) {
            prober.close();
            return true;
        }
        for (int64_t now = platformNowMs(); now < next && !stopped(); now = platformNowMs())
            platformSleepMs(static_cast<int>(std::min<int64_t>(SLEEP_STEP_MS, next - now)));
    }
    prober.close();
    return false;
}

} // namespace presence
