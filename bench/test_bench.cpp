// The benchmark's own parts, through real files, child processes and a simulated controller on a
// pseudo-terminal: the generated S-record files, the child figures, the loading child and the floor of a real
// download.
#include "download.h"
#include "environment.h"
#include "image/firmware_image.h"
#include "process.h"
#include "read_back_bench.h"
#include "srec_writer.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string readText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

/// The type digit of every line of a file, in order.
std::string lineTypes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string types, line;
    while (std::getline(file, line))
        types += line.size() > 1 ? line[1] : '?';
    return types;
}

} // namespace

TEST(SRecordWriter, FilesLoadBackToTheGeneratedBytesInBothForms) {
    bench::ScratchDir dir;
    // Records that end just past 16 and just past 24 address bits need the wider record type.
    const std::vector<bench::Span> spans = {{0x100, 40}, {0xFFF0, 0x30}, {0xFFFFF0, 0x20}};
    for (auto form : {bench::AddressForm::Shortest, bench::AddressForm::S3}) {
        std::string path = dir.file("form.s19");
        bench::SRecordFile written;
        std::string error;
        ASSERT_TRUE(bench::writeSRecordFile(path, spans, 32, form, 0x8000, written, error)) << error;
        EXPECT_EQ(written.dataBytes, 0x78u);
        EXPECT_EQ(written.records, 5u); // 32+8, 32+16, 32
        EXPECT_EQ(written.textBytes, readText(path).size());
        if (form == bench::AddressForm::Shortest)
            EXPECT_EQ(lineTypes(path), "0112239");
        else
            EXPECT_EQ(lineTypes(path), "0333337");

        FirmwareImage image;
        image.load(path);
        EXPECT_EQ(image.recordCount(), written.records);
        EXPECT_EQ(image.entryPoint, 0x8000u);
        for (const bench::Span& span : spans) {
            for (uint32_t address = span.address; address < span.address + span.length; ++address) {
                auto record = image.records.upper_bound(address);
                ASSERT_NE(record, image.records.begin());
                --record;
                const SRecord& r = record->second;
                ASSERT_LT(address - r.address, r.length) << std::hex << address;
                ASSERT_EQ(r.data[address - r.address], bench::dataByte(address)) << std::hex << address;
            }
        }
    }
}

TEST(SRecordWriter, SrecInfoReadsTheSameRanges) {
    std::string srecInfo = bench::findOnPath("srec_info");
    if (srecInfo.empty()) GTEST_SKIP() << "srec_info (Debian package srecord) is not installed";
    bench::ScratchDir dir;
    std::string path = dir.file("ranges.s19");
    bench::SRecordFile written;
    std::string error;
    ASSERT_TRUE(bench::writeSRecordFile(path, {{0xFFF0, 0x40}, {0x3C8000, 0x100}}, 32,
                                        bench::AddressForm::Shortest, 0xC000, written, error));
    bench::ChildResult result = bench::runChild({srecInfo, path}, dir.file("info.txt"), 30, error);
    ASSERT_EQ(result.status, 0) << readText(dir.file("info.txt"));
    std::string info = readText(dir.file("info.txt"));
    EXPECT_NE(info.find("00FFF0 - 01002F"), std::string::npos) << info;
    EXPECT_NE(info.find("3C8000 - 3C80FF"), std::string::npos) << info;
    EXPECT_NE(info.find("Execution Start Address: 0000C000"), std::string::npos) << info;
}

TEST(Process, StatusTimeLimitAndEachWallTimeItsOwn) {
    bench::ScratchDir dir;
    std::string error;
    bench::ChildResult seven =
        bench::runChild({"/bin/sh", "-c", "echo out; exit 7"}, dir.file("out"), 30, error);
    EXPECT_EQ(seven.status, 7);
    EXPECT_FALSE(seven.timedOut);
    EXPECT_GT(seven.maxRssKiB, 0);
    EXPECT_EQ(readText(dir.file("out")), "out\n");

    bench::ChildResult slow = bench::runChild({"/bin/sleep", "20"}, "", 0.3, error);
    EXPECT_TRUE(slow.timedOut);
    EXPECT_EQ(slow.status, -1);
    EXPECT_LT(slow.wallSeconds, 10.0);

    bench::ChildResult missing = bench::runChild({dir.file("no-such-program")}, "", 30, error);
    EXPECT_NE(error.find("cannot start"), std::string::npos) << error;
    EXPECT_EQ(missing.status, -1);

    // Started together, reaped each as it ends: the short one's wall time does not wait for the long one.
    bench::Child quick, late;
    ASSERT_TRUE(quick.start({"/bin/sleep", "0.1"}, "", error)) << error;
    ASSERT_TRUE(late.start({"/bin/sleep", "1"}, "", error)) << error;
    bench::waitAll({&late, &quick}, 30);
    EXPECT_EQ(quick.result().status, 0);
    EXPECT_EQ(late.result().status, 0);
    EXPECT_LT(quick.result().wallSeconds + 0.5, late.result().wallSeconds);
}

TEST(LoadChild, ReportsTheWholeImageAndAPeakThatHoldsIt) {
    bench::ScratchDir dir;
    std::string path = dir.file("eight.s19");
    bench::SRecordFile written;
    std::string error;
    ASSERT_TRUE(
        bench::writeSRecordFile(path, {{0, 8u << 20}}, 32, bench::AddressForm::S3, 0, written, error));
    std::ofstream(dir.file("empty.s19")).close();
    bench::ChildResult empty =
        bench::runChild({VQBENCH_PROGRAM, "--load-child", dir.file("empty.s19")}, dir.file("out"), 60, error);
    ASSERT_EQ(empty.status, 0) << readText(dir.file("out"));
    EXPECT_EQ(readText(dir.file("out")).compare(0, 18, "records=0 bytes=0 "), 0);

    bench::ChildResult full =
        bench::runChild({VQBENCH_PROGRAM, "--load-child", path}, dir.file("out"), 60, error);
    ASSERT_EQ(full.status, 0) << readText(dir.file("out"));
    unsigned long long records = 0, bytes = 0;
    double seconds = -1;
    ASSERT_EQ(std::sscanf(readText(dir.file("out")).c_str(), "records=%llu bytes=%llu seconds=%lf", &records,
                          &bytes, &seconds),
              3);
    EXPECT_EQ(records, written.records);
    EXPECT_EQ(bytes, 8ull << 20);
    EXPECT_GE(seconds, 0.0);
    // The records hold every data byte, so this child's peak lies at least that far above the empty load's
    // (which also stands for the test's own peak, counted into every child's).
    EXPECT_GE(full.maxRssKiB, empty.maxRssKiB + (8L << 10));

    // A damaged file ends the child with the loader's message and status 3.
    std::ofstream(dir.file("bad.s19")) << "S1050000AABB00\r\n";
    bench::ChildResult bad =
        bench::runChild({VQBENCH_PROGRAM, "--load-child", dir.file("bad.s19")}, dir.file("out"), 60, error);
    EXPECT_EQ(bad.status, 3);
    EXPECT_NE(readText(dir.file("out")).find("line 1: Invalid checksum"), std::string::npos);
}

namespace {

/// Runs a small download at 115200 bit/s and checks that the floor stays under its wall time.
void downloadWithinFloor(const bench::DownloadCase& image, bench::Floor& floor, vqsim::Counters& counters) {
    bench::ScratchDir dir;
    std::string error;
    ASSERT_TRUE(bench::writeCaseFile(image, dir.file("image.s19"), error)) << error;
    bench::Download download(image, dir.file("image.s19"), dir.file("log"), 115200);
    ASSERT_TRUE(download.start(VQ2DL_PROGRAM, error)) << error;
    const bench::ChildResult& result = download.child().wait(120);
    ASSERT_TRUE(download.finish(error)) << error;
    floor = download.floor();
    counters = download.counters();
    // The floor holds only what no downloader can avoid: a download never beats it by more than the
    // overlap the floor cannot see (a reply crossing the line during a fixed pause, waits counted in whole
    // milliseconds). A floor that counted a wait that never happens would be off by far more.
    EXPECT_LE(floor.total() * 0.95, result.wallSeconds);
    EXPECT_GT(floor.lineSeconds, 0.0);
}

} // namespace

TEST(DownloadFloor, VqTwoDownloadNeverBeatsItsFloor) {
    bench::DownloadCase image;
    image.generation = 2;
    image.spans = {{0x4000, 0x800}, {0xFFE0, 0x20}, {0x308000, 0x800}};
    image.entry = 0xC000;
    bench::Floor floor;
    vqsim::Counters counters;
    downloadWithinFloor(image, floor, counters);
    EXPECT_EQ(counters.mainErases, 1u);
    EXPECT_EQ(counters.pagesErased, 1u);
    EXPECT_DOUBLE_EQ(floor.waitSeconds, 0.5);
    EXPECT_DOUBLE_EQ(floor.timeoutSeconds, 0.0);
    // 129 records written, 128 read back (the one at 0xFFE0 is skipped): 32 data bytes each way at least.
    EXPECT_GT(floor.bytes, 2u * 128 * 32);
}

TEST(DownloadFloor, VqOneDownloadNeverBeatsItsFloor) {
    bench::DownloadCase image;
    image.generation = 1;
    // Few lines, so that they have crossed before the first read for the end line's reply can time out.
    image.spans = {{0xE000, 0x80}};
    image.entry = 0xE000;
    bench::Floor floor;
    vqsim::Counters counters;
    downloadWithinFloor(image, floor, counters);
    EXPECT_EQ(counters.linesReceived, 5u);
    EXPECT_EQ(counters.badLines, 0u);
    EXPECT_NEAR(floor.waitSeconds + floor.timeoutSeconds, 0.25 + 0.4 + 7 * 0.251, 1e-9);
}

TEST(DownloadFinish, ReportsAFailedDownloadAndAFlashThatDiffers) {
    bench::ScratchDir dir;
    std::string error;
    bench::DownloadCase image;
    image.generation = 2;
    image.spans = {{0x4000, 0x100}};
    image.entry = 0x4000;
    ASSERT_TRUE(bench::writeCaseFile(image, dir.file("image.s19"), error)) << error;

    // The controller refuses the third block: vq2dl ends with status 4, and the controller's summary is
    // shown.
    bench::DownloadCase refused = image;
    refused.faults = {"error@writeblock#3=0xE6"};
    bench::Download failing(refused, dir.file("image.s19"), dir.file("log"), 115200);
    ASSERT_TRUE(failing.start(VQ2DL_PROGRAM, error)) << error;
    failing.child().wait(60);
    EXPECT_FALSE(failing.finish(error));
    EXPECT_NE(error.find("vq2dl ended with status 4"), std::string::npos) << error;
    EXPECT_NE(error.find("Access error when writing FLASH/EEPROM memory"), std::string::npos) << error;
    EXPECT_NE(error.find("Simulated VQ-II controller: bytes written 96,"), std::string::npos) << error;

    // A download that succeeds but leaves bytes the image should hold unwritten does not count.
    bench::DownloadCase larger = image;
    larger.spans.push_back({0xC000, 0x20});
    bench::Download partial(larger, dir.file("image.s19"), dir.file("log"), 115200);
    ASSERT_TRUE(partial.start(VQ2DL_PROGRAM, error)) << error;
    EXPECT_EQ(partial.child().wait(60).status, 0);
    EXPECT_FALSE(partial.finish(error));
    EXPECT_EQ(error, "the controller's flash differs from the image at 0xC000");
}

TEST(Environment, TailShowsProgressLinesEachOnItsOwn) {
    bench::ScratchDir dir;
    std::ofstream(dir.file("log"), std::ios::binary)
        << "Writing:\nLine   10 of 30\rLine   20 of 30\rDownload failed:\r\n   Expected \"x\"\n\n";
    EXPECT_EQ(bench::tailOfFile(dir.file("log"), 4),
              "    | Line   20 of 30\n    | Download failed:\n    |    Expected \"x\"\n    | \n");
}

// The read-back row: a small image read back at 115200 bit/s, the file checked against the image, and a floor
// that counts every block (command, data, reply) and stays under the wall time.
TEST(ReadBackFloor, ReadBackNeverBeatsItsFloor) {
    bench::ScratchDir dir;
    bench::Settings settings;
    settings.vq2dl = VQ2DL_PROGRAM;
    bench::DownloadCase image;
    image.generation = 2;
    image.spans = {{0x4000, 0x400}, {0x308000, 0x200}};
    vqsim::Options options;
    options.baud = 115200;
    bench::ReadBackFigures figures;
    std::string error;
    ASSERT_TRUE(bench::measureReadBack(settings, dir, image, options, figures, error)) << error;
    EXPECT_EQ(figures.dataBytes, 0x600u);
    // 6 blocks of 256 bytes: 4 command and 3 reply bytes each, the drop-in, probe and page register
    // exchanges.
    EXPECT_GE(figures.bytes, 0x600u + 6 * 7 + 14 + 3 + 1 + 3 + 4 + 3);
    EXPECT_LE(figures.floorSeconds * 0.95, figures.wallSeconds);
}
