// The VQ-I download through the real vq2dl program, against a simulated boot loader on a pseudo-terminal. The
// transcripts of a whole download, the percentages and a verification are in test_golden.cpp.
#include "fixture.h"

using fx::endsWith, fx::failed, fx::toText;

/// The line after the refusal of an address that no S1 line can carry.
const std::string GENERATION_HINT =
    "The generation comes from the lowest address: VQ-I code when it is 0x8080 or "
    "above. A zero-length S1 record at 0x4000 (as every read-back begins) marks a "
    "file as VQ-II.\n";

TEST(BootLoaderRun, VerifyOnlyShowsTheSignatureWithoutWakingUp) {
    // The transcript of a plain -V is in test_golden.cpp.
    auto sim = fx::startController(fx::bootLoaderOptions());
    fx::TempDir dir;
    // A verification sends no record line, so an image that no line could carry still gets its signature
    // shown.
    fx::writeFile(dir.file("wide.s19"), fx::srec(2, 0x10000, fx::bytes(4)) + "\n");
    fx::RunResult result = fx::run(VQ2DL_PROGRAM, {"-V", "-c", sim->devicePath(), dir.file("wide.s19")});
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_TRUE(endsWith(result.out, "Verify complete.\n"));
    EXPECT_EQ(toText(sim->received()), "xS") << "no wake-up";
}

TEST(BootLoaderRun, SilentControllerFailsTheWakeUpWithStatusFour) {
    auto sim = fx::startController(fx::bootLoaderOptions({"silent@any"}));
    fx::TempDir dir;
    fx::writeFile(dir.file("app.s19"), fx::srec(1, 0x8100, fx::bytes(16)) + "\n");
    fx::RunResult result = fx::run(VQ2DL_PROGRAM, {"-c", sim->devicePath(), dir.file("app.s19")});
    EXPECT_EQ(result.status, 4) << result.out;
    EXPECT_TRUE(endsWith(result.out, " at 115200.\nWake up attempted:\n" + failed("\r\nBoot>", "")));
    EXPECT_EQ(toText(sim->received()), "\r!!\r");
    // Two attempts of eight read time-outs each, with the pauses and drains between them.
    EXPECT_GT(result.seconds, 4.0);
    EXPECT_LT(result.seconds, 8.0);

    // -V against the same silent controller (or a VQ-II one, or a dead cable) shows the bare prefix and
    // fails: nothing was verified.
    result = fx::run(VQ2DL_PROGRAM, {"-V", "-c", sim->devicePath(), dir.file("app.s19")});
    EXPECT_EQ(result.status, 4) << result.out;
    EXPECT_TRUE(endsWith(result.out, "Verifying:\nSignature: \nERROR: No answer to the signature request.\n"))
        << result.out;
    auto monitor = fx::startController(fx::monitorOptions());
    result = fx::run(VQ2DL_PROGRAM, {"-V", "-c", monitor->devicePath(), dir.file("app.s19")});
    EXPECT_EQ(result.status, 4) << result.out;
    EXPECT_TRUE(endsWith(result.out, "Signature: \nERROR: No answer to the signature request.\n"))
        << result.out;

    // A station of two such ports: neither succeeded.
    result = fx::run(VQ2DL_PROGRAM,
                     {"-V", "--ports", "A=" + sim->devicePath() + ",B=" + monitor->devicePath(), "--results",
                      "units.jsonl", "app.s19"},
                     dir.path());
    EXPECT_EQ(result.status, 4) << result.out;
    EXPECT_NE(result.out.find("0 of 2 succeeded"), std::string::npos) << result.out;
    const std::string units = fx::readFile(dir.file("units.jsonl"));
    EXPECT_NE(units.find("\"error\":\"No answer to the signature request.\""), std::string::npos) << units;
}

TEST(BootLoaderRun, ImageThatNoLineCanCarryIsRefusedBeforeThePortOpens) {
    auto sim = fx::startController(fx::bootLoaderOptions());
    fx::TempDir dir;
    fx::writeFile(dir.file("app.s19"), fx::srec(1, 0x8100, fx::bytes(16)) + "\n" +
                                           fx::srec(2, 0x10000, fx::bytes(16)) + "\n" + fx::srec(9, 0x8100) +
                                           "\n");
    fx::RunResult result = fx::run(VQ2DL_PROGRAM, {"-c", sim->devicePath(), dir.file("app.s19")});
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_TRUE(endsWith(result.out, "File read successfully.\n\n"
                                     "ERROR: Record at 0x10000 cannot be sent to a VQ-I controller: "
                                     "address above 0xFFFF.\n" +
                                         GENERATION_HINT));

    // Only pages, nothing below 0x8080: VQ-I by the generation rule. The line after the refusal says why, and
    // how a file is marked as VQ-II; so marked, the same pages are taken for a VQ-II controller.
    fx::writeFile(dir.file("paged.s19"), fx::srec(2, 0x3C8000, fx::bytes(16)) + "\n");
    result = fx::run(VQ2DL_PROGRAM, {"-c", sim->devicePath(), dir.file("paged.s19")});
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_TRUE(endsWith(result.out, "Detected VQ-I (HC908) code.\nEntry point: 0x0000\n"
                                     "Code range : 0x3c8000-0x3c8000\nFile read successfully.\n\n"
                                     "ERROR: Record at 0x3C8000 cannot be sent to a VQ-I controller: "
                                     "address above 0xFFFF.\n" +
                                         GENERATION_HINT))
        << result.out;
    // A record refused for another reason gets no such line.
    fx::writeFile(dir.file("long.s19"), fx::srec(1, 0xFFF0, fx::bytes(32)) + "\n");
    result = fx::run(VQ2DL_PROGRAM, {"-c", sim->devicePath(), dir.file("long.s19")});
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_TRUE(endsWith(result.out, "VQ-I controller: data run past 0xFFFF.\n")) << result.out;
    EXPECT_TRUE(sim->received().empty());
    fx::writeFile(dir.file("marked.s19"),
                  fx::srec(1, 0x4000) + "\n" + fx::srec(2, 0x3C8000, fx::bytes(16)) + "\n");
    result = fx::run(VQ2DL_PROGRAM, {"-c", dir.file("no-port"), dir.file("marked.s19")});
    EXPECT_EQ(result.status, 2) << result.out;
    EXPECT_NE(result.out.find("Detected VQ-II (HCS12) code."), std::string::npos) << result.out;
}
