// vqu as a user runs it: the real program in a temporary directory, its exit status, its console text and the
// update file it writes byte for byte.
#include "test_packer.h"

#include <string>
#include <utility>
#include <vector>

using namespace packer_test;

namespace {

const char USAGE[] = "vqu output.vqu file-list\n"
                     "   'file-list' contains zero or more .ini files and one .s19 file.\n"
                     "   File order is of no consequence.\n"
                     "   The output .vqu file will not be overwritten, it must not exist.\n";
const char NO_S19[] = "WARNING: No s19 file in input list.\n";

} // namespace

TEST(Packer, UsageWithoutArguments) {
    fx::TempDir dir;
    auto r = vqu(dir, {});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, USAGE);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fx::listDir(dir.path()).empty());
}

TEST(Packer, HelpAndVersionWriteNoFile) {
    fx::TempDir dir;
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--help"}, USAGE},
        {{"--help", "a.ini", "b.s19"}, USAGE},
        {{"--version"}, "vqu " VQ2DL_VERSION "\n"},
    };
    for (const auto& [args, text] : cases) {
        auto r = vqu(dir, args);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.out, text) << args[0];
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(fx::listDir(dir.path()).empty()) << args[0];
    }
    // Any other first argument still names the output.
    auto named = vqu(dir, {"-h"});
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(fx::listDir(dir.path()), std::vector<std::string>{"-h"});
}

TEST(Packer, WritesHeaderAndSectionsByteForByte) {
    fx::TempDir dir;
    fx::writeFile(dir.file("settings.ini"), "[serial]\r\nbaud=115200\r\n");
    fx::writeFile(dir.file("velquin2.s19"),
                  fx::srec(1, 0xC000, fx::bytes(4)) + "\n" + fx::srec(9, 0xC000) + "\n");
    auto r = vqu(dir, {"out.vqu", "settings.ini", "velquin2.s19"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(fx::readFile(dir.file("out.vqu")),
              header(dir, {"settings.ini", "velquin2.s19"}) +
                  "#!VQU-INI(settings.ini)\r\n[serial]\r\nbaud=115200\r\n" + "#!VQU-S19(velquin2.s19)\r\n" +
                  fx::srec(1, 0xC000, fx::bytes(4)) + "\r\n" + fx::srec(9, 0xC000) + "\r\n" + END);
    // Nothing but the update file is added, and it gets the rights of any newly created file.
    EXPECT_EQ(fx::listDir(dir.path()), (std::vector<std::string>{"out.vqu", "settings.ini", "velquin2.s19"}));
    mode_t mask = umask(0);
    umask(mask);
    struct stat st;
    ASSERT_EQ(stat(dir.file("out.vqu").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(Packer, OnlyTheOutputNameGivesAnEmptyListAndTheWarning) {
    fx::TempDir dir;
    // There are no options: "-h" names the output.
    auto r = vqu(dir, {"-h"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, NO_S19);
    EXPECT_EQ(fx::readFile(dir.file("-h")), header(dir, {}) + END);
}

TEST(Packer, KindsFollowTheExactExtension) {
    fx::TempDir dir;
    fx::writeFile(dir.file("notes.txt"), "notes\n");
    fx::writeFile(dir.file("a.ini"), "a=1\n");
    fx::writeFile(dir.file("SETTINGS.INI"), "upper=1\n");
    fx::writeFile(dir.file("b.s19"), "S9030000FC\n");
    fx::writeFile(dir.file("noext"), "plain\n");
    fx::writeFile(dir.file("c.ini"), "c=1\n");
    fx::writeFile(dir.file("d.S19"), "S9030000FC\n");
    std::vector<std::string> inputs = {"notes.txt", "a.ini", "SETTINGS.INI", "b.s19",
                                       "noext",     "c.ini", "d.S19"};
    std::vector<std::string> args = {"out.vqu"};
    args.insert(args.end(), inputs.begin(), inputs.end());
    auto r = vqu(dir, args);
    EXPECT_EQ(r.status, 0) << "d.S19 is no second firmware file";
    EXPECT_EQ(r.err, "");
    // Untagged text joins the block before it: the header text, an .ini section or the firmware section.
    EXPECT_EQ(fx::readFile(dir.file("out.vqu")), header(dir, inputs) + "notes\r\n" +
                                                     "#!VQU-INI(a.ini)\r\na=1\r\n" + "upper=1\r\n" +
                                                     "#!VQU-S19(b.s19)\r\nS9030000FC\r\n" + "plain\r\n" +
                                                     "#!VQU-INI(c.ini)\r\nc=1\r\n" + "S9030000FC\r\n" + END);
}

TEST(Packer, BaseNamesDropDirectoriesOfEitherSlash) {
    fx::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("sub/dir").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir.file("mixed\\dir").c_str(), 0755), 0);
    fx::writeFile(dir.file("sub/dir/settings.ini"), "x=1\n");
    fx::writeFile(dir.file("sub\\dir\\other.ini"), "y=2\n"); // one name with backslashes in it here
    fx::writeFile(dir.file("mixed\\dir/last.s19"), "S9030000FC\n");
    std::vector<std::string> inputs = {"sub/dir/settings.ini", "sub\\dir\\other.ini", "mixed\\dir/last.s19"};
    auto r = vqu(dir, {"out.vqu", inputs[0], inputs[1], inputs[2]});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // The header lists every input as typed; the tag lines carry the name alone, whichever slash came last.
    EXPECT_EQ(fx::readFile(dir.file("out.vqu")), header(dir, inputs) + "#!VQU-INI(settings.ini)\r\nx=1\r\n" +
                                                     "#!VQU-INI(other.ini)\r\ny=2\r\n" +
                                                     "#!VQU-S19(last.s19)\r\nS9030000FC\r\n" + END);
}

TEST(Packer, LineEndsBecomeCrLf) {
    fx::TempDir dir;
    fx::writeFile(dir.file("mixed.ini"), "crlf\r\nlf\nlone\rcr\n\nlast");
    fx::writeFile(dir.file("empty.ini"), "");
    // The CR falls at the end of one 32768-byte read and its LF at the start of the next.
    std::string longLine(32767, 'x');
    fx::writeFile(dir.file("long.ini"), longLine + "\r\nnext\n");
    fx::writeFile(dir.file("cr.ini"), "ends in cr\r");
    fx::writeFile(dir.file("fw.s19"), "S9030000FC");
    std::vector<std::string> inputs = {"mixed.ini", "empty.ini", "long.ini", "cr.ini", "fw.s19"};
    auto r = vqu(dir, {"out.vqu", inputs[0], inputs[1], inputs[2], inputs[3], inputs[4]});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(fx::readFile(dir.file("out.vqu")),
              header(dir, inputs) + "#!VQU-INI(mixed.ini)\r\ncrlf\r\nlf\r\nlone\rcr\r\n\r\nlast\r\n" +
                  "#!VQU-INI(empty.ini)\r\n" + "#!VQU-INI(long.ini)\r\n" + longLine + "\r\nnext\r\n" +
                  "#!VQU-INI(cr.ini)\r\nends in cr\r\r\n" + "#!VQU-S19(fw.s19)\r\nS9030000FC\r\n" + END);
}
