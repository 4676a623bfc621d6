// The fixture loop: units swapped in and out of simulated fixtures (vqsim --control), the probe's rule, the
// operator's texts, the records of every unit, and how the loop stops.
#include "fixture.h"
#include "json_schema.h"
#include "serial/presence.h"
#include "station/loop.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <fcntl.h>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using fx::Texts;
using Json = nlohmann::json;
using presence::Awaited, presence::Seen;

namespace {

/// Two records (or more), a block each: a fault on one occurrence of the block write strikes one unit.
std::string firmware(uint8_t records = 2) {
    std::vector<std::pair<uint32_t, fx::Bytes>> all;
    for (uint8_t i = 0; i < records; ++i)
        all.push_back({0x4000 + 0x80 * i, fx::bytes(128, static_cast<uint8_t>(i + 1))});
    return fx::s19(all, 0x4000);
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

/// Reads the program's output until it holds what n times, at most timeoutMs; false when it did not.
bool awaitSeen(fx::Background& program, const std::string& what, size_t n, int timeoutMs = 40000) {
    const auto start = fx::Clock::now();
    while (occurrences(program.seen, what) < n) {
        if (fx::msSince(start) > timeoutMs) return false;
        program.until(std::string(1, '\x01'), 200);
    }
    return true;
}

/// vqsim serving count fixtures at PREFIX0.., their units swapped through its control FIFO.
struct Fixtures {
    Fixtures(const fx::TempDir& dir, int count, Texts faults = {}, const Texts& more = {})
        : fifo(dir.file("control")), prefix(dir.file("vq-")),
          vqsim(VQSIM_PROGRAM, args(dir, count, faults, more)) {
        for (int i = 0; i < count; ++i)
            EXPECT_EQ(vqsim.line().compare(0, 9, "/dev/pts/"), 0);
    }
    Texts args(const fx::TempDir& dir, int count, const Texts& faults, const Texts& more) const {
        Texts all = {"--count", std::to_string(count), "--link", prefix, "--control", fifo,
                     "--dump",  dir.file("flash-")};
        all.insert(all.end(), more.begin(), more.end());
        for (const std::string& fault : faults) {
            all.push_back("--fault");
            all.push_back(fault);
        }
        return all;
    }
    void operator()(const std::string& line) const {
        const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        ASSERT_GE(fd, 0);
        const std::string text = line + "\n";
        EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
        close(fd);
    }
    std::string device(int i) const { return prefix + std::to_string(i); }
    std::string fifo, prefix;
    fx::Background vqsim;
};

/// The operator takes the unit of fixture index out once slot has asked for the unit's removal for the nth
/// time, and puts the next one in once the slot asks for it. The unit's flash goes to dump first when one is
/// named. Whether a slot said "insert a unit" before its first unit depends on how soon its first probe found
/// it: the request counted is the one after the removal.
void swap(fx::Background& loop, const Fixtures& fixtures, int index, const std::string& slot, size_t nth,
          const std::string& dump = "") {
    ASSERT_TRUE(awaitSeen(loop, "[" + slot + "] remove: ", nth)) << loop.seen;
    if (!dump.empty()) fixtures("dump " + std::to_string(index) + " " + dump);
    // The slot asks for the next unit only once this one is gone: every earlier request is in seen already.
    const size_t asked = occurrences(loop.seen, "[" + slot + "] insert a unit");
    fixtures("detach " + std::to_string(index));
    ASSERT_TRUE(awaitSeen(loop, "[" + slot + "] insert a unit", asked + 1)) << loop.seen;
    fixtures("attach " + std::to_string(index));
}

std::vector<Json> records(const std::string& path) {
    std::vector<Json> lines;
    std::istringstream in(fx::readFile(path));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(Json::parse(line, nullptr, false));
        for (const std::string& fault : fx::schemaFaults(lines.back()))
            ADD_FAILURE() << fault << " in " << line;
    }
    return lines;
}

} // namespace

TEST(Loop, TwoSlotsThreeUnitsEachOneFailingOneLeftInPlace) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    // B's third block write is its second unit's first: that unit fails, B goes on with the next.
    Fixtures fixtures(dir, 2, {"1:error@writeblock#3=0xE6"});
    fx::Background loop(VQ2DL_PROGRAM,
                        {"--ports", "A=" + fixtures.device(0) + ",B=" + fixtures.device(1), "--loop",
                         "--loop-count", "3", "--results", dir.file("units.jsonl"), dir.file("fw.s19")});
    // A's first unit stays in its fixture for 5 s: it is not programmed again meanwhile.
    ASSERT_TRUE(awaitSeen(loop, "[A] remove: ok", 1)) << loop.seen;
    for (size_t nth = 1; nth <= 2; ++nth)
        swap(loop, fixtures, 1, "B", nth);
    std::string rest;
    loop.until("\x01", 5000 - 200);
    EXPECT_EQ(occurrences(loop.seen, "[A] programming unit"), 1u) << loop.seen;
    for (size_t nth = 1; nth <= 2; ++nth)
        swap(loop, fixtures, 0, "A", nth);
    // With --loop-count 3 the loop ends by itself; its status is the failed unit's.
    EXPECT_EQ(loop.finish(0, rest), 4) << loop.seen << rest;
    const std::string out = loop.seen + rest;
    EXPECT_NE(out.find("[B] unit 2: FAILED (status 4): "), std::string::npos) << out;
    EXPECT_NE(out.find("[B] remove: FAILED - "), std::string::npos) << out;
    EXPECT_NE(out.find("\n6 units: 5 ok, 1 failed.\n"), std::string::npos) << out;
    EXPECT_EQ(occurrences(out, "[A] programming unit"), 3u);
    EXPECT_EQ(occurrences(out, "[B] programming unit"), 3u);

    // One record per unit, each with its cycle, written as it ended.
    const std::vector<Json> units = records(dir.file("units.jsonl"));
    ASSERT_EQ(units.size(), 6u);
    std::map<std::string, Texts> cycles;
    for (const Json& unit : units) {
        cycles[unit["port"]].push_back(
            std::to_string(unit["cycle"].get<int>()) +
            (unit["ok"].get<bool>() ? " ok" : " status " + std::to_string(unit["status"].get<int>())));
        if (unit["ok"].get<bool>()) {
            EXPECT_EQ(unit["bytes"]["verified"], 256) << unit;
        }
    }
    EXPECT_EQ(cycles["A"], (Texts{"1 ok", "2 ok", "3 ok"}));
    EXPECT_EQ(cycles["B"], (Texts{"1 ok", "2 status 4", "3 ok"}));

    // Every unit programmed once: A wrote three images and read each back once; B's failed unit took one
    // block and no read. The last units hold the image.
    fixtures.vqsim.finish(SIGTERM, rest);
    EXPECT_NE(
        rest.find("0: Simulated VQ-II controller: bytes written 768, pages erased 0, verification reads 6."),
        std::string::npos)
        << rest;
    EXPECT_NE(
        rest.find("1: Simulated VQ-II controller: bytes written 640, pages erased 0, verification reads 4."),
        std::string::npos)
        << rest;
    for (const char* dump : {"flash-0", "flash-1"})
        EXPECT_NE(fx::readFile(dir.file(dump)).find(fx::srec(1, 0x4000, fx::slice(fx::bytes(128, 1), 0, 32))),
                  std::string::npos)
            << dump;
}

TEST(Loop, TheFirstStopBetweenUnitsEndsCleanlyWithTheSummary) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    Fixtures fixtures(dir, 1);
    const std::string port = fixtures.device(0);
    fx::Background loop(VQ2DL_PROGRAM, {"-c", port, "--loop", dir.file("fw.s19")});
    ASSERT_TRUE(awaitSeen(loop, "[" + port + "] remove: ok", 1)) << loop.seen;
    std::string rest;
    const auto stopped = fx::Clock::now();
    EXPECT_EQ(loop.finish(SIGINT, rest), 0) << loop.seen << rest;
    EXPECT_LT(fx::secondsSince(stopped), 10.0);
    EXPECT_NE(rest.find("\n1 unit: 1 ok, 0 failed.\n"), std::string::npos) << rest;
    EXPECT_EQ(occurrences(loop.seen + rest, "programming unit"), 1u);
}

TEST(Loop, LoopCountEndsTheRunByItself) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    Fixtures fixtures(dir, 1);
    fx::Background loop(VQ2DL_PROGRAM, {"--ports", "X=" + fixtures.device(0), "--loop", "--loop-count", "2",
                                        "--log-dir", dir.file("logs"), dir.file("fw.s19")});
    swap(loop, fixtures, 0, "X", 1);
    std::string rest;
    EXPECT_EQ(loop.finish(0, rest), 0) << loop.seen << rest;
    EXPECT_NE(rest.find("\n2 units: 2 ok, 0 failed.\n"), std::string::npos) << rest;
    EXPECT_EQ(occurrences(loop.seen + rest, "[X] unit 2: done"), 1u) << loop.seen << rest;
    // The port's log holds both units' runs, one after the other, and none of the probes'.
    EXPECT_EQ(occurrences(fx::readFile(dir.file("logs/X.log")), "==== vq2dl "), 2u);
}

TEST(Loop, RefusedCommandLines) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    const std::vector<std::pair<Texts, std::string>> cases = {
        {{"--loop", "fw.s19"}, "ERROR: Switch '--loop' needs '-c' or '--ports'."},
        {{"-c", "/dev/null", "--loop", "-w"}, "ERROR: Switch '--loop' cannot be combined with '-w'."},
        {{"--ports", "A=/dev/null", "--loop", "--read", "out.s19"},
         "ERROR: Switch '--loop' cannot be combined with '--read'."},
        {{"-c", "/dev/null", "--loop-count", "2", "fw.s19"}, "ERROR: Switch '--loop-count' needs '--loop'."},
        {{"-c", "/dev/null", "--loop", "--log", "a.log", "fw.s19"},
         "ERROR: Switch '--loop' cannot be combined with '--log' (use '--log-dir')."},
        {{"-c", "/dev/null", "--loop", "-p", "fw.s19"},
         "ERROR: Switch '--loop' cannot be combined with '-p'."},
        {{"-c", "/dev/null", "--loop", "--loop-count", "0", "fw.s19"},
         "ERROR: Switch '--loop-count' needs a number of units, not '0'."},
        {{"-c", "/dev/null", "--await-unit", "soon", "fw.s19"},
         "ERROR: Switch '--await-unit' takes there or gone, not 'soon'."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.first));
        const fx::RunResult r = fx::run(VQ2DL_PROGRAM, c.first, dir.path(), 20000);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find(c.second), std::string::npos) << r.out;
    }
    EXPECT_EQ(fx::listDir(dir.path()), (Texts{"fw.s19"}));
}

TEST(Loop, ProbeRuleNeverTakesAUnitThatStayedForANewOne) {
    struct Case {
        Awaited awaited;
        std::vector<Seen> probes;
        int doneAt; ///< the probe (from 1) after which the awaited state has come; 0 for never
    };
    const std::vector<Case> cases = {
        {Awaited::There, {Seen::Silent, Seen::Silent, Seen::Answered}, 3},
        {Awaited::There, {Seen::Silent, Seen::Silent, Seen::Silent, Seen::Silent}, 0},
        {Awaited::There, {Seen::NoDevice, Seen::NoDevice, Seen::Silent}, 3}, // an adapter on the unit
        {Awaited::Gone, {Seen::Answered, Seen::Silent, Seen::Silent, Seen::Answered, Seen::Silent}, 0},
        {Awaited::Gone, {Seen::Answered, Seen::Silent, Seen::Silent, Seen::Silent}, 4},
        {Awaited::Gone, {Seen::Answered, Seen::NoDevice}, 2},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        presence::Tracker tracker(cases[i].awaited);
        int doneAt = 0;
        for (size_t p = 0; p < cases[i].probes.size() && !doneAt; ++p)
            if (tracker.take(cases[i].probes[p])) doneAt = static_cast<int>(p + 1);
        EXPECT_EQ(doneAt, cases[i].doneAt) << "case " << i;
    }
}

TEST(Loop, ProbeFindsAUnitThatAnswersAndOneThatIsGone) {
    for (bool monitor : {true, false}) {
        auto sim = fx::startController(monitor ? fx::monitorOptions() : fx::bootLoaderOptions());
        presence::Prober prober(sim->devicePath(), 115200, monitor);
        EXPECT_EQ(prober.probe(), Seen::Answered);
        // Probing again is harmless: an active monitor answers too, and a bare probe takes no flash.
        EXPECT_EQ(prober.probe(), Seen::Answered);
        sim->detach();
        EXPECT_EQ(prober.probe(), Seen::Silent);
        EXPECT_EQ(sim->counters().mainErases, 0u);
        prober.close();
        presence::Prober missing("/dev/vq-no-such-port", 115200, monitor);
        EXPECT_EQ(missing.probe(), Seen::NoDevice);
    }
}

TEST(Loop, OperatorTextsTableAndSummary) {
    std::vector<station::LoopSlot> slots(2);
    slots[0].slot = {"A", "/dev/ttyUSB0"};
    slots[1].slot = {"B", "/dev/ttyUSB1"};
    EXPECT_EQ(station::operatorText(slots[0]), "insert a unit");
    slots[0].phase = station::Phase::Programming;
    slots[0].cycle = 2;
    slots[0].unit.step = "writing";
    slots[0].unit.percent = 41.7;
    EXPECT_EQ(station::operatorText(slots[0]), "programming 41 %");
    slots[1].phase = station::Phase::Remove;
    slots[1].unit.status = 4;
    slots[1].unit.reason = "flash erased";
    slots[1].cycle = 1;
    slots[1].failed = 1;
    slots[0].ok = 1;
    EXPECT_EQ(station::operatorText(slots[1]), "remove: FAILED - flash erased");
    EXPECT_EQ(station::loopRows(slots, 80),
              (Texts{"NAME  PORT          UNIT    OK  FAILED  DO",
                     "A     /dev/ttyUSB0     2     1       0  programming 41 %",
                     "B     /dev/ttyUSB1     1     0       1  remove: FAILED - flash erased"}));
    for (const std::string& row : station::loopRows(slots, 30))
        EXPECT_LE(row.size(), 29u) << row;
    EXPECT_EQ(station::loopChanges(slots), "[A] programming unit 2\n[B] remove: FAILED - flash erased\n");
    EXPECT_EQ(station::loopChanges(slots), "") << "only changes are printed";
    EXPECT_EQ(station::loopStatus(slots), 0) << "worst is kept as units end";
    slots[1].unit.reason = "Download failed:\r\n   Could not open comm port 3.";
    EXPECT_EQ(station::operatorText(slots[1]),
              "remove: FAILED - Download failed: Could not open comm port 3.")
        << "one line in a table";
    slots[1].unit.reason = "flash erased";
    slots[1].worst = 4;
    EXPECT_EQ(station::loopStatus(slots), 4);
    EXPECT_EQ(station::loopSummary(slots),
              (Texts{"NAME  PORT          UNITS    OK  FAILED", "A     /dev/ttyUSB0      1     1       0",
                     "B     /dev/ttyUSB1      1     0       1", "", "2 units: 1 ok, 1 failed."}));
}

TEST(Loop, TheFirstStopLetsAUnitFinishTheSecondStopsIt) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware(40));
    // Each byte of a block write's answer comes 40 ms late (far within the read time-out): forty blocks take
    // about 5 s, long enough to be stopped in.
    Fixtures fixtures(dir, 2, {"slow@writeblock=40"});
    for (int stops : {1, 2}) {
        SCOPED_TRACE(stops);
        const std::string port = fixtures.device(stops - 1);
        fx::Background loop(VQ2DL_PROGRAM,
                            {"-c", port, "--loop", "--results", dir.file("units.jsonl"), dir.file("fw.s19")});
        ASSERT_TRUE(awaitSeen(loop, "unit 1: writing", 1)) << loop.seen;
        for (int i = 0; i < stops; ++i) {
            kill(loop.pid, SIGINT);
            usleep(100000);
        }
        std::string rest;
        EXPECT_EQ(loop.finish(0, rest), stops == 1 ? 0 : 128 + SIGINT) << loop.seen << rest;
        const std::string out = loop.seen + rest;
        EXPECT_NE(out.find(stops == 1 ? "unit 1: done" : "unit 1: FAILED"), std::string::npos) << out;
        EXPECT_NE(out.find(stops == 1 ? "1 unit: 1 ok, 0 failed." : "1 unit: 0 ok, 1 failed."),
                  std::string::npos)
            << out;
        EXPECT_EQ(occurrences(out, "programming unit"), 1u);
    }
    EXPECT_EQ(records(dir.file("units.jsonl")).size(), 2u);
}

TEST(Loop, JsonPassesEachUnitsEventsOnThenTheStation) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    Fixtures fixtures(dir, 1);
    const fx::RunResult r = fx::run(
        VQ2DL_PROGRAM,
        {"-c", fixtures.device(0), "--loop", "--loop-count", "1", "--json", dir.file("fw.s19")}, "", 60000);
    EXPECT_EQ(r.status, 0) << r.out;
    std::vector<Json> events;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        events.push_back(Json::parse(line, nullptr, false));
        ASSERT_TRUE(events.back().is_object()) << line;
        for (const std::string& fault : fx::schemaFaults(events.back()))
            ADD_FAILURE() << fault << " in " << line;
    }
    ASSERT_GE(events.size(), 4u);
    // A station's stream begins with its ports, then each unit's own events.
    EXPECT_EQ(events.front()["event"], "station_start");
    EXPECT_EQ(events[1]["event"], "start");
    EXPECT_EQ(events[events.size() - 2]["event"], "result");
    EXPECT_EQ(events.back()["event"], "station");
    EXPECT_EQ(events.back()["status"], 0);
}

TEST(Loop, OnATerminalTheTableAndQAndEnterStopIt) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    Fixtures fixtures(dir, 1);
    const fx::RunResult r = fx::runOnTerminal(
        VQ2DL_PROGRAM, {"--ports", "S1=" + fixtures.device(0), "--loop", dir.file("fw.s19")}, "", 60000, 100,
        "remove: ok", "q\r");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Ctrl-C or q and Enter stops after the units under way."), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("NAME  PORT"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("     1     1       0  remove: ok"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 unit: 1 ok, 0 failed."), std::string::npos) << r.out;
    // The last frame shows the port done, then the cursor is shown again and the summary follows.
    const size_t shown = r.out.rfind("\x1b[?25h");
    ASSERT_NE(shown, std::string::npos) << r.out;
    EXPECT_LT(r.out.rfind("1       0  done"), shown) << r.out;
    EXPECT_GT(r.out.find("1 unit: 1 ok, 0 failed."), shown) << r.out;
}

// One counter for a loop's units: every unit of every slot takes its own number, which its flash, its record
// and the journal agree on; the journal and the kept files name the slot, as the record does.
TEST(Loop, EachUnitTakesItsOwnNumberFromOneCounter) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    fx::writeFile(dir.file("serials"), "next=1000\n");
    ASSERT_EQ(mkdir(dir.file("kept").c_str(), 0700), 0);
    // Every unit comes with calibration bytes of its own, which it keeps.
    const fx::Bytes calibration = fx::bytes(16, 0x40);
    fx::writeFile(dir.file("unit.s19"), fx::s19({{0x7F00, calibration}}));
    Fixtures fixtures(dir, 2, {}, {"--preload", dir.file("unit.s19")});
    fx::Background loop(VQ2DL_PROGRAM,
                        {"--ports", "A=" + fixtures.device(0) + ",B=" + fixtures.device(1), "--loop",
                         "--loop-count", "2", "-dw", "0", "--serial", "0x7FF0:u32be", "--serial-counter",
                         "serials", "--keep", "0x7F00-0x7F0F", "--keep-dir", "kept", "--results",
                         "units.jsonl", "fw.s19"},
                        dir.path());
    // The first units' flash is dumped before they go; the second ones' when vqsim ends.
    swap(loop, fixtures, 0, "A", 1, dir.file("first-0"));
    swap(loop, fixtures, 1, "B", 1, dir.file("first-1"));
    std::string rest;
    EXPECT_EQ(loop.finish(0, rest), 0) << loop.seen << rest;
    EXPECT_NE(rest.find("\n4 units: 4 ok, 0 failed.\n"), std::string::npos) << rest;
    EXPECT_EQ(fixtures.vqsim.finish(SIGTERM, rest), 0) << rest;

    std::set<uint64_t> inUnits;
    for (const char* dump : {"first-0", "first-1", "flash-0", "flash-1"}) {
        const fx::Bytes number = fx::dumped(dir.file(dump), 0x7FF0, 4);
        inUnits.insert(uint64_t(number[0]) << 24 | uint64_t(number[1]) << 16 | uint64_t(number[2]) << 8 |
                       number[3]);
        EXPECT_EQ(fx::dumped(dir.file(dump), 0x7F00, 16), calibration) << dump;
    }
    const std::set<uint64_t> expected = {1000, 1001, 1002, 1003};
    EXPECT_EQ(inUnits, expected);
    // Each record: its slot, its cycle, its number written, its kept file named after the slot.
    std::map<uint64_t, std::string> recordPort;
    std::map<std::string, Texts> cycles;
    for (const Json& unit : records(dir.file("units.jsonl"))) {
        const std::string port = unit["port"];
        EXPECT_EQ(unit["serial"]["state"], "written") << unit;
        recordPort[unit["serial"]["value"].get<uint64_t>()] = port;
        cycles[port].push_back(std::to_string(unit["cycle"].get<int>()));
        const std::string kept = unit["kept"][0]["file"];
        EXPECT_EQ(kept.compare(0, 12, "kept/kept-" + port + "-"), 0) << kept;
        EXPECT_TRUE(fx::fileExists(dir.file(kept))) << kept;
    }
    EXPECT_EQ(cycles, (std::map<std::string, Texts>{{"A", {"1", "2"}}, {"B", {"1", "2"}}}));
    ASSERT_EQ(recordPort.size(), 4u);
    EXPECT_EQ(recordPort.begin()->first, 1000u);
    EXPECT_EQ(recordPort.rbegin()->first, 1003u);
    // The journal accounts for every number, each under the port its record names.
    std::map<uint64_t, std::string> journal;
    std::istringstream lines(fx::readFile(dir.file("serials.journal")));
    for (std::string text; std::getline(lines, text);) {
        const Json line = Json::parse(text, nullptr, false);
        ASSERT_TRUE(line.is_object()) << text;
        const uint64_t serial = line["serial"];
        EXPECT_EQ(line["port"], recordPort[serial]) << text;
        journal[serial] += (journal[serial].empty() ? "" : " ") + line["state"].get<std::string>();
    }
    EXPECT_EQ(journal, (std::map<uint64_t, std::string>{{1000, "taken written"},
                                                        {1001, "taken written"},
                                                        {1002, "taken written"},
                                                        {1003, "taken written"}}));
    EXPECT_EQ(fx::readFile(dir.file("serials")), "next=1004\n");
}

// A unit that fails after the erase leaves the loop with its own bytes in a file: after the summary, the
// station command of that one port (no loop) that puts them back names the unit, and does put them back.
TEST(Loop, AFailedUnitsKeptBytesAreSaidWithTheWayBack) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    const fx::Bytes own = fx::bytes(32, 0x5A);
    fx::writeFile(dir.file("unit.s19"), fx::s19({{0x7F00, own}}));
    Fixtures fixtures(dir, 1, {"0:error@writeblock#1=0xE6"}, {"--preload", dir.file("unit.s19")});
    fx::Background loop(VQ2DL_PROGRAM,
                        {"--ports", "A=" + fixtures.device(0), "--loop", "--loop-count", "1", "-dw", "0",
                         "--keep", "0x7F00-0x7F1F", "--keep-dir", "kept", "fw.s19"},
                        dir.path());
    std::string rest;
    ASSERT_EQ(loop.finish(0, rest), 4) << loop.seen << rest;
    const Texts lines = fx::linesOf(loop.seen + rest);
    const Texts files = fx::listDir(dir.file("kept"));
    ASSERT_EQ(files.size(), 1u);
    const std::string command = VQ2DL_PROGRAM " --ports A=" + fixtures.device(0) +
                                " -dw 0 --keep 0x7F00-0x7F1F --keep-dir kept fw.s19 --keep-from kept/" +
                                files[0];
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "[A] unit 1: The unit's own bytes are kept in kept/" + files[0] +
                                "; put them back with: " + command);
    const fx::RunResult back = fx::run("/bin/sh", {"-c", command}, dir.path());
    EXPECT_EQ(back.status, 0) << back.out;
    fixtures("dump 0 " + dir.file("after.s19"));
    for (int i = 0; i < 250 && !fx::fileExists(dir.file("after.s19")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string after = fx::readFile(dir.file("after.s19"));
    EXPECT_NE(after.find(fx::srec(1, 0x7F00, own)), std::string::npos) << after;
}
