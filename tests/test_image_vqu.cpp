// Update files read from disk: their sections, line numbers, faults, and the files they extract.
#include "test_image.h"

#include "image/sha256.h"

#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace image_test;

namespace {

TEST(VquReader, SectionsInAnyOrderGiveTheSameImageAndFiles) {
    const std::string ini = "[a]\r\nx=1\r\n# kept\r\n;100%\n";
    const std::vector<std::string> s19 = {"#!VQU-S19(v.s19)", fx::srec(1, 0x4000, {1}), fx::srec(9, 0x4000)};
    fx::TempDir dir;
    fx::writeFile(dir.file("1.vqu"), container(s19) + "#!VQU-INI(set.ini)\r\n" + ini + "#!VQU-END\r\n");
    fx::writeFile(dir.file("2.s19"),
                  container({"#!VQU-INI(set.ini) trailing"}) + ini + lines(s19) + "#!VQU-END");
    for (const char* name : {"1.vqu", "2.s19"}) {
        fx::TempDir out;
        Image image(0, out.path());
        image.load(dir.file(name));
        EXPECT_EQ(fx::captured, std::string(75, '-') + "\nThis Velquin Update file was constructed from:\n");
        EXPECT_EQ(image.at(0x4000), (std::vector<uint8_t>{1}));
        EXPECT_EQ(image.entryPoint, 0x4000u);
        EXPECT_EQ(fx::readFile(out.file("set.ini")), ini);
        EXPECT_EQ(image.extractedFiles, (std::vector<std::string>{out.file("set.ini")}));
        EXPECT_EQ(fx::listDir(out.path()), (std::vector<std::string>{"set.ini"}));
    }
}

// The digest names the bytes the loader read, each once, and the whole file: an update whose blocks are read
// again after a look ahead, a file whose reading stops at a "#" line, and one longer than a read.
TEST(VquReader, TheDigestIsOfTheBytesReadEachOnce) {
    fx::TempDir dir, out;
    const std::string ini = "[a]\r\nx=1\r\n";
    const std::vector<std::string> s19 = {"#!VQU-S19(v.s19)", fx::srec(1, 0x4000, {1}), fx::srec(9, 0x4000)};
    fx::writeFile(dir.file("u.vqu"), container({"#!VQU-INI(set.ini)"}) + ini + lines(s19) + "#!VQU-END\r\n");
    fx::writeFile(dir.file("notes.s19"), fx::srec(1, 0x4000, {1}) + "\n# the rest is notes\nS1 not read\n");
    std::string big;
    for (uint32_t i = 0; i < 4000; ++i)
        big += fx::srec(1, 0x4000 + 16 * (i % 1000), fx::bytes(16)) + "\n";
    fx::writeFile(dir.file("big.s19"), big);
    for (const char* name : {"u.vqu", "notes.s19", "big.s19"}) {
        Image image(0, out.path());
        image.load(dir.file(name));
        std::string expected;
        ASSERT_TRUE(sha256OfFile(dir.file(name), expected));
        ASSERT_EQ(image.digests.size(), 1u);
        EXPECT_EQ(image.digests[0], expected) << name;
    }
}

TEST(VquReader, LineNumbersCountEveryPhysicalLineOnce) {
    fx::TempDir dir;
    std::string longText(40000, 't');
    std::vector<std::string> block = {"#!VQU-S19(v.s19)"};
    for (int i = 1; i <= 4; ++i)
        block.push_back(fx::srec(1, 0x100 * i, {1}));
    block.push_back("S1050000AABB00");
    // Tag line 9: the header's three lines, a long text line, an .ini tag with three lines, then the block.
    fx::writeFile(dir.file("a.vqu"), container({longText, "#!VQU-INI(a.ini)", "1", longText, "3"}) +
                                         lines(block) + "#!VQU-END\r\n");
    Image image(0);
    image.installDir = dir.path();
    s19Error e = image.error(dir.file("a.vqu"));
    EXPECT_NE(fx::captured.find("\n" + longText + "\n"), std::string::npos);
    EXPECT_EQ(e.line, 14);
    EXPECT_EQ(e.text, "Invalid checksum, found 0x00, expected 0x95");
    // The .ini file waits in its temporary: an update whose firmware is refused installs nothing.
    EXPECT_FALSE(fx::fileExists(dir.file("a.ini")));
    ASSERT_EQ(image.pendingIni.files.size(), 1u);
    EXPECT_EQ(fx::readFile(image.pendingIni.files[0].temporary), lines({"1", longText, "3"}));
    EXPECT_EQ(image.recordCount(), 4u);
    image.pendingIni.discard();
    EXPECT_EQ(fx::listDir(dir.path()), std::vector<std::string>{"a.vqu"});

    fx::writeFile(dir.file("b.vqu"),
                  container({"#!VQU-S19(x)", fx::srec(1, 1), "#!VQU-S19(y)", fx::srec(1, 2)}));
    Image last(0);
    last.load(dir.file("b.vqu"));
    EXPECT_EQ(last.recordCount(), 1u);
    EXPECT_EQ(last.lowAddress, 2u);
    fx::writeFile(dir.file("c.vqu"), container({"#!VQU-INI(c.ini)", "x"}));
    Image none(0, dir.path());
    none.load(dir.file("c.vqu"));
    EXPECT_EQ(none.recordCount(), 0u);
    EXPECT_EQ(none.lineNumber, 1);
}

TEST(VquReader, TagFaultsAndUnsafeNamesWriteNothing) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"#!VQU-INI", "Missing file name in VQU-INI specification"},
        {"#!VQU-INI(a.ini", "Invalid file name in VQU-INI specification"},
        {"#!VQU-INI(../a.ini)", "Unsafe file name in VQU-INI specification"},
        {"#!VQU-INI(/tmp/a.ini)", "Unsafe file name in VQU-INI specification"},
        {"#!VQU-INI(sub\\a.ini)", "Unsafe file name in VQU-INI specification"},
        {"#!VQU-INI(C:a.ini)", "Unsafe file name in VQU-INI specification"},
        {"#!VQU-INI(..)", "Unsafe file name in VQU-INI specification"},
        {"#!VQU-INI(.)", "Unsafe file name in VQU-INI specification"},
        {"#!VQU-INI(COM1.ini)", "Unsafe file name in VQU-INI specification"},
        {"#!VQU-INI(nul)", "Unsafe file name in VQU-INI specification"},
        {"#!VQU-INI(Con .ini)", "Unsafe file name in VQU-INI specification"},
    };
    fx::TempDir dir, out;
    for (const auto& [tag, text] : cases) {
        fx::writeFile(dir.file("a.vqu"), container({tag, "x=1"}));
        s19Error e = Image(0, out.path()).error(dir.file("a.vqu"));
        EXPECT_EQ(e.line, 4) << tag;
        EXPECT_EQ(e.text, text) << tag;
    }
    EXPECT_EQ(fx::listDir(out.path()), std::vector<std::string>{});
    fx::writeFile(dir.file("e.vqu"), container({"#!VQU-INI()", "x=1"}));
    EXPECT_EQ(Image(0, out.path()).error(dir.file("e.vqu")).text,
              "Could not open " + out.path() + "/ for output");
    fx::writeFile(dir.file("m.vqu"), container({"#!VQU-INI(m.ini)", "x=1"}));
    s19Error missing = Image(0, out.file("no")).error(dir.file("m.vqu"));
    EXPECT_EQ(missing.text, "Could not open " + out.file("no") + "/m.ini for output");
    EXPECT_EQ(missing.line, 4);
    EXPECT_EQ(fx::listDir(out.path()), std::vector<std::string>{});
}

TEST(VquReader, ExtractionReplacesWholeFilesOnly) {
    fx::TempDir dir, out;
    fx::writeFile(dir.file("a.vqu"),
                  container({"#!VQU-INI(s.ini)", "first", "#!VQU-INI(s.ini) again", "second"}));
    Image image(1, out.path());
    image.load(dir.file("a.vqu"));
    EXPECT_EQ(fx::readFile(out.file("s.ini")), "second\r\n");
    EXPECT_EQ(image.extractedFiles, (std::vector<std::string>{out.file("s.ini"), out.file("s.ini")}));
    EXPECT_NE(fx::captured.find("   Extracted " + out.file("s.ini") + "\n"), std::string::npos);

    // A block that cannot be written whole (here: a file size limit) leaves the old file and no temporary.
    fx::writeFile(dir.file("big.vqu"), container({"#!VQU-INI(s.ini)", std::string(5000, 'b')}));
    pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = {1000, 1000};
        setrlimit(RLIMIT_FSIZE, &limit);
        s19Error e = Image(0, out.path()).error(dir.file("big.vqu"));
        _exit(e.text == "Could not write " + out.file("s.ini") && e.line == 4 ? 0 : 1);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(fx::readFile(out.file("s.ini")), "second\r\n");
    EXPECT_EQ(fx::listDir(out.path()), std::vector<std::string>{"s.ini"});
}

TEST(VquReader, EmptyInstallDirMeansTheWorkingDirectory) {
    fx::TempDir dir;
    fx::writeFile(dir.file("a.vqu"), container({"#!VQU-INI(w.ini)", "x"}));
    char previous[4096];
    ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    char full[4096];
    ASSERT_NE(getcwd(full, sizeof full), nullptr);
    Image image(1, "");
    image.load("a.vqu");
    Image dot(1, ".");
    dot.load("a.vqu");
    ASSERT_EQ(chdir(previous), 0);
    EXPECT_EQ(image.extractedFiles, (std::vector<std::string>{std::string(full) + "/w.ini"}));
    EXPECT_NE(fx::captured.find("constructed from:\n   Extracted ./w.ini\n"), std::string::npos);
    EXPECT_EQ(fx::readFile(dir.file("w.ini")), "x\r\n");
}

// Found by fuzzing the loader: a zero byte in an .ini name cut the file's name on disk short of the name
// reported as extracted; a name near the longest the system allows could not be extracted at all, because
// its temporary file took the name with a suffix.
TEST(VquReader, ZeroByteNamesAndNamesNearTheLengthLimit) {
    fx::TempDir dir, out;
    fx::writeFile(dir.file("z.vqu"), container({std::string("#!VQU-INI(a.ini\0.txt)", 21), "x=1"}));
    s19Error e = Image(0, out.path()).error(dir.file("z.vqu"));
    EXPECT_EQ(e.text, "Unsafe file name in VQU-INI specification");
    EXPECT_EQ(e.line, 4);
    EXPECT_EQ(fx::listDir(out.path()), std::vector<std::string>{});

    const std::string longest = std::string(251, 'n') + ".ini"; // 255 characters
    fx::writeFile(dir.file("l.vqu"), container({"#!VQU-INI(" + longest + ")", "x=1",
                                                "#!VQU-INI(" + longest + ")", "x=2", "#!VQU-END"}));
    Image image(0, out.path());
    image.load(dir.file("l.vqu"));
    EXPECT_EQ(fx::readFile(out.file(longest)), "x=2\r\n");
    EXPECT_EQ(image.extractedFiles, (std::vector<std::string>{out.file(longest), out.file(longest)}));
    EXPECT_EQ(fx::listDir(out.path()), std::vector<std::string>{longest});
}

// Extraction writes only a file of its own making, under a name no other process uses, and the rename is
// the only step that touches the real name.
TEST(VquReader, ExtractionWritesOnlyItsOwnTemporary) {
    fx::TempDir dir, out, elsewhere;
    fx::writeFile(dir.file("a.vqu"), container({"#!VQU-INI(a.ini)", "new", "#!VQU-END"}));
    // A link prepared at this process's first name, and a stale file at the second, are left alone.
    const std::string first = out.file("~vq2dl-" + std::to_string(getpid()) + ".tmp");
    ASSERT_EQ(symlink(elsewhere.file("stolen").c_str(), first.c_str()), 0);
    fx::writeFile(out.file("~vq2dl-" + std::to_string(getpid()) + "-1.tmp"), "stale");
    // The old file's permission bits and owner pass to the new one.
    fx::writeFile(out.file("a.ini"), "old");
    ASSERT_EQ(chmod(out.file("a.ini").c_str(), 0640), 0);
    bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(chown(out.file("a.ini").c_str(), 1234, 5678), 0);
    }
    Image(0, out.path()).load(dir.file("a.vqu"));
    EXPECT_EQ(fx::readFile(out.file("a.ini")), "new\r\n");
    struct stat st;
    ASSERT_EQ(stat(out.file("a.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(std::make_pair(st.st_uid, st.st_gid), std::make_pair(uid_t(1234), gid_t(5678)));
    }
    EXPECT_EQ(fx::listDir(elsewhere.path()), std::vector<std::string>{});
    EXPECT_EQ(fx::readFile(out.file("~vq2dl-" + std::to_string(getpid()) + "-1.tmp")), "stale");
    EXPECT_EQ(fx::listDir(out.path()).size(), 3u);

    // Two downloads that extract the same update into one directory at once both extract it whole (the
    // update carries no firmware, so each run is refused after that, before the port).
    fx::TempDir shared;
    std::string body;
    for (int i = 0; i < 20000; ++i)
        body += "key" + std::to_string(i) + "=value\r\n";
    fx::writeFile(dir.file("b.vqu"), container({"#!VQU-INI(b.ini)"}) + body + "#!VQU-END\r\n");
    for (int round = 0; round < 5; ++round) {
        fx::RunResult results[2];
        std::thread other([&] {
            results[1] =
                fx::run(VQ2DL_PROGRAM, {"-c", "/nonexistent/port", "-i", shared.path(), dir.file("b.vqu")});
        });
        results[0] =
            fx::run(VQ2DL_PROGRAM, {"-c", "/nonexistent/port", "-i", shared.path(), dir.file("b.vqu")});
        other.join();
        for (const auto& r : results) {
            EXPECT_EQ(r.status, 3) << r.out;
            EXPECT_NE(r.out.find("   Extracted " + shared.file("b.ini") + "\n"), std::string::npos) << r.out;
        }
    }
    EXPECT_EQ(fx::readFile(shared.file("b.ini")), body);
    EXPECT_EQ(fx::listDir(shared.path()), std::vector<std::string>{"b.ini"});
}

/// An update that comes through a pipe the test keeps open: vq2dl reads it (-v 0, installing into out, a port
/// that does not exist) while the test writes start into the pipe and waits for the temporary file named
/// ~vq2dl-PID<suffix>.tmp; then the signal. The run's exit status, or -1 when it did not exit.
int signalledWhileReading(const std::string& pipe, const fx::TempDir& out, const std::string& start,
                          const std::string& suffix, int signalNumber, size_t filesBefore) {
    EXPECT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    pid_t pid = fork();
    if (pid == 0) {
        execl(VQ2DL_PROGRAM, "vq2dl", "-v", "0", "-c", "/nonexistent/port", "-i", out.path().c_str(),
              pipe.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int fd = open(pipe.c_str(), O_WRONLY);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, start.data(), start.size()), static_cast<ssize_t>(start.size()));
    const std::string temporary = out.file("~vq2dl-" + std::to_string(pid) + suffix + ".tmp");
    for (int i = 0; i < 5000 && !fx::fileExists(temporary); ++i)
        usleep(2000);
    EXPECT_TRUE(fx::fileExists(temporary));
    EXPECT_EQ(fx::listDir(out.path()).size(), filesBefore);
    kill(pid, signalNumber);
    int status = 0;
    waitpid(pid, &status, 0);
    if (fd >= 0) close(fd);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// SIGINT, SIGTERM or SIGHUP in the middle of an extraction: the temporary file goes, the status is 128 + n.
TEST(VquReader, SignalDuringExtractionLeavesNothing) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        fx::TempDir dir, out;
        // The update comes through a pipe that stays open: vq2dl waits in the .ini block for more.
        const std::string start = container({"#!VQU-INI(big.ini)"}) + std::string(256 << 10, 'x') + "\r\n";
        EXPECT_EQ(signalledWhileReading(dir.file("u.vqu"), out, start, "", signalNumber, 1u),
                  128 + signalNumber)
            << signalNumber;
        EXPECT_EQ(fx::listDir(out.path()), std::vector<std::string>{});
    }
}

// A signal after two .ini files were read, while the firmware still comes: both wait in temporaries, and
// both go; the installed files stay as they were.
TEST(VquReader, SignalBeforeTheImageIsAcceptedLeavesTheInstallationAsItWas) {
    fx::TempDir dir, out;
    fx::writeFile(out.file("a.ini"), "old\r\n");
    // The reader takes the file in large pieces: the firmware block's long line keeps it waiting there.
    const std::string start = container({"#!VQU-INI(a.ini)", "new", "#!VQU-INI(b.ini)", "x",
                                         "#!VQU-S19(fw.s19)", fx::srec(1, 0x4000, {1})}) +
                              std::string(256 << 10, 'x');
    EXPECT_EQ(signalledWhileReading(dir.file("u.vqu"), out, start, "-1", SIGTERM, 3u), 128 + SIGTERM);
    EXPECT_EQ(fx::listDir(out.path()), std::vector<std::string>{"a.ini"});
    EXPECT_EQ(fx::readFile(out.file("a.ini")), "old\r\n");
}

} // namespace
