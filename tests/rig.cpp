// The rig of the protocol tests: small byte and text helpers, the simulated controller with a Downloader on
// its line, and a bare end of the line.
#include "fixture.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace fx {

::testing::AssertionResult endsWith(const std::string& text, const std::string& tail) {
    if (text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << text << "\"\ndoes not end in\n\"" << tail << "\"";
}

SRecord record(uint32_t address, Bytes data) {
    SRecord r;
    r.address = address;
    r.length = static_cast<uint32_t>(data.size());
    r.data = std::move(data);
    return r;
}

std::string s19(const std::vector<std::pair<uint32_t, Bytes>>& records, uint32_t entry) {
    std::string text;
    for (const auto& r : records)
        text += srec(r.first < 0x10000 ? 1 : 2, r.first, r.second) + "\r\n";
    return text + srec(9, entry) + "\r\n";
}

int exitStatus(const std::function<void()>& step) {
    try {
        step();
    } catch (int status) {
        return status;
    }
    return 0;
}

std::string protocolError(const std::function<void()>& step) {
    try {
        step();
    } catch (const ProtocolError& error) {
        return error.text;
    }
    return "(none)";
}

vqsim::Options monitorOptions(Texts faults, bool inMonitor) {
    vqsim::Options options;
    options.faults = std::move(faults);
    options.inMonitor = inMonitor;
    return options;
}

vqsim::Options bootLoaderOptions(Texts faults, const std::string& signature) {
    vqsim::Options options;
    options.generation = 1;
    options.signature = signature;
    options.faults = std::move(faults);
    return options;
}

std::unique_ptr<vqsim::Simulator> startController(vqsim::Options options) {
    auto sim = std::make_unique<vqsim::Simulator>(std::move(options));
    std::string error;
    if (sim->start(error)) return sim;
    ADD_FAILURE() << "simulator: " << error;
    return sim;
}

void expectMemory(const vqsim::Simulator& sim, uint32_t address, const Bytes& data) {
    for (size_t i = 0; i < data.size(); ++i) {
        ASSERT_EQ(sim.peek(address + static_cast<uint32_t>(i)), data[i])
            << "at 0x" << std::hex << address + i;
    }
}

void pokeMemory(vqsim::Simulator& sim, uint32_t address, const Bytes& data) {
    for (size_t i = 0; i < data.size(); ++i)
        sim.poke(address + static_cast<uint32_t>(i), data[i]);
}

Bytes peekRange(const vqsim::Simulator& sim, uint32_t address, size_t n) {
    Bytes b;
    for (size_t i = 0; i < n; ++i)
        b.push_back(sim.peek(address + uint32_t(i)));
    return b;
}

Bytes dumped(const std::string& path, uint32_t address, size_t n) {
    FirmwareImage image;
    image.load(path);
    Bytes out(n, 0xFF);
    for (const auto& entry : image.records)
        for (size_t i = 0; i < entry.second.data.size(); ++i)
            if (entry.second.address + i >= address && entry.second.address + i < address + n)
                out[entry.second.address + i - address] = entry.second.data[i];
    return out;
}

Texts commands(const Bytes& tx) {
    static const std::string dropIn = "!!!KeepOutHere";
    Texts out;
    char text[32];
    for (size_t i = 0; i < tx.size();) {
        const uint8_t c = tx[i];
        const size_t left = tx.size() - i;
        if (c == '!' && left >= dropIn.size() && std::string(tx.begin() + i, tx.begin() + i + 14) == dropIn) {
            out.push_back("DROPIN");
            i += dropIn.size();
        } else if (c == 0x0D || c == 0xB4 || c == 0xB6 || c == 0xB8) {
            out.push_back(c == 0x0D ? "PROBE" : c == 0xB4 ? "RESET" : c == 0xB6 ? "ERASEMAIN" : "ERASEPAGE");
            ++i;
        } else if ((c == 0xA2 || c == 0xA7 || c == 0xA8) && left >= 4) {
            const unsigned n = tx[i + 3] + 1u;
            if (c == 0xA2)
                std::snprintf(text, sizeof text, "A2 %02X%02X %02X", tx[i + 1], tx[i + 2], tx[i + 3]);
            else
                std::snprintf(text, sizeof text, "%02X %02X%02X %u", c, tx[i + 1], tx[i + 2], n);
            out.push_back(text);
            i += 4 + (c == 0xA8 ? n : 0);
        } else {
            std::snprintf(text, sizeof text, "?? %02X", c);
            out.push_back(text);
            break;
        }
    }
    return out;
}

Rig::Rig(vqsim::Options options) : sim(std::make_unique<vqsim::Simulator>(std::move(options))) {}

::testing::AssertionResult Rig::start(const std::string& preload) {
    std::string error;
    if (!preload.empty() && !sim->preload(preload, error))
        return ::testing::AssertionFailure() << "preload: " << error;
    if (!sim->start(error)) return ::testing::AssertionFailure() << "simulator: " << error;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Rig::open(int verbosity) {
    ::testing::AssertionResult started = start();
    if (!started) return started;
    captured.clear();
    dl.options.portPath = sim->devicePath();
    dl.console.sink = captureSink;
    dl.console.verbosity = verbosity;
    dl.options.wipeDelay = 0;
    if (!dl.openPort()) return ::testing::AssertionFailure() << "port: " << dl.portError;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Rig::reopen(vqsim::Options options, int verbosity) {
    dl.closePort();
    sim = std::make_unique<vqsim::Simulator>(std::move(options));
    txMark = 0;
    return open(verbosity);
}

void Rig::mark() {
    captured.clear();
    txMark = sim->received().size();
}

Bytes Rig::txSinceMark() const {
    Bytes all = sim->received();
    return Bytes(all.begin() + static_cast<long>(std::min(txMark, all.size())), all.end());
}

RunResult Rig::run(Texts args, const std::string& file, int timeoutMs) const {
    args.insert(args.begin(), {"-c", sim->devicePath()});
    if (!file.empty()) args.push_back(file);
    return fx::run(VQ2DL_PROGRAM, args, "", timeoutMs);
}

void writeAndVerifyBothWays(BothWays& ways, const std::vector<std::pair<uint32_t, Bytes>>& image,
                            const std::function<void(Rig&)>& beforeWrite) {
    for (int join = 0; join < 2; ++join) {
        Rig& rig = ways.rigs[join];
        ASSERT_TRUE(rig.open());
        for (const auto& record : image)
            rig.add(record.first, record.second);
        rig.dl.options.joinBlocks = join == 1;
        rig.dl.options.showPercent = true;
        rig.prepare();
        if (beforeWrite) beforeWrite(rig);
        rig.dl.writeImage();
        ways.text[join][0] = captured;
        ways.sent[join][0] = commands(rig.txSinceMark());
        rig.mark();
        rig.dl.verifyImage();
        ways.text[join][1] = captured;
        ways.sent[join][1] = commands(rig.txSinceMark());
    }
}

Peer::Peer(const std::string& path) {
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd >= 0) ioctl(fd, TIOCEXCL);
}

void Peer::close() {
    if (fd >= 0) ioctl(fd, TIOCNXCL);
    if (fd >= 0) ::close(fd);
    fd = -1;
}

void Peer::send(const Bytes& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
}

Bytes Peer::read(size_t n, int timeoutMs) {
    Bytes got;
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < n && !hungUp) {
        int left =
            int(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) break;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        uint8_t buffer[512];
        ssize_t r = ::read(fd, buffer, std::min(sizeof buffer, n - got.size()));
        if (r > 0)
            got.insert(got.end(), buffer, buffer + r);
        else if (r == 0 || errno != EAGAIN)
            hungUp = true;
    }
    return got;
}

Bytes Peer::exchange(const Bytes& command, size_t n, int timeoutMs) {
    send(command);
    return read(n, timeoutMs);
}

} // namespace fx
