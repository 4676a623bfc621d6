// The progress bar and the summary on a terminal, and the log file of a run.
#include "test_cli.h"

#include "simulator.h"

#include <algorithm>
#include <csignal>
#include <cstring>
#include <iterator>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using namespace cli;

namespace {

// What a terminal finally shows: progress lines and their clearing taken out.
std::string settledText(std::string text) {
    // A text after a carriage return that another carriage return follows was drawn over.
    for (size_t cr = text.find('\r'); cr != std::string::npos;) {
        size_t next = text.find_first_of("\r\n", cr + 1);
        if (next != std::string::npos && text[next] == '\r') {
            text.erase(cr, next - cr);
        } else {
            cr = text.find('\r', cr + 1);
        }
    }
    // The last carriage return in front of a message only moved the cursor back.
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) continue;
        out += text[i];
    }
    return out;
}

} // namespace

TEST(Progress, OnATerminalOneLineRewritesItselfAndIsCleared) {
    fx::TempDir dir;
    std::string file;
    for (uint32_t a = 0x4000; a < 0x4000 + 40 * 32; a += 32)
        file += fx::srec(1, a, fx::bytes(32, a & 0xFF)) + "\n";
    file += fx::srec(2, 0x3C8000, fx::bytes(64)) + "\n";
    fx::writeFile(dir.file("fw.s19"), file);

    vqsim::Options options;
    auto sim = fx::startController(options);
    auto seen = fx::runOnTerminal(VQ2DL_PROGRAM, {"-c", sim->devicePath(), "fw.s19"}, dir.path());
    ASSERT_EQ(seen.status, 0) << seen.out;
    const std::string full = "Writing   [####################] 41/41 records, 1344/1344 bytes";
    EXPECT_NE(seen.out.find("\rWriting   [#"), std::string::npos);
    EXPECT_NE(seen.out.find("\r" + full), std::string::npos) << seen.out;
    EXPECT_NE(seen.out.find("\rVerifying [####################] 41/41 records, 1344/1344 bytes"),
              std::string::npos);
    // A drawing counts what is done, and is blanked over before the next message: the page change of the last
    // record, and the closing line once all is written.
    std::string blank = "\r" + std::string(full.size(), ' ') + "\r";
    EXPECT_NE(seen.out.find("\rWriting   [###################-] 40/41 records, 1280/1344 bytes" + blank +
                            "Setting page register 0x3c:\n"),
              std::string::npos);
    EXPECT_NE(seen.out.find(full + blank + "Write complete, 41 records, 1344 bytes.\n"), std::string::npos);

    // Once drawn over, the terminal holds exactly what a script reads.
    auto again = fx::startController(options);
    auto script = vq2dl({"-c", again->devicePath(), "fw.s19"}, dir.path());
    ASSERT_EQ(script.status, 0);
    EXPECT_EQ(script.out.find("] "), std::string::npos) << "no progress line without a terminal";
    std::string scriptText = script.out;
    EXPECT_EQ(scriptText.find("Done in"), std::string::npos) << "no summary without a terminal";
    // The summary line closes what a person sees; everything before it is what the script read.
    std::string shown = settledText(seen.out);
    size_t summary = shown.rfind("Done in ");
    ASSERT_NE(summary, std::string::npos) << shown;
    shown.erase(summary);
    // The port names differ between the two runs.
    auto portLine = [](std::string text, const std::string& device) {
        size_t at = text.find(device);
        return at == std::string::npos ? text : text.replace(at, device.size(), "PORT");
    };
    EXPECT_EQ(portLine(shown, sim->devicePath()), portLine(scriptText, again->devicePath()));

    // -p and other verbosities keep the terminal free of it too.
    auto third = fx::startController(options);
    auto percent = fx::runOnTerminal(VQ2DL_PROGRAM, {"-p", "-c", third->devicePath(), "fw.s19"}, dir.path());
    EXPECT_EQ(percent.status, 0);
    EXPECT_EQ(percent.out.find("] "), std::string::npos);
}

TEST(Progress, OnATerminalARunEndsWithWhatItDid) {
    fx::TempDir dir;
    std::string vq2;
    for (uint32_t a = 0x4000; a < 0x4000 + 8 * 32; a += 32)
        vq2 += fx::srec(1, a, fx::bytes(32, a & 0xFF)) + "\n";
    fx::writeFile(dir.file("vq2.s19"), vq2);
    fx::writeFile(dir.file("vq1.s19"),
                  fx::srec(1, 0x9000, fx::bytes(100)) + "\n" + fx::srec(9, 0x9000) + "\n");
    const std::string seconds = "Done in [0-9]+\\.[0-9] s: ";
    const std::string rate = ", [0-9]+\\.[0-9] KB/s\\.\n$";
    // One controller of each generation takes every run in turn; the verification reads what was written.
    const struct {
        int generation;
        std::vector<std::string> args;
        std::string last;
    } cases[] = {
        {2, {"vq2.s19"}, seconds + "256 bytes written and verified" + rate},
        {2, {"-V", "vq2.s19"}, seconds + "256 bytes verified" + rate},
        {2, {"-w"}, seconds + "flash erased\\.\n$"},
        {1, {"vq1.s19"}, seconds + "100 bytes written" + rate},
        {1, {"-V", "vq1.s19"}, seconds + "signature read\\.\n$"},
    };
    std::unique_ptr<vqsim::Simulator> sims[3];
    for (const auto& c : cases) {
        auto& sim = sims[c.generation];
        if (!sim) {
            vqsim::Options options;
            options.generation = c.generation;
            sim = fx::startController(options);
        }
        std::vector<std::string> args = {"-c", sim->devicePath()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto seen = fx::runOnTerminal(VQ2DL_PROGRAM, args, dir.path());
        EXPECT_EQ(seen.status, 0) << seen.out;
        EXPECT_TRUE(std::regex_search(seen.out, std::regex("\n" + c.last))) << seen.out;
    }
}

TEST(Log, HoldsTheHeaderAndEveryMessageWhileTheConsoleStaysAsItWas) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), fx::srec(0, 0, {'H', 'D', 'R'}) + "\n" +
                                          fx::srec(1, 0x4000, fx::bytes(20)) + "\n" + fx::srec(9, 0x4000) +
                                          "\n");
    vqsim::Options options;
    auto sim = fx::startController(options);
    const std::string log = dir.file("support log.txt");
    auto plain = vq2dl({"-c", sim->devicePath(), "fw.s19"}, dir.path());
    auto logged = vq2dl({"-c", sim->devicePath(), "--log", log, "fw.s19"}, dir.path());
    ASSERT_EQ(plain.status, 0) << plain.out;
    EXPECT_EQ(logged.status, 0);
    EXPECT_EQ(logged.out, plain.out);

    // A second run appends: two headers, each followed by its own stamped messages.
    auto failed = vq2dl({"-c", NO_PORT_PATH, "--log=" + log, "fw.s19"}, dir.path());
    EXPECT_EQ(failed.status, 2);
    std::string text = fx::readFile(log);
    std::regex header("==== vq2dl " VQ2DL_VERSION
                      ", [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} [-+][0-9]{4}\n"
                      "Command line: [^\n]*vq2dl -c [^\n]* --log '[^']*/support log\\.txt' fw\\.s19\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), header), std::sregex_iterator()),
              1)
        << text;
    EXPECT_NE(text.find("Command line: " VQ2DL_PROGRAM " -c " + std::string(NO_PORT_PATH) + " '--log=" + log +
                        "' fw.s19\n"),
              std::string::npos)
        << text;
    auto stamped = [&](const std::string& line) {
        return std::regex_search(text, std::regex("\n *[0-9]+ ms  " + line + "\n"));
    };
    EXPECT_TRUE(stamped("Velquin Download 2\\.00"));
    EXPECT_TRUE(stamped("HDR")) << "the image reader's own message";
    EXPECT_TRUE(stamped("Entered monitor mode\\.")) << "level 2";
    EXPECT_TRUE(stamped("SR:  00001:0")) << "level 4";
    EXPECT_TRUE(stamped("TX:  a8 40 00 13")) << "the byte trace of the write-block command";
    EXPECT_TRUE(stamped("Done in [0-9.]+ s: 20 bytes written and verified, [0-9.]+ KB/s\\."));
    // A message of several lines is stamped line by line, without its carriage returns.
    EXPECT_TRUE(stamped("Download failed:"));
    EXPECT_TRUE(stamped("   Could not open comm port /nonexistent/vq-port\\."));
}

TEST(Log, ThatCannotBeOpenedEndsTheRunFirst) {
    auto r = vq2dl({"-w", "-c", NO_PORT_PATH, "--log", "/nonexistent/dir/vq.log"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR: Could not open log file /nonexistent/dir/vq.log: no such file or directory.\n");
}

namespace {

// Every drawing of the progress line in what a terminal received: the texts between two carriage returns (a
// text after the last one before a new line is a message).
std::vector<std::string> drawings(const std::string& out) {
    std::vector<std::string> drawn;
    for (size_t cr = out.find('\r'); cr != std::string::npos; cr = out.find('\r', cr + 1)) {
        const size_t end = out.find_first_of("\r\n", cr + 1);
        if (end != std::string::npos && out[end] == '\r' && end > cr + 1)
            drawn.push_back(out.substr(cr + 1, end - cr - 1));
    }
    return drawn;
}

// 41 records of 32 bytes from 0x4000 on: a run with a progress line that takes well under a second.
std::string fortyOneRecords() {
    std::string file;
    for (uint32_t a = 0x4000; a < 0x4000 + 41 * 32; a += 32)
        file += fx::srec(1, a, fx::bytes(32, a & 0xFF)) + "\n";
    return file;
}

} // namespace

TEST(Progress, ANarrowTerminalGetsALineThatFits) {
    const struct {
        unsigned short columns;
        std::string last; // the last drawing of the write
    } cases[] = {
        {50, "Writing   41/41 records, 1312/1312 bytes"},
        {30, "Writing   1312/1312 bytes"},
        {15, "Writing   1312"},
        {0, "Writing   [####################] 41/41 records, 1312/1312 bytes"}, // the size unknown: as it was
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.columns);
        fx::Rig rig;
        ASSERT_TRUE(rig.start());
        fx::writeFile(rig.dir.file("fw.s19"), fortyOneRecords());
        auto seen = fx::runOnTerminal(VQ2DL_PROGRAM, {"-c", rig.sim->devicePath(), "-dw", "0", "fw.s19"},
                                      rig.dir.path(), 60000, c.columns);
        ASSERT_EQ(seen.status, 0) << seen.out;
        const std::vector<std::string> drawn = drawings(seen.out);
        EXPECT_NE(std::find(drawn.begin(), drawn.end(), c.last), drawn.end()) << seen.out;
        // One column is left free: a line that reaches the last one wraps on some terminals.
        for (const std::string& line : drawn) {
            if (c.columns) {
                EXPECT_LT(line.size(), c.columns) << line;
            }
        }
    }
}

TEST(Progress, WhileTheControllerIsSilentTheAttemptsAreCounted) {
    const struct {
        vqsim::Options options;
        std::string file;
        std::string waiting;
    } cases[] = {
        {fx::monitorOptions({"silent@probe#1"}), fx::srec(1, 0x4000, fx::bytes(8)) + "\n",
         "Waiting for the controller: attempt 2 of 11"},
        {fx::bootLoaderOptions({"silent@wake"}),
         fx::srec(1, 0x9000, fx::bytes(8)) + "\n" + fx::srec(9, 0x9000) + "\n",
         "Waiting for the controller: attempt 2 of 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.waiting);
        fx::Rig rig(c.options);
        ASSERT_TRUE(rig.start());
        fx::writeFile(rig.dir.file("fw.s19"), c.file);
        auto seen = fx::runOnTerminal(VQ2DL_PROGRAM, {"-c", rig.sim->devicePath(), "-dw", "0", "fw.s19"},
                                      rig.dir.path());
        EXPECT_EQ(seen.status, 0) << seen.out;
        const std::vector<std::string> drawn = drawings(seen.out);
        EXPECT_NE(std::find(drawn.begin(), drawn.end(), c.waiting), drawn.end()) << seen.out;
        EXPECT_EQ(seen.out.find("attempt 3 "), std::string::npos) << "the second attempt was answered";
        // Blanked over before the next message, like the progress line.
        EXPECT_NE(seen.out.find(c.waiting + "\r" + std::string(c.waiting.size(), ' ') + "\r"),
                  std::string::npos);
    }
}

TEST(Progress, AFailureWhileWritingSaysWhatToDo) {
    // Stands for the controller's line in a text.
    static const char* const PORT_MARK = "<port>";
    const std::string partly =
        "The controller's flash may be erased or partly written: run the download again.\n";
    const std::string gone = "The port went away: the adapter was unplugged or the port closed. " + partly;
    std::string vq1;
    for (uint32_t a = 0x9000; a < 0x9000 + 41 * 32; a += 32)
        vq1 += fx::srec(1, a, fx::bytes(32)) + "\n";
    const struct {
        vqsim::Options options;
        std::vector<std::string> args;
        std::string last; // the last line a person sees
    } cases[] = {
        {fx::monitorOptions({"error=0xE6@writeblock#2"}), {}, partly},
        {fx::monitorOptions({"hangup@writeblock#2"}), {}, gone},
        {fx::bootLoaderOptions({"hangup-after=300"}), {}, gone},
        {fx::bootLoaderOptions({"reply=Checksum error in a line\\r\\nBoot>@s9"}), {}, partly},
        {fx::monitorOptions({"error=0xE6@readblock#1"}),
         {"-V"},
         "ERROR: Access error when writing FLASH/EEPROM memory, e=0xE6\n"},
        // Silent at the erase: erased, not yet written.
        {fx::monitorOptions({"silent@erasemain"}),
         {},
         "ERROR: Timed out reading response, 0xE0\nThe controller's flash may be erased: run the download "
         "again.\n"},
        // No controller ever answered: the flash is as it was, and there are three things to check.
        {fx::bootLoaderOptions({"silent@any"}),
         {},
         "\nNo controller answered on " + std::string(PORT_MARK) +
             ": check the cable, that this is the controller's port, and that the controller is powered.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options.faults.front());
        fx::Rig rig(c.options);
        ASSERT_TRUE(rig.start());
        fx::writeFile(rig.dir.file("fw.s19"), c.options.generation == 1 ? vq1 : fortyOneRecords());
        std::vector<std::string> args = {"-c", rig.sim->devicePath(), "-dw", "0"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back("fw.s19");
        auto seen = fx::runOnTerminal(VQ2DL_PROGRAM, args, rig.dir.path());
        EXPECT_EQ(seen.status, EXIT_PROTOCOL);
        std::string last = c.last;
        const size_t mark = last.find(PORT_MARK);
        if (mark != std::string::npos) last.replace(mark, std::strlen(PORT_MARK), rig.sim->devicePath());
        EXPECT_TRUE(fx::endsWith(seen.out, last));
    }
    // A script sees the error as it always did.
    fx::Rig rig(fx::monitorOptions({"hangup@writeblock#2"}));
    ASSERT_TRUE(rig.start());
    fx::writeFile(rig.dir.file("fw.s19"), fortyOneRecords());
    auto script = rig.run({"-dw", "0"}, rig.dir.file("fw.s19"));
    EXPECT_EQ(script.status, EXIT_PROTOCOL);
    EXPECT_EQ(script.out.find("partly written"), std::string::npos) << script.out;
}

TEST(Progress, ASignalLeavesTheTerminalOnAFreshLine) {
    // Each block from the third on is answered slowly, so the run is surely writing when the signal comes.
    fx::Rig rig(fx::monitorOptions({"slow=150@writeblock#3-41"}));
    ASSERT_TRUE(rig.start());
    fx::writeFile(rig.dir.file("fw.s19"), fortyOneRecords());
    const std::string command = std::string("\"") + VQ2DL_PROGRAM + "\" -c \"" + rig.sim->devicePath() +
                                "\" -dw 0 fw.s19 & sleep 2; kill -TERM $!; wait $!";
    auto seen = fx::runOnTerminal("/bin/sh", {"-c", command}, rig.dir.path());
    EXPECT_EQ(seen.status, 128 + SIGTERM) << seen.out;
    EXPECT_NE(seen.out.find("\rWriting   [#"), std::string::npos) << seen.out;
    // The progress line stays as it was drawn last, the cursor goes to the next line, and one line says what
    // the flash now holds.
    EXPECT_TRUE(fx::endsWith(
        seen.out, "/1312 bytes\nThe controller's flash is now partly written: run the download again.\n"))
        << seen.out;
}
