// Serial numbers as a user gets them: the vq2dl program against simulated controllers, the number in the
// unit's flash, the console line, the event, the unit record and the journal; --serial-keep; a number that
// did not get into its unit; stations sharing one counter; a run killed after taking a number; the refusals.
#include "fixture.h"
#include "json_schema.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <fcntl.h>
#include <map>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace {

using fx::Bytes, fx::Texts;
using Json = nlohmann::json;

/// A VQ-II image of 16 bytes at 0x4000 and, when asked, a 0xFF placeholder at 0x7FF0.
std::string firmware(bool placeholder = false) {
    std::vector<std::pair<uint32_t, Bytes>> records = {{0x4000, fx::bytes(16, 1)}};
    if (placeholder) records.push_back({0x7FF0, Bytes(8, 0xFF)});
    return fx::s19(records, 0x4000);
}

std::vector<Json> jsonLines(const std::string& text) {
    std::vector<Json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        Json object = Json::parse(line, nullptr, false);
        EXPECT_TRUE(object.is_object()) << line;
        if (object.contains("event"))
            for (const std::string& fault : fx::schemaFaults(object))
                ADD_FAILURE() << fault << " in " << line;
        lines.push_back(object);
    }
    return lines;
}

/// The states the journal gives each number, in order: {1000: "taken written"}.
std::map<uint64_t, std::string> journalStates(const std::string& counter) {
    std::map<uint64_t, std::string> states;
    for (const Json& line : jsonLines(fx::readFile(counter + ".journal"))) {
        std::string& text = states[line["serial"].get<uint64_t>()];
        text += (text.empty() ? "" : " ") + line["state"].get<std::string>();
    }
    return states;
}

} // namespace

TEST(SerialProgram, EachFormatsBytesInTheUnit) {
    struct Case {
        const char* format;
        const char* value;
        Bytes bytes;
        const char* text;
    };
    const Case cases[] = {
        {"u16le", "4660", {0x34, 0x12}, "4660"},
        {"u16be", "0x1234", {0x12, 0x34}, "4660"},
        {"u32le", "1000003", {0x43, 0x42, 0x0F, 0x00}, "1000003"},
        {"u32be", "1000003", {0x00, 0x0F, 0x42, 0x43}, "1000003"},
        {"u64le", "258", {2, 1, 0, 0, 0, 0, 0, 0}, "258"},
        {"u64be", "258", {0, 0, 0, 0, 0, 0, 1, 2}, "258"},
        {"dec:8", "1000003", fx::toBytes("01000003"), "01000003"},
        {"hex:6", "1000003", fx::toBytes("0F4243"), "0F4243"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        fx::Rig rig;
        ASSERT_TRUE(rig.start());
        fx::writeFile(rig.dir.file("fw.s19"), firmware(true));
        const fx::RunResult r = rig.run({"-dw", "0", "--serial", std::string("0x7FF0:") + c.format,
                                         "--serial-value", c.value, "--results", rig.dir.file("units.jsonl")},
                                        rig.dir.file("fw.s19"));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_TRUE(fx::endsWith(r.out, "Serial number " + std::string(c.text) + " written at 0x7FF0.\n"));
        // The number where asked, the placeholder's other bytes still erased, the image as it was.
        EXPECT_EQ(fx::peekRange(*rig.sim, 0x7FF0, 8),
                  fx::operator+(c.bytes, Bytes(8 - c.bytes.size(), 0xFF)));
        EXPECT_EQ(fx::peekRange(*rig.sim, 0x4000, 16), fx::bytes(16, 1));
        const std::vector<Json> units = jsonLines(fx::readFile(rig.dir.file("units.jsonl")));
        ASSERT_EQ(units.size(), 1u);
        EXPECT_EQ(units[0]["serial"]["text"], c.text);
        EXPECT_EQ(units[0]["serial"]["address"], 0x7FF0);
        EXPECT_EQ(units[0]["serial"]["source"], "value");
        EXPECT_EQ(units[0]["serial"]["state"], "written");
    }
}

TEST(SerialProgram, ACounterNumberWrittenReadBackAndJournalled) {
    fx::Rig rig;
    ASSERT_TRUE(rig.start());
    const std::string counter = rig.dir.file("serials");
    fx::writeFile(counter, "# line 3\nnext=1000003\n");
    fx::writeFile(rig.dir.file("fw.s19"), firmware());
    const fx::RunResult r =
        rig.run({"-dw", "0", "-v", "4", "--json", "--serial", "0x7FF0:u32be", "--serial-counter", counter,
                 "--port-name", "Slot 7", "--results", rig.dir.file("units.jsonl")},
                rig.dir.file("fw.s19"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(fx::peekRange(*rig.sim, 0x7FF0, 4), (Bytes{0x00, 0x0F, 0x42, 0x43}));
    EXPECT_EQ(fx::readFile(counter), "# line 3\nnext=1000004\n");
    EXPECT_EQ(journalStates(counter), (std::map<uint64_t, std::string>{{1000003, "taken written"}}));
    // The port's name given: the journal and the record both name the port by it, the record the device too.
    for (const Json& line : jsonLines(fx::readFile(counter + ".journal")))
        EXPECT_EQ(line["port"], "Slot 7");
    const Json unit = jsonLines(fx::readFile(rig.dir.file("units.jsonl"))).at(0);
    EXPECT_EQ(unit["port"], "Slot 7");
    EXPECT_EQ(unit["device"], rig.sim->devicePath());
    // After the verification: a step of its own, the write, the read-back, the serial event, the line.
    std::string steps, trail;
    for (const Json& event : jsonLines(r.out)) {
        if (event["event"] == "step") steps += event["step"].get<std::string>() + " ";
        if (event["event"] == "serial") {
            EXPECT_EQ(event.dump(),
                      "{\"address\":32752,\"bytes\":\"00 0F 42 43\",\"event\":\"serial\",\"ms\":" +
                          event["ms"].dump() +
                          ",\"source\":\"counter\",\"state\":\"written\",\"text\":\"1000003\","
                          "\"v\":1,\"value\":1000003}");
        }
        if (event["event"] == "message" && steps.find("serial") != std::string::npos)
            trail += event["text"].get<std::string>() + "\n";
    }
    EXPECT_EQ(steps, "enter erase write verify serial ");
    EXPECT_EQ(trail, "TX:  a8 7f f0 03\nTX:  00 0f 42 43\nRX:  e0 00 3e\nTX:  a7 7f f0 03\nRX:  00 0f 42 43\n"
                     "RX:  e0 00 3e\nSerial number 1000003 written at 0x7FF0.\n");
}

TEST(SerialProgram, VqOneSendsTheNumberAsOneMoreLine) {
    fx::Rig rig(fx::bootLoaderOptions());
    ASSERT_TRUE(rig.start());
    const std::string counter = rig.dir.file("serials");
    fx::writeFile(counter, "next=42\n");
    fx::writeFile(rig.dir.file("fw.s19"), fx::s19({{0x8100, fx::bytes(16, 1)}, {0xE000, fx::bytes(8, 2)}}));
    const fx::RunResult r = rig.run(
        {"--serial", "0x9000:dec:4", "--serial-counter", counter, "--results", rig.dir.file("units.jsonl")},
        rig.dir.file("fw.s19"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Write complete, 3 records, 28 bytes.\n\nSerial number 0042 written at 0x9000.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(fx::peekRange(*rig.sim, 0x9000, 4), fx::toBytes("0042"));
    EXPECT_EQ(fx::peekRange(*rig.sim, 0xE000, 8), fx::bytes(8, 2));
    EXPECT_EQ(journalStates(counter), (std::map<uint64_t, std::string>{{42, "taken written"}}));
    // The record counts the number's line with the others, as the console did.
    const Json unit = jsonLines(fx::readFile(rig.dir.file("units.jsonl"))).at(0);
    EXPECT_EQ(unit["bytes"]["written"], 28);
    EXPECT_EQ(unit["serial"]["bytes"], "30 30 34 32");
}

TEST(SerialProgram, KeepOnAUnitWithANumberAndOnABlankOne) {
    for (bool numbered : {true, false}) {
        SCOPED_TRACE(numbered ? "numbered" : "blank");
        fx::Rig rig;
        const std::string counter = rig.dir.file("serials");
        fx::writeFile(counter, "next=500\n");
        // The unit's own number, and old firmware that the erase takes away.
        std::vector<std::pair<uint32_t, Bytes>> old = {{0x4000, Bytes(64, 0x5A)}};
        if (numbered) old.push_back({0x7FF0, {0, 0, 0x01, 0x2C}});
        fx::writeFile(rig.dir.file("old.s19"), fx::s19(old));
        ASSERT_TRUE(rig.start(rig.dir.file("old.s19")));
        fx::writeFile(rig.dir.file("fw.s19"), firmware(true));
        const fx::RunResult r = rig.run({"-dw", "0", "--serial", "0x7FF0:u32be", "--serial-counter", counter,
                                         "--serial-keep", "--results", rig.dir.file("units.jsonl")},
                                        rig.dir.file("fw.s19"));
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(fx::peekRange(*rig.sim, 0x4000, 17), fx::operator+(fx::bytes(16, 1), Bytes{0xFF}));
        const Json unit = jsonLines(fx::readFile(rig.dir.file("units.jsonl"))).at(0);
        if (numbered) {
            EXPECT_TRUE(fx::endsWith(r.out, "Serial number 300 kept at 0x7FF0.\n"));
            EXPECT_EQ(fx::peekRange(*rig.sim, 0x7FF0, 4), (Bytes{0, 0, 0x01, 0x2C}));
            EXPECT_EQ(unit["serial"]["source"], "kept");
            EXPECT_EQ(unit["serial"]["value"], 300);
            // No number taken: the counter as it was, no journal.
            EXPECT_EQ(fx::readFile(counter), "next=500\n");
            EXPECT_FALSE(fx::fileExists(counter + ".journal"));
        } else {
            EXPECT_TRUE(fx::endsWith(r.out, "Serial number 500 written at 0x7FF0.\n"));
            EXPECT_EQ(fx::peekRange(*rig.sim, 0x7FF0, 4), (Bytes{0, 0, 0x01, 0xF4}));
            EXPECT_EQ(unit["serial"]["source"], "counter");
            EXPECT_EQ(journalStates(counter), (std::map<uint64_t, std::string>{{500, "taken written"}}));
        }
    }
}

TEST(SerialProgram, KeepInAPageTheImageWrites) {
    // The number lies in page 0x3C beside old bytes that the page's own erase must take away (the main erase
    // leaves them here, as it leaves the pages of a real controller).
    fx::Rig rig(fx::monitorOptions({"ignore@erasemain"}));
    fx::writeFile(rig.dir.file("old.s19"), fx::s19({{0x3C8000, Bytes(16, 0x77)}, {0x3CBFF0, {0x12, 0x34}}}));
    ASSERT_TRUE(rig.start(rig.dir.file("old.s19")));
    // An image of that page alone, marked as VQ-II code by a record of no bytes at 0x4000.
    fx::writeFile(rig.dir.file("fw.s19"), fx::s19({{0x4000, {}}, {0x3C8008, fx::bytes(8, 9)}}));
    const fx::RunResult r =
        rig.run({"-dw", "0", "--serial", "0x3CBFF0:u16be", "--serial-value", "5", "--serial-keep"},
                rig.dir.file("fw.s19"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(fx::endsWith(r.out, "Serial number 4660 kept at 0x3CBFF0.\n")) << r.out;
    EXPECT_EQ(fx::peekRange(*rig.sim, 0x3CBFF0, 2), (Bytes{0x12, 0x34}));
    EXPECT_EQ(fx::peekRange(*rig.sim, 0x3C8000, 16), fx::operator+(Bytes(8, 0xFF), fx::bytes(8, 9)));
}

// A kept range around the number: the unit's other bytes go back with the image, the number's bytes only with
// the number's own step (the kept number, or a new one), so that no byte of the flash is written twice.
TEST(SerialProgram, AKeptRangeAroundTheNumberLeavesItToItsOwnStep) {
    for (bool keepNumber : {false, true}) {
        SCOPED_TRACE(keepNumber ? "--serial-keep" : "a new number");
        fx::Rig rig;
        const std::string counter = rig.dir.file("serials");
        fx::writeFile(counter, "next=500\n");
        Bytes calibration = fx::bytes(256, 0x10);
        const Bytes number = {0, 0, 0x01, 0x2C};
        std::copy(number.begin(), number.end(), calibration.begin() + 0xF0);
        fx::writeFile(rig.dir.file("old.s19"), fx::s19({{0x7F00, fx::slice(calibration, 0, 128)},
                                                        {0x7F80, fx::slice(calibration, 128, 256)}}));
        ASSERT_TRUE(rig.start(rig.dir.file("old.s19")));
        fx::writeFile(rig.dir.file("fw.s19"), firmware());
        Texts args = {"-dw",  "0", "--keep", "0x7F00-0x7FFF", "--serial", "0x7FF0:u32be", "--serial-counter",
                      counter};
        if (keepNumber) args.push_back("--serial-keep");
        rig.mark();
        const fx::RunResult r = rig.run(args, rig.dir.file("fw.s19"));
        EXPECT_EQ(r.status, 0) << r.out;
        const Bytes now = fx::peekRange(*rig.sim, 0x7F00, 256);
        EXPECT_EQ(fx::slice(now, 0, 0xF0), fx::slice(calibration, 0, 0xF0));
        EXPECT_EQ(fx::slice(now, 0xF4, 0x100), fx::slice(calibration, 0xF4, 0x100));
        EXPECT_EQ(fx::slice(now, 0xF0, 0xF4), keepNumber ? number : (Bytes{0, 0, 0x01, 0xF4}));
        Texts writes;
        for (const std::string& command : fx::commands(rig.txSinceMark()))
            if (command.compare(0, 3, "A8 ") == 0) writes.push_back(command);
        EXPECT_EQ(writes, (Texts{"A8 4000 16", "A8 7F00 240", "A8 7FF4 12", "A8 7FF0 4"}));
    }
}

// The way back after a download that failed past the erase: --keep-from gives the number too when a kept
// range holds it, so that the unit keeps its number instead of taking a new one.
TEST(SerialProgram, KeepFromGivesTheNumberBackToAnErasedUnit) {
    fx::Rig rig;
    ASSERT_TRUE(rig.start());
    const std::string counter = rig.dir.file("serials");
    fx::writeFile(counter, "next=500\n");
    fx::writeFile(
        rig.dir.file("kept.s19"),
        fx::s19({{0x4000, {}}, {0x7FE0, fx::bytes(16, 0x20)}, {0x7FF0, {0, 0, 0x01, 0x2C, 7, 7, 7, 7}}}));
    fx::writeFile(rig.dir.file("fw.s19"), firmware());
    const fx::RunResult r =
        rig.run({"-dw", "0", "--keep", "0x7FE0-0x7FF7", "--keep-from", rig.dir.file("kept.s19"), "--serial",
                 "0x7FF0:u32be", "--serial-counter", counter, "--serial-keep"},
                rig.dir.file("fw.s19"));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(fx::endsWith(r.out, "Serial number 300 kept at 0x7FF0.\n")) << r.out;
    EXPECT_EQ(fx::peekRange(*rig.sim, 0x7FE0, 24),
              fx::operator+(fx::bytes(16, 0x20), Bytes{0, 0, 0x01, 0x2C, 7, 7, 7, 7}));
    EXPECT_EQ(fx::readFile(counter), "next=500\n");
}

// A kept number that a run erased and did not write back is said with the command that gives it back, which
// does: the unit keeps its number, and the counter hands out none.
TEST(SerialProgram, AKeptNumberAFailedRunErasedIsSaidWithTheWayBack) {
    fx::Rig rig(fx::monitorOptions({"error@writeblock#1=0xE6"}));
    fx::writeFile(rig.dir.file("old.s19"),
                  fx::s19({{0x4000, Bytes(64, 0x5A)}, {0x7FF0, {0, 0, 0x01, 0x2C}}}));
    ASSERT_TRUE(rig.start(rig.dir.file("old.s19")));
    const std::string counter = rig.dir.file("serials");
    fx::writeFile(counter, "next=500\n");
    fx::writeFile(rig.dir.file("fw.s19"), firmware());
    const fx::RunResult r =
        rig.run({"-dw", "0", "--serial", "0x7FF0:u32be", "--serial-counter", counter, "--serial-keep"},
                rig.dir.file("fw.s19"));
    EXPECT_EQ(r.status, 4) << r.out;
    EXPECT_EQ(fx::peekRange(*rig.sim, 0x7FF0, 4), Bytes(4, 0xFF)) << "erased";
    const std::string said = "The unit's serial number 300 was erased with its flash; give it back with: ";
    const std::string back = VQ2DL_PROGRAM " -c " + rig.sim->devicePath() + " -dw 0 --serial 0x7FF0:u32be " +
                             rig.dir.file("fw.s19") + " --serial-value 300\n";
    ASSERT_TRUE(fx::endsWith(r.out, said + back)) << r.out;
    const fx::RunResult again = fx::run("/bin/sh", {"-c", back});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_TRUE(fx::endsWith(again.out, "Serial number 300 written at 0x7FF0.\n")) << again.out;
    EXPECT_EQ(fx::peekRange(*rig.sim, 0x7FF0, 4), (Bytes{0, 0, 0x01, 0x2C}));
    EXPECT_EQ(fx::readFile(counter), "next=500\n");
    EXPECT_FALSE(fx::fileExists(counter + ".journal"));
}

// A kept range beside the number and the number itself, both erased by a failed run: each line gives the one
// command that puts back both, the kept file and the number; either alone would lose the other.
TEST(SerialProgram, AKeptFileAndAnErasedNumberComeBackWithOneCommand) {
    fx::Rig rig(fx::monitorOptions({"error@writeblock#1=0xE6"}));
    fx::writeFile(rig.dir.file("old.s19"),
                  fx::s19({{0x7F00, fx::bytes(16, 0x40)}, {0x7FF0, {0, 0, 0x01, 0x2C}}}));
    ASSERT_TRUE(rig.start(rig.dir.file("old.s19")));
    const std::string counter = rig.dir.file("serials");
    fx::writeFile(counter, "next=500\n");
    fx::writeFile(rig.dir.file("fw.s19"), firmware());
    const fx::RunResult r =
        rig.run({"-dw", "0", "--keep", "0x7F00-0x7F0F", "--keep-dir", rig.dir.path(), "--serial",
                 "0x7FF0:u32be", "--serial-counter", counter, "--serial-keep"},
                rig.dir.file("fw.s19"));
    EXPECT_EQ(r.status, 4) << r.out;
    const Texts lines = fx::linesOf(r.out);
    ASSERT_GE(lines.size(), 2u);
    const std::string tail = lines.back();
    const size_t at = tail.find("; give it back with: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string back = tail.substr(at + 21);
    EXPECT_NE(lines[lines.size() - 2].find("; put them back with: " + back), std::string::npos) << r.out;
    EXPECT_NE(back.find(" --keep-from " + rig.dir.path() + "/kept-"), std::string::npos) << back;
    EXPECT_EQ(back.find("--serial-counter"), std::string::npos) << back;
    EXPECT_TRUE(fx::endsWith(back, ".s19 --serial-value 300")) << back;
    const fx::RunResult again = fx::run("/bin/sh", {"-c", back});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(fx::peekRange(*rig.sim, 0x7F00, 16), fx::bytes(16, 0x40));
    EXPECT_EQ(fx::peekRange(*rig.sim, 0x7FF0, 4), (Bytes{0, 0, 0x01, 0x2C}));
    EXPECT_EQ(fx::readFile(counter), "next=500\n");
}

// At a station the way back is the station's own command for the failed port alone: in a pipe its last line
// names the number and that command, which gives the unit its number back with the counter untouched; under
// --json the serial event says what became of the number, and the child's line with its own command stays
// inside the station.
TEST(SerialProgram, AStationGivesAFailedPortsKeptNumberBackWithItsOwnCommand) {
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "--json" : "pipe");
        fx::Rig good, bad(fx::monitorOptions({"error@writeblock#1=0xE6"}));
        fx::writeFile(good.dir.file("good.s19"), fx::s19({{0x7FF0, {0, 0, 0, 200}}}));
        fx::writeFile(bad.dir.file("bad.s19"), fx::s19({{0x7FF0, {0, 0, 0x01, 0x2C}}}));
        ASSERT_TRUE(good.start(good.dir.file("good.s19")));
        ASSERT_TRUE(bad.start(bad.dir.file("bad.s19")));
        fx::TempDir dir;
        fx::writeFile(dir.file("fw.s19"), firmware());
        fx::writeFile(dir.file("serials"), "next=500\n");
        Texts args = {"--ports",
                      "A=" + good.sim->devicePath() + ",B=" + bad.sim->devicePath(),
                      "-dw",
                      "0",
                      "--serial",
                      "0x7FF0:u32be",
                      "--serial-counter=serials",
                      "--serial-keep",
                      "--results",
                      "units.jsonl",
                      "fw.s19"};
        if (json) args.insert(args.begin(), "--json");
        const fx::RunResult r = fx::run(VQ2DL_PROGRAM, args, dir.path());
        ASSERT_EQ(r.status, 4) << r.out;
        EXPECT_EQ(fx::peekRange(*bad.sim, 0x7FF0, 4), Bytes(4, 0xFF)) << "erased";
        EXPECT_EQ(r.out.find("Rerun the failed ports"), std::string::npos) << "B run again gets a new number";
        std::map<std::string, Json> records;
        for (const Json& unit : jsonLines(fx::readFile(dir.file("units.jsonl"))))
            records[unit["port"]] = unit["serial"];
        EXPECT_EQ(records["A"]["state"], "written");
        EXPECT_EQ(records["B"],
                  Json::parse(R"({"value":300,"text":"300","address":32752,"bytes":"00 00 01 2C",
                                                "source":"kept","state":"erased","kept_file":false})"));
        const std::string back =
            VQ2DL_PROGRAM " --ports B=" + bad.sim->devicePath() +
            " -dw 0 --serial 0x7FF0:u32be --results units.jsonl fw.s19 --serial-value 300";
        if (json) {
            const std::vector<Json> events = jsonLines(r.out);
            Json serial;
            for (const Json& event : events)
                if (event["event"] == "serial" && event["port"] == "B") serial = event;
            EXPECT_EQ(serial["state"], "erased") << r.out;
            EXPECT_EQ(serial["value"], 300);
            EXPECT_EQ(events.back()["event"], "station");
            EXPECT_EQ(r.out.find("give it back"), std::string::npos) << r.out;
            continue;
        }
        EXPECT_EQ(r.out.find("--port-name"), std::string::npos) << "no child's command reaches the operator";
        const Texts lines = fx::linesOf(r.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(),
                  "[B] The unit's serial number 300 was erased with its flash; give it back with: " + back);
        EXPECT_NE(r.out.find("300 erased"), std::string::npos) << "the summary's serial column";
        // The command, through the shell, on B's unit.
        const fx::RunResult again = fx::run("/bin/sh", {"-c", back}, dir.path());
        EXPECT_EQ(again.status, 0) << again.out;
        EXPECT_EQ(fx::peekRange(*bad.sim, 0x7FF0, 4), (Bytes{0, 0, 0x01, 0x2C}));
        EXPECT_EQ(fx::peekRange(*good.sim, 0x7FF0, 4), (Bytes{0, 0, 0, 200}));
        EXPECT_EQ(fx::readFile(dir.file("serials")), "next=500\n");
        EXPECT_FALSE(fx::fileExists(dir.file("serials.journal")));
    }
}

// A failed run's record and serial event name the number --serial-keep read, and what became of it: erased
// with only the record to name it (the line tells the way back), erased but in the kept file, or void when
// its own write failed.
TEST(SerialProgram, AFailedRunRecordsTheKeptNumberAndItsState) {
    const struct {
        const char* fault;
        Texts args;
        const char* state;
        bool inKeptFile, advice;
    } cases[] = {
        {"error@writeblock#1=0xE6", {}, "erased", false, true},
        {"error@writeblock#1=0xE6", {"--keep", "0x7F00-0x7FFF"}, "erased", true, false},
        {"error@writeblock#2=0xE6", {}, "void", false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + (c.args.empty() ? "" : " --keep"));
        fx::Rig rig(fx::monitorOptions({c.fault}));
        fx::writeFile(rig.dir.file("old.s19"), fx::s19({{0x7FF0, {0, 0, 0x01, 0x2C}}}));
        ASSERT_TRUE(rig.start(rig.dir.file("old.s19")));
        fx::writeFile(rig.dir.file("fw.s19"), firmware());
        const std::string units = rig.dir.file("units.jsonl");
        Texts args = {"--json", "-dw",           "0",         "--serial", "0x7FF0:u32be", "--serial-value",
                      "7",      "--serial-keep", "--results", units};
        args.insert(args.end(), c.args.begin(), c.args.end());
        if (!c.args.empty()) args.insert(args.end(), {"--keep-dir", rig.dir.path()});
        const fx::RunResult r = rig.run(args, rig.dir.file("fw.s19"));
        EXPECT_EQ(r.status, 4) << r.out;
        const Json record = jsonLines(fx::readFile(units)).at(0)["serial"];
        EXPECT_EQ(record["value"], 300);
        EXPECT_EQ(record["source"], "kept");
        EXPECT_EQ(record["state"], c.state);
        EXPECT_EQ(record["kept_file"], c.inKeptFile);
        Json serial, advice;
        for (const Json& event : jsonLines(r.out)) {
            if (event["event"] == "serial") serial = event;
            if (event.contains("advice")) advice = event;
        }
        for (const char* field : {"v", "event", "ms"})
            serial.erase(field);
        EXPECT_EQ(serial, record) << r.out;
        EXPECT_EQ(advice.is_null() ? "" : advice["advice"], c.advice ? "serial" : "") << r.out;
    }
}

// The number is read as kept ranges are read, with their failures: two readings that differ, or a block that
// does not come, end the run with status 4 before anything is erased.
TEST(SerialProgram, KeepReadingsThatDifferOrDoNotComeEraseNothing) {
    const std::pair<const char*, std::string> cases[] = {
        {"corrupt@readblock#2=2", "At 0x7FF1 read 0x00, then 0xFF before the erase; nothing was erased.\n"},
        {"silent@readblock", "Could not read the block at 0x7FF0 before the erase; nothing was erased.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        fx::Rig rig(fx::monitorOptions({c.first}));
        fx::writeFile(rig.dir.file("old.s19"), fx::s19({{0x7FF0, {0, 0, 0x01, 0x2C}}}));
        ASSERT_TRUE(rig.start(rig.dir.file("old.s19")));
        fx::writeFile(rig.dir.file("fw.s19"), firmware());
        const fx::RunResult r = rig.run(
            {"-dw", "0", "-v", "4", "--serial", "0x7FF0:u32be", "--serial-value", "7", "--serial-keep"},
            rig.dir.file("fw.s19"));
        EXPECT_EQ(r.status, 4);
        EXPECT_TRUE(fx::endsWith(r.out, c.second)) << r.out;
        EXPECT_EQ(fx::peekRange(*rig.sim, 0x7FF0, 4), (Bytes{0, 0, 0x01, 0x2C}));
        const vqsim::Counters counted = rig.sim->counters();
        EXPECT_EQ(counted.mainErases + counted.pagesErased + counted.blocksWritten, 0u);
        // The number's few bytes get no progress line and no trace of their own beside the line's.
        EXPECT_EQ(r.out.find("RB:"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Keeping"), std::string::npos) << r.out;
    }
}

TEST(SerialProgram, ANumberThatDidNotGetIntoItsUnitIsVoidAndNeverReused) {
    // The second block write is the number's: the controller refuses it.
    fx::Rig rig(fx::monitorOptions({"error@writeblock#2=0xE6"}));
    ASSERT_TRUE(rig.start());
    const std::string counter = rig.dir.file("serials");
    fx::writeFile(counter, "next=9\n");
    fx::writeFile(rig.dir.file("fw.s19"), firmware());
    const std::string units = rig.dir.file("units.jsonl");
    const fx::RunResult r =
        rig.run({"-dw", "0", "--serial", "0x7FF0:u16le", "--serial-counter", counter, "--results", units},
                rig.dir.file("fw.s19"));
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(journalStates(counter), (std::map<uint64_t, std::string>{{9, "taken void"}}));
    const std::vector<Json> journal = jsonLines(fx::readFile(counter + ".journal"));
    EXPECT_EQ(journal.back()["reason"], "Access error when writing FLASH/EEPROM memory, e=0xE6");
    const Json unit = jsonLines(fx::readFile(units)).at(0);
    EXPECT_EQ(unit["serial"]["state"], "void");
    // Without a port's name, the journal names the port as the record does: the device.
    for (const Json& line : journal)
        EXPECT_EQ(line["port"], rig.sim->devicePath());
    EXPECT_EQ(unit["port"], rig.sim->devicePath());
    // A run that fails before the verification takes no number.
    fx::Rig early(fx::monitorOptions({"error@writeblock#1=0xE6"}));
    ASSERT_TRUE(early.start());
    EXPECT_EQ(early
                  .run({"-dw", "0", "--serial", "0x7FF0:u16le", "--serial-counter", counter},
                       rig.dir.file("fw.s19"))
                  .status,
              4);
    EXPECT_EQ(fx::readFile(counter), "next=10\n");
    fx::Rig next;
    ASSERT_TRUE(next.start());
    EXPECT_EQ(next.run({"-dw", "0", "--serial", "0x7FF0:u16le", "--serial-counter", counter},
                       rig.dir.file("fw.s19"))
                  .status,
              0);
    EXPECT_EQ(fx::peekRange(*next.sim, 0x7FF0, 2), (Bytes{10, 0}));
}

TEST(SerialProgram, RefusedBeforeAnyPort) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    fx::writeFile(dir.file("data.s19"), fx::s19({{0x4000, fx::bytes(16, 1)}, {0x7FF0, {0xFF, 0x12}}}));
    fx::writeFile(dir.file("paged.s19"), fx::s19({{0x4000, fx::bytes(16, 1)}, {0x3C8000, fx::bytes(16, 3)}}));
    fx::writeFile(dir.file("vq1.s19"), fx::s19({{0x8100, fx::bytes(16, 1)}}));
    fx::writeFile(dir.file("two"), "next=1\nlast=2\n");
    fx::writeFile(dir.file("bad"), "next=1\nnext=2\n");
    fx::writeFile(dir.file("wide"), "next=65536\n");
    const std::string usage = "usage: ";
    struct Case {
        Texts args;
        int status;
        std::string error;
    };
    const Case cases[] = {
        // The switches: status 1 and the usage text.
        {{"--serial", "0x7FF0:u32be", "fw.s19"},
         1,
         "ERROR: Switch '--serial' needs '--serial-counter' or '--serial-value'."},
        {{"--serial-counter", "two", "fw.s19"}, 1, "ERROR: Switch '--serial-counter' needs '--serial'."},
        {{"--serial", "0x7FF0:u32be", "--serial-counter", "two", "--serial-value", "1", "fw.s19"},
         1,
         "ERROR: Switches '--serial-counter' and '--serial-value' cannot be combined."},
        {{"--serial", "0x7FF0:u24", "--serial-value", "1", "fw.s19"},
         1,
         "ERROR: Invalid serial number place '0x7FF0:u24' (ADDR:FORMAT, FORMAT one of u16le, u16be, u32le, "
         "u32be, "
         "u64le, u64be, dec:N, hex:N)."},
        {{"--serial", "0x7FF0:u16le", "--serial-value", "65536", "fw.s19"},
         1,
         "ERROR: Serial number 65536 does not fit u16le."},
        {{"--serial", "0x7FF0:dec:2", "--serial-value", "12a", "fw.s19"},
         1,
         "ERROR: Switch '--serial-value' needs a whole number, not '12a'."},
        {{"-V", "--serial", "0x7FF0:u32be", "--serial-value", "1", "fw.s19"},
         1,
         "ERROR: Switch '--serial' cannot be combined with -V."},
        {{"-w", "--serial", "0x7FF0:u32be", "--serial-value", "1"},
         1,
         "ERROR: Switch '--serial' cannot be combined with -w."},
        {{"--read", "out.s19", "--serial", "0x7FF0:u32be", "--serial-value", "1"},
         1,
         "ERROR: Switch '--serial' cannot be combined with --read."},
        {{"--serial", "0x7FF0:u32be", "--serial", "0x7FF0:u32be", "--serial-value", "1", "fw.s19"},
         1,
         "ERROR: Switch '--serial' may be given once."},
        // The image: status 3.
        {{"--serial", "0x7FF0:u32be", "--serial-value", "1", "data.s19"},
         3,
         "ERROR: Serial number at 0x7FF0-0x7FF3 overlaps image data other than 0xFF at 0x7FF1 (the record at "
         "0x7FF0, data.s19 line 2)."},
        {{"--serial", "0xFEFE:u32be", "--serial-value", "1", "fw.s19"},
         3,
         "ERROR: Serial number at 0xFEFE-0xFF01 lies in 0xFF00-0xFFFF, which is never read back."},
        {{"--serial", "0x7FFE:u32be", "--serial-value", "1", "fw.s19"},
         3,
         "ERROR: Serial number at 0x7FFE-0x8001 does not lie in one area of the flash."},
        {{"--serial", "0x3000:u32be", "--serial-value", "1", "fw.s19"},
         3,
         "ERROR: Serial number at 0x3000-0x3003 does not lie in one area of the flash."},
        {{"--serial", "0x3D8000:u32be", "--serial-value", "1", "paged.s19"},
         3,
         "ERROR: Serial number at 0x3D8000-0x3D8003 lies in page 0x3D, which this download does not erase "
         "(the "
         "image writes nothing there)."},
        {{"--serial", "0x9000:u32be", "--serial-value", "1", "--serial-keep", "vq1.s19"},
         3,
         "ERROR: --serial-keep needs a VQ-II controller: a VQ-I controller cannot be read back."},
        // The counter: status 3.
        {{"--serial", "0x7FF0:u32be", "--serial-counter", "missing", "fw.s19"},
         3,
         "ERROR: Serial counter missing line 0: cannot be read (start one with the line next=1)."},
        {{"--serial", "0x7FF0:u32be", "--serial-counter", "bad", "fw.s19"},
         3,
         "ERROR: Serial counter bad line 2: 'next' given twice."},
        {{"--serial", "0x7FF0:u16le", "--serial-counter", "wide", "fw.s19"},
         3,
         "ERROR: Serial counter wide has 0 numbers left that fit u16le, fewer than the 1 units."},
        {{"--ports", "/dev/vq-none-a,/dev/vq-none-b,/dev/vq-none-c", "--serial", "0x7FF0:u32be",
          "--serial-counter", "two", "fw.s19"},
         3,
         "ERROR: Serial counter two has 2 numbers left that fit u32be, fewer than the 3 units."},
        {{"--ports", "/dev/vq-none-a,/dev/vq-none-b", "--serial", "0x7FF0:u32be", "--serial-value", "1",
          "fw.s19"},
         1,
         "ERROR: Switch '--serial-value' gives one unit its number; use '--serial-counter' with '--ports'."},
    };
    for (const Case& c : cases) {
        Texts args = {"-c", "/dev/vq-none"};
        if (c.args.front() == "--ports") args.clear();
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(args[1] + " " + args[2]);
        const fx::RunResult r = fx::run(VQ2DL_PROGRAM, args, dir.path());
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_NE(r.out.find(c.error + "\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Opened comm port"), std::string::npos);
        EXPECT_EQ(r.out.find(usage) != std::string::npos, c.status == 1) << r.out;
    }
    // Nothing written beside the counters.
    EXPECT_EQ(fx::listDir(dir.path()),
              (Texts{"bad", "data.s19", "fw.s19", "paged.s19", "two", "vq1.s19", "wide"}));
    EXPECT_EQ(fx::readFile(dir.file("two")), "next=1\nlast=2\n");
}

TEST(SerialProgram, ThreeStationsOfFourPortsShareOneCounter) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    fx::writeFile(dir.file("serials"), "# this host's block\nnext=1000\nlast=1999\n");
    const std::string prefix = dir.file("vq-");
    fx::Background vqsim(VQSIM_PROGRAM,
                         {"--count", "12", "--link", prefix, "--dump", dir.file("dump-"), "--once"});
    for (int i = 0; i < 12; ++i)
        ASSERT_EQ(vqsim.line().compare(0, 9, "/dev/pts/"), 0);
    std::vector<std::unique_ptr<fx::Background>> stations;
    for (int s = 0; s < 3; ++s) {
        std::string list;
        for (int p = 0; p < 4; ++p)
            list += (p ? "," : "") + std::string(1, char('A' + p)) + std::to_string(s) + "=" + prefix +
                    std::to_string(s * 4 + p);
        stations.push_back(std::make_unique<fx::Background>(
            VQ2DL_PROGRAM,
            Texts{"--ports", list, "-dw", "0", "--serial", "0x7FF0:u32be", "--serial-counter", "serials",
                  "--results", "units.jsonl", "fw.s19"},
            dir.path()));
    }
    for (auto& station : stations) {
        std::string out;
        EXPECT_EQ(station->finish(0, out), 0) << out;
        EXPECT_NE(out.find("SERIAL"), std::string::npos) << out;
    }
    std::string rest;
    EXPECT_EQ(vqsim.finish(0, rest), 0);

    // Twelve numbers, each once: in the units, in the records and in the journal, which accounts for all.
    std::set<uint64_t> inUnits, inRecords;
    for (int i = 0; i < 12; ++i) {
        const Bytes b = fx::dumped(dir.file("dump-" + std::to_string(i)), 0x7FF0, 4);
        inUnits.insert(uint64_t(b[0]) << 24 | uint64_t(b[1]) << 16 | uint64_t(b[2]) << 8 | b[3]);
    }
    std::map<uint64_t, std::string> recordPort;
    for (const Json& unit : jsonLines(fx::readFile(dir.file("units.jsonl")))) {
        EXPECT_EQ(unit["serial"]["state"], "written");
        inRecords.insert(unit["serial"]["value"].get<uint64_t>());
        recordPort[unit["serial"]["value"].get<uint64_t>()] = unit["port"];
    }
    std::set<uint64_t> expected;
    for (uint64_t n = 1000; n < 1012; ++n)
        expected.insert(n);
    EXPECT_EQ(inUnits, expected);
    EXPECT_EQ(inRecords, expected);
    const std::map<uint64_t, std::string> states = journalStates(dir.file("serials"));
    EXPECT_EQ(states.size(), 12u);
    // Each number's journal lines name its port as its record does: the station's name of it.
    for (const Json& line : jsonLines(fx::readFile(dir.file("serials.journal"))))
        EXPECT_EQ(line["port"], recordPort[line["serial"].get<uint64_t>()]) << line;
    for (const auto& state : states)
        EXPECT_EQ(state.second, "taken written") << state.first;
    EXPECT_EQ(fx::readFile(dir.file("serials")), "# this host's block\nnext=1012\nlast=1999\n");
}

TEST(SerialProgram, ARunKilledAfterTakingANumberNeverHandsItOutAgain) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), firmware());
    const std::string counter = dir.file("serials");
    fx::writeFile(counter, "next=70\n");
    const std::string backup = fx::readFile(counter);
    const std::string journal = counter + ".journal";
    uint64_t killed = 0;
    // The controller does not answer the number's write, so the run sits between taking and settling; the
    // test holds the journal's lock once the number is taken, so that the run cannot settle it before the
    // kill. Should the run still win the race on a busy machine, it is run again.
    for (int attempt = 0; attempt < 5 && killed == 0; ++attempt) {
        fx::Background vqsim(VQSIM_PROGRAM, {"--link", dir.file("vq"), "--fault", "silent@writeblock#2"});
        ASSERT_EQ(vqsim.line().compare(0, 9, "/dev/pts/"), 0);
        fx::Background run(VQ2DL_PROGRAM,
                           {"-c", dir.file("vq"), "-dw", "0", "--serial", "0x7FF0:u32be", "--serial-counter",
                            counter, "fw.s19"},
                           dir.path());
        const fx::Clock::time_point start = fx::Clock::now();
        int held = -1;
        while (fx::secondsSince(start) < 30) {
            held = open(journal.c_str(), O_RDONLY);
            if (held >= 0 && flock(held, LOCK_EX) == 0 &&
                fx::readFile(journal).find("taken") != std::string::npos)
                break;
            if (held >= 0) close(held);
            held = -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_GE(held, 0) << "no number was taken";
        const bool settled = fx::readFile(journal).find("void") != std::string::npos;
        kill(run.pid, SIGKILL);
        std::string rest;
        EXPECT_EQ(run.finish(0, rest), -1);
        close(held);
        const std::map<uint64_t, std::string> states = journalStates(counter);
        if (!settled) killed = states.rbegin()->first;
    }
    ASSERT_NE(killed, 0u);
    EXPECT_EQ(journalStates(counter)[killed], "taken");
    // The counter restored from a backup: the next run still gets a number above the one killed.
    fx::writeFile(counter, backup);
    fx::Rig rig;
    ASSERT_TRUE(rig.start());
    EXPECT_EQ(
        rig.run({"-dw", "0", "--serial", "0x7FF0:u32be", "--serial-counter", counter}, dir.file("fw.s19"))
            .status,
        0);
    EXPECT_EQ(journalStates(counter)[killed + 1], "taken written");
    EXPECT_EQ(journalStates(counter)[killed], "taken");
}
