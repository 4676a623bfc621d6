// Serial numbers below the program: the formats' bytes, the counter file's lines, taking numbers from real
// files on disk (the journal, its lock, a counter restored from a backup, a journal cut short), and many
// processes taking from one counter at once.
#include "fixture.h"

#include "serials/serials.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using fx::Bytes;

serials::Format format(const std::string& name) {
    serials::Format f;
    EXPECT_TRUE(serials::parseFormat(name, f)) << name;
    return f;
}

serials::JournalEntry who(const std::string& port = "A") {
    serials::JournalEntry entry;
    entry.host = "host";
    entry.port = port;
    entry.run = "run";
    return entry;
}

/// Takes a number from the counter; the failure's text, or "" when one was taken.
std::string take(const std::string& counter, uint64_t& number, uint64_t limit = UINT64_MAX) {
    serials::Failure failure;
    return serials::takeNumber(counter, who(), limit, number, failure) ? "" : failure.text;
}

/// The journal's lines, each parsed.
std::vector<nlohmann::json> journal(const std::string& counter) {
    std::vector<nlohmann::json> lines;
    for (const std::string& line : fx::linesOf(fx::readFile(serials::journalPath(counter))))
        lines.push_back(nlohmann::json::parse(line));
    return lines;
}

} // namespace

TEST(SerialFormats, EachFormatsBytesAndText) {
    struct Case {
        const char* format;
        uint64_t value;
        Bytes bytes;
        const char* text;
    };
    const Case cases[] = {
        {"u16le", 0x1234, {0x34, 0x12}, "4660"},
        {"u16be", 0x1234, {0x12, 0x34}, "4660"},
        {"u32le", 1000003, {0x43, 0x42, 0x0F, 0x00}, "1000003"},
        {"u32be", 1000003, {0x00, 0x0F, 0x42, 0x43}, "1000003"},
        {"u64le", 0x0102030405060708, {8, 7, 6, 5, 4, 3, 2, 1}, "72623859790382856"},
        {"u64be", 0x0102030405060708, {1, 2, 3, 4, 5, 6, 7, 8}, "72623859790382856"},
        {"dec:8", 1000003, fx::toBytes("01000003"), "01000003"},
        {"hex:6", 1000003, fx::toBytes("0F4243"), "0F4243"},
        {"dec:1", 0, fx::toBytes("0"), "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        const serials::Format f = format(c.format);
        EXPECT_EQ(serials::encode(f, c.value), c.bytes);
        EXPECT_EQ(serials::textOf(f, c.value), c.text);
        uint64_t back = 0;
        EXPECT_TRUE(serials::decode(f, c.bytes, back));
        EXPECT_EQ(back, c.value);
    }
    EXPECT_EQ(serials::maxValue(format("u16le")), 0xFFFFu);
    EXPECT_EQ(serials::maxValue(format("dec:3")), 999u);
    EXPECT_EQ(serials::maxValue(format("hex:4")), 0xFFFFu);
    EXPECT_EQ(serials::maxValue(format("dec:30")), UINT64_MAX);
    EXPECT_EQ(serials::hexBytes({0x00, 0x0F, 0x42, 0x43}), "00 0F 42 43");
    // Bytes that are no number of the format: lower-case or other characters, the wrong length.
    uint64_t value = 0;
    EXPECT_FALSE(serials::decode(format("hex:2"), fx::toBytes("0f"), value));
    EXPECT_FALSE(serials::decode(format("dec:2"), fx::toBytes("1 "), value));
    EXPECT_FALSE(serials::decode(format("u32le"), {1, 2}, value));
}

TEST(SerialFormats, PlacesAndNumbersThatAreRefused) {
    uint32_t address = 0;
    serials::Format f;
    EXPECT_TRUE(serials::parsePlacement("0x7FF0:u32be", address, f));
    EXPECT_EQ(address, 0x7FF0u);
    EXPECT_TRUE(serials::parsePlacement("32752:dec:10", address, f));
    EXPECT_EQ(address, 0x7FF0u);
    EXPECT_EQ(f.width, 10u);
    for (const char* bad : {"0x7FF0", "0x7FF0:", ":u32be", "0x7FF0:u24le", "0x7FF0:dec:0", "0x7FF0:dec:65",
                            "0x7FF0:hex:x", "0x1000000:u16le", "7FF0:u16le", "-1:u16le"})
        EXPECT_FALSE(serials::parsePlacement(bad, address, f)) << bad;
    uint64_t value = 0;
    EXPECT_TRUE(serials::parseNumber("18446744073709551615", value));
    EXPECT_EQ(value, UINT64_MAX);
    for (const char* bad : {"", "18446744073709551616", "-1", "+1", "1e3", "0x", "12 "})
        EXPECT_FALSE(serials::parseNumber(bad, value)) << bad;
}

TEST(SerialCounter, LinesReadAndFaultsNamed) {
    serials::Counter counter;
    serials::Failure failure;
    ASSERT_TRUE(serials::parseCounter("# line 3\n\n next = 1000 \r\nlast=1999\nstep=2\n", counter, failure));
    EXPECT_EQ(counter.next, 1000u);
    EXPECT_TRUE(counter.hasLast);
    EXPECT_EQ(counter.last, 1999u);
    EXPECT_EQ(counter.step, 2u);
    EXPECT_EQ(serials::numbersLeft(counter, UINT64_MAX), 500u);
    EXPECT_EQ(serials::numbersLeft(counter, 1010), 6u);
    struct Case {
        const char* text;
        int line;
        const char* fault;
    };
    const Case cases[] = {
        {"# nothing\n", 1, "no line next=N"},
        {"next=1\nnext=2\n", 2, "'next' given twice"},
        {"next=1\nlimit=3\n", 2, "unknown key 'limit'"},
        {"next=abc\n", 1, "'abc' is no whole number"},
        {"next=1\nstep=0\n", 2, "'0' is no step above 0"},
        {"next 1\n", 1, "not a line key=value"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_FALSE(serials::parseCounter(c.text, counter, failure));
        EXPECT_EQ(failure.line, c.line);
        EXPECT_EQ(failure.text, c.fault);
    }
    // A new next keeps everything else of the file, comments and line ends included.
    EXPECT_EQ(serials::rewriteCounter("# line 3\nnext=5\r\nlast=9\n", 6), "# line 3\nnext=6\r\nlast=9\n");
}

TEST(SerialCounter, TakesInTurnJournalsAndNeverGivesANumberTwice) {
    fx::TempDir dir;
    const std::string counter = dir.file("serials");
    uint64_t number = 0;
    // Missing: never created for the user.
    EXPECT_EQ(take(counter, number), "cannot be read (start one with the line next=1)");
    EXPECT_FALSE(fx::fileExists(counter));
    EXPECT_FALSE(fx::fileExists(serials::journalPath(counter)));

    // A link in the counter's place would be replaced by a file of its own, and the counter it names left
    // behind.
    ASSERT_EQ(symlink("elsewhere", counter.c_str()), 0);
    EXPECT_EQ(take(counter, number), "is a symbolic link, not a regular file");
    unlink(counter.c_str());

    fx::writeFile(counter, "# line 3\nnext=10\nstep=5\nlast=30\n");
    const std::string backup = fx::readFile(counter);
    for (uint64_t expected : {10, 15, 20}) {
        ASSERT_EQ(take(counter, number), "");
        EXPECT_EQ(number, expected);
    }
    EXPECT_EQ(fx::readFile(counter), "# line 3\nnext=25\nstep=5\nlast=30\n");
    // A counter restored from a backup is raised above every number the journal names.
    fx::writeFile(counter, backup);
    ASSERT_EQ(take(counter, number), "");
    EXPECT_EQ(number, 25u);
    ASSERT_EQ(take(counter, number), "");
    EXPECT_EQ(number, 30u);
    EXPECT_EQ(take(counter, number), "no numbers left (next=35, last=30)");
    // The format's limit counts too.
    fx::writeFile(counter, "next=65536\n");
    EXPECT_EQ(take(counter, number, 0xFFFF), "no numbers left (next=65536)");

    const std::vector<nlohmann::json> lines = journal(counter);
    ASSERT_EQ(lines.size(), 5u);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i]["serial"], 10 + 5 * i);
        EXPECT_EQ(lines[i]["state"], "taken");
        EXPECT_EQ(lines[i]["host"], "host");
        EXPECT_TRUE(lines[i]["reason"].is_null());
        EXPECT_EQ(lines[i]["time"].get<std::string>().size(), 20u);
    }
    // No temporary file is left beside the counter.
    EXPECT_EQ(fx::listDir(dir.path()), (fx::Texts{"serials", "serials.journal"}));
}

TEST(SerialCounter, AJournalCutShortOrDamaged) {
    fx::TempDir dir;
    const std::string counter = dir.file("serials");
    fx::writeFile(counter, "next=1\n");
    // A last line without its end: an append that a crash cut short, whose number never went out.
    fx::writeFile(serials::journalPath(counter),
                  "{\"v\":1,\"serial\":7,\"state\":\"taken\"}\n{\"v\":1,\"ser");
    uint64_t number = 0;
    ASSERT_EQ(take(counter, number), "");
    EXPECT_EQ(number, 8u);
    // The new line stands on a line of its own.
    const std::string text = fx::readFile(serials::journalPath(counter));
    EXPECT_NE(text.find("{\"v\":1,\"ser\n{\"v\":1,\"serial\":8,"), std::string::npos) << text;
    // A whole line that is no entry stops the taking: someone must look.
    fx::writeFile(serials::journalPath(counter), "{\"v\":1,\"serial\":7}\nrubbish\n");
    EXPECT_EQ(take(counter, number), "journal line 2: not a journal entry");
    serials::Counter peeked;
    serials::Failure failure;
    EXPECT_FALSE(serials::peekCounter(counter, peeked, failure));
    EXPECT_EQ(failure.text, "journal " + serials::journalPath(counter) + " line 2: not a journal entry");
}

TEST(SerialCounter, TheLockIsWaitedForWithABound) {
    fx::TempDir dir;
    const std::string counter = dir.file("serials");
    fx::writeFile(counter, "next=1\n");
    fx::writeFile(serials::journalPath(counter), "");
    // Another process holds the lock: a bounded wait, then the reason.
    const int held = open(serials::journalPath(counter).c_str(), O_RDWR);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const pid_t child = fork();
    if (child == 0) {
        serials::JournalLock lock;
        std::string reason;
        const bool got = lock.acquire(serials::journalPath(counter), 300, reason);
        _exit(!got && reason == "held by another process for 300 ms" ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    close(held);
    serials::JournalLock lock;
    std::string reason;
    EXPECT_TRUE(lock.acquire(serials::journalPath(counter), 300, reason)) << reason;
}

TEST(SerialCounter, ManyProcessesAtOnceGetDistinctNumbers) {
    fx::TempDir dir;
    const std::string counter = dir.file("serials");
    fx::writeFile(counter, "next=1\n");
    constexpr int PROCESSES = 6, EACH = 15;
    std::vector<pid_t> children;
    for (int p = 0; p < PROCESSES; ++p) {
        const pid_t child = fork();
        if (child == 0) {
            for (int i = 0; i < EACH; ++i) {
                uint64_t number = 0;
                serials::Failure failure;
                if (!serials::takeNumber(counter, who(std::to_string(p)), UINT64_MAX, number, failure))
                    _exit(1);
            }
            _exit(0);
        }
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::set<uint64_t> numbers;
    for (const nlohmann::json& line : journal(counter))
        numbers.insert(line["serial"].get<uint64_t>());
    EXPECT_EQ(numbers.size(), size_t(PROCESSES * EACH));
    EXPECT_EQ(*numbers.rbegin(), uint64_t(PROCESSES * EACH));
    EXPECT_EQ(fx::readFile(counter), "next=" + std::to_string(PROCESSES * EACH + 1) + "\n");
}
