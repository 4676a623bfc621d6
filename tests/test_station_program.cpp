// The station as a user runs it: vq2dl --ports against simulated controllers, in a pipe, under --json, on a
// terminal, stopped by a signal, and the command lines it refuses.
#include "test_station.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <regex>
#include <sstream>
#include <thread>
#include <unistd.h>

using fx::Texts;
using Json = nlohmann::json;

using st::firmware, st::jsonLines, st::linesOf, st::stationLines;

TEST(Station, FourControllersOneOfEachEnding) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    const std::string prefix = dir.file("vq-");
    // 0 succeeds, 1 goes silent, 2 refuses the second block, 3 hangs up in the middle of the write.
    fx::Background vqsim(VQSIM_PROGRAM,
                         {"--count", "4", "--link", prefix, "--fault", "1:silent@erasemain", "--fault",
                          "2:error@writeblock#2=0xE6", "--fault", "3:hangup-after=400"});
    Texts devices;
    for (int i = 0; i < 4; ++i)
        devices.push_back(vqsim.line());
    ASSERT_EQ(devices[3].compare(0, 9, "/dev/pts/"), 0) << devices[3];
    // The terminal that hangs up stays taken, so that the reopen cannot reach another test's line.
    const int held = open(devices[3].c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const std::string list = "A=" + prefix + "0,B=" + prefix + "1,C=" + prefix + "2,D=" + prefix + "3";
    const fx::RunResult r =
        fx::run(VQ2DL_PROGRAM,
                {"--ports", list, "-dw", "0", "fw.s19", "--log-dir", "logs", "--results", "units.jsonl"},
                dir.path(), 60000);
    close(held);
    EXPECT_EQ(r.status, 4) << r.out;

    // The pipe form: whole lines, each naming its port, a step change or a result.
    const Texts own = stationLines(r.out);
    ASSERT_FALSE(own.empty()) << r.out;
    for (const std::string& line : own)
        EXPECT_TRUE(
            std::regex_match(line, std::regex(R"(\[[ABCD]\] (opening|entering the monitor|erasing|)"
                                              R"(writing|verifying|done in .*|FAILED \(status 4\) .*))")))
            << line;
    const std::string text = r.out;
    EXPECT_NE(text.find("[A] done in "), std::string::npos);
    EXPECT_NE(text.find("[C] FAILED (status 4) after "), std::string::npos);
    EXPECT_NE(text.find("Access error when writing FLASH/EEPROM memory, e=0xE6"), std::string::npos);

    // The summary, the count and the command that reruns the three that failed.
    EXPECT_TRUE(std::regex_search(text, std::regex("\nA +" + prefix + "0 +ok +0 +[0-9.]+ +768 ")));
    for (const char* name : {"B", "C", "D"})
        EXPECT_TRUE(std::regex_search(
            text, std::regex(std::string("\n") + name + " +\\S+ +FAILED +4 +\\S+ +\\S+ +\\S+ +\\S")))
            << name;
    EXPECT_TRUE(fx::endsWith(
        text, "\n1 of 4 succeeded.\nRerun the failed ports: " VQ2DL_PROGRAM " --ports B=" + prefix + "1,C=" +
                  prefix + "2,D=" + prefix + "3 -dw 0 fw.s19 --log-dir logs --results units.jsonl\n"));

    // A log per port, and a unit line per port, each written as its port ended.
    EXPECT_EQ(fx::listDir(dir.file("logs")), (Texts{"A.log", "B.log", "C.log", "D.log"}));
    for (const std::string& log : fx::listDir(dir.file("logs")))
        EXPECT_EQ(fx::readFile(dir.file("logs/" + log)).compare(0, 10, "==== vq2dl"), 0) << log;
    std::vector<Json> units = jsonLines(fx::readFile(dir.file("units.jsonl")));
    ASSERT_EQ(units.size(), 4u);
    std::sort(units.begin(), units.end(),
              [](const Json& a, const Json& b) { return a.value("port", "") < b.value("port", ""); });
    for (size_t i = 0; i < units.size(); ++i) {
        const Json& unit = units[i];
        SCOPED_TRACE(unit.dump());
        EXPECT_EQ(unit["event"], "unit");
        EXPECT_EQ(unit["port"], std::string(1, static_cast<char>('A' + i)));
        EXPECT_EQ(unit["ok"], i == 0);
        EXPECT_EQ(unit["status"], i == 0 ? 0 : 4);
        EXPECT_EQ(unit["error"].is_null(), i == 0);
        EXPECT_EQ(unit["action"], "download");
        EXPECT_EQ(unit["generation"], "VQ-II");
        ASSERT_EQ(unit["files"].size(), 1u);
        EXPECT_TRUE(
            std::regex_match(unit["files"][0]["sha256"].get<std::string>(), std::regex("[0-9a-f]{64}")));
        EXPECT_EQ(unit["files"][0]["sha256"], units[0]["files"][0]["sha256"]);
        EXPECT_EQ(unit["switches"], Json::array({"-dw", "0"}));
    }
    EXPECT_EQ(units[0]["bytes"]["written"], 768);
    std::string rest;
    vqsim.finish(SIGTERM, rest);
}

TEST(Station, JsonPassesEveryEventOnWithItsPortThenTheStation) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    auto a = fx::startController(), b = fx::startController();
    const fx::RunResult r = fx::run(
        VQ2DL_PROGRAM, {"--json", "--ports", "A=" + a->devicePath() + ",B=" + b->devicePath(), "fw.s19"},
        dir.path());
    EXPECT_EQ(r.status, 0) << r.out;
    const std::vector<Json> events = jsonLines(r.out);
    ASSERT_GE(events.size(), 3u);
    // The station's ports come first, before any child reports.
    EXPECT_EQ(events.front()["event"], "station_start");
    std::map<std::string, Texts> perPort;
    for (size_t i = 1; i + 1 < events.size(); ++i)
        perPort[events[i].value("port", "?")].push_back(events[i].value("event", "?"));
    EXPECT_EQ(perPort.size(), 2u);
    for (const char* port : {"A", "B"}) {
        ASSERT_FALSE(perPort[port].empty()) << port;
        EXPECT_EQ(perPort[port].front(), "start");
        EXPECT_EQ(perPort[port].back(), "result");
    }
    EXPECT_EQ(events.back().dump(), Json({{"error", nullptr},
                                          {"event", "station"},
                                          {"failed", 0},
                                          {"ms", events.back()["ms"]},
                                          {"ports", 2},
                                          {"status", 0},
                                          {"succeeded", 2},
                                          {"v", 1}})
                                        .dump());
    fx::expectMemory(*a, 0x4100, fx::bytes(128, 2));
    fx::expectMemory(*b, 0x4280, fx::bytes(128, 5));
}

TEST(Station, ASignalStopsEveryChildAndClosesEveryPort) {
    for (int signalNumber : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signalNumber);
        fx::TempDir dir;
        fx::writeFile(dir.file("fw.s19"), firmware());
        // Slow answers to the block writes keep the ports busy until the signal comes (each answer byte 0.1 s
        // late, well inside the read time-out: at 0.3 s each byte, a port failed by itself before a late
        // signal).
        auto a = fx::startController(fx::monitorOptions({"slow@writeblock=100"}));
        auto b = fx::startController(fx::monitorOptions({"slow@writeblock=100"}));
        fx::Background station(VQ2DL_PROGRAM,
                               {"--ports", "A=" + a->devicePath() + ",B=" + b->devicePath(), "-dw", "0",
                                "fw.s19", "--results", "units.jsonl", "--log-dir", "logs"},
                               dir.path());
        station.until("[A] writing");
        const std::string seen = station.until("[B] writing");
        ASSERT_NE(seen.find("[A] writing"), std::string::npos) << seen;
        ASSERT_NE(seen.find("[B] writing"), std::string::npos) << seen;
        std::string rest;
        EXPECT_EQ(station.finish(signalNumber, rest), 128 + signalNumber);
        EXPECT_NE(rest.find("0 of 2 succeeded."), std::string::npos) << rest;
        // Both lines closed, both units recorded whole, the logs whole.
        // The controllers see their lines closed as soon as they next look.
        for (int i = 0; i < 100 && !(a->idleAfterSession(0) && b->idleAfterSession(0)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(a->idleAfterSession(0)) << seen << rest;
        EXPECT_TRUE(b->idleAfterSession(0));
        const std::vector<Json> units = jsonLines(fx::readFile(dir.file("units.jsonl")));
        ASSERT_EQ(units.size(), 2u);
        for (const Json& unit : units)
            EXPECT_EQ(unit["ok"], false);
        for (const std::string& log : fx::listDir(dir.file("logs")))
            EXPECT_TRUE(fx::endsWith(fx::readFile(dir.file("logs/" + log)), "\n")) << log;
    }
}

TEST(Station, RefusesWithoutTouchingAPort) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    fx::writeFile(dir.file("bad.s19"), "S1FF\n");
    fx::writeFile(dir.file("empty.s19"), "");
    fx::writeFile(dir.file("overlap.s19"), fx::s19({{0x4000, fx::bytes(16, 1)}, {0x4008, fx::bytes(16, 2)}}));
    auto a = fx::startController();
    const std::string port = a->devicePath();
    struct Case {
        Texts args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"--ports", "A=" + port + ",B=" + port, "fw.s19"},
         1,
         "ERROR: Port " + port + " is given twice in '--ports'."},
        {{"--ports", "A=" + port, "--ports", "A=/dev/null", "fw.s19"},
         1,
         "ERROR: Port A is given twice in '--ports'."},
        {{"--ports", "A=" + port, "--read", "out.s19"},
         1,
         "ERROR: Switch '--ports' cannot be combined with '--read'."},
        {{"--ports", "A=" + port, "-c", "2", "fw.s19"},
         1,
         "ERROR: Switch '--ports' cannot be combined with '-c'."},
        {{"--ports", "A=" + port, "-p", "fw.s19"},
         1,
         "ERROR: Switch '--ports' cannot be combined with '-p'."},
        {{"--ports", "A=" + port, "--log", "x.log", "fw.s19"},
         1,
         "ERROR: Switch '--ports' cannot be combined with '--log' (use '--log-dir')."},
        {{"--ports", "A=", "fw.s19"},
         1,
         "ERROR: Switch '--ports': 'A=' in 'A=' is no port (NAME=PORT or PORT)."},
        {{"--log-dir", "logs", "-c", port, "fw.s19"},
         1,
         "ERROR: Switch '--log-dir' needs '--ports'; one port logs with '--log'."},
        {{"--ports", "A=" + port, "bad.s19"}, 3, "ERROR: Reading bad.s19 line 1: "},
        // The checks of a single run, before any child starts.
        {{"--ports", "A=" + port, "empty.s19"}, 3, "ERROR: No S-records to download in empty.s19."},
        {{"--ports", "A=" + port, "overlap.s19"}, 3, "ERROR: Record at 0x4008 (overlap.s19 line "},
        {{"--ports", "A=" + port, "--json", "empty.s19"},
         3,
         "\"error\":\"No S-records to download in empty.s19.\""},
        // A value left out: no child may load a file the station did not check.
        {{"--ports", "A=" + port, "-i", "--json", "fw.s19"},
         1,
         "Switch '-i' needs a value, not the switch '--json'."},
        {{"--ports", "A=" + port, "--log", "--json", "fw.s19"},
         1,
         "Switch '--log' needs a value, not the switch '--json'."},
        {{"--ports", "A=" + port, "--results", "--ports", "B=" + port, "fw.s19"},
         1,
         "ERROR: Switch '--results' needs a value, not the switch '--ports'."},
        {{"--ports", "A=" + port, "--results", "missing/units.jsonl", "fw.s19"},
         1,
         "ERROR: Could not open results file missing/units.jsonl: No such file or directory."},
        {{"--ports", "A=" + port, "--results", "./fw.s19", "fw.s19"},
         1,
         "ERROR: ./fw.s19 is both the --results file and a firmware file."},
        {{"--results", "missing/units.jsonl", "-c", port, "fw.s19"},
         1,
         "ERROR: Could not open results file missing/units.jsonl: No such file or directory."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const fx::RunResult r = fx::run(VQ2DL_PROGRAM, c.args, dir.path(), 20000);
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Rerun"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\"port\":\"A\""), std::string::npos) << r.out;
    }
    EXPECT_TRUE(a->received().empty());
    EXPECT_EQ(fx::listDir(dir.path()), (Texts{"bad.s19", "empty.s19", "fw.s19", "overlap.s19"}));
}

TEST(Station, TheTableOnATerminalFitsItsWidthAndLeavesTheCursorShown) {
    for (int columns : {50, 160}) {
        SCOPED_TRACE(columns);
        fx::TempDir dir;
        fx::writeFile(dir.file("fw.s19"), firmware());
        auto a = fx::startController(fx::monitorOptions({"slow@writeblock=100"}));
        auto b = fx::startController();
        const fx::RunResult r = fx::runOnTerminal(
            VQ2DL_PROGRAM,
            {"--ports", "A=" + a->devicePath() + ",B=" + b->devicePath(), "-dw", "0", "fw.s19"}, dir.path(),
            60000, static_cast<unsigned short>(columns));
        EXPECT_EQ(r.status, 0) << r.out;
        const size_t hidden = r.out.find("\x1b[?25l"), shown = r.out.rfind("\x1b[?25h");
        ASSERT_NE(hidden, std::string::npos);
        ASSERT_NE(shown, std::string::npos);
        EXPECT_LT(hidden, shown);
        EXPECT_NE(r.out.find("\x1b[3A"), std::string::npos)
            << "redrawn in place: up over the header and two rows";
        size_t rows = 0;
        for (std::string line : linesOf(r.out.substr(hidden, shown - hidden))) {
            const size_t at = line.find("\x1b[2K");
            if (at == std::string::npos) continue;
            line = line.substr(at + 4);
            ++rows;
            EXPECT_LT(line.size(), static_cast<size_t>(columns)) << line;
            EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
        }
        EXPECT_GE(rows, 6u) << "at least two frames";
        EXPECT_EQ(r.out.find("[#") != std::string::npos, columns == 160);
        EXPECT_NE(r.out.find("\n2 of 2 succeeded.\n"), std::string::npos);
    }
}

TEST(Station, SinglePortRunsAreRecordedTooAndLinesNeverMix) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    fx::writeFile(dir.file("bad.s19"), fx::srec(1, 0xC000, {1, 2}) + "\nS1FF\n");
    auto a = fx::startController();
    struct Case {
        Texts args;
        int status;
        std::string error; ///< the start of the unit's error text; empty for none
    };
    const std::vector<Case> cases = {
        {{"-c", a->devicePath(), "-dw", "0", "fw.s19"}, 0, ""},
        {{"-c", dir.file("no-port"), "fw.s19"},
         2,
         "Download failed: Could not open comm port " + dir.file("no-port") + ". Reason: no such device."},
        {{"-c", a->devicePath(), "bad.s19"}, 3, "Reading bad.s19 line 2: "},
    };
    for (const Case& c : cases) {
        Texts args = c.args;
        args.insert(args.end(), {"--results", "units.jsonl"});
        EXPECT_EQ(fx::run(VQ2DL_PROGRAM, args, dir.path()).status, c.status);
    }
    const std::vector<Json> units = jsonLines(fx::readFile(dir.file("units.jsonl")));
    ASSERT_EQ(units.size(), cases.size());
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(units[i].dump());
        EXPECT_EQ(units[i]["status"], cases[i].status);
        EXPECT_EQ(units[i]["ok"], cases[i].status == 0);
        EXPECT_EQ(units[i]["port"], cases[i].args[1]);
        if (cases[i].error.empty())
            EXPECT_TRUE(units[i]["error"].is_null());
        else
            EXPECT_EQ(units[i]["error"].get<std::string>().compare(0, cases[i].error.size(), cases[i].error),
                      0);
    }
    // The digest as the system's own tool computes it.
    const std::string digest = fx::run("/usr/bin/sha256sum", {"fw.s19"}, dir.path()).out.substr(0, 64);
    EXPECT_EQ(units[0]["files"],
              Json::array(
                  {{{"name", "fw.s19"}, {"sha256", digest}, {"header", nullptr}, {"generation", "VQ-II"}}}));
    EXPECT_EQ(units[0]["bytes"], Json({{"written", 768}, {"verified", 768}, {"read", 0}}));
    // Many processes at once on one file: every line whole.
    std::vector<std::thread> runs;
    for (int i = 0; i < 8; ++i)
        runs.emplace_back([&] {
            fx::run(VQ2DL_PROGRAM, {"-c", dir.file("no-port"), "fw.s19", "--results", "many.jsonl"},
                    dir.path());
        });
    for (std::thread& run : runs)
        run.join();
    EXPECT_EQ(jsonLines(fx::readFile(dir.file("many.jsonl"))).size(), 8u);
}

// Names that are no UTF-8 (a Latin-1 byte in a firmware file and in a port's name) never cost a record: every
// JSON line the programs write carries U+FFFD in their place, in a single run and in a station.
TEST(Station, NamesThatAreNoUtf8AreRecordedAllTheSame) {
    fx::TempDir dir;
    const std::string file = "fw\xE9.s19", link = "tty\xE9";
    fx::writeFile(dir.file(file), firmware());
    auto a = fx::startController();
    ASSERT_EQ(symlink(a->devicePath().c_str(), dir.file(link).c_str()), 0);
    const std::string replaced = "\xEF\xBF\xBD"; // U+FFFD
    fx::RunResult r =
        fx::run(VQ2DL_PROGRAM, {"-c", dir.file(link), "-dw", "0", "--json", "--results", "units.jsonl", file},
                dir.path());
    EXPECT_EQ(r.status, 0) << r.out;
    const std::vector<Json> events = jsonLines(r.out);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"], "result");
    r = fx::run(
        VQ2DL_PROGRAM,
        {"--ports", "N\xE9=" + dir.file(link), "-dw", "0", "--json", "--results", "units.jsonl", file},
        dir.path());
    EXPECT_EQ(r.status, 0) << r.out;
    const std::vector<Json> station = jsonLines(r.out);
    ASSERT_FALSE(station.empty());
    EXPECT_EQ(station.back()["event"], "station");
    EXPECT_EQ(station.back()["succeeded"], 1);

    const std::vector<Json> units = jsonLines(fx::readFile(dir.file("units.jsonl")));
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0]["port"], dir.file("tty" + replaced));
    EXPECT_EQ(units[1]["port"], "N" + replaced);
    for (const Json& unit : units) {
        EXPECT_EQ(unit["status"], 0);
        EXPECT_EQ(unit["files"][0]["name"], "fw" + replaced + ".s19");
    }
}
