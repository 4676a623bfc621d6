// The console of the main single runs, byte for byte: each case runs vq2dl in a folder of its own, against a
// simulated controller or a port that does not exist, and compares standard output with its transcript in
// tests/golden/NAME.txt. There the port is written @PORT@, a carriage return (a progress line the next one
// overwrites) \r and a backslash \\, so that the files read as the console shows them. After an intended
// change, VQ2DL_UPDATE_GOLDEN=1 writes the files from the runs, for review with git diff.
#include "fixture.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <utility>
#include <vector>

using fx::Bytes, fx::Texts, fx::commands, fx::expectMemory, fx::pokeMemory, fx::s19, fx::srec;

namespace {

/// The port of the cases without a controller.
const char* const ABSENT_PORT = "/nonexistent/vq-port";

/// A transcript as its golden file holds it.
std::string escaped(const std::string& text, const std::string& port) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (!port.empty() && text.compare(i, port.size(), port) == 0) {
            out += "@PORT@";
            i += port.size() - 1;
        } else if (text[i] == '\r') {
            out += "\\r";
        } else if (text[i] == '\\') {
            out += "\\\\";
        } else {
            out += text[i];
        }
    }
    return out;
}

struct GoldenCase {
    const char* name;                                       ///< tests/golden/NAME.txt
    std::optional<vqsim::Options> controller;               ///< the controller on the line; none: ABSENT_PORT
    std::vector<std::pair<std::string, std::string>> files; ///< written into the run's folder first
    Texts args;                                             ///< after -c PORT
    int status;
    /// Puts bytes into the controller's flash before the run.
    std::function<void(vqsim::Simulator&)> prepare = nullptr;
    /// What the controller must have received or hold after the run.
    std::function<void(vqsim::Simulator&)> check = nullptr;
};

/// A case by its name in the test's messages.
void PrintTo(const GoldenCase& c, std::ostream* os) {
    *os << c.name;
}

/// Three records: in the main flash, in the top block and on page 0x3C.
const Bytes LOW = fx::bytes(16, 0x01), TOP = fx::bytes(16, 0x51), PAGED = fx::bytes(16, 0xA1);
const Bytes VERIFIED = fx::bytes(16, 0x33);

std::string twelveRecords() {
    std::vector<std::pair<uint32_t, Bytes>> records;
    for (uint32_t i = 0; i < 12; ++i)
        records.push_back({0x1000 + 0x100 * i, fx::bytes(16, static_cast<uint8_t>(i))});
    return s19(records, 0x1000);
}

/// A VQ-I file of 25 records of 32 bytes from 0x8100, listed in descending order behind a header.
std::string vq1Application() {
    std::string file = srec(0, 0, {'h', 'd', 'r'}) + "\n";
    for (int i = 24; i >= 0; --i)
        file += srec(1, 0x8100 + 0x20 * i, fx::bytes(32, uint8_t(i))) + "\n";
    return file + srec(9, 0x8100) + "\n";
}

std::string vq1Percentages() {
    std::string file;
    for (uint32_t i = 0; i < 25; ++i)
        file += srec(1, 0x8100 + 0x10 * i, fx::bytes(i % 5 + 1)) + "\n";
    return file;
}

std::string twoGenerations(bool high) {
    return high ? srec(1, 0x9000, fx::bytes(4)) + "\n"
                : srec(0, 0, {'H', 'D', 'R'}) + "\r\n" + srec(1, 0x4000, fx::bytes(16)) + "\r\n" +
                      srec(1, 0xC000, fx::bytes(16)) + "\r\n" + srec(9, 0xC000) + "\r\n";
}

void expectCommands(vqsim::Simulator& sim, const Texts& expected) {
    EXPECT_EQ(commands(sim.received()), expected);
}

const std::vector<GoldenCase>& cases() {
    static const std::vector<GoldenCase> all = {
        // VQ-II: a download over the main flash, the top block and a page, then its verification.
        {"vq2_download",
         fx::monitorOptions(),
         {{"vq2.s19", s19({{0x4000, LOW}, {0xC000, TOP}, {0x3C8000, PAGED}}, 0x4000)}},
         {"vq2.s19"},
         0,
         nullptr,
         [](vqsim::Simulator& sim) {
             expectMemory(sim, 0x4000, LOW);
             expectMemory(sim, 0xC000, TOP);
             expectMemory(sim, 0x3C8000, PAGED);
             EXPECT_EQ(sim.counters().mainErases, 1u);
         }},
        // -w reads no file (this one does not exist), enters the monitor and erases the main flash only.
        {"vq2_wipe",
         fx::monitorOptions(),
         {},
         {"-w", "-V", "missing.s19"},
         0,
         nullptr,
         [](vqsim::Simulator& sim) {
             expectCommands(sim, {"DROPIN", "PROBE", "ERASEMAIN"});
         }},
        // -V reads back only, and the first page register command is not needed.
        {"vq2_verify_only",
         fx::monitorOptions(),
         {{"v.s19", s19({{0x4000, VERIFIED}}, 0x4000)}},
         {"-V", "v.s19"},
         0,
         [](vqsim::Simulator& sim) { pokeMemory(sim, 0x4000, VERIFIED); },
         [](vqsim::Simulator& sim) {
             expectCommands(sim, {"DROPIN", "PROBE", "A7 4000 16"});
         }},
        // A byte that differs ends the verification with status 4.
        {"vq2_verify_differs",
         fx::monitorOptions(),
         {{"v.s19", s19({{0x4000, VERIFIED}}, 0x4000)}},
         {"-V", "v.s19"},
         EXIT_PROTOCOL,
         [](vqsim::Simulator& sim) {
             pokeMemory(sim, 0x4000, VERIFIED);
             sim.poke(0x400F, 0x00);
         }},
        // -p: the label markers and a percentage after every fifth record, for a calling program.
        {"vq2_percentages",
         fx::monitorOptions(),
         {{"p.s19", twelveRecords()}},
         {"-p", "-dw", "0", "p.s19"},
         0},
        // A reply fault ends the run with "ERROR: " and the reply's text, and with status 4: a failed
        // download
        // never reports success, and no record goes out after the fault.
        {"vq2_write_error",
         fx::monitorOptions({"error@writeblock#2=0xE6"}),
         {{"e.s19", s19({{0x4000, fx::bytes(16)}, {0x4100, fx::bytes(16)}, {0x4200, fx::bytes(16)}}, 0)}},
         {"-dw", "0", "e.s19"},
         EXIT_PROTOCOL,
         nullptr,
         [](vqsim::Simulator& sim) {
             expectCommands(sim, {"DROPIN", "PROBE", "ERASEMAIN", "A8 4000 16", "A8 4100 16"});
         }},
        // A paged record outside the page window stops the run before the port is opened: nothing is sent.
        {"vq2_refused_before_the_port",
         fx::monitorOptions(),
         {{"bad.s19", s19({{0x4000, fx::bytes(16)}, {0x3CC000, fx::bytes(16)}}, 0x4000)}},
         {"bad.s19"},
         EXIT_FILE,
         nullptr,
         [](vqsim::Simulator& sim) { EXPECT_TRUE(sim.received().empty()); }},
        // VQ-I: the records go out ascending, one S1 line each, with a progress line every ten.
        {"vq1_download",
         fx::bootLoaderOptions(),
         {{"app.s19", vq1Application()}},
         {"app.s19"},
         0,
         nullptr,
         [](vqsim::Simulator& sim) {
             const Texts lines = sim.lines();
             ASSERT_EQ(lines.size(), 26u);
             for (int i = 0; i < 25; ++i)
                 EXPECT_EQ(lines[i], srec(1, 0x8100 + 0x20 * i, fx::bytes(32, uint8_t(i))) + "\r\n");
             EXPECT_EQ(lines[25], srec(9, 0x8100) + "\r\n");
             for (uint32_t i = 0; i < 25 * 32; ++i)
                 ASSERT_EQ(sim.peek(0x8100 + i), uint8_t(i / 32 + i % 32)) << i;
         }},
        // -p: the label, one percentage after every line, and 100.00 once more after the reply.
        {"vq1_percentages", fx::bootLoaderOptions(), {{"app.s19", vq1Percentages()}}, {"-p", "app.s19"}, 0},
        // -V shows the signature without waking the boot loader up.
        {"vq1_verify_only",
         fx::bootLoaderOptions(),
         {{"app.s19", srec(1, 0x8100, fx::bytes(16)) + "\n"}},
         {"-V", "app.s19"},
         0,
         nullptr,
         [](vqsim::Simulator& sim) { EXPECT_EQ(fx::toText(sim.received()), "xS"); }},
        // Each file is reported as it is read; the first decides the generation for good. Then the port.
        {"vq2_files_then_no_port",
         std::nullopt,
         {{"low.s19", twoGenerations(false)}, {"high.s19", twoGenerations(true)}},
         {"low.s19", "high.s19"},
         EXIT_PORT},
        {"vq1_files_then_no_port",
         std::nullopt,
         {{"low.s19", twoGenerations(false)}, {"high.s19", twoGenerations(true)}},
         {"high.s19", "low.s19"},
         EXIT_PORT},
        // A file fault ends the run with status 3, at the line where it was found.
        {"file_checksum_error",
         std::nullopt,
         {{"bad.s19", srec(1, 0, {1, 2}) + "\n" + srec(1, 2, {3}) + "\n" + "S1050000AABB00\n"}},
         {"bad.s19"},
         EXIT_FILE},
    };
    return all;
}

class Golden : public ::testing::TestWithParam<GoldenCase> {};

TEST_P(Golden, TranscriptByteForByte) {
    const GoldenCase& c = GetParam();
    fx::TempDir dir;
    for (const auto& file : c.files)
        fx::writeFile(dir.file(file.first), file.second);
    std::unique_ptr<vqsim::Simulator> sim;
    if (c.controller) {
        sim = fx::startController(*c.controller);
        ASSERT_TRUE(sim);
        if (c.prepare) c.prepare(*sim);
    }
    const std::string port = sim ? sim->devicePath() : std::string(ABSENT_PORT);
    Texts args = {"-c", port};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const fx::RunResult r = fx::run(VQ2DL_PROGRAM, args, dir.path());
    EXPECT_EQ(r.status, c.status) << r.out;
    EXPECT_EQ(r.err, "");

    const std::string path = std::string(VQ_SOURCE_DIR "/tests/golden/") + c.name + ".txt";
    const std::string shown = escaped(r.out, port);
    if (const char* update = std::getenv("VQ2DL_UPDATE_GOLDEN"); update && *update == '1') {
        std::ofstream(path, std::ios::binary) << shown;
    } else {
        ASSERT_TRUE(fx::fileExists(path)) << path;
        EXPECT_EQ(shown, fx::readFile(path)) << path;
    }
    if (sim && c.check) c.check(*sim);
}

INSTANTIATE_TEST_SUITE_P(SingleRuns, Golden, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<GoldenCase>& tested) {
                             return std::string(tested.param.name);
                         });

// Every golden file belongs to a case: a file whose case was renamed or removed would pin nothing.
TEST(GoldenFiles, EachBelongsToACase) {
    Texts names;
    for (const GoldenCase& c : cases())
        names.push_back(std::string(c.name) + ".txt");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(fx::listDir(VQ_SOURCE_DIR "/tests/golden"), names);
}

} // namespace
