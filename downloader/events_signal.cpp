// The closing event of a run that a signal ends, written from the signal handler: made once beforehand by the
// JSON library, with the numbers and names that vary filled in by stores and arithmetic alone.
#include "events.h"
#include "events_shared.h"
#include "system.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <vector>

namespace events {

namespace {

using Json = nlohmann::ordered_json;
using namespace shared;

/// The closing event of a signal, made by the JSON library with numbers in the places that vary: the pieces
/// between them, and which number goes after each piece.
enum class Slot { Ms, Status, Signal, Seconds, Written, Verified, Read, Step, Flash, End };
constexpr uint64_t PLACEHOLDER_BASE = 9100000000000000000ULL;
struct SignalTemplate {
    std::vector<std::string> pieces;
    std::vector<Slot> slots;
};
SignalTemplate closing;

} // namespace

void shared::prepareClosing() {
    auto placeholder = [](Slot slot) { return PLACEHOLDER_BASE + static_cast<uint64_t>(slot); };
    Json object = Json{{"v", VERSION},
                       {"event", "result"},
                       {"ms", placeholder(Slot::Ms)},
                       {"status", placeholder(Slot::Status)},
                       {"ok", false},
                       {"error", "Ended by signal " + std::to_string(placeholder(Slot::Signal)) + "."},
                       {"seconds", placeholder(Slot::Seconds)},
                       {"bytes",
                        {{"written", placeholder(Slot::Written)},
                         {"verified", placeholder(Slot::Verified)},
                         {"read", placeholder(Slot::Read)}}},
                       {"signature", nullptr},
                       {"step", placeholder(Slot::Step)},
                       {"kind", "signal"},
                       {"flash", placeholder(Slot::Flash)}};
    const std::string text = object.dump() + "\n";
    const std::string base = std::to_string(PLACEHOLDER_BASE);
    // Every placeholder has the digits of the base, with its slot's number in the last ones.
    const std::string mark = base.substr(0, base.size() - 2);
    closing = {};
    size_t from = 0;
    for (size_t at; (at = text.find(mark, from)) != std::string::npos; from = at + base.size()) {
        closing.pieces.push_back(text.substr(from, at - from));
        closing.slots.push_back(
            static_cast<Slot>(std::stoull(text.substr(at, base.size())) - PLACEHOLDER_BASE));
    }
    closing.pieces.push_back(text.substr(from));
    closing.slots.push_back(Slot::End);
}

namespace {

/// Appends a static text as a JSON string, or null, for the signal handler: no library call. The texts are
/// names that need no escapes.
void appendName(char*& out, const char* end, const char* name) {
    const char* text = name ? name : "null";
    if (name && out < end) *out++ = '"';
    for (; *text && out < end; ++text)
        *out++ = *text;
    if (name && out < end) *out++ = '"';
}

/// Appends a number in decimal, for the signal handler: no library call.
void appendNumber(char*& out, const char* end, uint64_t value, int minDigits = 1) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 || n < minDigits);
    while (n > 0 && out < end)
        *out++ = digits[--n];
}

} // namespace

size_t signalResult(int signalNumber, char* buffer, size_t size) {
    // Only loads of atomics, arithmetic and stores into the caller's buffer: the signal may have come in the
    // middle of anything.
    if (!closingAllowed.exchange(false) || lineBeingWritten || size == 0) return 0;
    const int64_t ms = std::max<int64_t>(platformNowMs() - startMs, 0);
    char* out = buffer;
    const char* end = buffer + size;
    for (size_t i = 0; i < closing.pieces.size(); ++i) {
        const std::string& piece = closing.pieces[i];
        for (size_t k = 0; k < piece.size() && out < end; ++k)
            *out++ = piece[k];
        switch (closing.slots[i]) {
        case Slot::Ms:
            appendNumber(out, end, static_cast<uint64_t>(ms));
            break;
        case Slot::Status:
            appendNumber(out, end, static_cast<uint64_t>(128 + signalNumber));
            break;
        case Slot::Signal:
            appendNumber(out, end, static_cast<uint64_t>(signalNumber));
            break;
        case Slot::Seconds:
            appendNumber(out, end, static_cast<uint64_t>(ms / 1000));
            if (out < end) *out++ = '.';
            appendNumber(out, end, static_cast<uint64_t>(ms % 1000), 3);
            break;
        case Slot::Written:
            appendNumber(out, end, bytesWritten.load());
            break;
        case Slot::Verified:
            appendNumber(out, end, bytesVerified.load());
            break;
        case Slot::Read:
            appendNumber(out, end, bytesRead.load());
            break;
        case Slot::Step:
            appendName(out, end, stepNow.load());
            break;
        case Slot::Flash:
            appendName(out, end, flashNow.load());
            break;
        case Slot::End:
            break;
        }
    }
    // A line that does not fit is not written at all: half a line is worse than none.
    return out < end ? static_cast<size_t>(out - buffer) : 0;
}

} // namespace events
