// vqsim --control: units taken off their lines and fresh ones put on, as an operator swaps boards.
#include "fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

using fx::Bytes, fx::operator+, fx::DROP_IN, fx::DONE, fx::COLD_RESET, fx::NOT_RECOGNIZED, fx::writeBlock,
    fx::readBlock;

namespace {

/// Writes one line to the control FIFO.
void command(const std::string& fifo, const std::string& line) {
    const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0) << fifo;
    const std::string text = line + "\n";
    EXPECT_EQ(write(fd, text.data(), text.size()), ssize_t(text.size()));
    close(fd);
}

/// Writes one line and waits until vqsim has acted on it: the FIFO's lines are taken in order, so once a dump
/// asked for after it is on disk, the line was taken too. At most 10 s.
bool commandTaken(const std::string& fifo, const std::string& line, const std::string& marker) {
    command(fifo, line);
    command(fifo, "dump 1 " + marker);
    for (int i = 0; i < 1000 && !fx::fileExists(marker); ++i)
        usleep(10000);
    return fx::fileExists(marker);
}

} // namespace

TEST(Control, DetachSilencesOneUnitAndAttachPutsAFreshOneOnItsLine) {
    fx::TempDir dir;
    const std::string fifo = dir.file("control"), prefix = dir.file("vq-"), image = dir.file("old.s19");
    fx::writeFile(image, fx::s19({{0xC000, {0x11, 0x22}}}));
    // Standard error with standard output, for the complaints about lines that are no command.
    fx::Background vqsim("/bin/sh", {"-c",
                                     "exec \"$0\" --count 2 --link \"$1\" --control \"$2\" --preload "
                                     "\"$3\" 2>&1",
                                     VQSIM_PROGRAM, prefix, fifo, image});
    ASSERT_EQ(vqsim.line().compare(0, 9, "/dev/pts/"), 0);
    ASSERT_EQ(vqsim.line().compare(0, 9, "/dev/pts/"), 0);
    struct stat st;
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    fx::Peer unit0(prefix + "0"), unit1(prefix + "1");
    ASSERT_TRUE(unit0.isOpen() && unit1.isOpen());
    EXPECT_EQ(unit0.exchange(DROP_IN, 3), COLD_RESET);
    EXPECT_EQ(unit0.exchange(writeBlock(0xC000, {0xAB}), 3), DONE);
    EXPECT_EQ(unit1.exchange(DROP_IN, 3), COLD_RESET);

    // Its flash on demand, before it goes (the file's name is the rest of the line); then detached: nothing
    // answers, not even the drop-in string; the line stays open; the other unit answers.
    command(fifo, "dump 0 " + dir.file("unit 0.s19"));
    ASSERT_TRUE(commandTaken(fifo, "detach 0", dir.file("taken")));
    EXPECT_EQ(unit0.exchange(DROP_IN, 1, 500), Bytes{});
    EXPECT_FALSE(unit0.hungUp);
    EXPECT_EQ(unit1.exchange({0x0D}, 3), NOT_RECOGNIZED);
    EXPECT_NE(fx::readFile(dir.file("unit 0.s19")).find(fx::srec(1, 0xC000, {0xAB, 0x22})),
              std::string::npos);

    // Attached: a fresh unit runs its program (the drop-in string enters the monitor) with the preloaded
    // flash, not what the unit before held.
    ASSERT_TRUE(commandTaken(fifo, "attach 0", dir.file("attached 0")));
    ASSERT_EQ(unit0.exchange(DROP_IN, COLD_RESET.size(), 5000), COLD_RESET);
    EXPECT_EQ(unit0.exchange(readBlock(0xC000, 2), 5), (Bytes{0x11, 0x22} + DONE));

    // Lines that are no command are named on standard error and change nothing.
    command(fifo, "detach 2");
    command(fifo, "jump 1");
    command(fifo, "attach");
    command(fifo, "dump 1");
    command(fifo, "dump 1 " + dir.file("no-such-folder/unit"));
    ASSERT_TRUE(commandTaken(fifo, "attach 1", dir.file("attached 1")));
    ASSERT_EQ(unit1.exchange(DROP_IN, COLD_RESET.size(), 5000), COLD_RESET);
    EXPECT_NE(vqsim.until("No such file or directory")
                  .find("vqsim: control: \"detach 2\": no controller 2 (there are 2, counted from 0)\n"
                        "vqsim: control: \"jump 1\" is not \"detach N\", \"attach N\" or \"dump N FILE\"\n"
                        "vqsim: control: \"attach\" is not \"detach N\", \"attach N\" or \"dump N FILE\"\n"
                        "vqsim: control: \"dump 1\" is not \"detach N\", \"attach N\" or \"dump N FILE\"\n"
                        "vqsim: control: cannot write " +
                        dir.file("no-such-folder/unit") + ": No such file or directory\n"),
              std::string::npos)
        << vqsim.seen;
    EXPECT_EQ(unit0.exchange({0x0D}, 3), NOT_RECOGNIZED);
    unit0.close();
    unit1.close();
    std::string rest;
    EXPECT_EQ(vqsim.finish(SIGTERM, rest), 0);
    EXPECT_FALSE(fx::fileExists(fifo)) << "the FIFO vqsim made goes with it";
}

TEST(Control, RefusesAControlPathThatIsAnotherFile) {
    fx::TempDir dir;
    fx::writeFile(dir.file("plain"), "keep");
    fx::RunResult result = fx::run(VQSIM_PROGRAM, {"--control", dir.file("plain")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err,
              "vqsim: cannot make the control FIFO " + dir.file("plain") + ": it exists and is not a FIFO\n");
    EXPECT_EQ(fx::readFile(dir.file("plain")), "keep");
    result = fx::run(VQSIM_PROGRAM, {"--control"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "vqsim: --control needs a value\nTry \"vqsim --help\".\n");
}

TEST(Control, AnAttachedBootLoaderStartsAtItsPromptWithFlashErased) {
    auto sim = fx::startController(fx::bootLoaderOptions());
    fx::Peer peer(sim->devicePath());
    EXPECT_EQ(peer.exchange(fx::toBytes("u"), 15), fx::toBytes("u - waiting ..."));
    peer.send(fx::toBytes(fx::srec(1, 0x1000, {0x5A}) + "\r\n"));
    EXPECT_EQ(peer.read(1, 300), Bytes{}) << "lines are received without a word";
    sim->detach();
    EXPECT_FALSE(sim->attached());
    EXPECT_EQ(peer.exchange(fx::toBytes("\r"), 1, 300), Bytes{});
    sim->attach();
    EXPECT_TRUE(sim->attached());
    EXPECT_EQ(sim->peek(0x1000), 0xFF);
    // Not receiving any more: "w" is the wipe command, not part of a record line.
    EXPECT_EQ(peer.exchange(fx::toBytes("w"), 18), fx::toBytes("w  Complete\r\nBoot>"));
}
