// The update file of vqu read back by the downloader's reader, and the names the reader could not take back.
#include "test_packer.h"

#include "image/firmware_image.h"

#include <string>
#include <vector>

using namespace packer_test;

namespace {

/// Loads a file into a fresh image, extracting into installDir; a reader fault fails the test.
bool loadImage(FirmwareImage& image, const std::string& path, const std::string& installDir) {
    image.installDir = installDir;
    image.messageCallback = fx::captureSink;
    image.verbosity = 0;
    try {
        image.load(path);
        image.installExtracted();
    } catch (const s19Error& e) {
        ADD_FAILURE() << e.file << " line " << e.line << ": " << e.text;
        return false;
    }
    return true;
}

} // namespace

TEST(Packer, RoundTripThroughTheReader) {
    fx::TempDir dir;
    const std::string settings = "[serial]\r\nbaud=115200\r\n# a comment line\r\n";
    fx::writeFile(dir.file("settings.ini"), settings);
    fx::writeFile(dir.file("other.ini"), "a=1\nb=2\n");
    // The firmware's last line has no line end: the next tag must still start a line of its own.
    fx::writeFile(dir.file("fw.s19"), fx::srec(0, 0, {'v', 'q'}) + "\n" + fx::srec(1, 0xC000, fx::bytes(16)) +
                                          "\n" + fx::srec(1, 0xC010, fx::bytes(7, 0x80)) + "\n" +
                                          fx::srec(2, 0x3C8000, fx::bytes(32, 0x40)) + "\n" +
                                          fx::srec(9, 0xC000));
    FirmwareImage plain;
    ASSERT_TRUE(loadImage(plain, dir.file("fw.s19"), dir.path()));
    ASSERT_EQ(plain.recordCount(), 3u);

    const std::vector<std::vector<std::string>> orders = {{"settings.ini", "fw.s19", "other.ini"},
                                                          {"fw.s19", "other.ini", "settings.ini"}};
    for (size_t n = 0; n < orders.size(); ++n) {
        SCOPED_TRACE("order " + std::to_string(n));
        std::string output = "out" + std::to_string(n) + ".vqu";
        std::vector<std::string> args = {output};
        args.insert(args.end(), orders[n].begin(), orders[n].end());
        auto r = vqu(dir, args);
        ASSERT_EQ(r.status, 0) << r.err;

        fx::TempDir install;
        FirmwareImage packed;
        fx::captured.clear();
        ASSERT_TRUE(loadImage(packed, dir.file(output), install.path()));
        EXPECT_NE(
            fx::captured.find("This Velquin Update file was constructed from the following input files:\n"),
            std::string::npos);

        // The firmware comes out record for record as from the plain file.
        EXPECT_EQ(packed.entryPoint, plain.entryPoint);
        EXPECT_EQ(packed.lowAddress, plain.lowAddress);
        EXPECT_EQ(packed.highAddress, plain.highAddress);
        ASSERT_EQ(packed.recordCount(), plain.recordCount());
        for (auto p = packed.records.begin(), q = plain.records.begin(); p != packed.records.end();
             ++p, ++q) {
            EXPECT_EQ(p->second.address, q->second.address);
            EXPECT_EQ(p->second.length, q->second.length);
            EXPECT_EQ(p->second.data, q->second.data);
        }
        // The .ini files come out byte for byte, in CR LF form, in the order packed.
        ASSERT_EQ(packed.extractedFiles.size(), 2u);
        std::vector<std::string> iniNames;
        for (const auto& name : orders[n]) {
            if (name != "fw.s19") iniNames.push_back(name);
        }
        for (size_t i = 0; i < 2; ++i) {
            const std::string& path = packed.extractedFiles[i];
            ASSERT_GE(path.size(), iniNames[i].size());
            EXPECT_EQ(path.substr(path.size() - iniNames[i].size()), iniNames[i]);
            EXPECT_EQ(fx::readFile(path), iniNames[i] == "settings.ini" ? settings : "a=1\r\nb=2\r\n")
                << path;
        }
    }
}

// Found by fuzzing the packer against the reader: a line feed in an input's name ended its line in the
// header, so that the rest could read as a tag line of its own; a ")" or a drive prefix in an .ini input's
// name, or a device name, gave a tag line that the downloader extracts under another name or refuses. vqu
// refuses such names up front.
TEST(Packer, NamesTheReaderCannotTakeBackAreRefused) {
    fx::TempDir dir;
    fx::writeFile(dir.file("fw.s19"), "S9030000FC\n");
    const std::vector<std::string> refused = {"evil\n#!VQU-INI(x.ini)", "a\nb.ini", "a)b.ini", "C:c.ini",
                                              "nul.ini"};
    for (const std::string& name : refused) {
        fx::writeFile(dir.file(name), "k=1\n");
        auto r = vqu(dir, {"out.vqu", "fw.s19", name});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_EQ(r.err,
                  "ERROR: Input file name '" + name + "' can't be stored in an update file, aborting.\n");
        EXPECT_FALSE(fx::fileExists(dir.file("out.vqu"))) << name;
        std::remove(dir.file(name).c_str());
    }
    // The reader uses neither the firmware's name nor an untagged input's: those names may hold a ")".
    fx::writeFile(dir.file("fw(1).s19"), "S9030000FC\n");
    fx::writeFile(dir.file("notes).txt"), "n\n");
    auto r = vqu(dir, {"out.vqu", "fw(1).s19", "notes).txt"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fx::readFile(dir.file("out.vqu")),
              header(dir, {"fw(1).s19", "notes).txt"}) + "#!VQU-S19(fw(1).s19)\r\nS9030000FC\r\nn\r\n" + END);
}
