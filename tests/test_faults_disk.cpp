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
// block before it, read whole, is not put in place either (the update was not read to its end), and nothing
// of either is left.
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
    EXPECT_EQ(fx::listDir(dir.file("inst")), (Texts{"b.ini"}));
    EXPECT_TRUE(fx::listDir(dir.file("inst/b.ini")).empty());
    EXPECT_TRUE(sim->received().empty()) << "the port was opened";
}

// An update's .ini files go in place only once every file was read and the image accepted: a refused image
// leaves the installation as it was, with no temporary beside it; an update without any S-record still
// installs them (and is refused), and a verification extracts them.
TEST(DiskFaults, IniFilesGoInPlaceOnlyWithAnAcceptedImage) {
    auto sim = fx::startController();
    fx::TempDir dir;
    auto update = [](const std::string& records) {
        return "#!VQU-INI(a.ini)\r\nnew=1\r\n#!VQU-INI(b.ini)\r\nnew=2\r\n#!VQU-S19(fw.s19)\r\n" + records +
               "#!VQU-END\r\n";
    };
    const std::string good = fx::srec(1, 0x4000, {0x11}) + "\r\n" + fx::srec(9, 0x4000) + "\r\n";
    fx::writeFile(dir.file("checksum.vqu"), update(good + "S1054000AABB00\r\n"));
    fx::writeFile(dir.file("overlap.vqu"),
                  update(fx::srec(1, 0x4000, {1, 2}) + "\r\n" + fx::srec(1, 0x4001, {3}) + "\r\n"));
    fx::writeFile(dir.file("vq1.vqu"), update(fx::srec(2, 0x10000, {1}) + "\r\n"));
    fx::writeFile(dir.file("plain.s19"), fx::srec(1, 0x4000, {0x22}) + "\n");
    fx::writeFile(dir.file("bad.s19"), "S1FF\n");
    fx::writeFile(dir.file("good.vqu"), update(good));
    fx::writeFile(dir.file("none.vqu"), update(""));
    struct Case {
        Texts files;
        bool verify;
        int status;
        std::string error; ///< the end of the console text
        bool installed;
    };
    const std::vector<Case> cases = {
        {{"checksum.vqu"}, false, 3, "line 8: Invalid checksum, found 0x00, expected 0x55.\n", false},
        {{"overlap.vqu"}, false, 3, "overlaps the record at 0x4000 (overlap.vqu line 6).\n", false},
        {{"vq1.vqu"}, false, 3, "cannot be sent to a VQ-I controller: address above 0xFFFF.\n", false},
        // A later file that cannot be read: the first one's files stay where they were read.
        {{"good.vqu", "bad.s19"}, false, 3, "Reading bad.s19 line 1: ", false},
        {{"plain.s19", "overlap.vqu"}, false, 3, "(overlap.vqu line 6).\n", false},
        {{"none.vqu"}, false, 3, "ERROR: No S-records to download in none.vqu.\n", true},
        {{"good.vqu"}, true, 0, "Verification succeeded, 1 records total (0 skipped).\n", true},
    };
    fx::pokeMemory(*sim, 0x4000, {0x11});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.files[0] + (c.files.size() > 1 ? " " + c.files[1] : ""));
        fx::TempDir inst;
        fx::writeFile(inst.file("a.ini"), "old=1\r\n");
        Texts args = {"-c", sim->devicePath(), "-i", inst.path()};
        if (c.verify) args.push_back("-V");
        args.insert(args.end(), c.files.begin(), c.files.end());
        const fx::RunResult r = fx::run(VQ2DL_PROGRAM, args, dir.path(), RUN_LIMIT_MS);
        EXPECT_EQ(r.status, c.status) << r.out;
        EXPECT_NE(r.out.find("   Extracted " + inst.file("a.ini") + "\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(c.error), std::string::npos) << r.out;
        const Texts installed = c.installed ? Texts{"a.ini", "b.ini"} : Texts{"a.ini"};
        EXPECT_EQ(fx::listDir(inst.path()), installed);
        EXPECT_EQ(fx::readFile(inst.file("a.ini")), c.installed ? "new=1\r\n" : "old=1\r\n");
    }
    // Only the verification opened the port.
    EXPECT_EQ(sim->counters().probes, 1u);
}

// A closed standard output (a service that starts the program so) is taken by no file the run opens: the
// console text goes nowhere and the files hold only their own text.
TEST(DiskFaults, ClosedStandardOutputIsTakenByNoFile) {
    auto sim = fx::startController(fx::monitorOptions({}, true));
    fx::pokeMemory(*sim, 0x4000, fx::bytes(64, 1));
    fx::TempDir dir;
    // The shell starts the program with descriptors 0 and 1 closed.
    const std::string closed = "exec \"$0\" \"$@\" <&- >&-";
    fx::RunResult r = fx::run("/bin/sh",
                              {"-c", closed, VQ2DL_PROGRAM, "-c", sim->devicePath(), "--read", "backup.s19",
                               "--range", "0x4000-0x403F", "--log", "run.log", "--results", "units.jsonl"},
                              dir.path(), RUN_LIMIT_MS);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string backup = fx::readFile(dir.file("backup.s19"));
    EXPECT_EQ(backup.compare(0, 2, "S0"), 0) << backup;
    EXPECT_EQ(backup.find("Velquin"), std::string::npos) << backup;
    EXPECT_NE(backup.find(fx::srec(1, 0x4000, fx::bytes(32, 1))), std::string::npos) << backup;
    EXPECT_EQ(fx::readFile(dir.file("units.jsonl")).compare(0, 8, "{\"v\":1,\""), 0);
    // The controller heard the read-back's commands alone: no console text reached the line.
    for (const std::string& command : fx::commands(sim->received()))
        EXPECT_TRUE(command.compare(0, 2, "A7") == 0 || command.compare(0, 2, "A2") == 0 ||
                    command == "PROBE" || command == "DROPIN" || command == "RESET")
            << command;

    // The packer: the update it writes holds no console text.
    fx::writeFile(dir.file("set.ini"), "k=1\r\n");
    fx::writeFile(dir.file("fw.s19"), fx::srec(1, 0x4000, {1}) + "\n");
    r = fx::run("/bin/sh", {"-c", closed, VQU_PROGRAM, "out.vqu", "set.ini", "fw.s19"}, dir.path(),
                RUN_LIMIT_MS);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fx::readFile(dir.file("out.vqu")).compare(0, 9, "#!VQU-OUT"), 0);
}

// A file size limit: a write that crosses it fails like one to a full disk instead of killing the program.
// The read-back ends with its status and no temporary; a log that crosses it ends, and the run goes on.
TEST(DiskFaults, FileSizeLimitFailsAWriteAndKillsNothing) {
    auto sim = fx::startController(fx::monitorOptions({}, true));
    fx::pokeMemory(*sim, 0x4000, fx::bytes(2048, 1));
    fx::TempDir dir;
    // 1 in the shell's blocks of 512 bytes (dash) or 1024 (bash): either is less than the file.
    const std::string limited = "ulimit -f 1 && exec \"$0\" \"$@\"";
    fx::RunResult r = fx::run("/bin/sh",
                              {"-c", limited, VQ2DL_PROGRAM, "-c", sim->devicePath(), "--read", "backup.s19",
                               "--range", "0x4000-0x47FF"},
                              dir.path(), RUN_LIMIT_MS);
    EXPECT_EQ(r.status, 3) << r.out;
    EXPECT_TRUE(fx::endsWith(r.out, "ERROR: Could not write backup.s19: File too large.\n")) << r.out;
    EXPECT_EQ(fx::listDir(dir.path()), Texts{});

    fx::writeFile(dir.file("fw.s19"), fx::srec(1, 0x4000, fx::bytes(16)) + "\n");
    r = fx::run("/bin/sh",
                {"-c", limited, VQ2DL_PROGRAM, "-c", sim->devicePath(), "-v4", "--log", "run.log", "fw.s19"},
                dir.path(), RUN_LIMIT_MS);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(fx::endsWith(r.out, "Verification succeeded, 1 records total (0 skipped).\n")) << r.out;
    EXPECT_NE(r.err.find("run.log"), std::string::npos) << r.err;
    EXPECT_EQ(fx::listDir(dir.path()), (Texts{"fw.s19", "run.log"}));
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
