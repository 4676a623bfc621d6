// The inside of the simulated controller, shared by the engine's source files: the flash, the two controller
// models, the faults and the line that serves them.
#pragma once

#include "simulator.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vqsim {

using Clock = std::chrono::steady_clock;

/// Flash of either generation. VQ-II: 64 KiB of unpaged space plus 256 pages of 16 KiB, the page that the
/// page register selects showing in the window 0x8000-0xBFFF. VQ-I: one flat 64 KiB space. Erased flash reads
/// 0xFF.
class Flash {
public:
    explicit Flash(bool paged);
    /// The byte at a 16-bit controller address with the page register at page.
    uint8_t& at(uint16_t address, uint8_t page);
    uint8_t at(uint16_t address, uint8_t page) const;
    /// The byte at an image address: the page in bits 16-23 (VQ-II), the window address in the low 16 bits.
    uint8_t& image(uint32_t address);
    uint8_t image(uint32_t address) const;
    /// VQ-I wipe: the whole flash.
    void eraseAll();
    /// VQ-II main flash erase: the unpaged space alone; each page keeps its bytes until its own erase.
    void eraseMain();
    void erasePage(uint8_t page);
    bool paged() const { return !pages.empty(); }

private:
    std::vector<uint8_t> unpaged;
    std::vector<uint8_t> pages;
    uint8_t outside = 0xFF; ///< VQ-I addresses above 0xFFFF: nothing is there
};

constexpr uint16_t WINDOW_START = 0x8000;
constexpr uint16_t WINDOW_END = 0xBFFF;
constexpr uint32_t PAGE_SIZE = 0x4000;
constexpr uint16_t PAGE_REGISTER = 0x0030;
constexpr uint8_t ERASED = 0xFF;

/// One answer that a controller model wants to send, named by the command that it answers.
struct Reply {
    std::string command; ///< a fault command name ("probe", "w", ...); "other" for a byte no command knows
    std::vector<uint8_t> bytes;
};

enum class FaultKind {
    Silent,
    Error,
    Status,
    Prompt,
    Short,
    Corrupt,
    Chatter,
    Extra,
    Slow,
    Reply,
    Hangup,
    Ignore
};

/// One parsed KIND@COMMAND[#N[-M]][=VALUE].
struct Fault {
    FaultKind kind = FaultKind::Silent;
    std::string command;
    uint64_t first = 1;         ///< first occurrence it applies to, counted from 1
    uint64_t last = UINT64_MAX; ///< last occurrence it applies to
    unsigned number = 0;        ///< the byte, count, position or milliseconds of the value
    std::vector<uint8_t> text;  ///< chatter and reply texts, escapes resolved
};

/// Every fault of a run, the line-wide ones apart.
struct FaultSet {
    std::vector<Fault> faults;
    uint64_t hangupAfter = 0; ///< close the line after this many bytes were received; 0: never
    int streamMs = 0;         ///< send chatter every this many milliseconds; 0: never
};

/// What goes on the line for one reply once the faults have had their say.
struct Answer {
    std::string command; ///< the command answered
    std::vector<uint8_t> bytes;
    int slowMs = 0;      ///< pause before each byte
    bool hangup = false; ///< close the line instead of answering
};

/// Parses every fault for a controller of the generation; false with a reason naming the fault otherwise.
bool parseFaults(const std::vector<std::string>& specs, int generation, FaultSet& faults, std::string& error);
/// Applies the faults that pick this occurrence of the reply's command (and the occurrence of any answer).
Answer applyFaults(const FaultSet& faults, const Reply& reply, uint64_t occurrence, uint64_t anyOccurrence);
/// True when an ignore fault picks this occurrence of the command (or of any answer): the command then
/// changes nothing, and is answered as usual.
bool ignores(const FaultSet& faults, const std::string& command, uint64_t occurrence, uint64_t anyOccurrence);

/// The VQ-II serial monitor's state between bytes.
struct MonitorState {
    bool inMonitor = false;
    std::vector<uint8_t> command; ///< the bytes of the command being received
    std::string recent;           ///< the last bytes seen while the controller runs its own program
};

/// The VQ-I boot loader's state between bytes.
struct BootState {
    bool receiving = false; ///< after "u", until the S9 line
    bool bang = false;      ///< one '!' of the "!!" seen
    std::string line;       ///< the record line being received
    bool overflow = false;  ///< the line grew too long to be a record
};

/// What an entry of the log holds.
enum class LogKind : uint8_t {
    In,    ///< a byte the downloader sent
    Out,   ///< a byte the controller sent
    Event, ///< a note; the value indexes the events
};

/// A byte or an event of the log, stamped in microseconds since the start.
struct LogEntry {
    int64_t micros;
    LogKind kind;
    uint32_t value; ///< the byte, or the index of the event's text
};

/// Everything the simulated controller holds; the Simulator owns one.
struct Engine {
    explicit Engine(Options options);

    Options options;
    FaultSet faults;

    // Controller state; the serving thread changes it under the mutex, the accessors read it under the mutex.
    mutable std::mutex mutex;
    Flash flash;
    uint8_t page = 0;
    MonitorState monitor;
    BootState boot;
    Counters counters;
    std::map<std::string, uint64_t> occurrences;
    uint64_t answers = 0; ///< every answer given or withheld, for the "any" command
    std::vector<uint8_t> in;
    std::vector<uint8_t> out;
    std::vector<std::string> lines;
    std::vector<LogEntry> log;
    std::vector<std::string> events;
    std::vector<double> turnarounds;
    bool logFull = false;
    int sessions = 0;
    bool lineOpen = false;
    Clock::time_point closedAt;
    std::vector<std::pair<uint32_t, uint8_t>> preloaded; ///< what preload put in the flash, for attach

    // The line, used by the serving thread alone once it runs.
    int master = -1;
    int wake[2] = {-1, -1};
    std::string devicePath;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::atomic<bool> running{false};
    std::atomic<bool> hungUp{false};
    std::atomic<bool> detached{false}; ///< no unit on the line: bytes in are lost, none go out
    Clock::time_point startTime;
    Clock::time_point inFreeAt;
    Clock::time_point outFreeAt;
    Clock::time_point nextStream;
    // The delivery model: bytes that have crossed the line but wait for the host's FIFO or adapter.
    std::vector<uint8_t> held;
    Clock::time_point heldUntil;   ///< when the held bytes go to the host at the latest
    Clock::time_point lastCrossed; ///< when the last held byte crossed the line
    Clock::time_point deliveredAt; ///< when answer bytes last reached the host
    Clock::duration lastHold{};    ///< how long the last byte then released had waited after crossing
    bool deliveredSinceInput = false;
    bool timedAnswer = false; ///< the last answer counts for the turnaround

    /// Opens, sets raw and primes the pseudo-terminal; false with the reason.
    bool openLine(std::string& error);
    /// The serving thread's body.
    void serve();
    /// Closes the line because a fault says so.
    void hangUp(const char* why);

    /// Feeds one received byte to the controller model (under the mutex); the replies it gives.
    void feed(uint8_t byte, std::vector<Reply>& replies);
    void feedMonitor(uint8_t byte, std::vector<Reply>& replies);
    void feedBootLoader(uint8_t byte, std::vector<Reply>& replies);
    /// True when an ignore fault picks the coming answer to the command, behind pending answers not yet
    /// counted (under the mutex).
    bool ignored(const std::string& command, size_t pending) const;
    /// Notes an event in the log (under the mutex).
    void note(const std::string& text);
    /// Logs a byte in or out and keeps it with the others of its direction (under the mutex).
    void logByte(LogKind direction, uint8_t byte);
    int64_t micros() const;
};

} // namespace vqsim
