// Faults on the disk side (.ini extraction, vqu's output directory) and two downloaders on one port.
#include "fault_matrix.h"

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace matrix;

// ---- The disk side ----

namespace {

/// An update file made by hand: a text block, one .ini block (its tag on line 3) and the firmware.
std::string updateFile() {
    return "#!VQU-OUT\r\nUpdate for the fault tests\r\n#!VQU-INI(settings.ini)\r\n[serial]\r\nbaud=115200\r\n"
           "#!VQU-S19(fw.s19)\r\n" +
           fx::srec(1, 0x4000, {0x11}) + "\r\n" + fx::srec(9, 0x4000) + "\r\n#!VQU-END\r\n";
}

} // namespace

// The install directory is missing, or a regular file stands where it should be: the run ends with status 3
// before the port is opened, and nothing is written anywhere.
TEST(DiskFaults, IniExtractionWithoutItsDirectory) {
    auto sim = fx::startController(); // a VQ-II controller that the runs never reach
    fx::TempDir dir;
    fx::writeFile(dir.file("update.vqu"), updateFile());
    fx::writeFile(dir.file("blocker"), "a file, not a directory\n");
    for (const std::string installDir : {"missing", "blocker"}) {
        SCOPED_TRACE(installDir);
        const fx::RunResult r =
            fx::run(VQ2DL_PROGRAM, {"-c", sim->devicePath(), "-i", installDir, "update.vqu"}, dir.path(),
                    RUN_LIMIT_MS);
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.out, "Velquin Download 2.00\n\nReading update.vqu:\nUpdate for the fault tests\n"
                         "ERROR: Reading update.vqu line 3: Could not open " +
                             installDir + "/settings.ini for output.\n");
        EXPECT_EQ(fx::listDir(dir.path()), (Texts{"blocker", "update.vqu"}));
        EXPECT_EQ(fx::readFile(dir.file("blocker")), "a file, not a directory\n");
        EXPECT_LT(r.seconds, HANG);
    }
    EXPECT_TRUE(sim->received().empty()) << "the port was opened";
}

// A block whose file cannot be replaced (a directory stands at its name) ends the run at its tag line; the
// block before it was extracted whole, and nothing of the failed one is left.
TEST(DiskFaults, IniBlockThatCannotReplaceItsTarget) {
    auto sim = fx::startController(); // a VQ-II controller that the runs never reach
    fx::TempDir dir;
    fx::writeFile(dir.file("update.vqu"),
                  "#!VQU-INI(a.ini)\r\nx=1\r\n#!VQU-INI(b.ini)\r\ny=2\r\n#!VQU-END\r\n");
    ASSERT_EQ(mkdir(dir.file("inst").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("inst/b.ini").c_str(), 0755), 0);
    const fx::RunResult r = fx::run(VQ2DL_PROGRAM, {"-c", sim->devicePath(), "-i", "inst", "update.vqu"},
                                    dir.path(), RUN_LIMIT_MS);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "Velquin Download 2.00\n\nReading update.vqu:\n   Extracted inst/a.ini\n"
                     "ERROR: Reading update.vqu line 3: Could not open inst/b.ini for output.\n");
    EXPECT_EQ(fx::listDir(dir.file("inst")), (Texts{"a.ini", "b.ini"}));
    EXPECT_EQ(fx::readFile(dir.file("inst/a.ini")), "x=1\r\n");
    EXPECT_TRUE(fx::listDir(dir.file("inst/b.ini")).empty());
    EXPECT_TRUE(sim->received().empty()) << "the port was opened";
}

// vqu's output directory is a regular file from the start: nothing is written.
TEST(DiskFaults, PackerOutputDirectoryIsAFile) {
    fx::TempDir dir;
    fx::writeFile(dir.file("settings.ini"), "k=1\n");
    fx::writeFile(dir.file("fw.s19"), fx::srec(9, 0) + "\n");
    fx::writeFile(dir.file("out"), "a file, not a directory\n");
    const fx::RunResult r =
        fx::run(VQU_PROGRAM, {"out/update.vqu", "settings.ini", "fw.s19"}, dir.path(), RUN_LIMIT_MS);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ERROR: Can't create output file 'out/update.vqu': Not a directory, aborting.\n");
    EXPECT_EQ(fx::listDir(dir.path()), (Texts{"fw.s19", "out", "settings.ini"}));
    EXPECT_EQ(fx::readFile(dir.file("out")), "a file, not a directory\n");
}

// vqu's output directory vanishes (or a file takes its place) while the update file is being written: the
// run fails with status 1 and the reason, and no temporary file is left anywhere.
TEST(DiskFaults, PackerOutputDirectoryVanishesWhileWriting) {
    for (bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "replaced by a file" : "removed");
        fx::TempDir dir;
        fx::writeFile(dir.file("fw.s19"), fx::srec(9, 0) + "\n");
        ASSERT_EQ(mkfifo(dir.file("pipe.ini").c_str(), 0644), 0);
        ASSERT_EQ(mkdir(dir.file("out").c_str(), 0755), 0);
        fx::RunResult r;
        std::thread packer([&] {
            r = fx::run(VQU_PROGRAM, {"out/update.vqu", "pipe.ini", "fw.s19"}, dir.path(), RUN_LIMIT_MS);
        });
        // vqu holds the pipe open for reading, creates its temporary file beside the output, and waits for
        // the pipe's text: that is when the directory goes.
        int fd = -1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (fd < 0 && std::chrono::steady_clock::now() < deadline) {
            fd = open(dir.file("pipe.ini").c_str(), O_WRONLY | O_NONBLOCK);
            if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Texts temporaries;
        while (fd >= 0 && temporaries.empty() && std::chrono::steady_clock::now() < deadline) {
            temporaries = fx::listDir(dir.file("out"));
            if (temporaries.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        for (const std::string& name : temporaries)
            unlink(dir.file("out/" + name).c_str());
        rmdir(dir.file("out").c_str());
        if (replaced) fx::writeFile(dir.file("out"), "theirs\n");
        if (fd >= 0) {
            EXPECT_EQ(write(fd, "k=1\n", 4), 4);
            close(fd);
        }
        packer.join();
        ASSERT_GE(fd, 0) << "vqu never opened its input";
        ASSERT_EQ(temporaries.size(), 1u) << "no temporary file beside the output";
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, std::string("ERROR: Can't create output file 'out/update.vqu': ") +
                             (replaced ? "Not a directory" : "No such file or directory") + ", aborting.\n");
        const Texts left = replaced ? Texts{"fw.s19", "out", "pipe.ini"} : Texts{"fw.s19", "pipe.ini"};
        EXPECT_EQ(fx::listDir(dir.path()), left);
        if (replaced) {
            EXPECT_EQ(fx::readFile(dir.file("out")), "theirs\n");
        }
    }
}

// ---- Two downloaders on one port ----

// The first vq2dl holds the port through a long wipe delay; the second cannot open it (status 2) and sends
// nothing, and the first completes its download.
TEST(TwoDownloaders, SecondFailsOnThePortAndTheFirstCompletes) {
    auto sim = fx::startController();
    fx::TempDir dir;
    const std::string file = dir.file("firmware.s19");
    fx::writeFile(file, VQ2.file);
    fx::RunResult first;
    std::atomic<bool> firstDone{false};
    std::thread run([&] {
        first = fx::run(VQ2DL_PROGRAM, {"-c", sim->devicePath(), "-dw", "500", file}, "", RUN_LIMIT_MS);
        firstDone = true;
    });
    // The drop-in string has arrived once the first holds the port.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sim->received().size() < 14 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const fx::RunResult second = fx::run(VQ2DL_PROGRAM, {"-c", sim->devicePath(), file}, "", RUN_LIMIT_MS);
    const bool secondEndedFirst = !firstDone;
    run.join();

    EXPECT_EQ(second.status, 2);
    const std::string refused =
        "File read successfully.\n\nDownload failed:\r\n   Could not open comm port " + sim->devicePath() +
        ".\n   Reason: in use by another program.\n";
    ASSERT_GE(second.out.size(), refused.size()) << second.out;
    EXPECT_EQ(second.out.substr(second.out.size() - refused.size()), refused);
    EXPECT_TRUE(secondEndedFirst) << "the second run waited for the port";
    EXPECT_LT(second.seconds, HANG);

    EXPECT_EQ(first.status, 0) << first.out;
    const std::string done = "Opened comm port " + sim->devicePath() + " at 115200.\n" + vq2(VQ2_ALL, "");
    ASSERT_GE(first.out.size(), done.size()) << first.out;
    EXPECT_EQ(first.out.substr(first.out.size() - done.size()), done);
    for (const auto& byte : VQ2.flash)
        EXPECT_EQ(sim->peek(byte.first), byte.second) << "flash at 0x" << std::hex << byte.first;
    // One drop-in string, one probe, one erase: only the first run spoke on the line.
    const vqsim::Counters counters = sim->counters();
    EXPECT_EQ(counters.probes, 1u);
    EXPECT_EQ(counters.mainErases, 1u);
}
