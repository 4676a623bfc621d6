// The files a run writes: never one of its inputs or another of its outputs, never a device, a FIFO or a
// link, no .ini file touched by a read-back, and a support log that ends with the exit status.
#include "fixture.h"

#include <csignal>
#include <regex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using fx::Texts;

const std::string FIRMWARE = fx::s19({{0x4000, fx::bytes(20)}}, 0x4000);

/// The kind of what stands at a path, links not followed; 0 when nothing does.
mode_t kindAt(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

/// True when the log's last line is "Exit status N." with its stamp.
::testing::AssertionResult endsWithStatus(const std::string& log, int status) {
    const std::regex last("\n *[0-9]+ ms  Exit status " + std::to_string(status) + "\\.\n$");
    if (std::regex_search(log, last)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the log does not end with status " << status << ":\n" << log;
}

/// Runs vq2dl on a controller that stays silent, with the arguments, and ends it with a signal once it
/// holds the port; the exit status.
int killedWhileWaiting(Texts args, int signalNumber) {
    auto sim = fx::startController(fx::monitorOptions({"silent@any"}));
    args.insert(args.begin(), {VQ2DL_PROGRAM, "-c", sim->devicePath()});
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execv(VQ2DL_PROGRAM, argv.data());
        _exit(127);
    }
    // The first byte on the line shows that vq2dl holds the port open.
    const auto start = fx::Clock::now();
    while (sim->received().empty() && fx::msSince(start) < 10000)
        usleep(1000);
    EXPECT_FALSE(sim->received().empty());
    kill(pid, signalNumber);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

// An output that is one of the firmware files or the other output, however spelled, ends the run before
// anything is written, the log's header included, or sent.
TEST(Outputs, OneOfTheInputsOrTheOtherOutputIsRefused) {
    fx::TempDir dir;
    const std::string fw = dir.file("fw.s19"), hard = dir.file("hard.s19");
    fx::writeFile(fw, FIRMWARE);
    ASSERT_EQ(link(fw.c_str(), hard.c_str()), 0);
    const std::string respelled = dir.path() + "/./fw.s19", fresh = dir.file("new.s19");
    struct Case {
        Texts args;
        std::string out;
    };
    const std::vector<Case> cases = {
        {{"--read", fw, fw}, fw + " is both the --read file and a firmware file"},
        {{"--read", hard, fw}, hard + " is both the --read file and a firmware file"},
        {{"--read", respelled, "-i", dir.path(), fw},
         respelled + " is both the --read file and a firmware file"},
        {{"--log", respelled, fw}, respelled + " is both the --log file and a firmware file"},
        {{"--log", fresh, "--read", dir.path() + "/./new.s19"},
         dir.path() + "/./new.s19 is both the --read file and the --log file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.out);
        fx::Rig controller;
        ASSERT_TRUE(controller.start());
        const fx::RunResult r = controller.run(c.args);
        EXPECT_EQ(r.status, EXIT_USAGE);
        EXPECT_EQ(r.out, "ERROR: " + c.out + ".\n");
        EXPECT_TRUE(controller.sim->received().empty());
        EXPECT_EQ(fx::listDir(dir.path()), (Texts{"fw.s19", "hard.s19"}));
        EXPECT_EQ(fx::readFile(fw), FIRMWARE);
    }
}

/// Runs vq2dl with --read or --log on each node, and expects the refusal and the node as it was.
void expectRefused(const std::string& fw, const std::vector<std::pair<std::string, std::string>>& nodes) {
    for (const auto& node : nodes) {
        const mode_t kind = kindAt(node.first);
        for (const Texts& args : {Texts{"--read", node.first}, Texts{"--log", node.first, fw},
                                  Texts{"--list-ports", "--log", node.first}}) {
            SCOPED_TRACE(args[0] + " " + node.first);
            fx::Rig controller;
            ASSERT_TRUE(controller.start());
            // A FIFO without a reader used to hold the run for ever.
            const fx::RunResult r = controller.run(args, "", 10000);
            EXPECT_EQ(r.status, EXIT_USAGE);
            const std::string role = args[0] == "--read" ? "--read" : "--log";
            EXPECT_EQ(r.out, "ERROR: " + node.first + " (the " + role + " file) is " + node.second +
                                 ", not a regular file.\n");
            EXPECT_TRUE(controller.sim->received().empty());
            EXPECT_EQ(kindAt(node.first), kind);
        }
    }
    EXPECT_EQ(fx::readFile(fw), FIRMWARE) << "the file a link leads to";
}

TEST(Outputs, FifoOrLinkIsNeverWrittenOrReplaced) {
    fx::TempDir dir;
    const std::string fw = dir.file("fw.s19"), fifo = dir.file("fifo"), link = dir.file("link"),
                      dangling = dir.file("dangling");
    fx::writeFile(fw, FIRMWARE);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(symlink(fw.c_str(), link.c_str()), 0);
    ASSERT_EQ(symlink("nothing", dangling.c_str()), 0);
    expectRefused(fw, {{fifo, "a FIFO"}, {link, "a symbolic link"}, {dangling, "a symbolic link"}});
}

TEST(Outputs, DeviceIsNeverWrittenOrReplaced) {
    if (geteuid() != 0) GTEST_SKIP() << "making a device node with mknod needs root";
    fx::TempDir dir;
    const std::string fw = dir.file("fw.s19"), node = dir.file("fakenull");
    fx::writeFile(fw, FIRMWARE);
    ASSERT_EQ(mknod(node.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    expectRefused(fw, {{node, "a device"}});
}

// A read-back of an update reads its records and leaves the installed configuration alone; an .ini name that
// is a FIFO or a link in the install directory ends a download before the port is opened.
TEST(Outputs, IniFilesAreNeverReplacedByAReadOrOverAnode) {
    fx::TempDir dir, installed;
    const std::string update = dir.file("u.vqu"), ini = installed.file("a.ini");
    fx::writeFile(update, "#!VQU-INI(a.ini)\r\nnew=1\r\n#!VQU-S19\r\n" + FIRMWARE);
    fx::writeFile(ini, "old=0\r\n");
    fx::Rig controller;
    ASSERT_TRUE(controller.start());
    const fx::RunResult r =
        controller.run({"-i", installed.path(), "--read", dir.file("backup.s19"), update});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("Extracted"), std::string::npos) << r.out;
    EXPECT_EQ(fx::readFile(ini), "old=0\r\n");
    EXPECT_EQ(fx::listDir(installed.path()), Texts{"a.ini"});
    EXPECT_NE(fx::readFile(dir.file("backup.s19")).find(fx::srec(1, 0x4000, fx::Bytes(20, 0xFF))),
              std::string::npos)
        << "the update's records, read";

    struct Case {
        std::function<int()> make;
        const char* kind;
    };
    const std::vector<Case> cases = {
        {[&] { return mkfifo(ini.c_str(), 0600); }, "a FIFO"},
        {[&] { return symlink(update.c_str(), ini.c_str()); }, "a symbolic link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        std::remove(ini.c_str());
        ASSERT_EQ(c.make(), 0);
        const mode_t kind = kindAt(ini);
        const fx::RunResult d =
            fx::run(VQ2DL_PROGRAM, {"-c", "/nonexistent/port", "-i", installed.path(), update});
        EXPECT_EQ(d.status, EXIT_FILE);
        EXPECT_TRUE(fx::endsWith(d.out, "ERROR: Reading " + update + " line 1: " + ini + " is " + c.kind +
                                            ", not a regular file.\n"));
        EXPECT_EQ(kindAt(ini), kind);
        EXPECT_EQ(fx::listDir(installed.path()), Texts{"a.ini"});
    }
}

// The support log's last line is the exit status, after a success, a protocol failure and a signal.
TEST(Log, EndsWithTheExitStatus) {
    fx::TempDir dir;
    const std::string fw = dir.file("fw.s19"), log = dir.file("vq2dl.log");
    fx::writeFile(fw, FIRMWARE);
    for (const Texts& faults : {Texts{}, Texts{"error@writeblock#1=0xE6"}}) {
        fx::Rig controller(fx::monitorOptions(faults));
        ASSERT_TRUE(controller.start());
        const fx::RunResult r = controller.run({"--log", log}, fw);
        const int status = faults.empty() ? EXIT_DONE : EXIT_PROTOCOL;
        EXPECT_EQ(r.status, status) << r.out;
        EXPECT_TRUE(endsWithStatus(fx::readFile(log), status));
        std::remove(log.c_str());
    }
    EXPECT_EQ(killedWhileWaiting({"--log", log, "-w"}, SIGTERM), 128 + SIGTERM);
    EXPECT_TRUE(endsWithStatus(fx::readFile(log), 128 + SIGTERM));
}

// A log that cannot be written to the end (here a file size limit, as a full disk) leaves the run's status
// and console as they are, and says so once on standard error.
TEST(Log, ThatCannotBeWrittenKeepsTheRunsStatus) {
    fx::TempDir dir;
    const std::string fw = dir.file("fw.s19"), log = dir.file("vq2dl.log");
    fx::writeFile(fw, FIRMWARE);
    for (const char* blocks : {"0", "1"}) {
        SCOPED_TRACE(blocks);
        std::remove(log.c_str());
        fx::Rig controller;
        ASSERT_TRUE(controller.start());
        const fx::RunResult r =
            fx::run("/bin/sh", {"-c", std::string("ulimit -f ") + blocks + "; trap '' XFSZ; exec \"$@\"",
                                "sh", VQ2DL_PROGRAM, "-c", controller.sim->devicePath(), "--log", log, fw});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(fx::endsWith(r.out, "Verification succeeded, 1 records total (0 skipped).\n"));
        EXPECT_EQ(r.err, "WARNING: The log file " + log + " is incomplete: file too large.\n");
        EXPECT_LE(fx::readFile(log).size(), 1024u);
    }
}
