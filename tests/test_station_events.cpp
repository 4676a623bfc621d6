// The station's reading of its children: events into rows, a child that dies without a result, the table
// fitted to a width, the summary, the rerun command and the --ports list.
#include "fixture.h"

#include "station/station.h"

#include <string>
#include <vector>

using station::PortState;

namespace {

/// A child's run of a VQ-II download as it reports it, up to the write at half way.
const std::vector<std::string> HALF_WAY = {
    R"({"v":1,"event":"start","ms":0,"program":"vq2dl","version":"2.0.0","command_line":["vq2dl"],"port":"/tmp/a","rate":115200})",
    R"({"v":1,"event":"file","ms":2,"name":"fw.s19","sha256":"ab12","generation":"VQ-II","entry_point":49152,"low_address":16384,"high_address":49152,"records":2,"data_bytes":64,"ini_files":[]})",
    R"({"v":1,"event":"open","ms":3,"name":"/tmp/a","device":"/dev/pts/9","rate":115200,"low_latency":false})",
    R"({"v":1,"event":"step","ms":4,"step":"enter"})",
    R"({"v":1,"event":"step","ms":9,"step":"write"})",
    R"({"v":1,"event":"progress","ms":20,"step":"write","records":1,"records_total":2,"bytes":32,"bytes_total":64,"percent":50})",
};

PortState fed(const std::vector<std::string>& lines, const std::string& name = "A") {
    PortState port;
    port.slot = {name, "/tmp/a"};
    port.startedMs = 1000;
    nlohmann::ordered_json passed;
    for (const std::string& line : lines)
        station::takeLine(port, line, 1500, passed);
    return port;
}

} // namespace

TEST(StationEvents, EventsMakeTheRowAndArePassedOnWithThePort) {
    PortState port;
    port.slot = {"slot-1", "/tmp/a"};
    std::vector<std::string> passedOn;
    for (const std::string& line : HALF_WAY) {
        nlohmann::ordered_json event;
        ASSERT_TRUE(station::takeLine(port, line, 1200, event)) << line;
        passedOn.push_back(event.dump());
    }
    EXPECT_EQ(port.step, "writing");
    EXPECT_EQ(port.device, "/dev/pts/9");
    EXPECT_EQ(port.percent, 50);
    EXPECT_EQ(port.bytes, 32u);
    EXPECT_FALSE(port.finished);
    // The start event's port is the station's name for it; the open event keeps its device.
    EXPECT_EQ(passedOn[0], R"({"v":1,"event":"start","ms":0,"program":"vq2dl","version":"2.0.0",)"
                           R"("command_line":["vq2dl"],"port":"slot-1","rate":115200,"mode":"station"})");
    EXPECT_EQ(passedOn[3], R"({"v":1,"event":"step","ms":4,"step":"enter","port":"slot-1"})");
    EXPECT_NE(passedOn[2].find(R"("device":"/dev/pts/9")"), std::string::npos);
}

TEST(StationEvents, HowAPortEnds) {
    struct Case {
        const char* what;
        std::vector<std::string> more; ///< lines after HALF_WAY
        int exitStatus, signalNumber;  ///< how the child process ended
        int status;
        std::string step, reason;
    };
    const std::vector<Case> cases = {
        {"success",
         {R"({"v":1,"event":"result","ms":90,"status":0,"ok":true,"error":null,"seconds":0.09,"bytes":{"written":64,"verified":64,"read":0},"signature":null})"},
         0,
         0,
         0,
         "done",
         ""},
        {"refused write",
         {R"({"v":1,"event":"message","ms":50,"level":0,"text":"ERROR: Write failed."})",
          R"({"v":1,"event":"result","ms":90,"status":4,"ok":false,"error":"Block write refused","seconds":0.09,"bytes":{"written":32,"verified":0,"read":0},"signature":null})"},
         4,
         0,
         4,
         "FAILED",
         "Block write refused"},
        {"refused write, said in words",
         {R"({"v":1,"event":"result","ms":90,"status":4,"ok":false,"error":"Block write refused","seconds":0.09,"bytes":{"written":32,"verified":0,"read":0},"signature":null,"step":"write","kind":"wrong-answer","flash":"partly-written"})"},
         4,
         0,
         4,
         "FAILED",
         "wrong answer while writing: flash partly written (Block write refused)"},
        {"port that did not open",
         {R"({"v":1,"event":"result","ms":9,"status":2,"ok":false,"error":"Download failed:\r\n   Could not open comm port 3.\n   Reason: no such device.","seconds":0.01,"bytes":{"written":0,"verified":0,"read":0},"signature":null,"step":"open","kind":"port","flash":"untouched"})"},
         2,
         0,
         2,
         "FAILED",
         "port not opened: flash untouched (Download failed: Could not open comm port 3. Reason: no such "
         "device.)"},
        // Without a result the steps tell what the flash holds: the child was writing.
        {"error only in a message",
         {R"({"v":1,"event":"message","ms":50,"level":0,"text":"ERROR: No answer."})"},
         4,
         0,
         4,
         "FAILED",
         "internal error while writing: flash partly written (No answer.)"},
        // A signal the station did not send is an unexpected end, not the station's stop: status 5. A crash
        // is a fault of ours; a kill stopped the port.
        {"crash with last words",
         {"Segmentation fault"},
         0,
         11,
         5,
         "FAILED",
         "internal error while writing: flash partly written (ended by SIGSEGV without a result, last seen "
         "writing at 50 %)"},
        {"stopped by a kill",
         {},
         0,
         9,
         5,
         "FAILED",
         "stopped while writing: flash partly written (ended by SIGKILL without a result, last seen writing "
         "at "
         "50 %)"},
        {"exit without a word",
         {},
         0,
         0,
         5,
         "FAILED",
         "internal error while writing: flash partly written (ended without a result (status 0))"},
        {"stray text then exit 3",
         {"something odd"},
         3,
         0,
         3,
         "FAILED",
         "internal error while writing: flash partly written (something odd)"},
        // A result whose fields have other types than the schema's must not break what reads them later.
        {"stray types in a result",
         {R"({"v":1,"event":"result","ms":9,"status":4,"ok":"yes","error":7,"bytes":"many","kind":5})"},
         4,
         0,
         4,
         "FAILED",
         ""},
        {"result that says ok with a status",
         {R"({"v":1,"event":"result","ms":9,"status":2,"ok":true,"error":null})"},
         2,
         0,
         2,
         "FAILED",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> lines = HALF_WAY;
        lines.insert(lines.end(), c.more.begin(), c.more.end());
        std::vector<PortState> ports(1);
        PortState& port = ports[0];
        port = fed(lines);
        port.child.exited = true;
        port.child.signalNumber = c.signalNumber;
        port.child.status = c.signalNumber ? 128 + c.signalNumber : c.exitStatus;
        station::settleEnded(port, 2000);
        EXPECT_TRUE(port.finished);
        EXPECT_EQ(port.status, c.status);
        EXPECT_EQ(port.step, c.step);
        EXPECT_EQ(port.reason, c.reason);
        // The summary reads the result's fields whatever the child wrote.
        EXPECT_EQ(station::summaryLines(ports).size(), 4u);
    }
}

TEST(StationEvents, TheStatusIsTheHighestOfThePorts) {
    std::vector<PortState> ports(3);
    EXPECT_EQ(station::stationStatus(ports), 0);
    ports[1].status = 2;
    ports[2].status = 4;
    EXPECT_EQ(station::stationStatus(ports), 4);
}

TEST(StationEvents, TheTableFitsTheWidth) {
    std::vector<PortState> ports;
    ports.push_back(fed(HALF_WAY, "A"));
    ports.push_back(fed(HALF_WAY, "slot-with-a-long-name"));
    ports[1].step = "FAILED";
    ports[1].reason = "Download failed: the controller did not answer the probe after ten attempts";
    ports[1].endedMs = 4000;
    for (int columns : {30, 60, 100, 200}) {
        SCOPED_TRACE(columns);
        const std::vector<std::string> rows = station::tableRows(ports, columns, 2500);
        ASSERT_EQ(rows.size(), 3u);
        for (const std::string& row : rows)
            EXPECT_LT(row.size(), static_cast<size_t>(columns)) << row;
        EXPECT_EQ(rows[1].compare(0, 2, "A "), 0);
        // The bar and the port show when there is room for them.
        EXPECT_EQ(rows[1].find("[#####-----]  50%") != std::string::npos, columns >= 100) << rows[1];
        EXPECT_EQ(rows[1].find("/tmp/a") != std::string::npos, columns >= 100) << rows[1];
    }
    const std::vector<std::string> wide = station::tableRows(ports, 200, 2500);
    EXPECT_NE(wide[1].find("writing"), std::string::npos);
    EXPECT_NE(wide[1].find("1.5 s"), std::string::npos) << "elapsed since the start";
    EXPECT_NE(wide[2].find("3.0 s  Download failed: the controller"), std::string::npos) << wide[2];
}

TEST(StationEvents, SummaryAndTheCommandThatRerunsTheFailedPorts) {
    std::vector<PortState> ports;
    for (const char* name : {"A", "B", "/dev/ttyUSB2"})
        ports.push_back(fed(HALF_WAY, name));
    ports[0].slot.port = "/dev/ttyUSB0";
    ports[0].result = {{"bytes", {{"written", 2048}, {"verified", 2048}, {"read", 0}}}};
    ports[0].endedMs = 3000;
    ports[1].slot.port = "it's";
    ports[1].status = 4;
    ports[1].reason = "No answer.";
    ports[1].endedMs = 1500;
    ports[2].slot.port = "/dev/ttyUSB2";
    ports[2].status = 2;
    ports[2].endedMs = 1100;
    EXPECT_EQ(station::summaryLines(ports),
              (std::vector<std::string>{
                  "NAME          PORT          RESULT  STATUS   SECONDS     BYTES     KB/S  REASON",
                  "A             /dev/ttyUSB0  ok           0       2.0      2048      1.0",
                  "B             it's          FAILED       4       0.5         0      0.0  No answer.",
                  "/dev/ttyUSB2  /dev/ttyUSB2  FAILED       2       0.1         0      0.0",
                  "",
                  "1 of 3 succeeded.",
              }));
    EXPECT_EQ(station::retryCommand("vq2dl", ports, {"-b", "my fw.vqu"}),
              R"(vq2dl --ports 'B=it'\''s,/dev/ttyUSB2' -b 'my fw.vqu')");
}

TEST(StationEvents, TheSummaryFitsATerminalAndIsWholeElsewhere) {
    std::vector<PortState> ports;
    ports.push_back(fed(HALF_WAY, "A"));
    ports[0].status = 4;
    ports[0].endedMs = 2000;
    ports[0].reason = "no answer while erasing: flash erased \u00e9\u00e9\u00e9\u00e9 and more words to cut";
    const std::vector<std::string> whole = station::summaryLines(ports);
    EXPECT_NE(whole[1].find(ports[0].reason), std::string::npos) << whole[1];
    for (int columns : {40, 60, 80}) {
        SCOPED_TRACE(columns);
        const std::vector<std::string> fitted = station::summaryLines(ports, columns);
        ASSERT_EQ(fitted.size(), whole.size());
        for (size_t i = 0; i < fitted.size(); ++i) {
            // Characters, not bytes: each UTF-8 character takes one column.
            size_t characters = 0;
            for (char c : fitted[i])
                characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
            EXPECT_LE(characters, static_cast<size_t>(columns - 1)) << fitted[i];
            EXPECT_EQ(fitted[i] == whole[i], whole[i].size() < static_cast<size_t>(columns - 1)) << fitted[i];
        }
        EXPECT_TRUE(fx::endsWith(fitted[1], "\u2026")) << fitted[1];
        EXPECT_EQ(fitted[1].compare(0, 3, "A  "), 0);
    }
    // A cut never splits a character.
    EXPECT_EQ(station::fitted("ab\u00e9\u00e9\u00e9", 5), "ab\u00e9\u2026");
    EXPECT_EQ(station::fitted("abcd", 5), "abcd");
    EXPECT_EQ(station::fitted("abcdef", 0), "abcdef");
}

TEST(StationEvents, PortLists) {
    struct Case {
        std::string text;
        bool ok;
        std::vector<std::pair<std::string, std::string>> ports; ///< name, port
    };
    const std::vector<Case> cases = {
        {"A=/dev/ttyUSB0,B=2,/dev/ttyUSB3",
         true,
         {{"A", "/dev/ttyUSB0"}, {"B", "2"}, {"/dev/ttyUSB3", "/dev/ttyUSB3"}}},
        {"3", true, {{"3", "3"}}},
        {"A=", false, {}},
        {"=/dev/x", false, {}},
        {"A=1,", false, {}},
        {"", false, {}},
        {"A\n=/dev/x", false, {}},
        {"A=/dev/x\t", false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<station::PortSpec> slots;
        std::string error;
        EXPECT_EQ(station::splitPortList(c.text, slots, error), c.ok) << error;
        if (!c.ok) continue;
        ASSERT_EQ(slots.size(), c.ports.size());
        for (size_t i = 0; i < slots.size(); ++i)
            EXPECT_EQ(std::make_pair(slots[i].name, slots[i].port), c.ports[i]);
    }
    EXPECT_EQ(station::logFileName("/dev/ttyUSB0"), "_dev_ttyUSB0.log");
    EXPECT_EQ(station::logFileName("slot 1"), "slot 1.log");
}
