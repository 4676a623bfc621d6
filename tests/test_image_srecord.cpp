// S-record lines and the record store: faults, line ends, long lines, and records across files.
#include "test_image.h"

#include <cstdio>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace image_test;

namespace {

TEST(SRecordReader, EveryFaultNamesFileLineAndText) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"S1050000AABB00", "Invalid checksum, found 0x00, expected 0x95"},
        {"S10300FC01", "Invalid checksum, found 0x01, expected 0x00"},
        {"s1050000AABB95", "Not a Motorola S-record"},
        {"", "Not a Motorola S-record"},
        {"S5030001FB", "Unknown S-record type '5'"},
        {"S1050000AABB95 ", "Garbage at end of line"},
        {"S1050000AABB95\t", "Garbage at end of line"},
        {"S1050000AABB", "Line shorter than its byte count"},
        {"S", "Line shorter than its byte count"},
        {"S30", "Line shorter than its byte count"},
        {"S102", "Byte count too small for the address"},
        {"S3040000000000", "Byte count too small for the address"},
    };
    fx::TempDir dir;
    for (const auto& [line, text] : cases) {
        fx::writeFile(dir.file("f.s19"), lines({fx::srec(1, 0x10), fx::srec(0, 0), line, fx::srec(1, 0x20)}));
        s19Error e = Image().error(dir.file("f.s19"));
        EXPECT_EQ(e.file, dir.file("f.s19"));
        EXPECT_EQ(e.line, 3) << line;
        EXPECT_EQ(e.text, text) << line;
    }
    Image image;
    EXPECT_EQ(image.parseError("S1050000AABB95\r\r\n"), "Garbage at end of line");
    EXPECT_TRUE(image.parseLine("S1050000aabb95\n"));
    s19Error missing = image.error(dir.file("none.s19"));
    EXPECT_EQ(missing.line, 0);
    EXPECT_EQ(missing.text, "Can't open input file");
    EXPECT_EQ(image.error(dir.path()).text, "Can't open input file");
}

TEST(SRecordReader, LineEndsLongLinesAndTheHashStop) {
    fx::TempDir dir;
    std::string longRecord = fx::srec(3, 0x1000, fx::bytes(250));
    ASSERT_EQ(longRecord.size(), 514u);
    fx::writeFile(dir.file("a.s19"), lines({fx::srec(1, 0x100, {1})}, "\n") + lines({longRecord}) +
                                         fx::srec(1, 0x200, {2}) + "\n# note\n" + fx::srec(1, 0x300, {3}));
    Image image;
    image.load(dir.file("a.s19"));
    EXPECT_EQ(image.recordCount(), 3u);
    EXPECT_EQ(image.at(0x1000), fx::bytes(250));
    fx::writeFile(dir.file("b.s19"), lines({longRecord, longRecord, "S1050000AABB00"}));
    EXPECT_EQ(Image().error(dir.file("b.s19")).line, 3);
    fx::writeFile(dir.file("c.s19"), lines({fx::srec(1, 0x100, {1})}) + fx::srec(1, 0x200, {2}));
    Image last;
    last.load(dir.file("c.s19"));
    EXPECT_EQ(last.at(0x200), (std::vector<uint8_t>{2}));
}

TEST(SRecordReader, WorkedLinesAndWhatEachVerbosityShows) {
    fx::TempDir dir;
    fx::writeFile(dir.file("a.s19"), lines({"S00600004844521B", "S1050000AABB95", "S9030000FC"}));
    for (int level : {0, 1, 5}) {
        Image image(level);
        image.entryPoint = 7;
        image.load(dir.file("a.s19"));
        EXPECT_EQ(image.at(0), (std::vector<uint8_t>{0xAA, 0xBB}));
        EXPECT_EQ(image.entryPoint, 0u);
        EXPECT_EQ(fx::captured, level == 0   ? ""
                                : level == 1 ? "HDR\n"
                                             : "S00600004844521B\nHDR\nS1050000AABB95\nS9030000FC\n");
    }
    Image image(6);
    image.parseLine("S1050000AABB95\r\n");
    EXPECT_EQ(fx::captured, "S1050000AABB95\nData record 16-bit:\n   Size =  5 ( 2)  Address=0000\n"
                            "   Check sum  = 106\n   Record sum = 0\n");
    Image percent;
    percent.parseLine(fx::srec(0, 0, {'1', '0', '0', '%', 's', 0, 'x'}));
    EXPECT_EQ(fx::captured, "100%s\n");
}

TEST(ImageStore, RecordsReplaceOverlapAndOrderAcrossFiles) {
    fx::TempDir dir;
    fx::writeFile(dir.file("a.s19"), lines({fx::srec(3, 0x80000000, {9}), fx::srec(1, 0x8010, fx::bytes(16)),
                                            fx::srec(1, 0x8000, fx::bytes(32)), fx::srec(2, 0x10000, {}),
                                            fx::srec(1, 0x8000, {1, 2}), fx::srec(8, 0x123456)}));
    fx::writeFile(dir.file("b.s19"), lines({fx::srec(0, 0, {'x'}), fx::srec(1, 0x8010, {7})}));
    fx::writeFile(dir.file("c.s19"), lines({fx::srec(3, 0x100, {}), fx::srec(7, 0xFFFFFFFE)}));
    Image image;
    image.load(dir.file("a.s19"));
    EXPECT_EQ(image.recordCount(), 4u);
    EXPECT_EQ(image.at(0x8000), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(image.records[0x10000].length, 0u);
    EXPECT_EQ(image.lowAddress, 0x8000u);
    EXPECT_EQ(image.highAddress, 0x80000000u);
    image.load(dir.file("b.s19"));
    EXPECT_EQ(image.at(0x8010), (std::vector<uint8_t>{7}));
    EXPECT_EQ(image.entryPoint, 0x123456u);
    image.load(dir.file("c.s19"));
    std::vector<uint32_t> order;
    for (const auto& [address, record] : image.records)
        order.push_back(record.address);
    EXPECT_EQ(order, (std::vector<uint32_t>{0x100, 0x8000, 0x8010, 0x10000, 0x80000000}));
    EXPECT_EQ(image.lowAddress, 0x100u);
    EXPECT_EQ(image.entryPoint, 0xFFFFFFFEu);

    fx::writeFile(dir.file("d.s19"), lines({fx::srec(0, 0, {'x'}), fx::srec(9, 0x8080)}));
    Image empty(0);
    empty.load(dir.file("d.s19"));
    EXPECT_EQ(empty.recordCount(), 0u);
    EXPECT_EQ(empty.lowAddress, 0xFFFFFFFFu);
    EXPECT_EQ(empty.highAddress, 0u);
    EXPECT_EQ(empty.entryPoint, 0x8080u);
    fx::writeFile(dir.file("e.s19"), lines({fx::srec(1, 0xC000, fx::bytes(16))}));
    empty.load(dir.file("e.s19"));
    EXPECT_EQ(empty.lowAddress, 0xC000u);
    EXPECT_EQ(empty.highAddress, 0xC000u);
}

// A carriage return ends a line only where a line feed follows it: a record line that still holds one once
// its line end is cut off is refused, so that no record after it is dropped unread.
TEST(SRecordReader, CarriageReturnsInsideALineAreRefused) {
    const std::string a = fx::srec(1, 0x1000, {0xAA, 0xBB}), b = fx::srec(1, 0x1010, {0xCC, 0xDD});
    const std::vector<std::pair<std::string, int>> refused = {
        {a + "\r" + b + "\r", 1},     // CR-only line ends
        {a + "\n" + b + "\r\r\n", 2}, // a second CR before the line end
        {a + "\r\n" + b + "\rS9030000FC\n", 2},
        {a + "\n" + b + "\r", 2}, // a last line ending in a CR alone
        {"#!VQU-OUT\n#!VQU-S19(f.s19)\n" + a + "\r" + b + "\n", 3},
    };
    fx::TempDir dir;
    for (const auto& [content, line] : refused) {
        fx::writeFile(dir.file("f.s19"), content);
        Image image(0, dir.path());
        s19Error e = image.error(dir.file("f.s19"));
        EXPECT_EQ(e.line, line) << fx::readFile(dir.file("f.s19"));
        EXPECT_EQ(e.text, "Garbage at end of line");
    }
    Image image;
    EXPECT_EQ(image.parseError(a + "\rS"), "Garbage at end of line");
    EXPECT_EQ(image.parseError(a + "\n" + b), "Garbage at end of line");
    fx::writeFile(dir.file("ok.s19"), a + "\r\n" + b + "\n" + fx::srec(1, 0x1020, {1}));
    image.load(dir.file("ok.s19"));
    EXPECT_EQ(image.recordCount(), 3u);
}

// Lines of any length take bounded memory: an S-record line longer than the longest record is refused from
// its first part without reading the rest, and .ini and text lines pass in pieces.
TEST(SRecordReader, OverlongLinesTakeBoundedMemory) {
    fx::TempDir dir;
    fx::writeFile(dir.file("small.s19"), lines({fx::srec(1, 0x100, {1})}));
    const fx::RunResult base = fx::run(VQ2DL_PROGRAM, {"-c", "/nonexistent/port", dir.file("small.s19")});
    ASSERT_EQ(base.status, 2) << base.out;
    // A sparse file of 2 GB: one line that starts like a record.
    fx::writeFile(dir.file("sparse.s19"), "S1FF" + std::string(600, 'A'));
    ASSERT_EQ(truncate(dir.file("sparse.s19").c_str(), 2L << 30), 0);
    // An update with a 64 MB .ini line and an 8 MB text line, written in parts so that this process stays
    // small: a child's peak counts this process's memory at the moment it was started.
    std::string part(1 << 20, 'i');
    std::FILE* update = std::fopen(dir.file("u.vqu").c_str(), "wb");
    ASSERT_NE(update, nullptr);
    auto put = [&](const std::string& text, int times) {
        for (int i = 0; i < times; ++i)
            std::fwrite(text.data(), 1, text.size(), update);
    };
    put(container({"#!VQU-INI(big.ini)"}), 1);
    put(part, 64);
    put("\r\n#!VQU-OUT\r\n", 1);
    put(part, 8);
    put("\r\n#!VQU-S19(f.s19)\r\n" + fx::srec(1, 0x100, {1}) + "\r\n", 1);
    ASSERT_EQ(std::fclose(update), 0);
    fx::TempDir install;
    const struct {
        std::string file;
        int status;
        std::string text;
    } cases[] = {
        {"/dev/zero", 3, "ERROR: Reading /dev/zero line 1: Not a Motorola S-record."},
        {dir.file("sparse.s19"), 3,
         "ERROR: Reading " + dir.file("sparse.s19") +
             " line 1: Invalid checksum, found 0xaa, expected 0x54."},
        {dir.file("u.vqu"), 2, "   Extracted " + install.file("big.ini")},
    };
    for (const auto& c : cases) {
        const fx::RunResult r =
            fx::run(VQ2DL_PROGRAM, {"-c", "/nonexistent/port", "-i", install.path(), c.file});
        EXPECT_EQ(r.status, c.status) << c.file;
        EXPECT_NE(r.out.find(c.text + "\n"), std::string::npos) << r.out.substr(0, 2000);
        // Far below a line held whole; the sanitizers' quarantine of freed pieces takes a few MB of it.
        EXPECT_LT(r.maxRssKb, base.maxRssKb + 16384) << c.file;
    }
    const std::string extracted = fx::readFile(install.file("big.ini"));
    EXPECT_EQ(extracted.size(), (64u << 20) + 2);
    EXPECT_EQ(extracted.find_first_not_of('i'), 64u << 20);
    ASSERT_EQ(Image(0, install.path()).error(dir.file("sparse.s19")).line, 1);
}

} // namespace
