// The command line: the switches, their spellings and values, the refused ones, and the documents that list
// them.
#include "test_cli.h"

#include <cstdlib>
#include <regex>
#include <string>
#include <utility>
#include <vector>

using namespace cli;
using fx::Texts;

TEST(CommandLine, DefaultsWithoutArguments) {
    Options d;
    EXPECT_EQ(parse(d, {}), -1);
    EXPECT_EQ(d.port, 1);
    EXPECT_EQ(d.baudRate, 115200);
    EXPECT_EQ(d.verbosity, 1);
    EXPECT_EQ(d.wipeDelay, 250);
    EXPECT_EQ(d.recordDelay, 0);
    EXPECT_EQ(d.dcDelay, 0);
    EXPECT_FALSE(d.showPercent || d.verifyOnly || d.wipeOnly);
    EXPECT_EQ(d.installDir, ".");
    EXPECT_EQ(d.fileNames, std::vector<std::string>{"velquin2.s19"});
}

TEST(CommandLine, ValuesTakeTheRestOrTheNextArgument) {
    Options d;
    EXPECT_EQ(
        parse(d, {"-c2", "-r", "38400", "a.s19", "b.s19", "-dw", "1000", "-dc7", "-v", "-1", "-i", "-x"}),
        -1);
    EXPECT_EQ(d.port, 2);
    EXPECT_EQ(d.baudRate, 38400);
    EXPECT_EQ(d.fileNames, (std::vector<std::string>{"a.s19", "b.s19"}));
    EXPECT_EQ(d.wipeDelay, 1000);
    EXPECT_EQ(d.dcDelay, 7);
    EXPECT_EQ(d.recordDelay, 0);
    EXPECT_EQ(d.verbosity, -1);
    EXPECT_EQ(d.installDir, "-x");
    EXPECT_EQ(fx::captured, "");

    Options e;
    EXPECT_EQ(parse(e, {"-d", "5", "-dc", "-3", "-c", "3", "-p", "-V", "-w", "-d-4"}), -1);
    EXPECT_EQ(e.recordDelay, -4) << "a negative delay is stored as given";
    EXPECT_EQ(e.dcDelay, -3);
    EXPECT_EQ(e.port, 3);
    EXPECT_TRUE(e.showPercent && e.verifyOnly && e.wipeOnly);

    Options f;
    EXPECT_EQ(parse(f, {"-c4", "-c", "/dev/ttyUSB0", "-v3", "-v", "2"}), -1);
    EXPECT_EQ(f.port, 4) << "a device path leaves the number";
    EXPECT_EQ(f.portPath, "/dev/ttyUSB0");
    EXPECT_EQ(f.portName(), "/dev/ttyUSB0");
    EXPECT_EQ(f.verbosity, 2) << "the last -v wins";
}

namespace {

// Every option field of a Options as "name=value" lines, so that a test sees what changed and what did
// not.
std::string state(const Options& d) {
    std::string text;
    auto add = [&](const char* name, const std::string& value) {
        text += std::string(name) + "=" + value + "\n";
    };
    add("port", std::to_string(d.port));
    add("path", d.portPath);
    add("rate", std::to_string(d.baudRate));
    add("d", std::to_string(d.recordDelay));
    add("dc", std::to_string(d.dcDelay));
    add("dw", std::to_string(d.wipeDelay));
    add("i", d.installDir);
    add("v", std::to_string(d.verbosity));
    add("pVw", std::to_string(d.showPercent) + std::to_string(d.verifyOnly) + std::to_string(d.wipeOnly));
    add("log", d.logPath ? *d.logPath : "(none)");
    add("list", std::to_string(d.listPorts));
    std::string files;
    for (const std::string& name : d.fileNames)
        files += name + " ";
    add("files", files);
    return text;
}

// The default state with some fields replaced ("port=3\nd=5\n").
std::string stateWith(const std::string& changes) {
    Options d;
    parse(d, {});
    std::string text = state(d);
    for (size_t at = 0; at < changes.size();) {
        size_t end = changes.find('\n', at);
        std::string line = changes.substr(at, end - at);
        std::string key = line.substr(0, line.find('=') + 1);
        size_t old = text.find("\n" + key) + 1;
        text.replace(old, text.find('\n', old) - old, line);
        at = end + 1;
    }
    return text;
}

} // namespace

TEST(CommandLine, EveryAcceptedSpellingMeansWhatItDid) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-c3"}, "port=3\n"},
        {{"-c", "3"}, "port=3\n"},
        {{"-c", "+3"}, "port=3\n"},
        {{"-c", "007"}, "port=7\n"},
        {{"-c", "-1"}, "port=-1\n"},
        {{"-c", "2147483647"}, "port=2147483647\n"},
        {{"-c", "-2147483648"}, "port=-2147483648\n"},
        {{"-c/dev/ttyACM0"}, "path=/dev/ttyACM0\n"},
        {{"-d5"}, "d=5\n"},
        {{"-d", "5"}, "d=5\n"},
        {{"-dc5"}, "dc=5\n"},
        {{"-dc", "5"}, "dc=5\n"},
        {{"-dw1000"}, "dw=1000\n"},
        {{"-dw", "-1"}, "dw=-1\n"},
        {{"-dw2147483647"}, "dw=2147483647\n"},
        {{"-r38400"}, "rate=38400\n"},
        {{"-r", "-2343"}, "rate=2343\n"},
        {{"-r", "-50"}, "rate=50\n"},
        {{"-v", "-1"}, "v=-1\n"},
        {{"-v6"}, "v=6\n"},
        {{"-i", ""}, "i=\n"},
        {{"-i", "-p"}, "i=-p\n"},
        {{"-p", "-V", "-w"}, "pVw=111\n"},
        {{"a.s19", "-v", "2", "b.s19"}, "v=2\nfiles=a.s19 b.s19 \n"},
        {{"--log", "run.log"}, "log=run.log\n"},
        {{"--log=run.log"}, "log=run.log\n"},
        {{"--log", "-v"}, "log=-v\n"},
        {{"--list-ports"}, "list=1\n"},
    };
    for (const auto& [args, changes] : cases) {
        Options d;
        EXPECT_EQ(parse(d, args), -1) << args[0];
        EXPECT_EQ(fx::captured, "") << args[0];
        EXPECT_EQ(state(d), stateWith(changes)) << args[0];
    }
}

TEST(CommandLine, ARefusedSpellingEndsTheRunWithTheUsageText) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-verify"}, "ERROR: Switch '-v' needs a number, not 'erify'."},
        {{"-v", "fw.s19"}, "ERROR: Switch '-v' needs a number, not 'fw.s19'."},
        {{"-v", ""}, "ERROR: Switch '-v' needs a number, not ''."},
        {{"-v", "+"}, "ERROR: Switch '-v' needs a number, not '+'."},
        {{"-v", "1.5"}, "ERROR: Switch '-v' needs a number, not '1.5'."},
        {{"-d", "c5"}, "ERROR: Switch '-d' needs a number, not 'c5'."},
        {{"-dx5"}, "ERROR: Switch '-d' needs a number, not 'x5'."},
        {{"-dc5ms"}, "ERROR: Switch '-dc' needs a number, not '5ms'."},
        {{"-dw", " 250"}, "ERROR: Switch '-dw' needs a number, not ' 250'."},
        {{"-r", "38400x"}, "ERROR: Switch '-r' needs a number, not '38400x'."},
        {{"-r", "x"}, "ERROR: Switch '-r' needs a number, not 'x'."},
        {{"-c", "COM3"}, "ERROR: Switch '-c' needs a port number or a device path, not 'COM3'."},
        {{"-c", "ttyUSB0"}, "ERROR: Switch '-c' needs a port number or a device path, not 'ttyUSB0'."},
        {{"-c3x"}, "ERROR: Switch '-c' needs a port number or a device path, not '3x'."},
        {{"-c", ""}, "ERROR: Switch '-c' needs a port number or a device path, not ''."},
        {{"-write"}, "Switch not recognized: '-write'."},
        {{"-pq"}, "Switch not recognized: '-pq'."},
        {{"-Vx"}, "Switch not recognized: '-Vx'."},
        {{"--verify"}, "Switch not recognized: '--verify'."},
        {{"--help=now"}, "Switch not recognized: '--help=now'."},
        {{"-x"}, "Switch not recognized: '-x'."},
        {{"fw.s19", "--log"}, "ERROR: Switch '--log' needs a value."},
        // Beyond an int a number is refused, never held at the limit (-dw2147483648 waited 24 days).
        {{"-dw2147483648"},
         "ERROR: Switch '-dw' takes a number from -2147483648 to 2147483647, not '2147483648'."},
        {{"-d", "-2147483649"},
         "ERROR: Switch '-d' takes a number from -2147483648 to 2147483647, not '-2147483649'."},
        {{"-v", "99999999999999999999999"},
         "ERROR: Switch '-v' takes a number from -2147483648 to 2147483647, not '99999999999999999999999'."},
        {{"-c", "99999999999999"},
         "ERROR: Switch '-c' takes a number from -2147483648 to 2147483647, not '99999999999999'."},
        {{"-c-99999999999999"},
         "ERROR: Switch '-c' takes a number from -2147483648 to 2147483647, not '-99999999999999'."},
        {{"-r", "-1"}, "ERROR: Specified comm rate -1 invalid: a non-standard rate is 50 bit/s or more."},
        {{"-r-49"}, "ERROR: Specified comm rate -49 invalid: a non-standard rate is 50 bit/s or more."},
        {{"-r", "4294967296"},
         "ERROR: Switch '-r' takes a number from -2147483648 to 2147483647, not '4294967296'."},
        // An empty value was given: it is refused for what it is, not as a missing one.
        {{"--read", ""}, "ERROR: Switch '--read' needs a file name, not an empty one."},
        {{"--log-dir="}, "ERROR: Switch '--log-dir' needs a folder name, not an empty one."},
        {{"--ports", "A=1", "--log-dir", ""},
         "ERROR: Switch '--log-dir' needs a folder name, not an empty one."},
    };
    for (const auto& [args, first] : cases) {
        Options d;
        EXPECT_EQ(parse(d, args), 1) << args[0];
        EXPECT_EQ(fx::captured, first + "\n" + usageText("vq2dl")) << args[0];
    }
    // Nothing is read or sent: the run ends before the banner.
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), fx::srec(1, 0x4000, {1}) + "\n");
    auto r = vq2dl({"-verify", "-c", NO_PORT_PATH, "fw.s19"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR: Switch '-v' needs a number, not 'erify'.\n" + usageText(VQ2DL_PROGRAM));
}

TEST(CommandLine, Rates) {
    for (int rate : {9600, 19200, 38400, 56000, 115200}) {
        Options d;
        EXPECT_EQ(parse(d, {"-r" + std::to_string(rate)}), -1);
        EXPECT_EQ(d.baudRate, rate);
    }
    Options custom;
    EXPECT_EQ(parse(custom, {"-r", "-2343"}), -1);
    EXPECT_EQ(custom.baudRate, 2343);
    EXPECT_EQ(fx::captured, "");
    Options forced;
    EXPECT_EQ(parse(forced, {"-r", "-57600"}), -1);
    EXPECT_EQ(forced.baudRate, 57600);
    for (const char* bad : {"300", "0", "57600", "+9601"}) {
        Options d;
        EXPECT_EQ(parse(d, {"-r", bad, "-r", "9600"}), 1) << bad;
        int value = std::atoi(bad);
        EXPECT_EQ(fx::captured,
                  "ERROR: Specified comm rate " + std::to_string(value) + " invalid.\n" + usageText("vq2dl"));
    }
}

TEST(CommandLine, BadSwitchesAndTooManyFiles) {
    for (const char* bad : {"-x", "-X", "-C2", "-"}) {
        Options d;
        EXPECT_EQ(parse(d, {bad}), 1) << bad;
        // A lone "-" names no letter: it is shown whole.
        std::string shown = std::string(bad).substr(0, 2);
        EXPECT_EQ(fx::captured, "Switch not recognized: '" + shown + "'.\n" + usageText("vq2dl")) << bad;
    }
    std::vector<std::string> files;
    for (int i = 0; i < 20; ++i)
        files.push_back("f" + std::to_string(i) + ".s19");
    Options twenty;
    EXPECT_EQ(parse(twenty, files), -1);
    EXPECT_EQ(twenty.fileNames.size(), 20u);
    files.push_back("one-too-many.s19");
    Options d;
    EXPECT_EQ(parse(d, files), 1);
    EXPECT_EQ(fx::captured, usageText("vq2dl"));

    Options missing;
    EXPECT_EQ(parse(missing, {"a.s19", "-c"}), 1);
    EXPECT_EQ(fx::captured, "ERROR: Switch '-c' needs a value.\n" + usageText("vq2dl"));
}

TEST(CommandLine, AValueThatIsOneOfTheSwitchesIsRefused) {
    // A value left out: the next switch would be taken for it, a folder or a log named "--json".
    const struct {
        Texts args;
        std::string shown;
    } cases[] = {
        {{"-i", "--json", "fw.s19"}, "ERROR: Switch '-i' needs a value, not the switch '--json'."},
        {{"-c", "2", "--log", "--json", "fw.s19"},
         "ERROR: Switch '--log' needs a value, not the switch '--json'."},
        {{"--results", "--ports", "A=1", "fw.s19"},
         "ERROR: Switch '--results' needs a value, not the switch '--ports'."},
        {{"--read", "--range=0xC000-0xC0FF"},
         "ERROR: Switch '--read' needs a value, not the switch '--range=0xC000-0xC0FF'."},
    };
    for (const auto& c : cases) {
        Options d;
        EXPECT_EQ(parse(d, c.args), 1) << c.args[0];
        EXPECT_EQ(fx::captured, c.shown + "\n" + usageText("vq2dl")) << c.args[0];
    }
    // Given with "=", or a value that only begins with dashes, it is what the user wrote.
    Options d;
    EXPECT_EQ(parse(d, {"--log=--json", "-i", "--x", "-v", "-1"}), -1);
    EXPECT_EQ(d.logPath.value_or(""), "--json");
    EXPECT_EQ(d.installDir, "--x");
    EXPECT_FALSE(d.json);

    // Through the program: status 1, nothing opened, and under --json the refusal as the closing event.
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), fx::s19({{0x4000, fx::bytes(4)}}));
    for (const auto& c : cases) {
        fx::RunResult r = vq2dl(c.args, dir.path());
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_NE(r.out.find(c.shown.substr(7)), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("\"event\":\"start\""), std::string::npos) << r.out;
        EXPECT_EQ(fx::listDir(dir.path()), Texts{"fw.s19"});
    }
}

TEST(CommandLine, AStationHandsOnTheParsedArguments) {
    Options d;
    ASSERT_EQ(parse(d, {"--ports", "A=1,B=2", "-dw", "0", "-i", "my dir", "fw.s19", "--json", "--log-dir",
                        "logs", "--results=units.jsonl", "--no-extract", "-v2"}),
              -1);
    // The children get every argument but the station's own as typed; they add --json and --no-extract
    // themselves.
    EXPECT_EQ(childArguments(d), (Texts{"-dw", "0", "-i", "my dir", "fw.s19", "-v2"}));
    EXPECT_EQ(rerunArguments(d), (Texts{"-dw", "0", "-i", "my dir", "fw.s19", "--json", "--log-dir", "logs",
                                        "--results=units.jsonl", "--no-extract", "-v2"}));
    // A record keeps the switches that shaped the unit's run, by one rule for a station and a single run: not
    // the port, the outputs, --json, --no-extract, the tags or the digests, which have fields of their own.
    EXPECT_EQ(recordedSwitches(d), (Texts{"-dw", "0", "-i", "my dir", "-v2"}));
    // A file named like a switch's value is still a file.
    Options single;
    ASSERT_EQ(
        parse(single, {"-i", "fw.s19", "fw.s19", "--results", "r.jsonl", "-c2", "--json", "--tag", "a=b"}),
        -1);
    EXPECT_EQ(single.fileNames, Texts{"fw.s19"});
    EXPECT_EQ(recordedSwitches(single), (Texts{"-i", "fw.s19"}));
}

TEST(Documents, EverySwitchOfTheUsageTextIsInTheReadmeTheManualPageAndTheCompletion) {
    const std::string readme = fx::readFile(VQ_SOURCE_DIR "/README.md");
    const std::string manual = fx::readFile(VQ_SOURCE_DIR "/man/vq2dl.1");
    const std::string completion = fx::readFile(VQ_SOURCE_DIR "/completions/vq2dl");
    // A name stands as a word of its own: "-d" is not found in "-dw".
    auto hasWord = [](const std::string& text, const std::string& word, const std::string& before,
                      const std::string& after) {
        for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
            bool start = at > 0 && before.find(text[at - 1]) != std::string::npos;
            bool end =
                at + word.size() < text.size() && after.find(text[at + word.size()]) != std::string::npos;
            if (start && end) return true;
        }
        return false;
    };
    std::vector<std::string> switches;
    for (const std::string& line : usageLines("vq2dl")) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(" {3}(-[-a-zA-Z]+) .*"))) switches.push_back(m[1]);
    }
    ASSERT_GE(switches.size(), 14u);
    for (const std::string& name : switches) {
        // The manual page writes each dash as "\-", and each option as the heading of its paragraph.
        std::string roff = std::regex_replace(name, std::regex("-"), "\\-");
        EXPECT_TRUE(hasWord(readme, name, "`", " `")) << name;
        EXPECT_TRUE(hasWord(manual, roff, " ", " \n")) << name;
        EXPECT_TRUE(hasWord(completion, name, " \"", " \"")) << name;
    }
}
