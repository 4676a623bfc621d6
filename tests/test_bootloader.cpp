// The VQ-I download end to end: a simulated boot loader on a pseudo-terminal, driven by an in-process
// Downloader step by step.
#include "fixture.h"

#include "bootloader/lines.h"

using fx::endsWith, fx::exitStatus, fx::failed, fx::record, fx::secondsSince, fx::toText, fx::transcript;

namespace {

// A simulated VQ-I controller with a Downloader whose port is open on it.
class BootLoader : public ::testing::Test, public fx::Rig {
protected:
    void connect(fx::Texts faults = {}, const std::string& signature = vqsim::Options().signature) {
        ASSERT_TRUE(reopen(fx::bootLoaderOptions(std::move(faults), signature)));
    }

    // The steps the driver runs for a VQ-I image; returns the exit status thrown, or 0.
    int download(bool signature = true) {
        return exitStatus([&] {
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
    EXPECT_EQ(toText(sim->received()), wire + "xS");
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
    dl.console.verbosity = 2;
    ASSERT_EQ(exitStatus([this] { dl.wakeUp(); }), 0) << fx::captured;
    EXPECT_EQ(fx::captured, "Wake up attempted:\nHello, \n\r\nBoot>\nWakeup successful.\n\n");
    EXPECT_EQ(toText(sim->received()), "\r!!\r");
}

TEST_F(BootLoader, OneStrayByteAfterAReplyIsAccepted) {
    ASSERT_NO_FATAL_FAILURE(connect({"extra=0x20@wake", "extra=0x2E@s9"}));
    dl.image.addRecord(record(0x8100, fx::bytes(8)));
    ASSERT_EQ(download(), 0) << fx::captured;
    EXPECT_EQ(toText(sim->received()).substr(0, 5), "\r!!wu");
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
        EXPECT_EQ(toText(sim->received()).find('x'), std::string::npos) << "a step ran after the failure";
    }
}

TEST_F(BootLoader, DelaysPaceTheWipeAndEveryLine) {
    ASSERT_NO_FATAL_FAILURE(connect());
    for (uint32_t i = 0; i < 10; ++i)
        dl.image.addRecord(record(0x8100 + 0x10 * i, fx::bytes(4)));
    dl.options.wipeDelay = 400;
    dl.options.recordDelay = 50;
    ASSERT_EQ(exitStatus([this] { dl.wakeUp(); }), 0);
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(exitStatus([this] { dl.eraseFlash(); }), 0);
    EXPECT_GE(secondsSince(start), 0.4);
    start = std::chrono::steady_clock::now();
    ASSERT_EQ(exitStatus([this] { dl.writeLines(); }), 0);
    EXPECT_GE(secondsSince(start), 0.5);
    EXPECT_TRUE(flashHoldsImage());
}

TEST_F(BootLoader, SignatureIsShownVerbatimAndGrowsUpTo64KiB) {
    ASSERT_NO_FATAL_FAILURE(connect({}, "Rev 100% \"%s\" %n\r\nok\r\n"));
    ASSERT_EQ(exitStatus([this] { dl.readSignature(); }), 0);
    EXPECT_EQ(fx::captured, "Verifying:\nSignature: Rev 100% \"%s\" %n\r\nok\r\n\nVerify complete.\n");
    EXPECT_EQ(toText(sim->received()), "xS");

    std::string signature(70000, 'A');
    for (size_t i = 0; i < signature.size(); i += 97)
        signature[i] = 'B';
    ASSERT_NO_FATAL_FAILURE(connect({}, signature));
    ASSERT_EQ(exitStatus([this] { dl.readSignature(); }), 0);
    EXPECT_EQ(fx::captured, "Verifying:\nSignature: " + signature.substr(0, 65536) + "\nVerify complete.\n");
}

TEST_F(BootLoader, SignatureReadEndsAfterTwoSecondsOnALineThatNeverFallsQuiet) {
    // One byte every 150 ms: the line never stays quiet for a read time-out.
    const std::string signature = "0123456789abcdefghijklmnopqrstuvwxyz0123456789";
    ASSERT_NO_FATAL_FAILURE(connect({"slow=150@S"}, signature));
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(exitStatus([this] { dl.readSignature(); }), 0);
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
        // Paged data in VQ-I code: the line after the refusal says how the generation was told.
        {record(0x10000, fx::bytes(4)), 0,
         "ERROR: Record at 0x10000 cannot be sent to a VQ-I controller: address above 0xFFFF.\n"
         "The generation comes from the lowest address: VQ-I code when it is 0x8080 or above. "
         "A zero-length S1 record at 0x4000 (as every read-back begins) marks a file as VQ-II.\n"},
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
        d.console.sink = fx::captureSink;
        fx::captured.clear();
        d.image.addRecord(record(0x8100, {1}));
        d.image.addRecord(c.record);
        d.image.entryPoint = c.entryPoint;
        EXPECT_EQ(exitStatus([&] { checkImage(Generation::VQ1, d.image, d.console); }), *c.text ? 3 : 0)
            << c.text;
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
