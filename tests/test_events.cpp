// vq2dl --json: every event of real runs checked against docs/events.schema.json, in order; the messages
// word for word as the console shows them; nothing but JSON on standard output; and the SHA-256 of the file
// event against the standard's test vectors.
#include "fixture.h"
#include "image/sha256.h"
#include "json_schema.h"
#include "test_cli.h"

#include <nlohmann/json.hpp>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using nlohmann::json;

using fx::validate;

std::vector<std::string> faultsOf(const json& event) {
    return fx::schemaFaults(event);
}

// ---- Runs of vq2dl --json ----

/// The events of a run's standard output; fails the test unless every line is one valid event and the last is
/// the result with the exit status.
std::vector<json> eventsOf(const fx::RunResult& run) {
    std::vector<json> events;
    std::istringstream lines(run.out);
    std::string line;
    while (std::getline(lines, line)) {
        json event = json::parse(line, nullptr, false);
        EXPECT_FALSE(event.is_discarded()) << "not JSON: " << line;
        if (event.is_discarded()) continue;
        for (const std::string& fault : faultsOf(event))
            ADD_FAILURE() << fault << " in " << line;
        events.push_back(std::move(event));
    }
    EXPECT_TRUE(run.out.empty() || run.out.back() == '\n') << "a line left open";
    EXPECT_EQ(run.err, "");
    if (events.empty() || events.back()["event"] != "result") {
        ADD_FAILURE() << "no result at the end of:\n" << run.out;
    } else {
        EXPECT_EQ(events.back()["status"], run.status);
        EXPECT_EQ(events.back()["ok"], run.status == 0);
    }
    for (size_t i = 1; i < events.size(); ++i)
        EXPECT_LE(events[i - 1]["ms"], events[i]["ms"]) << "ms goes back at event " << i;
    return events;
}

/// The events other than messages and progress, as "step:write" for steps and the bare name for the others.
std::vector<std::string> outline(const std::vector<json>& events) {
    std::vector<std::string> names;
    for (const json& event : events) {
        const std::string name = event["event"];
        if (name == "message" || name == "progress") continue;
        names.push_back(name == "step" ? "step:" + event["step"].get<std::string>() : name);
    }
    return names;
}

/// The console text that the message events stand for, as printLine would write it.
std::string consoleText(const std::vector<json>& events) {
    std::string text;
    for (const json& event : events) {
        if (event["event"] != "message") continue;
        const std::string line = event["text"];
        text += line + (!line.empty() && line.back() == '\r' ? "" : "\n");
    }
    return text;
}

std::vector<json> ofKind(const std::vector<json>& events, const std::string& kind) {
    std::vector<json> found;
    std::copy_if(events.begin(), events.end(), std::back_inserter(found),
                 [&](const json& e) { return e["event"] == kind; });
    return found;
}

/// A VQ-II image of 40 records of 32 bytes from 0x4000 on, and one in the upper unpaged flash.
std::string monitorImage() {
    std::vector<std::pair<uint32_t, fx::Bytes>> records;
    for (uint32_t i = 0; i < 40; ++i)
        records.push_back({0x4000 + 32 * i, fx::bytes(32, static_cast<uint8_t>(i))});
    records.push_back({0xC000, fx::bytes(16, 0x80)});
    return fx::s19(records, 0xC000);
}

const std::vector<std::string> DOWNLOAD = {"start",      "file",       "open",        "step:enter",
                                           "step:erase", "step:write", "step:verify", "result"};

} // namespace

TEST(EventSchema, TheValidatorFindsEachKindOfFault) {
    const json good = json::parse(R"({"v":1,"event":"step","ms":5,"step":"write"})");
    EXPECT_EQ(faultsOf(good), std::vector<std::string>{});
    const struct {
        const char* event;
        const char* fault;
    } cases[] = {
        {R"({"v":2,"event":"step","ms":5,"step":"write"})", "/v: not 1"},
        {R"({"v":1,"event":"stop","ms":5})", "/event: \"stop\" not in"},
        {R"({"v":1,"event":"step","ms":5.5,"step":"write"})", "/ms: not of type"},
        {R"({"v":1,"event":"step","ms":5})", ": no \"step\""},
        {R"({"v":1,"event":"step","ms":5,"step":"flash"})", "/step: \"flash\" not in"},
        {R"({"v":1,"event":"step","ms":5,"step":"write","extra":1})", "field extra not in the schema"},
        {R"({"v":1,"event":"progress","ms":5,"step":"write","records":1,"records_total":2,"bytes":1,)"
         R"("bytes_total":2,"percent":101})",
         "/percent: 101 beyond maximum"},
        {R"({"v":1,"event":"file","ms":5,"name":"a","sha256":"","generation":"VQ-II","entry_point":0,)"
         R"("low_address":0,"high_address":0,"end_address":0,"header":null,"records":0,"data_bytes":0,)"
         R"("ini_files":[{"name":"x"}]})",
         "/ini_files/0: no \"path\""},
        {R"({"v":1,"event":"result","ms":5,"status":0,"ok":true,"error":7,"seconds":1,)"
         R"("bytes":{"written":0,"verified":0,"read":0},"signature":null,"step":null,"kind":null,)"
         R"("flash":"written"})",
         "/error: not of type"},
        {R"({"v":1,"event":"result","ms":5,"status":4,"ok":false,"error":"x","seconds":1,)"
         R"("bytes":{"written":0,"verified":0,"read":0},"signature":null,"step":"erase","kind":"lost",)"
         R"("flash":"erased"})",
         "/kind: \"lost\" not in"},
    };
    for (const auto& c : cases) {
        const std::vector<std::string> faults = faultsOf(json::parse(c.event));
        ASSERT_EQ(faults.size(), 1u) << c.event;
        EXPECT_NE(faults[0].find(c.fault), std::string::npos) << faults[0];
    }
    std::vector<std::string> faults;
    validate(json::parse(R"({"pattern":"x"})"), good, "", faults);
    EXPECT_EQ(faults, std::vector<std::string>{": unknown keyword pattern"});
}

TEST(Sha256, StandardVectors) {
    const std::pair<std::string, std::string> vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmno"
         "pqrst"
         "nopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& [message, digest] : vectors) {
        // Whole, and in pieces that straddle the 64-byte blocks.
        Sha256 whole;
        whole.update(reinterpret_cast<const uint8_t*>(message.data()), message.size());
        EXPECT_EQ(whole.hexDigest(), digest) << message.size() << " bytes";
        Sha256 pieces;
        for (size_t at = 0, n = 1; at < message.size(); at += n, n = n % 97 + 1)
            pieces.update(reinterpret_cast<const uint8_t*>(message.data()) + at,
                          std::min(n, message.size() - at));
        EXPECT_EQ(pieces.hexDigest(), digest) << message.size() << " bytes in pieces";
    }
    fx::TempDir dir;
    fx::writeFile(dir.file("abc"), "abc");
    std::string hex;
    ASSERT_TRUE(sha256OfFile(dir.file("abc"), hex));
    EXPECT_EQ(hex, vectors[1].second);
    EXPECT_FALSE(sha256OfFile(dir.file("missing"), hex));
}

TEST(Events, DownloadInOrderWithTheConsoleWordForWord) {
    fx::Rig rig;
    ASSERT_TRUE(rig.start());
    const std::string file = rig.dir.file("fw.s19");
    fx::writeFile(file, monitorImage());
    // The default, the byte traces, and the percentage lines alone.
    const std::pair<fx::Texts, int> verbosities[] = {
        {{"-v", "1"}, 1}, {{"-v", "4"}, 4}, {{"-p", "-v", "-1"}, -1}};
    for (const auto& [options, level] : verbosities) {
        const fx::RunResult console = rig.run(options, file);
        fx::Texts args = options;
        args.insert(args.begin(), "--json");
        const std::vector<json> events = eventsOf(rig.run(args, file));
        ASSERT_EQ(console.status, 0) << console.out;
        EXPECT_EQ(outline(events), DOWNLOAD);
        EXPECT_EQ(consoleText(events), console.out) << "-v " << level;
        int highest = -2;
        for (const json& m : ofKind(events, "message"))
            highest = std::max(highest, m["level"].get<int>());
        EXPECT_EQ(highest, level);

        const json& start = events.front();
        EXPECT_EQ(start["command_line"].back(), file);
        EXPECT_EQ(start["port"], rig.sim->devicePath());
        EXPECT_EQ(start["rate"], 115200);
        const json fileEvent = ofKind(events, "file").front();
        EXPECT_EQ(fileEvent["sha256"], [&] {
            std::string hex;
            sha256OfFile(file, hex);
            return hex;
        }());
        EXPECT_EQ(fileEvent["generation"], "VQ-II");
        EXPECT_EQ(fileEvent["entry_point"], 0xC000);
        EXPECT_EQ(fileEvent["low_address"], 0x4000);
        EXPECT_EQ(fileEvent["high_address"], 0xC000);
        EXPECT_EQ(fileEvent["records"], 41);
        EXPECT_EQ(fileEvent["data_bytes"], 40 * 32 + 16);
        const json open = ofKind(events, "open").front();
        EXPECT_EQ(open["device"], rig.sim->devicePath());
        EXPECT_EQ(open["low_latency"], false) << "a pseudo-terminal has no such mode";
        const json& result = events.back();
        EXPECT_EQ(result["error"], nullptr);
        EXPECT_EQ(result["bytes"], json::parse(R"({"written":1296,"verified":1296,"read":0})"));
        EXPECT_EQ(result["signature"], nullptr);

        // Each step's progress: at least 100 ms apart, the last at 100 % with everything done.
        for (const char* step : {"write", "verify"}) {
            std::vector<json> shown;
            for (const json& p : ofKind(events, "progress"))
                if (p["step"] == step) shown.push_back(p);
            ASSERT_FALSE(shown.empty()) << step;
            for (size_t i = 1; i + 1 < shown.size(); ++i)
                EXPECT_GE(shown[i]["ms"].get<int>() - shown[i - 1]["ms"].get<int>(), 100) << step;
            EXPECT_EQ(shown.back()["percent"], 100.0);
            EXPECT_EQ(shown.back()["records"], 41);
            EXPECT_EQ(shown.back()["bytes"], shown.back()["bytes_total"]);
            for (size_t i = 0; i + 1 < shown.size(); ++i)
                EXPECT_LT(shown[i]["percent"], 100.0);
        }
    }
}

TEST(Events, FailuresEndWithTheirErrorAndStatus) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), monitorImage());
    fx::writeFile(dir.file("bad.s19"), fx::srec(1, 0x4000, fx::bytes(4)) + "\nS1XYZ\n");
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> outline;
        std::string error;
    } cases[] = {
        {{"-c", cli::NO_PORT_PATH, "fw.s19"},
         2,
         {"start", "file", "result"},
         // One line, as a reader of the stream keeps it; the message keeps the console's lines.
         std::string("Download failed: Could not open comm port ") + cli::NO_PORT_PATH +
             ". Reason: no such device."},
        {{"-v", "-1", "-c", cli::NO_PORT_PATH, "missing.s19"},
         3,
         {"start", "result"},
         "Reading missing.s19 line 0: Can't open input file."},
        {{"-c", cli::NO_PORT_PATH, "bad.s19"}, 3, {"start", "result"}, "Reading bad.s19 line 2: "},
        {{"--log", dir.file("no/such/dir.log")},
         1,
         {"start", "result"},
         "Could not open log file " + dir.file("no/such/dir.log") + ": no such file or directory."},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "--json");
        const std::vector<json> events = eventsOf(fx::run(VQ2DL_PROGRAM, args, dir.path()));
        EXPECT_EQ(outline(events), c.outline) << c.args.back();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back()["status"], c.status);
        EXPECT_EQ(events.back()["error"].get<std::string>().substr(0, c.error.size()), c.error);
        // The failure is also the last message, at every verbosity, as the console shows it.
        const std::vector<json> messages = ofKind(events, "message");
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(messages.back()["level"], 0);
    }
}

TEST(Events, ARefusedCommandLineGivesOneResultAndNoUsageText) {
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--json", "-x"}, "Switch not recognized: '-x'."},
        {{"-x", "--json"}, "Switch not recognized: '-x'."},
        {{"--json", "--frobnicate"}, "Switch not recognized: '--frobnicate'."},
        {{"--json", "-r", "300"}, "Specified comm rate 300 invalid."},
        {{"-v", "-1", "--json", "-c"}, "Switch '-c' needs a value."},
        {{"--json", "--range", "0xC000-0xFFFF"}, "Switch '--range' needs '--read'."},
        {{"--json", "-v", "fw.s19"}, "Switch '-v' needs a number, not 'fw.s19'."},
        {{"--json=yes"}, ""},
    };
    for (const auto& c : cases) {
        const fx::RunResult run = cli::vq2dl(c.args);
        EXPECT_EQ(run.status, 1) << c.args[1];
        if (c.error.empty()) {
            // Not the switch: the console text, usage and all.
            EXPECT_EQ(run.out, "Switch not recognized: '--json=yes'.\n" + cli::usageText(VQ2DL_PROGRAM));
            continue;
        }
        const std::vector<json> events = eventsOf(run);
        ASSERT_EQ(events.size(), 1u) << run.out;
        EXPECT_EQ(events[0]["error"], c.error);
        EXPECT_EQ(events[0]["bytes"], json::parse(R"({"written":0,"verified":0,"read":0})"));
        // A refusal of the command line: nothing ran, nothing was touched.
        EXPECT_EQ(events[0]["step"], nullptr);
        EXPECT_EQ(events[0]["kind"], "usage");
        EXPECT_EQ(events[0]["flash"], "untouched");
    }
    std::vector<std::string> many(21, "fw.s19");
    many.push_back("--json");
    const std::vector<json> events = eventsOf(cli::vq2dl(many));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["error"], "More than 20 firmware files.");
}

TEST(Events, HelpVersionAndPortList) {
    EXPECT_EQ(cli::vq2dl({"--json", "--help"}).out, cli::usageText(VQ2DL_PROGRAM));
    EXPECT_EQ(cli::vq2dl({"--version", "--json"}).out, "vq2dl " VQ2DL_VERSION "\n");
    // One port event per port of the text listing, then the result; no start.
    const fx::RunResult text = cli::vq2dl({"--list-ports"});
    const std::vector<json> events = eventsOf(cli::vq2dl({"--list-ports", "--json"}));
    ASSERT_FALSE(events.empty());
    std::string listed;
    for (size_t i = 0; i + 1 < events.size(); ++i) {
        ASSERT_EQ(events[i]["event"], "port");
        std::string line = events[i]["name"];
        for (size_t k = 0; k < events[i]["details"].size(); ++k)
            line += (k == 0 ? "  " : ", ") + events[i]["details"][k].get<std::string>();
        listed += line + "\n";
    }
    EXPECT_EQ(listed.empty() ? "No serial ports found.\n" : listed, text.out);
    EXPECT_EQ(events.back()["status"], 0);
}

TEST(Events, VerificationMismatchAndSilentController) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), monitorImage());
    {
        // A fresh controller holds erased flash: -V finds the first byte different.
        fx::Rig rig;
        ASSERT_TRUE(rig.start());
        const std::vector<json> events = eventsOf(rig.run({"--json", "-V"}, dir.file("fw.s19")));
        EXPECT_EQ(outline(events),
                  (std::vector<std::string>{"start", "file", "open", "step:enter", "step:verify", "result"}));
        EXPECT_EQ(events.back()["status"], 4);
        EXPECT_EQ(events.back()["error"], "Verification failed: At 0x4000 expected 0x00, found 0xFF.");
    }
    {
        fx::Rig rig(fx::monitorOptions({"silent@erasemain"}));
        ASSERT_TRUE(rig.start());
        const std::vector<json> events = eventsOf(rig.run({"--json"}, dir.file("fw.s19")));
        EXPECT_EQ(outline(events),
                  (std::vector<std::string>{"start", "file", "open", "step:enter", "step:erase", "result"}));
        EXPECT_EQ(events.back()["status"], 4);
        EXPECT_EQ(events.back()["error"], "Timed out reading response, 0xE0");
        EXPECT_EQ(consoleText(events).find("ERROR: Timed out reading response, 0xE0\n") != std::string::npos,
                  true);
    }
}

TEST(Events, ReadBackAndWipe) {
    fx::Rig rig;
    fx::writeFile(rig.dir.file("fw.s19"), monitorImage());
    ASSERT_TRUE(rig.start(rig.dir.file("fw.s19")));
    const std::vector<json> events =
        eventsOf(rig.run({"--json", "--read", rig.dir.file("back.s19"), "--range", "0x4000-0x44FF"}));
    EXPECT_EQ(outline(events),
              (std::vector<std::string>{"start", "open", "step:enter", "step:read", "result"}));
    EXPECT_EQ(events.back()["bytes"], json::parse(R"({"written":0,"verified":0,"read":1280})"));
    EXPECT_EQ(ofKind(events, "progress").back()["percent"], 100.0);

    const std::vector<json> wipe = eventsOf(rig.run({"--json", "-w"}));
    EXPECT_EQ(outline(wipe),
              (std::vector<std::string>{"start", "open", "step:enter", "step:wipe", "result"}));
}

TEST(Events, BootLoaderDownloadAndSignature) {
    fx::Rig rig(fx::bootLoaderOptions({}, "VQ-I \xff boot"));
    ASSERT_TRUE(rig.start());
    const std::string file = rig.dir.file("vq1.s19");
    fx::writeFile(file, fx::s19({{0xE000, fx::bytes(32)}, {0xE020, fx::bytes(32, 7)}}, 0xE000));
    const std::vector<json> events = eventsOf(rig.run({"--json"}, file));
    EXPECT_EQ(outline(events), (std::vector<std::string>{"start", "file", "open", "step:wake", "step:wipe",
                                                         "step:write", "step:signature", "result"}));
    EXPECT_EQ(ofKind(events, "file").front()["generation"], "VQ-I");
    EXPECT_EQ(events.back()["bytes"]["written"], 64);
    EXPECT_EQ(events.back()["signature"], nullptr) << "only a verification reports it";

    // The signature as it came; a byte that is no UTF-8 is replaced, so that the line stays JSON.
    const std::vector<json> verify = eventsOf(rig.run({"--json", "-V"}, file));
    EXPECT_EQ(outline(verify),
              (std::vector<std::string>{"start", "file", "open", "step:signature", "result"}));
    EXPECT_EQ(verify.back()["signature"], "VQ-I \xef\xbf\xbd boot");
}

TEST(Events, UpdateFileNamesItsIniFiles) {
    fx::TempDir dir;
    fx::writeFile(dir.file("a.ini"), "[a]\n");
    fx::writeFile(dir.file("b.ini"), "[b]\n");
    fx::writeFile(dir.file("fw.s19"), monitorImage());
    ASSERT_EQ(fx::run(VQU_PROGRAM, {"up.vqu", "a.ini", "b.ini", "fw.s19"}, dir.path()).status, 0);
    const std::string out = dir.file("out");
    ASSERT_EQ(mkdir(out.c_str(), 0700), 0);
    const std::vector<json> events = eventsOf(
        fx::run(VQ2DL_PROGRAM, {"--json", "-i", out, "-c", cli::NO_PORT_PATH, "up.vqu"}, dir.path()));
    const std::vector<json> files = ofKind(events, "file");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0]["ini_files"], json::parse(R"([{"name":"a.ini","path":")" + out + R"(/a.ini"},)" +
                                                 R"({"name":"b.ini","path":")" + out + R"(/b.ini"}])"));
    EXPECT_EQ(files[0]["records"], 41);
}

// A signal ends the stream with its own result when no line is half written, here while the monitor is
// being called up on a silent line.
TEST(Events, SignalEndsWithItsResult) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    const std::string slave = ptsname(master);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(master);
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        execl(VQ2DL_PROGRAM, "vq2dl", "--json", "-w", "-c", slave.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    pollfd ready = {master, POLLIN, 0};
    EXPECT_EQ(poll(&ready, 1, 10000), 1);
    kill(pid, SIGTERM);
    fx::RunResult run;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        run.out.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    ASSERT_TRUE(WIFEXITED(status));
    run.status = WEXITSTATUS(status);
    EXPECT_EQ(run.status, 128 + SIGTERM);
    const std::vector<json> events = eventsOf(run);
    EXPECT_EQ(outline(events), (std::vector<std::string>{"start", "open", "step:enter", "result"}));
    EXPECT_EQ(events.back()["error"], "Ended by signal " + std::to_string(SIGTERM) + ".");
}

// The lines of the usage text that were the program's own stand word for word; what was added to them has
// lines of its own.
TEST(Events, TheOriginalUsageLinesStand) {
    const std::vector<std::string> text = usageLines("vq2dl");
    for (const char* line :
         {"              port 1.", "   -i dir   - specify install directory for update files.",
          "   -v level - set Verbosity of output.", "   -w       - wipe only, don't try to download.",
          "   --json       - JSON Lines events on standard output, for programs."})
        EXPECT_NE(std::find(text.begin(), text.end(), line), text.end()) << line;
}
