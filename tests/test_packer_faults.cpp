// vqu runs that must leave no update file, or leave alone the one that is there: faulty inputs, outputs that
// cannot be written, interrupts and a full disk.
#include "test_packer.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

using namespace packer_test;

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
