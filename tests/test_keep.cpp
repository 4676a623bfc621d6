// Kept ranges (--keep): a preloaded simulated unit keeps its own bytes across a download by the vq2dl
// program, with -b, in a written page, with -V, after a failure and a kill (--keep-from puts them back), at a
// station of three differently preloaded units; the readings that differ, and the command lines refused.
#include "fixture.h"
#include "image/kept_file.h"
#include "image/sha256.h"
#include "json_schema.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <csignal>
#include <map>
#include <regex>
#include <thread>

namespace {

using fx::Bytes, fx::Texts, fx::s19, fx::linesOf;
using Records = std::vector<std::pair<uint32_t, Bytes>>;
using Json = nlohmann::json;

/// A unit's own bytes: calibration at the top of 0x4000-0x7FFF, a table on page 0x3C and one on page 0x3D.
Records unitBytes(uint8_t seed) {
    return {{0x7F00, fx::bytes(256, seed)},
            {0x3C8100, fx::bytes(256, static_cast<uint8_t>(seed + 0x40))},
            {0x3D8000, fx::bytes(32, static_cast<uint8_t>(seed + 0x80))}};
}

/// The firmware: code, defaults over half of the calibration (the rest it leaves alone), code on page 0x3C
/// and defaults in its table.
const Records FIRMWARE = {{0x4000, fx::bytes(64, 0xA0)},
                          {0x7F00, Bytes(128, 0x00)},
                          {0xC000, fx::bytes(64, 0x30)},
                          {0x3C8000, fx::bytes(32, 0x50)},
                          {0x3C8100, Bytes(16, 0x00)}};

/// An S-record file of the records, cut into lines of at most 32 bytes.
std::string lines(const Records& records) {
    Records cut;
    for (const auto& r : records)
        for (size_t at = 0; at < r.second.size(); at += 32)
            cut.push_back({r.first + static_cast<uint32_t>(at),
                           fx::slice(r.second, at, std::min(r.second.size(), at + 32))});
    return s19(cut);
}

/// The byte a list of records puts at a controller address; fallback where none does.
int byteAt(const Records& records, uint32_t address, int fallback = 0xFF) {
    for (const auto& r : records)
        if (address >= r.first && address - r.first < r.second.size()) return r.second[address - r.first];
    return fallback;
}

/// The kept files in a folder.
Texts keptFiles(const std::string& dir) {
    Texts kept;
    for (const std::string& name : fx::listDir(dir))
        if (name.compare(0, 5, "kept-") == 0) kept.push_back(name);
    return kept;
}

/// Checks every byte of the controller's ranges: the unit's own in the kept ones, the firmware's elsewhere.
void expectUnit(const vqsim::Simulator& sim, const Records& unit,
                const std::vector<std::pair<uint32_t, uint32_t>>& kept) {
    auto isKept = [&](uint32_t address) {
        for (const auto& range : kept)
            if (address >= range.first && address <= range.second) return true;
        return false;
    };
    for (uint32_t base : {0x4000u, 0x7F00u, 0xC000u, 0x3C8000u, 0x3C8100u}) {
        for (uint32_t address = base; address < base + 0x100; ++address) {
            const int expected = isKept(address) ? byteAt(unit, address) : byteAt(FIRMWARE, address);
            ASSERT_EQ(sim.peek(address), expected) << std::hex << address;
        }
    }
}

/// A file's bytes by address, as vq2dl's own reader takes them.
std::map<uint32_t, uint8_t> fileBytes(const std::string& path, uint32_t& firstRecord, uint32_t& firstLength) {
    FirmwareImage image;
    image.load(path);
    std::map<uint32_t, uint8_t> bytes;
    for (const auto& entry : image.records)
        for (uint32_t i = 0; i < entry.second.length; ++i)
            bytes[entry.second.address + i] = entry.second.data[i];
    firstRecord = image.records.begin()->first;
    firstLength = image.records.begin()->second.length;
    return bytes;
}

} // namespace

// Each way of keeping: the unit's bytes are in the unit afterwards and the firmware's everywhere else; the
// kept file goes after a success, and stays in --keep-dir with every kept byte.
TEST(Keep, TheUnitKeepsItsOwnBytes) {
    struct Case {
        const char* name;
        Texts args;
        std::vector<std::pair<uint32_t, uint32_t>> kept; ///< controller addresses
        std::string line;                                ///< what the run says of the kept bytes
    };
    const std::vector<Case> cases = {
        {"top of 0x4000-0x7FFF",
         {"--keep", "0x7F00-0x7FFF"},
         {{0x7F00, 0x7FFF}},
         "Kept 0x7F00-0x7FFF (256 bytes) in "},
        {"full blocks",
         {"-b", "--keep", "0x7F00-0x7FFF"},
         {{0x7F00, 0x7FFF}},
         "Kept 0x7F00-0x7FFF (256 bytes) in "},
        {"through the window",
         {"--keep", "0xBF80-0xBFFF"},
         {{0x7F80, 0x7FFF}},
         "Kept 0xBF80-0xBFFF (128 bytes) in "},
        {"two, one in a written page",
         {"-b", "--keep", "0x7F40-0x7F7F", "--keep=0x3C8100-0x3C81FF"},
         {{0x7F40, 0x7F7F}, {0x3C8100, 0x3C81FF}},
         "Kept 0x7F40-0x7F7F, 0x3C8100-0x3C81FF (320 bytes) in "},
        {"a page not written",
         {"--keep", "0x3D8000-0x3D80FF"},
         {},
         "Kept range 0x3D8000-0x3D80FF is on page 0x3D, which this download does not erase: left as it "
         "is.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fx::Rig unit;
        const Records own = unitBytes(7);
        fx::writeFile(unit.dir.file("unit.s19"), lines(own));
        fx::writeFile(unit.dir.file("fw.s19"), lines(FIRMWARE));
        ASSERT_TRUE(unit.start(unit.dir.file("unit.s19")));
        Texts args = {"-dw", "0", "--keep-dir", unit.dir.file("kept")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const fx::RunResult r = unit.run(args, unit.dir.file("fw.s19"));
        ASSERT_EQ(r.status, 0) << r.out;
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        expectUnit(*unit.sim, own, c.kept);
        // A page the download does not write keeps everything, and is not even selected.
        for (uint32_t i = 0; i < 32; ++i)
            ASSERT_EQ(unit.sim->peek(0x3D8000 + i), byteAt(own, 0x3D8000 + i));
        EXPECT_EQ(r.out.find("page register 0x3d"), std::string::npos);
        const Texts files = keptFiles(unit.dir.file("kept"));
        if (c.kept.empty()) {
            EXPECT_TRUE(files.empty());
            continue;
        }
        ASSERT_EQ(files.size(), 1u);
        // kept-PORT-TIME.s19, the port the device's base name; it begins with the VQ-II marker.
        const std::string base = unit.sim->devicePath().substr(unit.sim->devicePath().rfind('/') + 1);
        EXPECT_TRUE(std::regex_match(files[0], std::regex("kept-" + base + R"(-\d{8}T\d{6}Z\.s19)")))
            << files[0];
        EXPECT_NE(r.out.find(c.line + unit.dir.file("kept/" + files[0]) + ".\n"), std::string::npos);
        uint32_t first = 0, length = 1;
        const auto bytes = fileBytes(unit.dir.file("kept/" + files[0]), first, length);
        EXPECT_EQ(first, 0x4000u);
        EXPECT_EQ(length, 0u);
        size_t count = 0;
        for (const auto& range : c.kept)
            for (uint32_t address = range.first; address <= range.second; ++address, ++count)
                ASSERT_EQ(bytes.count(address) ? bytes.at(address) : -1, byteAt(own, address)) << address;
        EXPECT_EQ(bytes.size(), count) << "bytes outside the kept ranges";
    }
}

// Without --keep-dir the file is a safety net for the run alone: gone after a success.
TEST(Keep, TheFileGoesAfterASuccess) {
    fx::Rig unit;
    fx::writeFile(unit.dir.file("unit.s19"), lines(unitBytes(1)));
    fx::writeFile(unit.dir.file("fw.s19"), lines(FIRMWARE));
    ASSERT_TRUE(unit.start(unit.dir.file("unit.s19")));
    const fx::RunResult r = fx::run(
        VQ2DL_PROGRAM, {"-c", unit.sim->devicePath(), "-dw", "0", "--keep", "0x7F00-0x7FFF", "fw.s19"},
        unit.dir.path());
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(
        std::regex_search(r.out, std::regex(R"(\nKept 0x7F00-0x7FFF \(256 bytes\) in kept-\S+\.s19\.\n)")));
    EXPECT_TRUE(keptFiles(unit.dir.path()).empty());
    expectUnit(*unit.sim, unitBytes(1), {{0x7F00, 0x7FFF}});
}

// Two readings that differ end the run before the erase: nothing erased, nothing written, no file.
TEST(Keep, ReadingsThatDifferEraseNothing) {
    struct Case {
        const char* fault;
        std::string error;
    };
    const std::vector<Case> cases = {
        {"corrupt@readblock#1=5", "At 0x7F04 read 0xFB, then 0x04 before the erase; nothing was erased.\n"},
        {"corrupt@readblock#2=5", "At 0x7F04 read 0x04, then 0xFB before the erase; nothing was erased.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        fx::Rig unit(fx::monitorOptions({c.fault}));
        fx::writeFile(unit.dir.file("unit.s19"), lines(unitBytes(0)));
        fx::writeFile(unit.dir.file("fw.s19"), lines(FIRMWARE));
        ASSERT_TRUE(unit.start(unit.dir.file("unit.s19")));
        const fx::RunResult r =
            fx::run(VQ2DL_PROGRAM, {"-c", unit.sim->devicePath(), "--keep", "0x7F00-0x7FFF", "fw.s19"},
                    unit.dir.path());
        EXPECT_EQ(r.status, EXIT_PROTOCOL) << r.out;
        EXPECT_TRUE(fx::endsWith(r.out, c.error)) << r.out;
        const vqsim::Counters counted = unit.sim->counters();
        EXPECT_EQ(counted.mainErases + counted.pagesErased + counted.blocksWritten, 0u);
        EXPECT_EQ(counted.blocksRead, 2u);
        EXPECT_TRUE(keptFiles(unit.dir.path()).empty());
        for (const auto& own : unitBytes(0))
            EXPECT_EQ(fx::peekRange(*unit.sim, own.first, own.second.size()), own.second)
                << std::hex << own.first;
    }
}

// A download that fails after the erase leaves the kept file and says how to put the bytes back; that command
// puts them into a replacement board, and a file that lacks a kept byte is refused before the port.
TEST(Keep, AFailureLeavesTheFileAndKeepFromRestores) {
    fx::Rig unit(fx::monitorOptions({"error@writeblock#2=0xE6"}));
    fx::writeFile(unit.dir.file("unit.s19"), lines(unitBytes(3)));
    fx::writeFile(unit.dir.file("fw.s19"), lines(FIRMWARE));
    ASSERT_TRUE(unit.start(unit.dir.file("unit.s19")));
    const Texts args = {"-dw", "0", "--keep", "0x7F00-0x7FFF", "--keep=0x3C8100-0x3C81FF", "fw.s19"};
    Texts command = {"-c", unit.sim->devicePath()};
    command.insert(command.end(), args.begin(), args.end());
    const fx::RunResult r = fx::run(VQ2DL_PROGRAM, command, unit.dir.path());
    ASSERT_EQ(r.status, EXIT_PROTOCOL) << r.out;
    const Texts files = keptFiles(unit.dir.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(fx::endsWith(r.out, "The unit's own bytes are kept in " + files[0] +
                                        "; put them back with: " VQ2DL_PROGRAM " -c " +
                                        unit.sim->devicePath() +
                                        " -dw 0 --keep 0x7F00-0x7FFF --keep=0x3C8100-0x3C81FF fw.s19 "
                                        "--keep-from " +
                                        files[0] + "\n"))
        << r.out;

    // The replacement board: blank, and given the first unit's bytes from the file.
    fx::Rig board;
    ASSERT_TRUE(board.start());
    Texts restore = {"-c", board.sim->devicePath()};
    restore.insert(restore.end(), args.begin(), args.end());
    restore.insert(restore.end(), {"--keep-from", files[0], "--results", "units.jsonl", "-v", "4"});
    const fx::RunResult back = fx::run(VQ2DL_PROGRAM, restore, unit.dir.path());
    ASSERT_EQ(back.status, 0) << back.out;
    EXPECT_NE(back.out.find("Kept 0x7F00-0x7FFF, 0x3C8100-0x3C81FF (512 bytes) from " + files[0] + ".\n"),
              std::string::npos);
    expectUnit(*board.sim, unitBytes(3), {{0x7F00, 0x7FFF}, {0x3C8100, 0x3C81FF}});
    EXPECT_EQ(back.out.find("RB:"), std::string::npos) << "the board is not read for them";
    EXPECT_EQ(keptFiles(unit.dir.path()), files) << "the file named by --keep-from stays";
    // The record names the file the bytes came from.
    std::string digest;
    ASSERT_TRUE(sha256OfFile(unit.dir.file(files[0]), digest));
    const Json record = Json::parse(fx::readFile(unit.dir.file("units.jsonl")));
    EXPECT_EQ(record["kept"],
              Json::parse(R"([{"range":"0x7F00-0x7FFF","file":")" + files[0] + R"(","sha256":")" + digest +
                          R"("},{"range":"0x3C8100-0x3C81FF","file":")" + files[0] + R"(","sha256":")" +
                          digest + R"("}])"));

    // A file without every kept byte is refused before the port opens.
    fx::writeFile(unit.dir.file("part.s19"), lines({{0x7F00, Bytes(255, 1)}}));
    const fx::RunResult part =
        fx::run(VQ2DL_PROGRAM,
                {"-c", "/nonexistent/port", "--keep", "0x7F00-0x7FFF", "--keep-from", "part.s19", "fw.s19"},
                unit.dir.path());
    EXPECT_EQ(part.status, EXIT_FILE);
    EXPECT_TRUE(fx::endsWith(part.out, "ERROR: part.s19 does not hold 0x7F00-0x7FFF.\n")) << part.out;
}

// A run killed after the erase leaves the kept file whole; --keep-from then puts the bytes back.
TEST(Keep, AKillAfterTheEraseLeavesTheFile) {
    fx::Rig unit;
    fx::writeFile(unit.dir.file("unit.s19"), lines(unitBytes(9)));
    fx::writeFile(unit.dir.file("fw.s19"), lines(FIRMWARE));
    ASSERT_TRUE(unit.start(unit.dir.file("unit.s19")));
    {
        // The record delay holds the run after its first block, long after the erase.
        fx::Background run(
            VQ2DL_PROGRAM,
            {"-c", unit.sim->devicePath(), "-dw", "0", "-d", "60000", "--keep", "0x7F00-0x7FFF", "fw.s19"},
            unit.dir.path());
        ASSERT_NE(run.until("Writing:\n").find("Erased.\n"), std::string::npos) << run.seen;
        std::string rest;
        EXPECT_EQ(run.finish(SIGTERM, rest), 128 + SIGTERM);
    }
    EXPECT_EQ(unit.sim->counters().mainErases, 1u);
    EXPECT_NE(unit.sim->peek(0x7F80), byteAt(unitBytes(9), 0x7F80)) << "erased";
    const Texts files = keptFiles(unit.dir.path());
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(fx::listDir(unit.dir.path()), (Texts{"fw.s19", files[0], "unit.s19"}))
        << "nothing else beside it";
    const fx::RunResult back = fx::run(VQ2DL_PROGRAM,
                                       {"-c", unit.sim->devicePath(), "-dw", "0", "--keep", "0x7F00-0x7FFF",
                                        "--keep-from", files[0], "fw.s19"},
                                       unit.dir.path());
    ASSERT_EQ(back.status, 0) << back.out;
    expectUnit(*unit.sim, unitBytes(9), {{0x7F00, 0x7FFF}});
}

// -V leaves the kept ranges out of the comparison: a unit whose calibration differs from the file's defaults
// still verifies, and a difference elsewhere still fails.
TEST(Keep, VerifyLeavesTheKeptRangesOut) {
    Records flash = FIRMWARE;
    flash[1].second = fx::bytes(128, 0x77); // the unit's calibration over the defaults
    fx::Rig unit;
    fx::writeFile(unit.dir.file("flash.s19"), lines(flash));
    fx::writeFile(unit.dir.file("fw.s19"), lines(FIRMWARE));
    ASSERT_TRUE(unit.start(unit.dir.file("flash.s19")));
    EXPECT_EQ(unit.run({"-V"}, unit.dir.file("fw.s19")).status, EXIT_PROTOCOL);
    const fx::RunResult kept = unit.run({"-V", "--keep", "0xBF00-0xBFFF"}, unit.dir.file("fw.s19"));
    EXPECT_EQ(kept.status, 0) << kept.out;
    const fx::RunResult part = unit.run({"-V", "--keep", "0x7F01-0x7FFF"}, unit.dir.file("fw.s19"));
    EXPECT_EQ(part.status, EXIT_PROTOCOL);
    EXPECT_TRUE(fx::endsWith(part.out, "Verification failed: At 0x7F00 expected 0x00, found 0x77.\n"))
        << part.out;
    EXPECT_EQ(unit.sim->counters().mainErases + unit.sim->counters().blocksWritten, 0u);
}

// Refused before any port opens (a port that does not exist would give status 2).
TEST(Keep, RefusedCommandLines) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), lines(FIRMWARE));
    fx::writeFile(dir.file("vq1.s19"), s19({{0x8080, Bytes(16, 1)}}));
    struct Case {
        Texts args;
        int status;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{"--keep", "0x7F00-0x7FFF", "-w"}, 1, "ERROR: Switch '--keep' cannot be combined with '-w'."},
        {{"--keep", "0x7F00-0x7FFF", "--read", "out.s19"},
         1,
         "ERROR: Switch '--keep' cannot be combined with '--read'."},
        {{"--keep", "0xFE00-0xFFFF", "fw.s19"},
         1,
         "ERROR: Kept range '0xFE00-0xFFFF' reaches into 0xFF00-0xFFFF, which no verification reads."},
        {{"--keep", "0x7F00-0x8000", "fw.s19"}, 1, "ERROR: Invalid range '0x7F00-0x8000'."},
        {{"--keep", "0x4000-0x40FF", "--keep", "0x8080-0x80FF", "fw.s19"},
         1,
         "ERROR: Kept ranges 0x4000-0x40FF and 0x8080-0x80FF share flash (0x8000-0xBFFF is held at "
         "0x4000-0x7FFF)."},
        {{"--keep-dir", "kept", "fw.s19"}, 1, "ERROR: Switch '--keep-dir' needs '--keep'."},
        {{"--keep-from", "fw.s19", "fw.s19"}, 1, "ERROR: Switch '--keep-from' needs '--keep'."},
        {{"--keep", "0x7F00-0x7FFF", "--keep-from=", "fw.s19"},
         1,
         "ERROR: Switch '--keep-from' needs a value."},
        {{"--keep", "0x7F00-0x7FFF", "--keep-from", "fw.s19", "--ports", "A=/nonexistent/a,B=/nonexistent/b",
          "fw.s19"},
         1,
         "ERROR: Switch '--keep-from' holds one unit's bytes: give it with one port, not 2."},
        {{"--keep", "0x7F00-0x7FFF", "vq1.s19"},
         3,
         "ERROR: --keep needs a VQ-II controller: a VQ-I controller cannot be read back."},
        {{"--keep", "0x7F00-0x7FFF", "--keep-from", "missing.s19", "fw.s19"},
         3,
         "ERROR: Reading missing.s19 line 0: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        // A station takes its ports from --ports alone.
        Texts args = {"-c", "/nonexistent/port"};
        if (std::find(c.args.begin(), c.args.end(), "--ports") != c.args.end()) args.clear();
        args.insert(args.end(), c.args.begin(), c.args.end());
        const fx::RunResult r = fx::run(VQ2DL_PROGRAM, args, dir.path());
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_NE(r.out.find(c.error), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("Opened comm port"), std::string::npos);
    }
    EXPECT_EQ(fx::listDir(dir.path()), (Texts{"fw.s19", "vq1.s19"})) << "nothing written";
}

// A station of three units preloaded differently: each keeps its own bytes in a file named after its port,
// the events show the keep step and the file, and each unit's record names its file and digest.
TEST(Keep, AStationKeepsEachUnitsOwnBytes) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), lines(FIRMWARE));
    std::vector<std::unique_ptr<fx::Rig>> units;
    std::string list;
    for (uint8_t i = 0; i < 3; ++i) {
        units.push_back(std::make_unique<fx::Rig>());
        const std::string preload = dir.file("unit" + std::to_string(i) + ".s19");
        fx::writeFile(preload, lines(unitBytes(static_cast<uint8_t>(0x10 * i))));
        ASSERT_TRUE(units.back()->start(preload));
        list += std::string(list.empty() ? "" : ",") + char('A' + i) + "=" + units.back()->sim->devicePath();
    }
    const fx::RunResult r = fx::run(VQ2DL_PROGRAM,
                                    {"--ports", list, "--json", "-dw", "0", "-b", "--keep", "0x7F00-0x7FFF",
                                     "--keep-dir", "kept", "--results", "units.jsonl", "fw.s19"},
                                    dir.path());
    ASSERT_EQ(r.status, 0) << r.out;
    std::map<std::string, Texts> steps;
    std::map<std::string, Json> keptEvents;
    for (const std::string& line : linesOf(r.out)) {
        const Json event = Json::parse(line);
        for (const std::string& fault : fx::schemaFaults(event))
            ADD_FAILURE() << fault << " in " << line;
        if (event["event"] == "step") steps[event["port"]].push_back(event["step"]);
        if (event["event"] == "kept") keptEvents[event["port"]] = event;
    }
    const Texts files = fx::listDir(dir.file("kept"));
    ASSERT_EQ(files.size(), 3u);
    const Texts records = linesOf(fx::readFile(dir.file("units.jsonl")));
    ASSERT_EQ(records.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const std::string name(1, char('A' + i));
        SCOPED_TRACE(name);
        expectUnit(*units[i]->sim, unitBytes(static_cast<uint8_t>(0x10 * i)), {{0x7F00, 0x7FFF}});
        EXPECT_EQ(steps[name], (Texts{"enter", "keep", "erase", "write", "verify"}));
        EXPECT_TRUE(std::regex_match(files[i], std::regex("kept-" + name + R"(-\d{8}T\d{6}Z\.s19)")))
            << files[i];
        std::string digest;
        ASSERT_TRUE(sha256OfFile(dir.file("kept/" + files[i]), digest));
        const Json& kept = keptEvents[name];
        EXPECT_EQ(kept["file"], "kept/" + files[i]);
        EXPECT_EQ(kept["sha256"], digest);
        EXPECT_EQ(kept["bytes"], 256);
        EXPECT_EQ(kept["source"], "unit");
        Json record;
        for (const std::string& line : records)
            if (Json::parse(line)["port"] == name) record = Json::parse(line);
        EXPECT_TRUE(fx::schemaFaults(record).empty());
        EXPECT_EQ(record["kept"], Json::parse(R"([{"range":"0x7F00-0x7FFF","file":"kept/)" + files[i] +
                                              R"(","sha256":")" + digest + R"("}])"));
    }
}

// A port of a station that fails after the erase: the pipe form shows the keep step, and the station's last
// lines name that port's kept file with the command that puts its bytes back, which does.
TEST(Keep, AStationSaysHowToPutAFailedUnitsBytesBack) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), lines(FIRMWARE));
    fx::Rig good, bad(fx::monitorOptions({"error@writeblock#2=0xE6"}));
    fx::writeFile(dir.file("good.s19"), lines(unitBytes(0x21)));
    fx::writeFile(dir.file("bad.s19"), lines(unitBytes(0x42)));
    ASSERT_TRUE(good.start(dir.file("good.s19")));
    ASSERT_TRUE(bad.start(dir.file("bad.s19")));
    const std::string list = "A=" + good.sim->devicePath() + ",B=" + bad.sim->devicePath();
    const fx::RunResult r = fx::run(
        VQ2DL_PROGRAM, {"--ports", list, "-dw", "0", "--keep", "0x7F00-0x7FFF", "fw.s19"}, dir.path());
    ASSERT_EQ(r.status, EXIT_PROTOCOL) << r.out;
    EXPECT_NE(r.out.find("[A] keeping the unit's bytes\n"), std::string::npos) << r.out;
    const Texts files = keptFiles(dir.path());
    ASSERT_EQ(files.size(), 1u) << "A's file went with its success";
    EXPECT_TRUE(std::regex_match(files[0], std::regex(R"(kept-B-\d{8}T\d{6}Z\.s19)"))) << files[0];
    const std::string restore = VQ2DL_PROGRAM " --ports B=" + bad.sim->devicePath() +
                                " -dw 0 --keep 0x7F00-0x7FFF fw.s19 --keep-from " + files[0];
    EXPECT_TRUE(fx::endsWith(r.out, "\n[B] The unit's own bytes are kept in " + files[0] +
                                        "; put them back with: " + restore + "\n"))
        << r.out;
    EXPECT_EQ(r.out.find("Rerun the failed ports"), std::string::npos)
        << "B run again would keep erased bytes";
    expectUnit(*good.sim, unitBytes(0x21), {{0x7F00, 0x7FFF}});

    // The command, on a replacement board in B's place.
    fx::Rig board;
    ASSERT_TRUE(board.start());
    const fx::RunResult back = fx::run(VQ2DL_PROGRAM,
                                       {"--ports", "B=" + board.sim->devicePath(), "-dw", "0", "--keep",
                                        "0x7F00-0x7FFF", "fw.s19", "--keep-from", files[0]},
                                       dir.path());
    ASSERT_EQ(back.status, 0) << back.out;
    expectUnit(*board.sim, unitBytes(0x42), {{0x7F00, 0x7FFF}});
}

// The units of a station make the kept files' folder at the same moment: every one of them writes its file,
// whichever made the folder.
TEST(Keep, UnitsMakingTheFolderAtOnceAllWriteTheirFiles) {
    fx::TempDir dir;
    for (int round = 0; round < 30; ++round) {
        const std::string folder = dir.file("kept" + std::to_string(round) + "/a/b");
        std::atomic<int> ready{0};
        std::vector<std::string> reasons(6);
        std::vector<std::thread> units;
        for (size_t i = 0; i < reasons.size(); ++i)
            units.emplace_back([&, i] {
                for (++ready; ready < static_cast<int>(reasons.size());) {}
                if (!writeKeptFile(folder + "/unit" + std::to_string(i) + ".s19", "S9030000FC\n", reasons[i]))
                    reasons[i] += " (failed)";
            });
        for (std::thread& unit : units)
            unit.join();
        for (size_t i = 0; i < reasons.size(); ++i)
            EXPECT_EQ(reasons[i], "") << "round " << round << ", unit " << i;
    }
    fx::writeFile(dir.file("plain"), "");
    std::string reason;
    EXPECT_FALSE(writeKeptFile(dir.file("plain/unit.s19"), "S9030000FC\n", reason));
    EXPECT_EQ(reason, "Not a directory");
}
