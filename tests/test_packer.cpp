// vqu as a user runs it: the real program in a temporary directory, its exit status, its console text and the
// update file it leaves (or doesn't), and the update file read back by vq2dl's reader.
#include "fixture.h"

#include "image/firmware_image.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace {

const std::string HYPHENS(75, '-');
const char USAGE[] = "vqu output.vqu file-list\n"
                     "   'file-list' contains zero or more .ini files and one .s19 file.\n"
                     "   File order is of no consequence.\n"
                     "   The output .vqu file will not be overwritten, it must not exist.\n";
const char NO_S19[] = "WARNING: No s19 file in input list.\n";

fx::RunResult vqu(const fx::TempDir& dir, const std::vector<std::string>& args) {
    return fx::run(VQU_PROGRAM, args, dir.path(), 20000);
}

/// The directory as vqu's getcwd sees it (the temporary directory may lie behind a symbolic link).
std::string realDir(const fx::TempDir& dir) {
    char* resolved = realpath(dir.path().c_str(), nullptr);
    std::string full = resolved ? resolved : dir.path();
    std::free(resolved);
    return full;
}

/// The header vqu writes for these inputs, run in dir.
std::string header(const fx::TempDir& dir, const std::vector<std::string>& inputs) {
    std::string text = "#!VQU-OUT\r\n" + HYPHENS + "\r\n" +
                       "This Velquin Update file was constructed from the following input files:\r\n";
    for (const auto& input : inputs)
        text += "   " + realDir(dir) + "/" + input + "\r\n";
    return text + HYPHENS + "\r\n";
}

const char END[] = "#!VQU-END\r\n";

} // namespace

TEST(Packer, UsageWithoutArguments) {
    fx::TempDir dir;
    auto r = vqu(dir, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, USAGE);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fx::listDir(dir.path()).empty());
}

TEST(Packer, HelpAndVersionWriteNoFile) {
    fx::TempDir dir;
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--help"}, USAGE},
        {{"--help", "a.ini", "b.s19"}, USAGE},
        {{"--version"}, "vqu " VQ2DL_VERSION "\n"},
    };
    for (const auto& [args, text] : cases) {
        auto r = vqu(dir, args);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.out, text) << args[0];
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(fx::listDir(dir.path()).empty()) << args[0];
    }
    // Any other first argument still names the output.
    auto named = vqu(dir, {"-h"});
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(fx::listDir(dir.path()), std::vector<std::string>{"-h"});
}

TEST(Packer, WritesHeaderAndSectionsByteForByte) {
    fx::TempDir dir;
    fx::writeFile(dir.file("settings.ini"), "[serial]\r\nbaud=115200\r\n");
    fx::writeFile(dir.file("velquin2.s19"),
                  fx::srec(1, 0xC000, fx::bytes(4)) + "\n" + fx::srec(9, 0xC000) + "\n");
    auto r = vqu(dir, {"out.vqu", "settings.ini", "velquin2.s19"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(fx::readFile(dir.file("out.vqu")),
              header(dir, {"settings.ini", "velquin2.s19"}) +
                  "#!VQU-INI(settings.ini)\r\n[serial]\r\nbaud=115200\r\n" + "#!VQU-S19(velquin2.s19)\r\n" +
                  fx::srec(1, 0xC000, fx::bytes(4)) + "\r\n" + fx::srec(9, 0xC000) + "\r\n" + END);
    // Nothing but the update file is added, and it gets the rights of any newly created file.
    EXPECT_EQ(fx::listDir(dir.path()), (std::vector<std::string>{"out.vqu", "settings.ini", "velquin2.s19"}));
    mode_t mask = umask(0);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(dir.file("out.vqu").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(Packer, OnlyTheOutputNameGivesAnEmptyListAndTheWarning) {
    fx::TempDir dir;
    // There are no options: "-h" names the output.
    auto r = vqu(dir, {"-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, NO_S19);
    EXPECT_EQ(fx::readFile(dir.file("-h")), header(dir, {}) + END);
}

TEST(Packer, KindsFollowTheExactExtension) {
    fx::TempDir dir;
    fx::writeFile(dir.file("notes.txt"), "notes\n");
    fx::writeFile(dir.file("a.ini"), "a=1\n");
    fx::writeFile(dir.file("SETTINGS.INI"), "upper=1\n");
    fx::writeFile(dir.file("b.s19"), "S9030000FC\n");
    fx::writeFile(dir.file("noext"), "plain\n");
    fx::writeFile(dir.file("c.ini"), "c=1\n");
    fx::writeFile(dir.file("d.S19"), "S9030000FC\n");
    std::vector<std::string> inputs = {"notes.txt", "a.ini", "SETTINGS.INI", "b.s19",
                                       "noext",     "c.ini", "d.S19"};
    std::vector<std::string> args = {"out.vqu"};
    args.insert(args.end(), inputs.begin(), inputs.end());
    auto r = vqu(dir, args);
    EXPECT_EQ(r.status, 0) << "d.S19 is no second firmware file";
    EXPECT_EQ(r.err, "");
    // Untagged text joins the block before it: the header text, an .ini section or the firmware section.
    EXPECT_EQ(fx::readFile(dir.file("out.vqu")), header(dir, inputs) + "notes\r\n" +
                                                     "#!VQU-INI(a.ini)\r\na=1\r\n" + "upper=1\r\n" +
                                                     "#!VQU-S19(b.s19)\r\nS9030000FC\r\n" + "plain\r\n" +
                                                     "#!VQU-INI(c.ini)\r\nc=1\r\n" + "S9030000FC\r\n" + END);
}

TEST(Packer, BaseNamesDropDirectoriesOfEitherSlash) {
    fx::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("sub/dir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("mixed\\dir").c_str(), 0755), 0);
    fx::writeFile(dir.file("sub/dir/settings.ini"), "x=1\n");
    fx::writeFile(dir.file("sub\\dir\\other.ini"), "y=2\n"); // one name with backslashes in it here
    fx::writeFile(dir.file("mixed\\dir/last.s19"), "S9030000FC\n");
    std::vector<std::string> inputs = {"sub/dir/settings.ini", "sub\\dir\\other.ini", "mixed\\dir/last.s19"};
    auto r = vqu(dir, {"out.vqu", inputs[0], inputs[1], inputs[2]});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // The header lists every input as typed; the tag lines carry the name alone, whichever slash came last.
    EXPECT_EQ(fx::readFile(dir.file("out.vqu")), header(dir, inputs) + "#!VQU-INI(settings.ini)\r\nx=1\r\n" +
                                                     "#!VQU-INI(other.ini)\r\ny=2\r\n" +
                                                     "#!VQU-S19(last.s19)\r\nS9030000FC\r\n" + END);
}

TEST(Packer, LineEndsBecomeCrLf) {
    fx::TempDir dir;
    fx::writeFile(dir.file("mixed.ini"), "crlf\r\nlf\nlone\rcr\n\nlast");
    fx::writeFile(dir.file("empty.ini"), "");
    // The CR falls at the end of one 32768-byte read and its LF at the start of the next.
    std::string longLine(32767, 'x');
    fx::writeFile(dir.file("long.ini"), longLine + "\r\nnext\n");
    fx::writeFile(dir.file("cr.ini"), "ends in cr\r");
    fx::writeFile(dir.file("fw.s19"), "S9030000FC");
    std::vector<std::string> inputs = {"mixed.ini", "empty.ini", "long.ini", "cr.ini", "fw.s19"};
    auto r = vqu(dir, {"out.vqu", inputs[0], inputs[1], inputs[2], inputs[3], inputs[4]});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(fx::readFile(dir.file("out.vqu")),
              header(dir, inputs) + "#!VQU-INI(mixed.ini)\r\ncrlf\r\nlf\r\nlone\rcr\r\n\r\nlast\r\n" +
                  "#!VQU-INI(empty.ini)\r\n" + "#!VQU-INI(long.ini)\r\n" + longLine + "\r\nnext\r\n" +
                  "#!VQU-INI(cr.ini)\r\nends in cr\r\r\n" + "#!VQU-S19(fw.s19)\r\nS9030000FC\r\n" + END);
}

TEST(Packer, ExistingOutputIsLeftAlone) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), "S9030000FC\n");
    fx::writeFile(dir.file("out.vqu"), "mine");
    auto r = vqu(dir, {"out.vqu", "fw.s19"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR: Output file already exists, 'out.vqu', aborting.\n");
    EXPECT_EQ(fx::readFile(dir.file("out.vqu")), "mine");
    // A directory or a dangling link of that name is taken just as well.
    ASSERT_EQ(mkdir(dir.file("folder").c_str(), 0755), 0);
    ASSERT_EQ(symlink("nowhere", dir.file("dangling").c_str()), 0);
    for (std::string name : {"folder", "dangling"}) {
        r = vqu(dir, {name, "fw.s19"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "ERROR: Output file already exists, '" + name + "', aborting.\n");
    }
    EXPECT_EQ(fx::listDir(dir.path()), (std::vector<std::string>{"dangling", "folder", "fw.s19", "out.vqu"}));
    EXPECT_TRUE(fx::listDir(dir.file("folder")).empty());
}

TEST(Packer, FaultyInputListWritesNothing) {
    fx::TempDir dir;
    fx::writeFile(dir.file("a.s19"), "S9030000FC\n");
    fx::writeFile(dir.file("b.ini"), "b=1\n");
    fx::writeFile(dir.file("c.s19"), "S9030000FC\n");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"out.vqu", "a.s19", "b.ini", "c.s19"}, "ERROR: Found more than one s19 file in input list.\n"},
        {{"out.vqu", "b.ini", "missing.ini", "a.s19"},
         "ERROR: Can't open input file 'missing.ini', aborting.\n"},
        {{"out.vqu", "a.s19", "sub"}, "ERROR: Can't open input file 'sub', aborting.\n"},
    };
    for (const auto& c : cases) {
        // Run twice: the first run must leave nothing that makes the second one fail differently.
        for (int round = 0; round < 2; ++round) {
            auto r = vqu(dir, c.args);
            EXPECT_EQ(r.status, 1) << c.args[2];
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, c.err);
        }
    }
    EXPECT_EQ(fx::listDir(dir.path()), (std::vector<std::string>{"a.s19", "b.ini", "c.s19", "sub"}));
}

TEST(Packer, InputThatIsTheOutputIsRefused) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), "S9030000FC\n");
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink(".", dir.file("here").c_str()), 0);
    for (std::string same : std::vector<std::string>{"out.vqu", "./out.vqu", "sub/../out.vqu", "here/out.vqu",
                                                     dir.file("out.vqu")}) {
        auto r = vqu(dir, {"out.vqu", "fw.s19", same});
        EXPECT_EQ(r.status, 1) << same;
        EXPECT_EQ(r.err, "ERROR: Input file '" + same + "' is the output file, aborting.\n");
    }
    // Named the other way round: the output given by a longer path, the input by the plain name.
    auto r = vqu(dir, {"sub/../out.ini", "out.ini", "fw.s19"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Input file 'out.ini' is the output file, aborting.\n");
    EXPECT_EQ(fx::listDir(dir.path()), (std::vector<std::string>{"fw.s19", "here", "sub"}));
    EXPECT_TRUE(fx::listDir(dir.file("sub")).empty());
}

TEST(Packer, OutputThatCannotBeCreatedIsReported) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), "S9030000FC\n");
    auto r = vqu(dir, {"nodir/out.vqu", "fw.s19"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "ERROR: Can't create output file 'nodir/out.vqu': No such file or directory, aborting.\n");
    EXPECT_EQ(fx::listDir(dir.path()), std::vector<std::string>{"fw.s19"});
}

TEST(Packer, WriteFaultLeavesNoFile) {
    fx::TempDir dir;
    fx::writeFile(dir.file("big.ini"), std::string(20000, 'k') + "\n");
    fx::writeFile(dir.file("fw.s19"), "S9030000FC\n");
    // A file size limit makes the writes fail as a full disk would; vqu inherits it.
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    auto r = vqu(dir, {"out.vqu", "big.ini", "fw.s19"});
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("ERROR: Can't write output file 'out.vqu': ") + std::strerror(EFBIG) +
                         ", aborting.\n");
    EXPECT_EQ(fx::listDir(dir.path()), (std::vector<std::string>{"big.ini", "fw.s19"}));
}

TEST(Packer, OutputAppearingWhileWritingIsNotReplaced) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), "S9030000FC\n");
    ASSERT_EQ(mkfifo(dir.file("pipe.ini").c_str(), 0644), 0);
    fx::RunResult r;
    std::thread packer([&] { r = vqu(dir, {"out.vqu", "pipe.ini", "fw.s19"}); });
    // vqu opens its inputs only after finding no output; once it holds the pipe open, the output appears.
    int fd = -1;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (fd < 0 && std::chrono::steady_clock::now() < deadline) {
        fd = open(dir.file("pipe.ini").c_str(), O_WRONLY | O_NONBLOCK);
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (fd >= 0) {
        fx::writeFile(dir.file("out.vqu"), "theirs");
        EXPECT_EQ(write(fd, "k=1\n", 4), 4);
        close(fd);
    }
    packer.join();
    ASSERT_GE(fd, 0) << "vqu never opened its input";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Output file already exists, 'out.vqu', aborting.\n");
    EXPECT_EQ(fx::readFile(dir.file("out.vqu")), "theirs");
    EXPECT_EQ(fx::listDir(dir.path()), (std::vector<std::string>{"fw.s19", "out.vqu", "pipe.ini"}));
}

TEST(Packer, InterruptWhileWritingLeavesNoTemporary) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
        fx::TempDir dir;
        fx::writeFile(dir.file("fw.s19"), "S9030000FC\n");
        ASSERT_EQ(mkfifo(dir.file("pipe.ini").c_str(), 0644), 0);
        std::string output = dir.file("out.vqu"), pipe = dir.file("pipe.ini"), firmware = dir.file("fw.s19");
        char* argv[] = {const_cast<char*>("vqu"), &output[0], &pipe[0], &firmware[0], nullptr};
        pid_t pid = -1;
        ASSERT_EQ(posix_spawn(&pid, VQU_PROGRAM, nullptr, nullptr, argv, environ), 0);
        // vqu holds the pipe open for its .ini text and waits for it with its temporary file written in part.
        int fd = -1;
        bool temporarySeen = false;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!temporarySeen && std::chrono::steady_clock::now() < deadline) {
            if (fd < 0) fd = open(pipe.c_str(), O_WRONLY | O_NONBLOCK);
            for (const auto& name : fx::listDir(dir.path()))
                temporarySeen = temporarySeen || name.compare(0, 5, ".vqu-") == 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        kill(pid, signalNumber);
        int status = 0;
        waitpid(pid, &status, 0);
        if (fd >= 0) close(fd);
        EXPECT_TRUE(temporarySeen);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signalNumber) << signalNumber;
        EXPECT_EQ(fx::listDir(dir.path()), (std::vector<std::string>{"fw.s19", "pipe.ini"}));
    }
}

// A line that the reader would take for a tag is refused before anything is written: the reader would split
// the update there, and an "#!VQU-S19" line in an .ini file would replace the firmware. A pipe is looked
// through while it is copied, with the same ending.
TEST(Packer, InputLinesThatReadAsTagsAreRefused) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), "S9030000FC\n");
    const std::vector<std::tuple<std::string, std::string, int>> refused = {
        {"a.ini", "x=1\n#!VQU-S19(e.s19)\nS1050000AABB95\n", 2},
        {"b.s19", "#!VQU-INI(x.ini)\n", 1},
        {"notes.txt", "a\r\n\r\n#!VQUX", 3},
    };
    for (const auto& [name, content, line] : refused) {
        fx::writeFile(dir.file(name), content);
        auto r = vqu(dir, {"nodir/out.vqu", name});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err, "ERROR: Input file '" + name + "' line " + std::to_string(line) +
                             " begins with \"#!VQU\", aborting.\n");
        std::remove(dir.file(name).c_str());
    }
    ASSERT_EQ(mkfifo(dir.file("pipe.ini").c_str(), 0644), 0);
    std::thread writer([&] { fx::writeFile(dir.file("pipe.ini"), "k=1\n#!VQU-END\n"); });
    auto r = vqu(dir, {"out.vqu", "pipe.ini", "fw.s19"});
    writer.join();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Input file 'pipe.ini' line 2 begins with \"#!VQU\", aborting.\n");
    EXPECT_EQ(fx::listDir(dir.path()), (std::vector<std::string>{"fw.s19", "pipe.ini"}));
    // Only the start of a line counts.
    fx::writeFile(dir.file("ok.ini"), " #!VQU\na\r#!VQU\n#!VQ\n");
    r = vqu(dir, {"out.vqu", "ok.ini", "fw.s19"});
    EXPECT_EQ(r.status, 0) << r.err;
}

// With the disk full, vqu stops at the first failed write, even with an endless input.
TEST(Packer, FullDiskEndsTheRunAtOnce) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), "S9030000FC\n");
    ASSERT_EQ(mkdir(dir.file("small").c_str(), 0755), 0);
    if (mount("tmpfs", dir.file("small").c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    auto r = vqu(dir, {"small/out.vqu", "/dev/zero", "fw.s19"});
    std::vector<std::string> left = fx::listDir(dir.file("small"));
    umount2(dir.file("small").c_str(), MNT_DETACH);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, std::string("ERROR: Can't write output file 'small/out.vqu': ") + std::strerror(ENOSPC) +
                         ", aborting.\n");
    EXPECT_EQ(left, std::vector<std::string>{});
}

namespace {

/// Loads a file into a fresh image, extracting into installDir; a reader fault fails the test.
bool loadImage(FirmwareImage& image, const std::string& path, const std::string& installDir) {
    image.installDir = installDir;
    image.messageCallback = fx::captureSink;
    image.verbosity = 0;
    try {
        image.load(path);
    } catch (const s19Error& e) {
        ADD_FAILURE() << e.file << " line " << e.line << ": " << e.text;
        return false;
    }
    return true;
}

} // namespace

TEST(Packer, RoundTripThroughTheReader) {
    fx::TempDir dir;
    const std::string settings = "[serial]\r\nbaud=115200\r\n# a comment line\r\n";
    fx::writeFile(dir.file("settings.ini"), settings);
    fx::writeFile(dir.file("other.ini"), "a=1\nb=2\n");
    // The firmware's last line has no line end: the next tag must still start a line of its own.
    fx::writeFile(dir.file("fw.s19"), fx::srec(0, 0, {'v', 'q'}) + "\n" + fx::srec(1, 0xC000, fx::bytes(16)) +
                                          "\n" + fx::srec(1, 0xC010, fx::bytes(7, 0x80)) + "\n" +
                                          fx::srec(2, 0x3C8000, fx::bytes(32, 0x40)) + "\n" +
                                          fx::srec(9, 0xC000));
    FirmwareImage plain;
    ASSERT_TRUE(loadImage(plain, dir.file("fw.s19"), dir.path()));
    ASSERT_EQ(plain.recordCount(), 3u);

    const std::vector<std::vector<std::string>> orders = {{"settings.ini", "fw.s19", "other.ini"},
                                                          {"fw.s19", "other.ini", "settings.ini"}};
    for (size_t n = 0; n < orders.size(); ++n) {
        SCOPED_TRACE("order " + std::to_string(n));
        std::string output = "out" + std::to_string(n) + ".vqu";
        std::vector<std::string> args = {output};
        args.insert(args.end(), orders[n].begin(), orders[n].end());
        auto r = vqu(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;

        fx::TempDir install;
        FirmwareImage packed;
        fx::captured.clear();
        ASSERT_TRUE(loadImage(packed, dir.file(output), install.path()));
        EXPECT_NE(
            fx::captured.find("This Velquin Update file was constructed from the following input files:\n"),
            std::string::npos);

        // The firmware comes out record for record as from the plain file.
        EXPECT_EQ(packed.entryPoint, plain.entryPoint);
        EXPECT_EQ(packed.lowAddress, plain.lowAddress);
        EXPECT_EQ(packed.highAddress, plain.highAddress);
        ASSERT_EQ(packed.recordCount(), plain.recordCount());
        for (auto p = packed.records.begin(), q = plain.records.begin(); p != packed.records.end();
             ++p, ++q) {
            EXPECT_EQ(p->second.address, q->second.address);
            EXPECT_EQ(p->second.length, q->second.length);
            EXPECT_EQ(p->second.data, q->second.data);
        }
        // The .ini files come out byte for byte, in CR LF form, in the order packed.
        ASSERT_EQ(packed.extractedFiles.size(), 2u);
        std::vector<std::string> iniNames;
        for (const auto& name : orders[n]) {
            if (name != "fw.s19") iniNames.push_back(name);
        }
        for (size_t i = 0; i < 2; ++i) {
            const std::string& path = packed.extractedFiles[i];
            ASSERT_GE(path.size(), iniNames[i].size());
            EXPECT_EQ(path.substr(path.size() - iniNames[i].size()), iniNames[i]);
            EXPECT_EQ(fx::readFile(path), iniNames[i] == "settings.ini" ? settings : "a=1\r\nb=2\r\n")
                << path;
        }
    }
}

// Found by fuzzing the packer against the reader: a line feed in an input's name ended its line in the
// header, so that the rest could read as a tag line of its own; a ")" or a drive prefix in an .ini input's
// name, or a device name, gave a tag line that the downloader extracts under another name or refuses. vqu
// refuses such names up front.
TEST(Packer, NamesTheReaderCannotTakeBackAreRefused) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), "S9030000FC\n");
    const std::vector<std::string> refused = {"evil\n#!VQU-INI(x.ini)", "a\nb.ini", "a)b.ini", "C:c.ini",
                                              "nul.ini"};
    for (const std::string& name : refused) {
        fx::writeFile(dir.file(name), "k=1\n");
        auto r = vqu(dir, {"out.vqu", "fw.s19", name});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err,
                  "ERROR: Input file name '" + name + "' can't be stored in an update file, aborting.\n");
        EXPECT_FALSE(fx::fileExists(dir.file("out.vqu"))) << name;
        std::remove(dir.file(name).c_str());
    }
    // The reader uses neither the firmware's name nor an untagged input's: those names may hold a ")".
    fx::writeFile(dir.file("fw(1).s19"), "S9030000FC\n");
    fx::writeFile(dir.file("notes).txt"), "n\n");
    auto r = vqu(dir, {"out.vqu", "fw(1).s19", "notes).txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fx::readFile(dir.file("out.vqu")),
              header(dir, {"fw(1).s19", "notes).txt"}) + "#!VQU-S19(fw(1).s19)\r\nS9030000FC\r\nn\r\n" + END);
}
