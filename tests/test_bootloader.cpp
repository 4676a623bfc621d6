// The VQ-I download end to end: a simulated boot loader on a pseudo-terminal, driven by an in-process
// Downloader step by step and by the real vq2dl program.
#include "fixture.h"

#include "bootloader/lines.h"
#include "downloader.h"
#include "simulator.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

const char* const SIGNATURE = "VQ-I boot loader 1.3 (simulated)\r\n";

std::string str(const std::vector<uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

std::unique_ptr<vqsim::Simulator> bootLoader(std::vector<std::string> faults = {},
                                             const std::string& signature = SIGNATURE) {
    vqsim::Options options;
    options.generation = 1;
    options.signature = signature;
    options.faults = std::move(faults);
    auto sim = std::make_unique<vqsim::Simulator>(options);
    std::string error;
    if (sim->start(error)) return sim;
    ADD_FAILURE() << error;
    return nullptr;
}

::testing::AssertionResult endsWith(const std::string& text, const std::string& tail) {
    if (text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << text << "\"\ndoes not end in\n\"" << tail << "\"";
}

// The "Download failed" text of a reply that differs, as the console shows it.
std::string failed(const std::string& expected, const std::string& received) {
    return "Download failed:\n   Expected response \"" + expected + "\",\n   but received this \"" +
           received + "\".\n\n";
}

// What a whole successful run prints from the wake-up on, at verbosity 1.
std::string transcript(const std::string& writing, const std::string& signature = SIGNATURE) {
    return "Wake up attempted:\nWakeup successful.\n\nErasing:\nErased.\n\n" + writing +
           "Verifying:\nSignature: " + signature + "\nVerify complete.\n";
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

SRecord record(uint32_t address, std::vector<uint8_t> data) {
    SRecord r;
    r.address = address;
    r.length = static_cast<uint32_t>(data.size());
    r.data = std::move(data);
    return r;
}

// Calls a step; returns the exit status it threw, or 0.
template <typename Step> int status(Step step) {
    try {
        step();
    } catch (int thrown) {
        return thrown;
    }
    return 0;
}

// A simulated VQ-I controller with a Downloader whose port is open on it.
class BootLoader : public ::testing::Test {
protected:
    void connect(std::vector<std::string> faults = {}, const std::string& signature = SIGNATURE) {
        dl.closePort();
        sim = bootLoader(std::move(faults), signature);
        ASSERT_TRUE(sim);
        dl.setMessageCallback(fx::captureSink);
        dl.portPath = sim->devicePath();
        ASSERT_TRUE(dl.openPort()) << dl.portError;
        fx::captured.clear();
    }

    // The steps the driver runs for a VQ-I image; returns the exit status thrown, or 0.
    int download(bool signature = true) {
        return status([&] {
            dl.wakeUp();
            dl.eraseFlash();
            dl.writeLines();
            if (signature) dl.readSignature();
        });
    }

    ::testing::AssertionResult flashHoldsImage() {
        for (const auto& entry : dl.image.records) {
            for (size_t i = 0; i < entry.second.data.size(); ++i) {
                uint32_t address = entry.first + static_cast<uint32_t>(i);
                if (sim->peek(address) != entry.second.data[i])
                    return ::testing::AssertionFailure() << "flash differs at 0x" << std::hex << address;
            }
        }
        return ::testing::AssertionSuccess();
    }

    std::unique_ptr<vqsim::Simulator> sim;
    Downloader dl;
};

} // namespace

TEST(RecordLine, UpperCaseHexWithOnesComplementChecksum) {
    EXPECT_EQ(formatS1Line(record(0x8000, {0x01, 0x02, 0x03})), "S106800001020373\r\n");
    EXPECT_EQ(formatS1Line(record(0xABCD, {0xEF, 0xFE, 0x0A})), "S106ABCDEFFE0A8A\r\n");
    EXPECT_EQ(formatS1Line(record(0x9000, {})), "S10390006C\r\n");
    // The longest line a count byte allows: 252 data bytes, 12 + 504 characters.
    std::string line = formatS1Line(record(0x9000, fx::bytes(252, 0x80)));
    EXPECT_EQ(line.size(), 516u);
    EXPECT_EQ(line, fx::srec(1, 0x9000, fx::bytes(252, 0x80)) + "\r\n");
    EXPECT_EQ(line.substr(0, 4), "S1FF");
}

TEST_F(BootLoader, DownloadSendsEveryRecordInAddressOrderAndFillsTheFlash) {
    ASSERT_NO_FATAL_FAILURE(connect());
    // Added out of order, with a zero-length record and one ending at the top of the address space.
    for (auto r :
         {record(0xC010, fx::bytes(16, 0x40)), record(0x8100, {1, 2, 3}), record(0xFFF0, fx::bytes(16, 0xF0)),
          record(0xA000, {}), record(0x9000, fx::bytes(32, 0xC8))})
        dl.image.addRecord(r);
    dl.image.entryPoint = 0xC000;
    ASSERT_EQ(download(), 0) << fx::captured;

    const std::vector<std::string> lines = {
        "S106810001020372\r\n",
        fx::srec(1, 0x9000, fx::bytes(32, 0xC8)) + "\r\n",
        fx::srec(1, 0xA000) + "\r\n",
        fx::srec(1, 0xC010, fx::bytes(16, 0x40)) + "\r\n",
        fx::srec(1, 0xFFF0, fx::bytes(16, 0xF0)) + "\r\n",
        "S903C0003C\r\n",
    };
    EXPECT_EQ(sim->lines(), lines);
    EXPECT_EQ(sim->counters().badLines, 0u);
    std::string wire = "\r!!wu";
    for (const auto& line : lines)
        wire += line;
    EXPECT_EQ(str(sim->received()), wire + "xS");
    EXPECT_TRUE(flashHoldsImage());
    EXPECT_EQ(sim->peek(0x80FF), 0xFF);
    EXPECT_EQ(sim->peek(0x9020), 0xFF);
    EXPECT_EQ(fx::captured, transcript("Writing:\nWrite complete, 5 records, 67 bytes.\n\n"));

    // An image without records sends the end line alone, with entry point 0 when none was read.
    dl.image.records.clear();
    dl.image.entryPoint = 0;
    ASSERT_NO_FATAL_FAILURE(connect());
    ASSERT_EQ(download(false), 0) << fx::captured;
    EXPECT_EQ(sim->lines(), std::vector<std::string>{"S9030000FC\r\n"});
    EXPECT_TRUE(endsWith(fx::captured, "Writing:\nWrite complete, 0 records, 0 bytes.\n\n"));
}

TEST_F(BootLoader, ProgressLineAfterEveryTenthLine) {
    ASSERT_NO_FATAL_FAILURE(connect());
    for (uint32_t i = 0; i < 25; ++i)
        dl.image.addRecord(record(0x8100 + 0x10 * i, fx::bytes(i % 5 + 1)));
    ASSERT_EQ(download(false), 0) << fx::captured;
    EXPECT_TRUE(endsWith(fx::captured,
                         "Erased.\n\nWriting:\nLine   10 of 25 (    30 bytes)\r"
                         "Line   20 of 25 (    60 bytes)\rWrite complete, 25 records, 75 bytes.\n\n"));
    EXPECT_EQ(sim->lines().size(), 26u);
    EXPECT_TRUE(flashHoldsImage());
}

TEST_F(BootLoader, WakeUpRetriesOnceWithALoneCarriageReturn) {
    ASSERT_NO_FATAL_FAILURE(connect({"reply=Hello, sleepy@wake"}));
    dl.verbosity = 2;
    ASSERT_EQ(status([this] { dl.wakeUp(); }), 0) << fx::captured;
    EXPECT_EQ(fx::captured, "Wake up attempted:\nHello, \n\r\nBoot>\nWakeup successful.\n\n");
    EXPECT_EQ(str(sim->received()), "\r!!\r");
}

TEST_F(BootLoader, OneStrayByteAfterAReplyIsAccepted) {
    ASSERT_NO_FATAL_FAILURE(connect({"extra=0x20@wake", "extra=0x2E@s9"}));
    dl.image.addRecord(record(0x8100, fx::bytes(8)));
    ASSERT_EQ(download(), 0) << fx::captured;
    EXPECT_EQ(str(sim->received()).substr(0, 5), "\r!!wu");
    EXPECT_TRUE(flashHoldsImage());
}

TEST_F(BootLoader, WrongOrMissingRepliesEndTheRunWithStatusFour) {
    struct Case {
        std::vector<std::string> faults;
        std::string expected;
        std::string received;
    };
    const Case cases[] = {
        {{"reply=Go away!!@wake", "reply=Still no.@cr"}, "\r\nBoot>", "Still n"},
        {{"reply=w  Failed\\r\\nBoot>xx@w"}, "w  Complete\r\nBoot>", "w  Failed\r\nBoot>xx"},
        {{"short=10@u"}, "u - waiting ...", "u - waitin"},
        {{"reply=S1 line rejected\\r\\nBoot>@s9"}, "  Complete\r\nBoot>", "S1 line rejected\r"},
    };
    dl.image.addRecord(record(0x8100, fx::bytes(4)));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults.front());
        ASSERT_NO_FATAL_FAILURE(connect(c.faults));
        EXPECT_EQ(download(), 4);
        EXPECT_TRUE(endsWith(fx::captured, failed(c.expected, c.received)));
        EXPECT_EQ(str(sim->received()).find('x'), std::string::npos) << "a step ran after the failure";
    }
}

TEST_F(BootLoader, DelaysPaceTheWipeAndEveryLine) {
    ASSERT_NO_FATAL_FAILURE(connect());
    for (uint32_t i = 0; i < 10; ++i)
        dl.image.addRecord(record(0x8100 + 0x10 * i, fx::bytes(4)));
    dl.wipeDelay = 400;
    dl.recordDelay = 50;
    ASSERT_EQ(status([this] { dl.wakeUp(); }), 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(status([this] { dl.eraseFlash(); }), 0);
    EXPECT_GE(secondsSince(start), 0.4);
    start = std::chrono::steady_clock::now();
    ASSERT_EQ(status([this] { dl.writeLines(); }), 0);
    EXPECT_GE(secondsSince(start), 0.5);
    EXPECT_TRUE(flashHoldsImage());
}

TEST_F(BootLoader, SignatureIsShownVerbatimAndGrowsUpTo64KiB) {
    ASSERT_NO_FATAL_FAILURE(connect({}, "Rev 100% \"%s\" %n\r\nok\r\n"));
    ASSERT_EQ(status([this] { dl.readSignature(); }), 0);
    EXPECT_EQ(fx::captured, "Verifying:\nSignature: Rev 100% \"%s\" %n\r\nok\r\n\nVerify complete.\n");
    EXPECT_EQ(str(sim->received()), "xS");

    std::string signature(70000, 'A');
    for (size_t i = 0; i < signature.size(); i += 97)
        signature[i] = 'B';
    ASSERT_NO_FATAL_FAILURE(connect({}, signature));
    ASSERT_EQ(status([this] { dl.readSignature(); }), 0);
    EXPECT_EQ(fx::captured, "Verifying:\nSignature: " + signature.substr(0, 65536) + "\nVerify complete.\n");
}

TEST_F(BootLoader, SignatureReadEndsAfterTwoSecondsOnALineThatNeverFallsQuiet) {
    // One byte every 150 ms: the line never stays quiet for a read time-out.
    const std::string signature = "0123456789abcdefghijklmnopqrstuvwxyz0123456789";
    ASSERT_NO_FATAL_FAILURE(connect({"slow=150@S"}, signature));
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(status([this] { dl.readSignature(); }), 0);
    EXPECT_LT(secondsSince(start), 3.5);
    const std::string head = "Verifying:\nSignature: ", tail = "\nVerify complete.\n";
    ASSERT_GT(fx::captured.size(), head.size() + tail.size());
    std::string shown = fx::captured.substr(head.size(), fx::captured.size() - head.size() - tail.size());
    EXPECT_GE(shown.size(), 8u);
    EXPECT_LT(shown.size(), 20u);
    EXPECT_EQ(shown, signature.substr(0, shown.size()));
}

TEST(BootLoaderImage, RecordsAndEntryPointsThatNoLineCanCarryAreRefused) {
    struct Case {
        SRecord record;
        uint32_t entryPoint;
        const char* text;
    };
    const Case cases[] = {
        {record(0x10000, fx::bytes(4)), 0,
         "ERROR: Record at 0x10000 cannot be sent to a VQ-I controller: address above 0xFFFF.\n"},
        {record(0xFFF8, fx::bytes(9)), 0,
         "ERROR: Record at 0xFFF8 cannot be sent to a VQ-I controller: data run past 0xFFFF.\n"},
        {record(0x9000, fx::bytes(253)), 0,
         "ERROR: Record at 0x9000 cannot be sent to a VQ-I controller: more than 252 data bytes.\n"},
        {record(0x9000, fx::bytes(4)), 0x12345,
         "ERROR: Entry point 0x12345 cannot be sent to a VQ-I controller: address above 0xFFFF.\n"},
        {record(0xFF04, fx::bytes(252)), 0xFFFF, ""},
    };
    for (const Case& c : cases) {
        Downloader d;
        d.setMessageCallback(fx::captureSink);
        fx::captured.clear();
        d.image.addRecord(record(0x8100, {1}));
        d.image.addRecord(c.record);
        d.image.entryPoint = c.entryPoint;
        EXPECT_EQ(status([&] { d.checkBootLoaderImage(); }), *c.text ? 3 : 0) << c.text;
        EXPECT_EQ(fx::captured, c.text);
    }
}

TEST_F(BootLoader, LargestLineGoesOutWhole) {
    ASSERT_NO_FATAL_FAILURE(connect());
    dl.image.addRecord(record(0xFF04, fx::bytes(252, 7)));
    dl.image.entryPoint = 0xFFFF;
    ASSERT_EQ(download(false), 0) << fx::captured;
    EXPECT_EQ(sim->lines().front(), fx::srec(1, 0xFF04, fx::bytes(252, 7)) + "\r\n");
    EXPECT_EQ(sim->lines().back(), "S903FFFFFE\r\n");
    EXPECT_TRUE(flashHoldsImage());
}

TEST(BootLoaderRun, WholeDownloadThroughTheProgram) {
    auto sim = bootLoader();
    ASSERT_TRUE(sim);
    fx::TempDir dir;
    // Listed in descending order; the download sends them ascending.
    std::string file = fx::srec(0, 0, {'h', 'd', 'r'}) + "\n";
    for (int i = 24; i >= 0; --i)
        file += fx::srec(1, 0x8100 + 0x20 * i, fx::bytes(32, uint8_t(i))) + "\n";
    fx::writeFile(dir.file("app.s19"), file + fx::srec(9, 0x8100) + "\n");

    fx::RunResult result = fx::run(VQ2DL_PROGRAM, {"-c", sim->devicePath(), "app.s19"}, dir.path());
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.find("Velquin Download 2.00\n\nReading app.s19:\n"), 0u) << result.out;
    EXPECT_NE(result.out.find("Detected VQ-I (HC908) code.\nEntry point: 0x8100\nCode range : 0x8100-0x8400\n"
                              "File read successfully.\n\nOpened comm port " +
                              sim->devicePath() + " at 115200.\n"),
              std::string::npos)
        << result.out;
    EXPECT_TRUE(endsWith(result.out, transcript("Writing:\nLine   10 of 25 (   320 bytes)\r"
                                                "Line   20 of 25 (   640 bytes)\r"
                                                "Write complete, 25 records, 800 bytes.\n\n")));
    std::vector<std::string> lines = sim->lines();
    ASSERT_EQ(lines.size(), 26u);
    for (int i = 0; i < 25; ++i)
        EXPECT_EQ(lines[i], fx::srec(1, 0x8100 + 0x20 * i, fx::bytes(32, uint8_t(i))) + "\r\n");
    EXPECT_EQ(lines[25], fx::srec(9, 0x8100) + "\r\n");
    for (uint32_t i = 0; i < 25 * 32; ++i)
        ASSERT_EQ(sim->peek(0x8100 + i), uint8_t(i / 32 + i % 32)) << i;
}

TEST(BootLoaderRun, PercentagesWithOptionP) {
    auto sim = bootLoader();
    ASSERT_TRUE(sim);
    fx::TempDir dir;
    std::string file;
    for (uint32_t i = 0; i < 25; ++i)
        file += fx::srec(1, 0x8100 + 0x10 * i, fx::bytes(i % 5 + 1)) + "\n";
    fx::writeFile(dir.file("app.s19"), file);
    fx::RunResult result = fx::run(VQ2DL_PROGRAM, {"-p", "-c", sim->devicePath(), dir.file("app.s19")});
    ASSERT_EQ(result.status, 0) << result.out;
    // The label, one percentage after every line, and 100.00 once more after the reply.
    std::string percentages;
    for (int i = 1; i <= 25; ++i)
        percentages += "%" + std::to_string(4 * i) + ".00\n";
    EXPECT_TRUE(endsWith(result.out,
                         "at 115200.\n" + transcript("$Writing\nWriting:\n" + percentages +
                                                     "%100.00\nWrite complete, 25 records, 75 bytes.\n\n")));
}

TEST(BootLoaderRun, VerifyOnlyShowsTheSignatureWithoutWakingUp) {
    auto sim = bootLoader();
    ASSERT_TRUE(sim);
    fx::TempDir dir;
    fx::writeFile(dir.file("app.s19"), fx::srec(1, 0x8100, fx::bytes(16)) + "\n");
    fx::RunResult result = fx::run(VQ2DL_PROGRAM, {"-V", "-c", sim->devicePath(), dir.file("app.s19")});
    ASSERT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(endsWith(result.out, "Opened comm port " + sim->devicePath() +
                                         " at 115200.\nVerifying:\nSignature: " + SIGNATURE +
                                         "\nVerify complete.\n"));
    EXPECT_EQ(str(sim->received()), "xS");

    // A verification sends no record line, so an image that no line could carry still gets its signature
    // shown.
    fx::writeFile(dir.file("wide.s19"), fx::srec(2, 0x10000, fx::bytes(4)) + "\n");
    result = fx::run(VQ2DL_PROGRAM, {"-V", "-c", sim->devicePath(), dir.file("wide.s19")});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(endsWith(result.out, "Verify complete.\n"));
}

TEST(BootLoaderRun, SilentControllerFailsTheWakeUpWithStatusFour) {
    auto sim = bootLoader({"silent@any"});
    ASSERT_TRUE(sim);
    fx::TempDir dir;
    fx::writeFile(dir.file("app.s19"), fx::srec(1, 0x8100, fx::bytes(16)) + "\n");
    fx::RunResult result = fx::run(VQ2DL_PROGRAM, {"-c", sim->devicePath(), dir.file("app.s19")});
    EXPECT_EQ(result.status, 4) << result.out;
    EXPECT_TRUE(endsWith(result.out, " at 115200.\nWake up attempted:\n" + failed("\r\nBoot>", "")));
    EXPECT_EQ(str(sim->received()), "\r!!\r");
    // Two attempts of eight read time-outs each, with the pauses and drains between them.
    EXPECT_GT(result.seconds, 4.0);
    EXPECT_LT(result.seconds, 8.0);

    // -V against the same silent controller shows the bare prefix and ends normally.
    result = fx::run(VQ2DL_PROGRAM, {"-V", "-c", sim->devicePath(), dir.file("app.s19")});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(endsWith(result.out, "Verifying:\nSignature: \nVerify complete.\n"));
}

TEST(BootLoaderRun, ImageThatNoLineCanCarryIsRefusedBeforeThePortOpens) {
    auto sim = bootLoader();
    ASSERT_TRUE(sim);
    fx::TempDir dir;
    fx::writeFile(dir.file("app.s19"), fx::srec(1, 0x8100, fx::bytes(16)) + "\n" +
                                           fx::srec(2, 0x10000, fx::bytes(16)) + "\n" + fx::srec(9, 0x8100) +
                                           "\n");
    fx::RunResult result = fx::run(VQ2DL_PROGRAM, {"-c", sim->devicePath(), dir.file("app.s19")});
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_TRUE(endsWith(result.out, "File read successfully.\n\n"
                                     "ERROR: Record at 0x10000 cannot be sent to a VQ-I controller: "
                                     "address above 0xFFFF.\n"));
    EXPECT_TRUE(sim->received().empty());
}
