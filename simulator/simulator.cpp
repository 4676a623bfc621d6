// The simulated controller as its users see it: start and stop, and the state it shows while and after it
// serves.
#include "engine.h"

#include <cstdio>
#include <unistd.h>

namespace vqsim {

/// The most bytes the log keeps.
constexpr size_t MAX_LOG = 4000000;

Engine::Engine(Options given) : options(std::move(given)), flash(options.generation != 1) {}

void Engine::feed(uint8_t byte, std::vector<Reply>& replies) {
    if (options.generation == 1)
        feedBootLoader(byte, replies);
    else
        feedMonitor(byte, replies);
}

bool Engine::ignored(const std::string& command, size_t pending) const {
    // Occurrences are counted as the answers go out, so the coming answer is the next one.
    auto counted = occurrences.find(command);
    const uint64_t occurrence = (counted == occurrences.end() ? 0 : counted->second) + 1;
    return ignores(faults, command, occurrence, answers + pending + 1);
}

void Engine::note(const std::string& text) {
    events.push_back(text);
    log.push_back({micros(), LogKind::Event, static_cast<uint32_t>(events.size() - 1)});
}

void Engine::logByte(LogKind direction, uint8_t byte) {
    const bool incoming = direction == LogKind::In;
    (incoming ? in : out).push_back(byte);
    ++(incoming ? counters.bytesIn : counters.bytesOut);
    // A line that chatters for hours must not eat the memory: the log stops at some millions of bytes.
    if (log.size() < MAX_LOG) {
        log.push_back({micros(), direction, byte});
    } else if (!logFull) {
        logFull = true;
        note("the log is full: later bytes are counted but not logged");
    }
}

int64_t Engine::micros() const {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - startTime).count();
}

Simulator::Simulator(Options options) : engine(std::make_unique<Engine>(std::move(options))) {}

Simulator::~Simulator() {
    stop();
    if (engine->master >= 0) close(engine->master);
    for (int fd : engine->wake)
        if (fd >= 0) close(fd);
}

bool Simulator::start(std::string& error) {
    Engine& e = *engine;
    if (e.running || e.master >= 0 || e.hungUp) {
        error = "the simulator has been started already";
        return false;
    }
    if (e.options.generation != 1 && e.options.generation != 2) {
        error = "the generation must be 1 (VQ-I) or 2 (VQ-II), not " + std::to_string(e.options.generation);
        return false;
    }
    if (e.options.baud < 0) {
        error = "the baud rate must be positive, not " + std::to_string(e.options.baud);
        return false;
    }
    if (e.options.latencyMs < 1 || e.options.latencyMs > 255) {
        error = "the latency timer must be 1 to 255 ms, not " + std::to_string(e.options.latencyMs);
        return false;
    }
    if (!parseFaults(e.options.faults, e.options.generation, e.faults, error)) return false;
    e.monitor.inMonitor = e.options.inMonitor;
    e.startTime = Clock::now();
    if (!e.openLine(error)) {
        if (e.master >= 0) close(e.master);
        e.master = -1;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(e.mutex);
        e.note("serving " + e.devicePath);
    }
    e.running = true;
    e.thread = std::thread([&e] { e.serve(); });
    return true;
}

void Simulator::stop() {
    Engine& e = *engine;
    if (!e.running) return;
    e.stopping = true;
    if (write(e.wake[1], "x", 1) < 0) {
        // The pipe is full only if stop() ran before; the thread sees the flag within one poll anyway.
    }
    e.thread.join();
    e.running = false;
}

std::string Simulator::devicePath() const {
    return engine->devicePath;
}

bool Simulator::hungUp() const {
    return engine->hungUp;
}

bool Simulator::idleAfterSession(int quietMs) const {
    std::lock_guard<std::mutex> lock(engine->mutex);
    if (engine->hungUp) return true;
    return engine->sessions > 0 && !engine->lineOpen &&
           Clock::now() - engine->closedAt >= std::chrono::milliseconds(quietMs);
}

void Simulator::detach() {
    std::lock_guard<std::mutex> lock(engine->mutex);
    if (engine->detached) return;
    engine->detached = true;
    engine->note("detached: no unit on the line");
}

void Simulator::attach() {
    Engine& e = *engine;
    std::lock_guard<std::mutex> lock(e.mutex);
    e.flash.eraseAll();
    for (const auto& byte : e.preloaded)
        e.flash.image(byte.first) = byte.second;
    e.page = 0;
    e.monitor = MonitorState{};
    e.boot = BootState{};
    e.detached = false;
    e.note("attached: a fresh unit");
}

bool Simulator::attached() const {
    return !engine->detached;
}

uint8_t Simulator::peek(uint32_t address) const {
    std::lock_guard<std::mutex> lock(engine->mutex);
    return engine->flash.image(address);
}

void Simulator::poke(uint32_t address, uint8_t value) {
    std::lock_guard<std::mutex> lock(engine->mutex);
    engine->flash.image(address) = value;
}

uint8_t Simulator::pageRegister() const {
    std::lock_guard<std::mutex> lock(engine->mutex);
    return engine->page;
}

std::vector<uint8_t> Simulator::received() const {
    std::lock_guard<std::mutex> lock(engine->mutex);
    return engine->in;
}

std::vector<uint8_t> Simulator::sent() const {
    std::lock_guard<std::mutex> lock(engine->mutex);
    return engine->out;
}

std::vector<std::string> Simulator::lines() const {
    std::lock_guard<std::mutex> lock(engine->mutex);
    return engine->lines;
}

std::vector<double> Simulator::turnarounds() const {
    std::lock_guard<std::mutex> lock(engine->mutex);
    return engine->turnarounds;
}

Counters Simulator::counters() const {
    std::lock_guard<std::mutex> lock(engine->mutex);
    return engine->counters;
}

std::string Simulator::summary() const {
    Counters c = counters();
    char text[256];
    if (engine->options.generation == 1) {
        std::snprintf(
            text, sizeof text,
            "Simulated VQ-I controller: bytes written %llu, lines %llu (%llu bad), wipes %llu.",
            static_cast<unsigned long long>(c.bytesWritten), static_cast<unsigned long long>(c.linesReceived),
            static_cast<unsigned long long>(c.badLines), static_cast<unsigned long long>(c.mainErases));
    } else {
        std::snprintf(
            text, sizeof text,
            "Simulated VQ-II controller: bytes written %llu, pages erased %llu, verification reads %llu.",
            static_cast<unsigned long long>(c.bytesWritten), static_cast<unsigned long long>(c.pagesErased),
            static_cast<unsigned long long>(c.blocksRead));
    }
    return text;
}

} // namespace vqsim
