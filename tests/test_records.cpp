// Records and failures people and programs can act on: the step, the kind and what the flash holds, in the
// result event, the unit record and the station's reason; records written as each unit ends; --tag,
// --expect-sha256, CSV read back with Python's csv module; the schema as it is installed.
#include "results/outcome.h"
#include "test_station.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <regex>
#include <sys/file.h>
#include <unistd.h>

using fx::Texts, fx::linesOf;
using Json = nlohmann::json;

namespace {

/// Six records of firmware, six blocks, with an S0 header: a fault can strike in the middle of the write.
std::string firmware() {
    return fx::srec(0, 0, fx::toBytes("build 42")) + "\n" + st::firmware();
}

/// "step kind flash" of an event or record, each null as "null".
std::string outcomeOf(const Json& object) {
    std::string text;
    for (const char* field : {"step", "kind", "flash"}) {
        const Json value = object.value(field, Json());
        text += (text.empty() ? "" : " ") + (value.is_string() ? value.get<std::string>() : "null");
    }
    return text;
}

std::map<std::string, Json> byPort(const std::vector<Json>& units) {
    std::map<std::string, Json> found;
    for (const Json& unit : units)
        found[unit.value("port", "?")] = unit;
    return found;
}

std::string sha256Of(const std::string& path) {
    return fx::run("/usr/bin/sha256sum", {path}).out.substr(0, 64);
}

/// A station of four ports, one of each ending: A succeeds, B is an adapter that is not plugged in, C's
/// controller falls silent at the erase, D's cable is pulled in the middle of the write.
struct FailingStation {
    fx::TempDir dir;
    std::unique_ptr<fx::Background> vqsim;
    std::string prefix = dir.file("vq-");
    std::string list;
    int held = -1;

    FailingStation() {
        fx::writeFile(dir.file("fw.s19"), firmware());
        vqsim = std::make_unique<fx::Background>(VQSIM_PROGRAM, Texts{"--count", "3", "--link", prefix,
                                                                      "--fault", "1:silent@erasemain",
                                                                      "--fault", "2:hangup-after=400"});
        Texts devices;
        for (int i = 0; i < 3; ++i)
            devices.push_back(vqsim->line());
        // The terminal that hangs up stays taken, so that a reopen cannot reach another test's line.
        held = open(devices[2].c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        list = "A=" + prefix + "0,B=" + dir.file("ttyUSB9") + ",C=" + prefix + "1,D=" + prefix + "2";
    }
    ~FailingStation() {
        if (held >= 0) close(held);
        std::string rest;
        vqsim->finish(SIGTERM, rest);
    }
    fx::RunResult run(Texts args) const {
        Texts all = {"--ports", list, "-dw", "0", "--tag", "operator=ann", "--results", "units.jsonl"};
        all.insert(all.end(), args.begin(), args.end());
        all.push_back("fw.s19");
        return fx::run(VQ2DL_PROGRAM, all, dir.path(), 60000);
    }
};

const std::map<std::string, std::string> STATION_OUTCOMES = {
    {"A", "null null written"},
    {"B", "open port untouched"},
    {"C", "erase no-answer erased"},
    {"D", "write port partly-written"},
};

/// The records of a station run: one per port, each with its outcome, the run, the version and the tags.
void checkStationRecords(const std::string& text) {
    const std::vector<Json> units = st::jsonLines(text);
    ASSERT_EQ(units.size(), 4u) << text;
    const std::map<std::string, Json> unit = byPort(units);
    for (const auto& [port, outcome] : STATION_OUTCOMES) {
        SCOPED_TRACE(port);
        ASSERT_EQ(unit.count(port), 1u);
        EXPECT_EQ(outcomeOf(unit.at(port)), outcome);
        EXPECT_EQ(unit.at(port)["run"], units[0]["run"]);
        EXPECT_EQ(unit.at(port)["version"], "2.0.0");
        EXPECT_EQ(unit.at(port)["tags"], Json({{"operator", "ann"}}));
        EXPECT_EQ(unit.at(port)["switches"], Json::array({"-dw", "0"}));
        EXPECT_LE(unit.at(port)["started"].get<std::string>(), unit.at(port)["time"].get<std::string>());
        const std::string error = unit.at(port)["error"].is_string() ? unit.at(port)["error"] : "";
        EXPECT_EQ(error.find_first_of("\r\n"), std::string::npos) << error;
    }
    EXPECT_TRUE(
        std::regex_match(units[0]["run"].get<std::string>(),
                         std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")));
    EXPECT_EQ(unit.at("A")["files"][0]["header"], "build 42");
    EXPECT_EQ(unit.at("C")["error"], "Timed out reading response, 0xE0");
}

} // namespace

TEST(Outcome, TheStepsOfARunTellWhatTheFlashHolds) {
    struct Case {
        Texts steps; ///< step events, "open" for the port's opening
        int status;
        outcome::Kind noted;
        bool lineLost;
        std::string expected; ///< "step kind flash"
        std::string words;
    };
    const std::vector<Case> cases = {
        {{"files", "open"},
         2,
         outcome::Kind::None,
         false,
         "open port untouched",
         "port not opened: flash untouched"},
        {{"files"},
         3,
         outcome::Kind::None,
         false,
         "files file untouched",
         "file error while reading the files: flash untouched"},
        {{}, 1, outcome::Kind::None, false, "null usage untouched", "refused: flash untouched"},
        {{"open", "enter"},
         4,
         outcome::Kind::NoAnswer,
         false,
         "enter no-answer untouched",
         "no answer while reaching the controller: flash untouched"},
        {{"open", "enter", "erase"},
         4,
         outcome::Kind::None,
         false,
         "erase no-answer erased",
         "no answer while erasing: flash erased"},
        {{"open", "enter", "erase", "write"},
         4,
         outcome::Kind::NoAnswer,
         true,
         "write port partly-written",
         "port lost while writing: flash partly written"},
        {{"open", "enter", "erase", "write", "verify"},
         4,
         outcome::Kind::Mismatch,
         false,
         "verify mismatch written",
         "mismatch while verifying: flash written"},
        {{"open", "enter", "erase", "write", "verify"},
         0,
         outcome::Kind::None,
         false,
         "null null written",
         ""},
        {{"open", "wake", "wipe", "write"},
         130,
         outcome::Kind::None,
         false,
         "write signal partly-written",
         "stopped while writing: flash partly written"},
        {{"open", "wake", "wipe", "write", "signature"},
         0,
         outcome::Kind::None,
         false,
         "null null written",
         ""},
        {{"open", "enter", "wipe"}, 0, outcome::Kind::None, false, "null null erased", ""},
        {{"open", "enter", "read"},
         4,
         outcome::Kind::Mismatch,
         false,
         "read mismatch untouched",
         "mismatch while reading: flash untouched"},
        {{"open", "enter", "write"},
         139,
         outcome::Kind::Internal,
         false,
         "write internal partly-written",
         "internal error while writing: flash partly written"},
        // The unit's own bytes are kept before anything is erased.
        {{"open", "enter", "keep"},
         4,
         outcome::Kind::Mismatch,
         false,
         "keep mismatch untouched",
         "mismatch while keeping the unit's bytes: flash untouched"},
        // The serial number goes into a verified image: until it reads back, the unit is not whole.
        {{"open", "enter", "erase", "write", "verify", "serial"},
         4,
         outcome::Kind::WrongAnswer,
         false,
         "serial wrong-answer partly-written",
         "wrong answer while writing the serial number: flash partly written"},
        {{"open", "enter", "erase", "write", "verify", "serial"},
         0,
         outcome::Kind::None,
         false,
         "null null written",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.steps) + " " + std::to_string(c.status));
        outcome::Tracker tracker;
        for (const std::string& step : c.steps)
            step == "open" ? tracker.opening() : tracker.begin(step);
        const outcome::Outcome o = tracker.settle(c.status, c.noted, c.lineLost);
        const Json names = {{"step", outcome::nameOf(o.step) ? Json(outcome::nameOf(o.step)) : Json()},
                            {"kind", outcome::nameOf(o.kind) ? Json(outcome::nameOf(o.kind)) : Json()},
                            {"flash", outcome::nameOf(o.flash)}};
        EXPECT_EQ(outcomeOf(names), c.expected);
        EXPECT_EQ(outcome::words(o), c.words);
        // Every name reads back as its value.
        if (o.step != outcome::Step::None) {
            EXPECT_EQ(outcome::stepNamed(outcome::nameOf(o.step)), o.step);
        }
        if (o.kind != outcome::Kind::None) {
            EXPECT_EQ(outcome::kindNamed(outcome::nameOf(o.kind)), o.kind);
        }
        EXPECT_EQ(outcome::flashNamed(outcome::nameOf(o.flash)), o.flash);
    }
}

// The kept bytes and the serial number are steps of their own, before the erase and after the verification,
// in the result event and the unit record alike.
TEST(Records, TheKeptBytesAndTheSerialNumberFailInStepsOfTheirOwn) {
    const Texts keep = {"--keep", "0x7F00-0x7FFF"};
    const Texts serial = {"--serial", "0x7FF0:u32be", "--serial-value", "7"};
    Texts serialKept = serial;
    serialKept.push_back("--serial-keep");
    struct Case {
        std::string fault;
        Texts args;
        std::string outcome; ///< "step kind flash"
        std::string lastStep;
    };
    // Six image blocks, each written and read back once: the seventh is the serial number's.
    const std::vector<Case> cases = {
        {"corrupt@readblock#1=5", keep, "keep mismatch untouched", "keep"},
        {"silent@readblock", keep, "keep no-answer untouched", "keep"},
        {"corrupt@readblock#2=2", serialKept, "serial mismatch untouched", "enter"},
        {"error@writeblock#7=0xE6", serial, "serial wrong-answer partly-written", "serial"},
        {"corrupt@readblock#7=1", serial, "serial mismatch partly-written", "serial"},
        {"", serial, "null null written", "serial"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        fx::Rig rig(fx::monitorOptions(c.fault.empty() ? Texts{} : Texts{c.fault}));
        ASSERT_TRUE(rig.start());
        fx::writeFile(rig.dir.file("fw.s19"), firmware());
        Texts args = {"-dw", "0", "--json", "--results", rig.dir.file("units.jsonl")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const fx::RunResult r = rig.run(args, rig.dir.file("fw.s19"));
        EXPECT_EQ(r.status, c.outcome == "null null written" ? 0 : 4) << r.out;
        const std::vector<Json> stream = st::jsonLines(r.out);
        ASSERT_FALSE(stream.empty());
        EXPECT_EQ(outcomeOf(stream.back()), c.outcome);
        std::string lastStep;
        for (const Json& event : stream)
            if (event["event"] == "step") lastStep = event["step"];
        EXPECT_EQ(lastStep, c.lastStep);
        const std::vector<Json> units = st::jsonLines(fx::readFile(rig.dir.file("units.jsonl")));
        ASSERT_EQ(units.size(), 1u);
        EXPECT_EQ(outcomeOf(units[0]), c.outcome);
    }
}

TEST(Records, AStationWithAnUnpluggedPortASilentControllerAndAPulledCable) {
    FailingStation station;
    const fx::RunResult r = station.run({});
    EXPECT_EQ(r.status, 4) << r.out;
    // One line for each ending, its reason in words first, the system's text after it on the same line.
    const std::map<std::string, std::string> reasons = {
        {"B", "port not opened: flash untouched (Download failed: Could not open comm port " +
                  station.dir.file("ttyUSB9") + ". Reason: no such device.)"},
        {"C", "no answer while erasing: flash erased (Timed out reading response, 0xE0)"},
        {"D", "port lost while writing: flash partly written ("},
    };
    for (const auto& [port, reason] : reasons) {
        SCOPED_TRACE(port);
        const std::regex failed("\n\\[" + port +
                                "\\] FAILED \\((status [0-9]+)\\) after [0-9.]+ s: ([^\n]*)\n");
        std::smatch match;
        ASSERT_TRUE(std::regex_search(r.out, match, failed)) << r.out;
        EXPECT_EQ(match[2].str().compare(0, reason.size(), reason), 0) << match[2];
        // The summary row holds the same reason on one line.
        EXPECT_NE(r.out.find("  " + match[2].str() + "\n"), std::string::npos) << r.out;
    }
    for (const std::string& line : linesOf(r.out))
        EXPECT_EQ(line.find('\r'), std::string::npos) << line;
    checkStationRecords(fx::readFile(station.dir.file("units.jsonl")));
}

TEST(Records, AStationStreamOnTheStationsClockWithItsSlotsFirst) {
    FailingStation station;
    const fx::RunResult r = station.run({"--json"});
    EXPECT_EQ(r.status, 4) << r.out;
    const std::vector<Json> stream = st::jsonLines(r.out);
    ASSERT_GE(stream.size(), 3u);
    EXPECT_EQ(stream.front()["event"], "station_start");
    EXPECT_EQ(stream.front()["ports"],
              Json::parse(R"([{"name":"A","device":")" + station.prefix + R"(0"},{"name":"B","device":")" +
                          station.dir.file("ttyUSB9") + R"("},{"name":"C","device":")" + station.prefix +
                          R"(1"},{"name":"D","device":")" + station.prefix + R"(2"}])"));
    EXPECT_EQ(stream.front()["tags"], Json({{"operator", "ann"}}));
    EXPECT_EQ(stream.back()["event"], "station");
    std::map<std::string, Json> results;
    for (size_t i = 1; i + 1 < stream.size(); ++i) {
        const Json& event = stream[i];
        // The station's clock never goes back across ports; each port's own clock stays beside it.
        EXPECT_LE(stream[i - 1]["ms"], event["ms"]) << event.dump();
        EXPECT_TRUE(event.contains("port_ms")) << event.dump();
        if (event["event"] == "start") {
            EXPECT_EQ(event["mode"], "station");
            EXPECT_EQ(event["run"], stream.front()["run"]);
            EXPECT_EQ(event["tags"], Json({{"operator", "ann"}}));
        }
        if (event["event"] == "file") {
            EXPECT_EQ(event["header"], "build 42");
            EXPECT_EQ(event["end_address"], 0x4000 + 6 * 0x80 - 1);
            EXPECT_EQ(event["high_address"], 0x4000 + 5 * 0x80);
        }
        if (event["event"] == "result") results[event["port"]] = event;
    }
    for (const auto& [port, outcome] : STATION_OUTCOMES) {
        SCOPED_TRACE(port);
        ASSERT_EQ(results.count(port), 1u);
        EXPECT_EQ(outcomeOf(results[port]), outcome);
    }
    // The records are the same under --json.
    checkStationRecords(fx::readFile(station.dir.file("units.jsonl")));
}

TEST(Records, AStationKilledKeepsTheRecordsOfItsFinishedPorts) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    auto a = fx::startController();
    // B answers each block slowly, so that it is still writing when the station dies.
    auto b = fx::startController(fx::monitorOptions({"slow@writeblock=400"}));
    fx::Background station(VQ2DL_PROGRAM,
                           {"--ports", "A=" + a->devicePath() + ",B=" + b->devicePath(), "-dw", "0", "fw.s19",
                            "--results", "units.jsonl"},
                           dir.path());
    const std::string seen = station.until("[A] done");
    ASSERT_NE(seen.find("[A] done"), std::string::npos) << seen;
    // Written the moment A ended, and on the disk: nothing of the station is left to write it later.
    std::string rest;
    station.finish(SIGKILL, rest);
    const std::vector<Json> units = st::jsonLines(fx::readFile(dir.file("units.jsonl")));
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0]["port"], "A");
    EXPECT_EQ(units[0]["ok"], true);
    EXPECT_EQ(outcomeOf(units[0]), "null null written");
    // B's process ends on its own once it finds its pipe gone, and closes its port.
    for (int i = 0; i < 200 && !b->idleAfterSession(0); ++i)
        usleep(50000);
    EXPECT_TRUE(b->idleAfterSession(0));
}

TEST(Records, TagsGoIntoEveryRecordAndTheStartEvent) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    auto a = fx::startController();
    const Texts tags = {"--tag", "operator=ann", "--tag", "order=WO-17"};
    Texts args = {"-c", a->devicePath(), "-dw", "0", "--json", "--results", "units.jsonl"};
    args.insert(args.end(), tags.begin(), tags.end());
    args.push_back("fw.s19");
    const fx::RunResult r = fx::run(VQ2DL_PROGRAM, args, dir.path());
    EXPECT_EQ(r.status, 0) << r.out;
    const std::vector<Json> stream = st::jsonLines(r.out);
    ASSERT_FALSE(stream.empty());
    const Json tagObject = {{"operator", "ann"}, {"order", "WO-17"}};
    EXPECT_EQ(stream.front()["tags"], tagObject);
    EXPECT_EQ(stream.front()["mode"], "single");
    EXPECT_EQ(outcomeOf(stream.back()), "null null written");
    const std::vector<Json> units = st::jsonLines(fx::readFile(dir.file("units.jsonl")));
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0]["tags"], tagObject);
    EXPECT_EQ(units[0]["run"], stream.front()["run"]);
    // The same switches as a station's record keeps: neither the port nor the outputs nor the tags.
    EXPECT_EQ(units[0]["switches"], Json::array({"-dw", "0"}));
    EXPECT_EQ(units[0]["files"],
              Json::parse(R"([{"name":"fw.s19","sha256":")" + sha256Of(dir.file("fw.s19")) +
                          R"(","header":"build 42","generation":"VQ-II"}])"));

    // Tags that cannot be a column, or that say two things, are refused before anything opens.
    const std::vector<std::pair<Texts, std::string>> refused = {
        {{"--tag", "operator"}, "ERROR: Switch '--tag' needs KEY=VALUE, not 'operator'."},
        {{"--tag", "=ann"}, "ERROR: Switch '--tag' needs KEY=VALUE, not '=ann'."},
        {{"--tag", "operator="}, "ERROR: Switch '--tag' needs KEY=VALUE, not 'operator='."},
        {{"--tag", "a b=c"}, "ERROR: Switch '--tag' needs KEY=VALUE, not 'a b=c'."},
        {{"--tag", "lot=1", "--tag", "lot=2"}, "ERROR: Tag 'lot' is given twice."},
    };
    for (const auto& [extra, message] : refused) {
        Texts refusedArgs = {"-c", a->devicePath()};
        refusedArgs.insert(refusedArgs.end(), extra.begin(), extra.end());
        refusedArgs.push_back("fw.s19");
        const fx::RunResult refusal = fx::run(VQ2DL_PROGRAM, refusedArgs, dir.path());
        EXPECT_EQ(refusal.status, 1);
        EXPECT_EQ(refusal.out.compare(0, message.size() + 1, message + "\n"), 0) << refusal.out;
    }
}

TEST(Records, ResultsInCsvReadBackByACsvReader) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    auto a = fx::startController();
    const Texts common = {"-dw", "0", "--tag", "operator=ann", "--tag", "note=said \"hi\", left", "fw.s19"};
    auto run = [&](const std::string& port, const std::string& results, Texts extra = {}) {
        Texts args = {"-c", port, "--results", results};
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), common.begin(), common.end());
        return fx::run(VQ2DL_PROGRAM, args, dir.path()).status;
    };
    EXPECT_EQ(run(a->devicePath(), "units.csv"), 0);
    EXPECT_EQ(run(dir.file("ttyUSB9"), "units.CSV"), 2); // the name's case does not matter
    EXPECT_EQ(run(dir.file("ttyUSB9"), "units.csv"), 2);
    EXPECT_EQ(run(dir.file("ttyUSB9"), "units.jsonl"), 2);
    // A unit with a serial number after two without: the file's columns stay the header's.
    EXPECT_EQ(run(a->devicePath(), "units.csv", {"--serial", "0x7FF0:u32be", "--serial-value", "7"}), 0);
    // Python's own reader, each row as a JSON object of the header's names.
    const std::string reader = "import csv, json, sys\n"
                               "with open(sys.argv[1], newline='') as f:\n"
                               "    rows = list(csv.reader(f, strict=True))\n"
                               "print(json.dumps(rows))\n";
    const fx::RunResult read = fx::run("/usr/bin/python3", {"-c", reader, dir.file("units.csv")});
    ASSERT_EQ(read.status, 0) << read.err;
    const Json rows = Json::parse(read.out);
    ASSERT_EQ(rows.size(), 4u) << "the header once, then a row for each unit";
    const Json& header = rows[0];
    for (size_t i = 1; i < rows.size(); ++i)
        EXPECT_EQ(rows[i].size(), header.size());
    auto cell = [&](size_t row, const std::string& name) {
        const auto at = std::find(header.begin(), header.end(), name);
        return at == header.end() ? std::string("(no column " + name + ")")
                                  : rows[row][static_cast<size_t>(at - header.begin())].get<std::string>();
    };
    EXPECT_EQ(cell(1, "event"), "unit");
    EXPECT_EQ(cell(1, "ok"), "true");
    EXPECT_EQ(cell(1, "status"), "0");
    EXPECT_EQ(cell(1, "files.name"), "fw.s19");
    EXPECT_EQ(cell(1, "files.sha256"), sha256Of(dir.file("fw.s19")));
    EXPECT_EQ(cell(1, "files.header"), "build 42");
    EXPECT_EQ(cell(1, "tags"), "operator=ann;note=said \"hi\", left");
    EXPECT_EQ(cell(1, "switches"), "-dw 0");
    EXPECT_EQ(cell(1, "bytes.written"), "768");
    EXPECT_EQ(cell(1, "flash"), "written");
    EXPECT_EQ(cell(1, "step"), "");
    EXPECT_EQ(cell(2, "ok"), "false");
    EXPECT_EQ(cell(2, "status"), "2");
    EXPECT_EQ(cell(2, "step") + " " + cell(2, "kind") + " " + cell(2, "flash"), "open port untouched");
    EXPECT_EQ(cell(2, "error"), "Download failed: Could not open comm port " + dir.file("ttyUSB9") +
                                    ". Reason: no such device.");
    EXPECT_EQ(cell(1, "serial.value") + cell(2, "serial.value") + cell(1, "kept.range") + cell(1, "cycle"),
              "");
    EXPECT_EQ(cell(3, "serial.value"), "7");
    EXPECT_EQ(cell(3, "serial.state"), "written");
    // Every field of the JSON record has its column or columns.
    const std::vector<Json> units = st::jsonLines(fx::readFile(dir.file("units.jsonl")));
    ASSERT_EQ(units.size(), 1u);
    for (const auto& [name, value] : units[0].items()) {
        const bool column = std::any_of(header.begin(), header.end(), [&](const Json& h) {
            const std::string text = h;
            return text == name || text.compare(0, name.size() + 1, name + ".") == 0;
        });
        EXPECT_TRUE(column) << name;
    }
    EXPECT_EQ(fx::readFile(dir.file("units.CSV")).compare(0, 40, "v,event,ms,time,started,run,version,host"),
              0);
}

TEST(Records, AnExpectedDigestLetsOnlyThatBuildThrough) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    fx::writeFile(dir.file("a.ini"), "[a]\r\nx=1\r\n");
    ASSERT_EQ(fx::run(VQU_PROGRAM, {"fw.vqu", "a.ini", "fw.s19"}, dir.path()).status, 0);
    fx::run("/bin/rm", {dir.file("a.ini")});
    const std::string good = sha256Of(dir.file("fw.s19")), update = sha256Of(dir.file("fw.vqu"));
    std::string upper = good;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    const std::string wrong = std::string(63, '0') + "1";
    auto a = fx::startController();
    {
        const fx::RunResult r =
            fx::run(VQ2DL_PROGRAM, {"-c", a->devicePath(), "-dw", "0", "--expect-sha256", upper, "fw.s19"},
                    dir.path());
        EXPECT_EQ(r.status, 0) << r.out;
    }
    const size_t received = a->received().size();
    struct Case {
        Texts args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"-c", a->devicePath(), "--expect-sha256", wrong, "fw.s19"},
         3,
         "ERROR: fw.s19 has SHA-256 " + good + ", not the expected " + wrong + "."},
        // An update is refused before its .ini files are written.
        {{"-c", a->devicePath(), "--expect-sha256", wrong, "fw.vqu"},
         3,
         "ERROR: fw.vqu has SHA-256 " + update + ", not the expected " + wrong + "."},
        {{"--ports", "A=" + a->devicePath(), "--expect-sha256", wrong, "fw.s19"},
         3,
         "ERROR: fw.s19 has SHA-256 " + good + ", not the expected " + wrong + "."},
        {{"-c", a->devicePath(), "--expect-sha256", good, "--expect-sha256", good, "fw.s19"},
         1,
         "ERROR: Switch '--expect-sha256' is given 2 times for 1 firmware files."},
        {{"-c", a->devicePath(), "--expect-sha256", "abc", "fw.s19"},
         1,
         "ERROR: Switch '--expect-sha256' needs 64 hexadecimal digits, not 'abc'."},
        {{"-c", a->devicePath(), "-w", "--expect-sha256", good},
         1,
         "ERROR: Switch '--expect-sha256' cannot be combined with -w."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        const fx::RunResult r = fx::run(VQ2DL_PROGRAM, c.args, dir.path());
        EXPECT_EQ(r.status, c.status);
        EXPECT_NE(r.out.find(c.message + "\n"), std::string::npos) << r.out;
    }
    // A station's stream says so too: its ports, then why it ended before they ran.
    const fx::RunResult json = fx::run(
        VQ2DL_PROGRAM, {"--json", "--ports", "A=" + a->devicePath(), "--expect-sha256", wrong, "fw.s19"},
        dir.path());
    EXPECT_EQ(json.status, 3);
    const std::vector<Json> stream = st::jsonLines(json.out);
    ASSERT_EQ(stream.size(), 2u) << json.out;
    EXPECT_EQ(stream[0]["event"], "station_start");
    EXPECT_EQ(stream[1]["event"], "station");
    EXPECT_EQ(stream[1]["status"], 3);
    EXPECT_EQ(stream[1]["error"], "fw.s19 has SHA-256 " + good + ", not the expected " + wrong + ".");
    // Nothing reached the controller after the good run, and no .ini file was written.
    EXPECT_EQ(a->received().size(), received);
    EXPECT_FALSE(fx::fileExists(dir.file("a.ini")));
}

TEST(Records, TheSchemaIsInstalledWithTheDocumentationAndOpenToNewFields) {
    fx::TempDir dir;
    const fx::RunResult r = fx::run(VQ_CMAKE, {"--install", VQ_BINARY_DIR, "--prefix", dir.path()});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The file every event of these tests is checked against is the one a user gets.
    EXPECT_EQ(fx::readFile(dir.file("share/doc/vq2dl/events.schema.json")), fx::readFile(VQ_EVENTS_SCHEMA));
    // A reader with this schema meets an event of a newer vq2dl: its new fields pass.
    const Json newer = Json::parse(R"({"v":1,"event":"step","ms":5,"step":"write","cycle":3,"new":{"a":1}})");
    std::vector<std::string> faults;
    fx::validate(fx::eventsSchema(), newer, "", faults);
    EXPECT_EQ(faults, std::vector<std::string>{});
}

// Another program that holds the results file's lock for good delays a unit's record by a few seconds, never
// for ever: the run ends as it would, and its record is in the file, whole.
TEST(Records, ALockHeldForGoodDelaysTheRecordOnly) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    fx::writeFile(dir.file("units.jsonl"), "");
    const int holder = open(dir.file("units.jsonl").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    auto a = fx::startController();
    const auto start = fx::Clock::now();
    const fx::RunResult r = fx::run(
        VQ2DL_PROGRAM, {"-c", a->devicePath(), "-dw", "0", "--results", "units.jsonl", "fw.s19"}, dir.path());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_GE(fx::secondsSince(start), 4.5) << "the record waited for the lock a while";
    const std::vector<Json> units = st::jsonLines(fx::readFile(dir.file("units.jsonl")));
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(outcomeOf(units[0]), "null null written");
    close(holder);
}
