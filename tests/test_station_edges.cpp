// The station's edges: a port that cannot be opened, a child that hangs or is killed from outside, the
// signals the station itself receives, a console that does not read, a VQ-I unit, and the command lines it
// refuses before anything opens.
#include "test_station.h"

#include "ports/ports.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <thread>
#include <unistd.h>

using fx::Texts;
using st::firmware, st::jsonLines, st::linesOf, st::stationLines;
using Json = nlohmann::json;

namespace {

/// Waits until the station has started this many children; their process ids.
std::vector<pid_t> childrenOnceStarted(pid_t station, size_t count) {
    // A child counts once it runs its own command line: before that it is still the station's copy, in the
    // station's process group and with its signals.
    const auto commandLine = [](pid_t pid) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    const std::string own = commandLine(station);
    std::vector<pid_t> children;
    for (int i = 0; i < 500; ++i) {
        children = st::childrenOf(station);
        const bool started = std::all_of(children.begin(), children.end(), [&](pid_t child) {
            return commandLine(child).find("--json") != std::string::npos && commandLine(child) != own;
        });
        if (children.size() >= count && started) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return children;
}

/// Waits until none of these processes runs any more; true when none does.
bool allEnded(const std::vector<pid_t>& pids, int timeoutMs) {
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        bool any = false;
        for (pid_t pid : pids)
            any = any || st::running(pid);
        if (!any) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

/// The mask of the signals a process ignores.
unsigned long long ignoredSignals(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 7, "SigIgn:") == 0) return std::stoull(line.substr(7), nullptr, 16);
    return ~0ull;
}

/// Sets an environment variable for the programs a test starts, and takes it away again.
struct Variable {
    Variable(const char* variable, const char* value) : name(variable) { setenv(name, value, 1); }
    ~Variable() { unsetenv(name); }
    const char* name;
};

} // namespace

// The commonest failure on a line, an unplugged adapter: one line wherever it is shown or kept, the whole
// reason in a pipe, cut with "…" to fit a terminal.
TEST(StationEdges, APortThatCannotBeOpenedIsOneLineEverywhere) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    auto a = fx::startController();
    const std::string missing = dir.file("unplugged");
    const Texts args = {
        "--ports",    "A=" + a->devicePath() + ",B=" + missing, "-dw", "0", "fw.s19", "--results",
        "units.jsonl"};
    const std::string reason =
        "Download failed: Could not open comm port " + missing + ". Reason: no such device.";
    const std::string words = "port not opened: flash untouched (" + reason + ")";

    const fx::RunResult piped = fx::run(VQ2DL_PROGRAM, args, dir.path());
    EXPECT_EQ(piped.status, 2) << piped.out;
    EXPECT_NE(piped.out.find("\n[B] FAILED (status 2) after "), std::string::npos) << piped.out;
    for (const std::string& line : stationLines(piped.out))
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
    EXPECT_TRUE(std::regex_search(piped.out,
                                  std::regex("\\[B\\] FAILED \\(status 2\\) after [0-9.]+ s: " +
                                             std::regex_replace(words, std::regex("[.()]"), "[$&]") + "\n")))
        << piped.out;
    EXPECT_TRUE(
        std::regex_search(piped.out, std::regex("\nB +\\S+ +FAILED +2 +.*  port not opened: flash untouched "
                                                "[(]Download failed: Could not open comm port \\S+ Reason: "
                                                "no such device[.][)]\n")))
        << piped.out;
    const std::vector<Json> units = jsonLines(fx::readFile(dir.file("units.jsonl")));
    ASSERT_EQ(units.size(), 2u);
    // Each port's record is written as it ends, in whatever order they end.
    const Json& b = units[0]["port"] == "B" ? units[0] : units[1];
    const Json& unitA = units[0]["port"] == "B" ? units[1] : units[0];
    EXPECT_EQ(b["status"], 2);
    EXPECT_EQ(b["error"], reason);
    EXPECT_EQ(b["step"], "open");
    EXPECT_EQ(b["kind"], "port");
    EXPECT_EQ(b["flash"], "untouched");
    EXPECT_EQ(unitA["port"], "A");
    EXPECT_EQ(unitA["status"], 0);
    EXPECT_EQ(unitA["flash"], "written");

    // Under --json the result event's error is the same one line.
    const fx::RunResult json =
        fx::run(VQ2DL_PROGRAM, {"--json", "--ports", "B=" + missing, "fw.s19"}, dir.path());
    EXPECT_EQ(json.status, 2);
    bool seen = false;
    for (const Json& event : jsonLines(json.out))
        if (event["event"] == "result") {
            EXPECT_EQ(event["error"], reason);
            EXPECT_EQ(event["step"], "open");
            EXPECT_EQ(event["kind"], "port");
            EXPECT_EQ(event["flash"], "untouched");
            seen = true;
        }
    EXPECT_TRUE(seen) << json.out;

    // On a terminal of 60 columns no summary line wraps; the reason is cut with an ellipsis.
    const fx::RunResult narrow = fx::runOnTerminal(VQ2DL_PROGRAM, args, dir.path(), 60000, 60);
    EXPECT_EQ(narrow.status, 2);
    const size_t summary = narrow.out.find("NAME ", narrow.out.rfind("\x1b[?25h"));
    ASSERT_NE(summary, std::string::npos) << narrow.out;
    bool cut = false;
    for (std::string line : linesOf(narrow.out.substr(summary))) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.compare(0, 6, "Rerun ") == 0) continue; // a command is never cut
        const size_t ellipsis = line.find("\u2026");
        cut = cut || ellipsis != std::string::npos;
        EXPECT_LE(line.size() - (ellipsis == std::string::npos ? 0 : 2), 59u) << line;
    }
    EXPECT_TRUE(cut) << narrow.out;
}

// A child that hangs is stopped after the silence limit (made short here); one that some other process kills
// is a failed port of status 5, not a station that was itself killed.
TEST(StationEdges, AHungChildAndAChildKilledFromOutside) {
    fx::TempDir dir;
    // Long enough a write that both are still at it when the test acts (0.1 s for each byte of an answer),
    // with a block every 0.3 s, far inside the silence limit.
    fx::writeFile(dir.file("fw.s19"), firmware(24));
    auto a = fx::startController(fx::monitorOptions({"slow@writeblock=100"}));
    auto b = fx::startController(fx::monitorOptions({"slow@writeblock=100"}));
    Variable silence("VQ2DL_STATION_SILENCE_MS", "3000");
    // A station started with SIGPIPE ignored (as some services start programs) keeps it so; its children
    // start with it at its default.
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    fx::Background station(VQ2DL_PROGRAM,
                           {"--ports", "A=" + a->devicePath() + ",B=" + b->devicePath(), "-dw", "0", "fw.s19",
                            "--results", "units.jsonl"},
                           dir.path());
    sigaction(SIGPIPE, &previous, nullptr);
    const std::vector<pid_t> children = childrenOnceStarted(station.pid, 2);
    ASSERT_EQ(children.size(), 2u);
    for (pid_t child : children) {
        // A process group of its own, so that a console's Ctrl-C reaches the station alone.
        EXPECT_EQ(getpgid(child), child);
        EXPECT_EQ(ignoredSignals(child) & (1ull << (SIGPIPE - 1)), 0u);
    }
    EXPECT_NE(ignoredSignals(station.pid) & (1ull << (SIGPIPE - 1)), 0u);
    station.until("[A] writing");
    const std::string seen = station.until("[B] writing");
    ASSERT_NE(seen.find("[A] writing"), std::string::npos) << seen;
    ASSERT_NE(seen.find("[B] writing"), std::string::npos) << seen;
    // The children start in the order of the list.
    kill(children[0], SIGSTOP);
    kill(children[1], SIGKILL);
    std::string rest;
    EXPECT_EQ(station.finish(0, rest), 5) << rest;
    EXPECT_TRUE(
        std::regex_search(rest, std::regex("\\[A\\] FAILED \\(status 5\\) after [0-9.]+ s: internal error "
                                           "while writing: flash partly written \\(stopped after 3 s "
                                           "without a word, last seen writing\\)")))
        << rest;
    EXPECT_TRUE(std::regex_search(
        rest, std::regex("\\[B\\] FAILED \\(status 5\\) after [0-9.]+ s: stopped while writing: flash "
                         "partly written \\(ended by SIGKILL without a result, last seen writing\\)")))
        << rest;
    const std::vector<Json> units = jsonLines(fx::readFile(dir.file("units.jsonl")));
    ASSERT_EQ(units.size(), 2u);
    for (const Json& unit : units) {
        EXPECT_EQ(unit["status"], 5) << unit.dump();
        EXPECT_EQ(unit["step"], "write") << unit.dump();
        EXPECT_EQ(unit["flash"], "partly-written") << unit.dump();
        // The hung child is a fault of ours; the one killed from outside was stopped.
        EXPECT_EQ(unit["kind"], unit["port"] == "A" ? "internal" : "signal") << unit.dump();
    }
    EXPECT_TRUE(allEnded(children, 5000));
}

// Every signal that ends a single run stops a station the same way: its children stopped with that signal,
// each running port recorded with 128 + n. Killed outright, the station still takes its children along.
TEST(StationEdges, TheStationsOwnSignalsAndItsDeath) {
    for (int signalNumber : {SIGINT, SIGQUIT, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(signalNumber);
        fx::TempDir dir;
        fx::writeFile(dir.file("fw.s19"), firmware(24));
        auto a = fx::startController(fx::monitorOptions({"slow@writeblock=100"}));
        auto b = fx::startController(fx::monitorOptions({"slow@writeblock=100"}));
        fx::Background station(VQ2DL_PROGRAM,
                               {"--ports", "A=" + a->devicePath() + ",B=" + b->devicePath(), "-dw", "0",
                                "fw.s19", "--results", "units.jsonl", "--log-dir", "logs"},
                               dir.path());
        const std::vector<pid_t> children = childrenOnceStarted(station.pid, 2);
        ASSERT_EQ(children.size(), 2u);
        station.until("[A] writing");
        station.until("[B] writing");
        std::string rest;
        const int status = station.finish(signalNumber, rest);
        // No child outlives the station, and both lines are closed.
        EXPECT_TRUE(allEnded(children, 5000));
        for (int i = 0; i < 250 && !(a->idleAfterSession(0) && b->idleAfterSession(0)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(a->idleAfterSession(0) && b->idleAfterSession(0));
        // The logs end with the status the children took from the signal; when the station died, from the
        // parent-death signal (SIGTERM) or from their output's pipe, whichever came first.
        for (const std::string& log : fx::listDir(dir.file("logs"))) {
            const std::string text = fx::readFile(dir.file("logs/" + log));
            const bool ended =
                signalNumber == SIGKILL
                    ? fx::endsWith(text, "Exit status 143.\n") || fx::endsWith(text, "Exit status 141.\n")
                    : fx::endsWith(text, "Exit status " + std::to_string(128 + signalNumber) + ".\n");
            EXPECT_TRUE(ended) << log << text;
        }
        if (signalNumber == SIGKILL) {
            EXPECT_EQ(status, -1);
            continue;
        }
        EXPECT_EQ(status, 128 + signalNumber) << rest;
        EXPECT_NE(rest.find("0 of 2 succeeded."), std::string::npos) << rest;
        const std::vector<Json> units = jsonLines(fx::readFile(dir.file("units.jsonl")));
        ASSERT_EQ(units.size(), 2u);
        for (const Json& unit : units) {
            EXPECT_EQ(unit["status"], 128 + signalNumber) << unit.dump();
            // Stopped while writing, however the child took the signal.
            EXPECT_EQ(unit["step"], "write") << unit.dump();
            EXPECT_EQ(unit["kind"], "signal") << unit.dump();
            EXPECT_EQ(unit["flash"], "partly-written") << unit.dump();
        }
    }
}

// A station whose standard output nobody reads stops within seconds of SIGTERM, and every port's reason is a
// whole message, never a piece of an event line.
TEST(StationEdges, StoppingNeverWaitsForTheConsole) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware(24));
    auto a = fx::startController(fx::monitorOptions({"slow@writeblock=100"}));
    auto b = fx::startController(fx::monitorOptions({"slow@writeblock=100"}));
    fx::Background station(VQ2DL_PROGRAM,
                           {"--json", "--ports", "A=" + a->devicePath() + ",B=" + b->devicePath(), "-dw", "0",
                            "fw.s19", "--results", "units.jsonl"},
                           dir.path(), 4096);
    // Once the pipe is full the station waits on it; the ports then wait on the station.
    for (int i = 0; i < 1000 && a->received().size() < 1500; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GE(a->received().size(), 1500u);
    kill(station.pid, SIGTERM);
    const auto start = fx::Clock::now();
    EXPECT_EQ(station.wait(20000), 143);
    EXPECT_LT(fx::secondsSince(start), 10.0);
    const std::vector<Json> units = jsonLines(fx::readFile(dir.file("units.jsonl")));
    ASSERT_EQ(units.size(), 2u);
    for (const Json& unit : units) {
        EXPECT_EQ(unit["status"], 143);
        ASSERT_TRUE(unit["error"].is_string()) << unit.dump();
        EXPECT_EQ(unit["error"].get<std::string>().find('{'), std::string::npos) << unit.dump();
    }
}

// A VQ-I unit's record names its generation and the bytes written.
TEST(StationEdges, AVqOneUnitIsRecorded) {
    fx::TempDir dir;
    std::string file;
    for (int i = 0; i < 8; ++i)
        file += fx::srec(1, 0x8100 + 0x20 * i, fx::bytes(32, uint8_t(i))) + "\n";
    fx::writeFile(dir.file("app.s19"), file + fx::srec(9, 0x8100) + "\n");
    auto sim = fx::startController(fx::bootLoaderOptions());
    const fx::RunResult r =
        fx::run(VQ2DL_PROGRAM, {"--ports", "U=" + sim->devicePath(), "app.s19", "--results", "units.jsonl"},
                dir.path());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\n1 of 1 succeeded.\n"), std::string::npos) << r.out;
    const std::vector<Json> units = jsonLines(fx::readFile(dir.file("units.jsonl")));
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0]["port"], "U");
    EXPECT_EQ(units[0]["generation"], "VQ-I");
    EXPECT_EQ(units[0]["action"], "download");
    EXPECT_EQ(units[0]["ok"], true);
    EXPECT_EQ(units[0]["files"][0]["generation"], "VQ-I");
    EXPECT_EQ(units[0]["bytes"]["written"], 256);
    EXPECT_EQ(sim->peek(0x8100 + 0x20 * 7), 7);
}

// One device under two names, log files that would coincide, a results file that is a log, a control
// character in a name: refused before anything opens. Under --json a station refused before its ports still
// ends with its station event.
TEST(StationEdges, RefusedBeforeAnyPort) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    const std::string prefix = dir.file("vq-");
    fx::Background vqsim(VQSIM_PROGRAM, {"--count", "1", "--link", prefix});
    const std::string device = vqsim.line();
    ASSERT_EQ(device.compare(0, 9, "/dev/pts/"), 0) << device;
    struct Case {
        Texts args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--ports", "A=" + prefix + "0,B=" + device},
         "ERROR: Port " + device + " is given twice in '--ports'."},
        {{"--ports", "A=1,B=/dev/ttyS0"}, "ERROR: Port /dev/ttyS0 is given twice in '--ports'."},
        {{"--ports", "A=" + device, "--ports", "a/b=/dev/null,a_b=/dev/zero", "--log-dir", "logs"},
         "ERROR: Ports a/b and a_b would write one log file, a_b.log, in '--log-dir'."},
        {{"--ports", "A=" + device + ",a=/dev/zero", "--log-dir", "logs"},
         "ERROR: Ports A and a would write one log file, a.log, in '--log-dir'."},
        {{"--ports", "A=" + device, "--log-dir", "logs", "--results", "./logs/A.log"},
         "ERROR: ./logs/A.log is both the --results file and the log of port A."},
        {{"--ports", "A\nB=" + device},
         "ERROR: Switch '--ports': a port's name or device may not hold a control character."},
        {{"--ports", "A=" + device + "\x1b[2J"},
         "ERROR: Switch '--ports': a port's name or device may not hold a control character."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Texts args = c.args;
        args.push_back("fw.s19");
        const fx::RunResult r = fx::run(VQ2DL_PROGRAM, args, dir.path(), 20000);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    }
    // A results file that is missing its folder, or a special file.
    for (const std::string& results : {std::string("missing/units.jsonl"), std::string("/dev/full")}) {
        SCOPED_TRACE(results);
        const fx::RunResult r = fx::run(
            VQ2DL_PROGRAM, {"--json", "--ports", "A=" + device, "--results", results, "fw.s19"}, dir.path());
        EXPECT_EQ(r.status, 1);
        const std::vector<Json> events = jsonLines(r.out);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back()["event"], "station");
        EXPECT_EQ(events.back()["status"], 1);
        EXPECT_TRUE(events.back()["error"].is_string()) << r.out;
    }
    EXPECT_EQ(fx::listDir(dir.path()), (Texts{"fw.s19", "vq-0"}));
    std::string rest;
    vqsim.finish(SIGTERM, rest);
}

// One adapter under its two names, a number and its device, and a path written two ways are one device.
TEST(StationEdges, OneDeviceUnderTwoNames) {
    fx::TempDir dir;
    auto sim = fx::startController();
    ASSERT_EQ(symlink(sim->devicePath().c_str(), dir.file("by-id").c_str()), 0);
    EXPECT_TRUE(platformSameDevice(dir.file("by-id"), sim->devicePath()));
    EXPECT_TRUE(platformSameDevice("/dev/null", "/dev/../dev/null"));
    EXPECT_TRUE(platformSameDevice(dir.file("x"), dir.file("./x")));
    EXPECT_FALSE(platformSameDevice("/dev/null", "/dev/zero"));
    EXPECT_FALSE(platformSameDevice(dir.file("by-id"), "/dev/null"));
    EXPECT_FALSE(platformSameDevice(dir.file("x"), dir.file("y")));
}

// A station whose output pipe closes (| head) stops as on any other signal: its ports recorded with 141.
TEST(StationEdges, AClosedOutputPipeStopsTheStation) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware(24));
    auto a = fx::startController(fx::monitorOptions({"slow@writeblock=100"}));
    auto b = fx::startController(fx::monitorOptions({"slow@writeblock=100"}));
    const fx::RunResult r =
        fx::run("/bin/sh",
                {"-c", "( \"$0\" \"$@\"; echo $? >status ) | head -c 1 >/dev/null", VQ2DL_PROGRAM, "--json",
                 "--ports", "A=" + a->devicePath() + ",B=" + b->devicePath(), "-dw", "0", "fw.s19",
                 "--results", "units.jsonl"},
                dir.path());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(fx::readFile(dir.file("status")), "141\n");
    const std::vector<Json> units = jsonLines(fx::readFile(dir.file("units.jsonl")));
    ASSERT_EQ(units.size(), 2u);
    for (const Json& unit : units)
        EXPECT_EQ(unit["status"], 141) << unit.dump();
}
