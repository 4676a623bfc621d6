// Images that cannot be right are refused after the files are read and before the port opens: a run without
// a single S-record line, and records that put different bytes on one byte of the controller.
#include "test_cli.h"

#include <string>
#include <utility>
#include <vector>

using namespace cli;

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;

// Writes the files into dir and runs vq2dl on a port that cannot open, with the switches and the file names:
// status 2 shows that the run got as far as the port.
fx::RunResult runOn(const fx::TempDir& dir, const Files& files, std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"-c", NO_PORT_PATH});
    for (const auto& [name, text] : files) {
        fx::writeFile(dir.file(name), text);
        args.push_back(name);
    }
    return vq2dl(args, dir.path());
}

std::string lineOf(uint32_t address, size_t n) {
    return fx::srec(address > 0xFFFF ? 2 : 1, address, fx::bytes(n)) + "\n";
}

} // namespace

TEST(Refusals, NothingToDownloadEndsTheRunBeforeThePort) {
    fx::TempDir dir;
    const std::string ini = "#!VQU-OUT\r\nno firmware in here\r\n#!VQU-INI(set.ini)\r\nx=1\r\n#!VQU-END\r\n";
    const std::string header = fx::srec(0, 0, {'H'}) + "\n";
    const struct {
        Files files;
        std::vector<std::string> args;
        const char* refused; // null: the run goes on to the port
    } cases[] = {
        {{{"empty.s19", ""}}, {}, "empty.s19"},
        {{{"notes.txt", "# the build stopped here\n"}}, {}, "notes.txt"},
        {{{"update.vqu", ini}}, {}, "update.vqu"},
        {{{"empty.s19", ""}, {"update.vqu", ini}}, {}, "empty.s19, update.vqu"},
        // Any S-record line lets the run go on: a header alone wipes a VQ-I boot loader, as it always did.
        {{{"empty.s19", ""}, {"header.s19", header}}, {}, nullptr},
        {{{"update.vqu", ini}, {"fw.s19", lineOf(0x4000, 4)}}, {}, nullptr},
        {{{"empty.s19", ""}}, {"-V"}, nullptr},
        {{}, {"-w"}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.files.empty() ? "-w" : c.files.back().first);
        fx::TempDir run;
        const fx::RunResult r = runOn(run, c.files, c.args);
        if (!c.refused) {
            EXPECT_EQ(r.status, EXIT_PORT) << r.out;
            continue;
        }
        EXPECT_EQ(r.status, EXIT_FILE);
        EXPECT_TRUE(fx::endsWith(
            r.out, std::string("File read successfully.\n\nERROR: No S-records to download in ") + c.refused +
                       ".\n"));
    }

    // The whole console text; an update's files are extracted while it is read, as before.
    const fx::RunResult r = runOn(dir, {{"update.vqu", ini}});
    EXPECT_EQ(r.out, BANNER + "Reading update.vqu:\nno firmware in here\n   Extracted ./set.ini\n" +
                         report(false, 0, 0xFFFFFFFF, 0) +
                         "ERROR: No S-records to download in update.vqu.\n");
    EXPECT_EQ(fx::readFile(dir.file("set.ini")), "x=1\r\n");
}

TEST(Refusals, OverlappingRecordsEndTheRunBeforeThePort) {
    const struct {
        const char* what;
        Files files;
        const char* refused; // the error after "ERROR: ", or null when the run goes on to the port
    } cases[] = {
        {"within a file",
         {{"a.s19", lineOf(0x4000, 16) + lineOf(0x4008, 16)}},
         "Record at 0x4008 (a.s19 line 2) overlaps the record at 0x4000 (a.s19 line 1)."},
        {"the later line names the earlier one",
         {{"a.s19", lineOf(0x4008, 16) + lineOf(0x4000, 16)}},
         "Record at 0x4000 (a.s19 line 2) overlaps the record at 0x4008 (a.s19 line 1)."},
        {"across files",
         {{"a.s19", lineOf(0x4000, 16)}, {"b.s19", lineOf(0x5000, 1) + lineOf(0x400F, 4)}},
         "Record at 0x400F (b.s19 line 2) overlaps the record at 0x4000 (a.s19 line 1)."},
        {"0x8000-0xBFFF is held at 0x4000",
         {{"a.s19", lineOf(0x4000, 16) + lineOf(0x800F, 1)}},
         "Record at 0x800F (a.s19 line 2) overlaps the record at 0x4000 (a.s19 line 1)."},
        {"a block that reaches 0x8000 goes on at 0xC000",
         {{"a.s19", lineOf(0x7FF8, 16) + lineOf(0xC007, 1)}},
         "Record at 0xC007 (a.s19 line 2) overlaps the record at 0x7FF8 (a.s19 line 1)."},
        {"through a page window",
         {{"a.s19", lineOf(0x4000, 1) + lineOf(0x3C8000, 16)}, {"b.s19", lineOf(0x3C800C, 8)}},
         "Record at 0x3C800C (b.s19 line 1) overlaps the record at 0x3C8000 (a.s19 line 2)."},
        {"VQ-I: an address is its own",
         {{"a.s19", lineOf(0x9000, 16) + lineOf(0x9004, 4)}},
         "Record at 0x9004 (a.s19 line 2) overlaps the record at 0x9000 (a.s19 line 1)."},
        {"the same start replaces", {{"a.s19", lineOf(0x4000, 16) + lineOf(0x4000, 8)}}, nullptr},
        {"the same start in another file replaces",
         {{"a.s19", lineOf(0x4000, 16)}, {"b.s19", lineOf(0x4000, 16)}},
         nullptr},
        {"records that agree where they meet, as a read-back of both views of 0x4000-0x7FFF gives",
         {{"a.s19", lineOf(0x4000, 16) + fx::srec(1, 0x8008, fx::bytes(8, 8)) + "\n"}},
         nullptr},
        {"records that touch", {{"a.s19", lineOf(0x4000, 16) + lineOf(0x4010, 16)}}, nullptr},
        {"a record without bytes", {{"a.s19", lineOf(0x4000, 16) + lineOf(0x4004, 0)}}, nullptr},
        {"another page",
         {{"a.s19", lineOf(0x4000, 1) + lineOf(0x3C8000, 16) + lineOf(0x3D8004, 16)}},
         nullptr},
        {"a page window is not the unpaged space",
         {{"a.s19", lineOf(0x3C8000, 16) + lineOf(0x8000, 16) + lineOf(0xC000, 8)}},
         nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fx::TempDir dir;
        const fx::RunResult r = runOn(dir, c.files);
        if (!c.refused) {
            EXPECT_EQ(r.status, EXIT_PORT) << r.out;
            continue;
        }
        EXPECT_EQ(r.status, EXIT_FILE);
        EXPECT_TRUE(
            fx::endsWith(r.out, "File read successfully.\n\nERROR: " + std::string(c.refused) + "\n"));
        // A VQ-II verification would compare one of them with what the other left: refused as well. A VQ-I
        // one reads the signature alone.
        const bool vq1 = std::string(c.what).rfind("VQ-I:", 0) == 0;
        EXPECT_EQ(runOn(dir, c.files, {"-V"}).status, vq1 ? EXIT_PORT : EXIT_FILE);
    }
}

// Refused before the port opens: the controller hears nothing at all.
TEST(Refusals, TheControllerHearsNothing) {
    fx::Rig rig;
    ASSERT_TRUE(rig.start());
    for (const std::string& text : {std::string(), lineOf(0x4000, 16) + lineOf(0x8008, 16)}) {
        const std::string file = rig.dir.file("fw.s19");
        fx::writeFile(file, text);
        EXPECT_EQ(rig.run({}, file).status, EXIT_FILE);
    }
    EXPECT_TRUE(rig.sim->received().empty());
    EXPECT_FALSE(rig.sim->idleAfterSession(0)) << "the port was opened";
}
