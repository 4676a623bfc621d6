// Fuzz target: one input through the packer, an argument as typed and the bytes of its file, and the update
// file read back by the downloader's reader. The input is the argument, a zero byte, then the file's bytes
// (no zero byte: the whole input is the file, named settings.ini). The packer must list the argument, tag
// the input by its base name and kind, copy the text with every line end as CR LF, and the reader must
// give back the header, the .ini file byte for byte and the firmware record for record. An input with a line
// that the reader would take for a tag must be refused, at the line where it stands.
#include "fuzz_check.h"

#include "image/firmware_image.h"
#include "packer.h"

#include <climits>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

const char WORKING_DIR[] = "/w/";
const std::string HYPHENS(75, '-');

std::string root;
std::vector<std::string> shown;

void removeScratch() {
    std::error_code error;
    fs::remove_all(root, error);
}

void collectMessage(const char* text) {
    shown.emplace_back(text);
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

/// The text as the packer must copy it: each LF, with or without a CR before it, becomes CR LF; a CR
/// alone stays; text that does not end in LF gets CR LF after it.
std::string crlfText(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    if (!text.empty() && text.back() != '\n') out += "\r\n";
    return out;
}

/// The number of the first line of the text that begins with a container tag, from 1; 0 for none.
int firstTagLine(const std::string& text) {
    int line = 1;
    for (size_t start = 0; start < text.size(); ++line) {
        if (text.compare(start, 5, "#!VQU") == 0) return line;
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return 0;
}

void checkNames(const std::string& name) {
    std::string base = baseName(name);
    fuzzCheck(endsWith(name, base), "base name is not the end of the argument");
    fuzzCheck(base.find_first_of("/\\") == std::string::npos, "base name holds a slash");
    fuzzCheck(base.size() == name.size() || name[name.size() - base.size() - 1] == '/' ||
                  name[name.size() - base.size() - 1] == '\\',
              "base name cut elsewhere than after a slash");
    InputKind kind = inputKind(base);
    fuzzCheck((kind == InputKind::Ini) == endsWith(base, ".ini"), "ini kind without the exact extension");
    fuzzCheck((kind == InputKind::S19) == endsWith(base, ".s19"), "s19 kind without the exact extension");
    std::string dir = normaliseDirectory(name);
    fuzzCheck(!dir.empty() && dir.back() == '/' && dir.find('\\') == std::string::npos,
              "normalised directory keeps a backslash or lacks its slash");
    fuzzCheck(normaliseDirectory(dir) == dir, "normalising twice changes the directory");
}

struct Loaded {
    FirmwareImage image;
    bool threw = false;
    s19Error fault;
};

void loadInto(Loaded& loaded, const std::string& path, const std::string& installDir) {
    loaded.image.installDir = installDir;
    loaded.image.messageCallback = collectMessage;
    loaded.image.verbosity = 0;
    try {
        loaded.image.load(path);
        // A run puts the .ini files in place once the image is accepted.
        loaded.image.installExtracted();
    } catch (const s19Error& e) {
        loaded.threw = true;
        loaded.fault = e;
    }
}

/// The firmware read from the update file is the firmware read from the plain file.
void checkFirmware(const Loaded& packed, const std::string& inputPath) {
    // A CR that no LF follows stays in the packed line as in the plain one: both are refused alike.
    Loaded plain;
    loadInto(plain, inputPath, root + "/install");
    fuzzCheck(plain.image.extractedFiles.empty(), "a plain file extracted something");
    fuzzCheck(packed.threw == plain.threw, "the firmware reads otherwise when packed");
    if (plain.threw) {
        fuzzCheck(packed.fault.text == plain.fault.text, "the packed firmware fails otherwise");
        // Five header lines and the tag line come before the firmware's first line.
        fuzzCheck(packed.fault.line == plain.fault.line + 6,
                  "the packed firmware's fault names another line");
    }
    const FirmwareImage& a = packed.image;
    const FirmwareImage& b = plain.image;
    fuzzCheck(a.entryPoint == b.entryPoint && a.lowAddress == b.lowAddress && a.highAddress == b.highAddress,
              "entry point or code range differs when packed");
    fuzzCheck(a.records.size() == b.records.size(), "record count differs when packed");
    for (auto p = a.records.begin(), q = b.records.begin(); p != a.records.end(); ++p, ++q) {
        fuzzCheck(p->first == q->first && p->second.data == q->second.data, "a record differs when packed");
    }
}

/// The update file read back: the header as listed, then the section according to the kind.
void checkReadBack(const Input& input, const std::string& content, const std::string& packedPath,
                   const std::string& inputPath) {
    const std::string install = root + "/install";
    shown.clear();
    Loaded packed;
    loadInto(packed, packedPath, install);
    fuzzCheck(shown.size() >= 4 && shown[0] == HYPHENS && shown[3] == HYPHENS,
              "the header reads back as other lines: " + fuzzShow(input.name));
    std::vector<std::string> expected;
    if (input.kind == InputKind::Ini) {
        fuzzCheck(!packed.threw, "the update file fails to read: " + fuzzShow(packed.fault.text));
        expected.push_back(install + "/" + input.baseName);
        fuzzCheck(fuzzReadFile(expected[0]) == crlfText(content), "the .ini file reads back otherwise");
    }
    if (input.kind == InputKind::S19) checkFirmware(packed, inputPath);
    fuzzCheck(packed.image.extractedFiles == expected, "extracted other files than the one packed");
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(install, error))
        fs::remove_all(entry.path(), error);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/vq-fuzz-packer.XXXXXX";
    fuzzCheck(mkdtemp(pattern) != nullptr, "cannot create the scratch directory");
    root = pattern;
    fs::create_directory(root + "/install");
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    size_t zero = bytes.find('\0');
    const std::string name = zero == std::string::npos ? "settings.ini" : bytes.substr(0, zero);
    const std::string content = zero == std::string::npos ? bytes : bytes.substr(zero + 1);
    checkNames(name);
    // vqu refuses such a name before it writes anything, and no file of a base name longer than the system
    // allows can be opened; every other name must come back as written.
    if (!storableName(name) || baseName(name).size() > NAME_MAX) return 0;

    // 1. The input as vqu opens it.
    const std::string inputPath = root + "/input";
    fuzzWriteFile(inputPath, content);
    std::vector<Input> inputs(1);
    inputs[0].name = name;
    inputs[0].baseName = baseName(name);
    inputs[0].kind = inputKind(inputs[0].baseName);
    inputs[0].file.reset(openInput(inputPath));
    fuzzCheck(inputs[0].file != nullptr, "cannot open the scratch input");
    Input& input = inputs[0];
    // A line that the reader would take for a tag is found up front, and again while the text is copied.
    const int tagLine = firstTagLine(content);
    int found = -1;
    fuzzCheck(findTagLine(input.file.get(), found) && found == tagLine,
              "the tag line found up front differs");

    // 2. The update file, written as vqu writes it, under a temporary name.
    const std::string output = root + "/out.vqu";
    std::string tempPath, error;
    FilePtr out(createTemporary(output, tempPath));
    fuzzCheck(out != nullptr, "cannot create the temporary output");
    bool written = writeUpdate(out.get(), output, WORKING_DIR, inputs, error);
    out.reset();
    if (tagLine) {
        fuzzCheck(!written && error == tagLineText(name, tagLine), "a tag line copied or reported otherwise");
        removeFile(tempPath);
        return 0;
    }
    fuzzCheck(written, "writeUpdate failed: " + error);
    const std::string packed = fuzzReadFile(tempPath);

    // 3. Byte for byte: header, tag line, the copied text, end line.
    std::string expected = "#!VQU-OUT\r\n" + HYPHENS + "\r\n" +
                           "This Velquin Update file was constructed from the following input files:\r\n" +
                           "   " + WORKING_DIR + name + "\r\n" + HYPHENS + "\r\n";
    if (input.kind == InputKind::Ini) expected += "#!VQU-INI(" + input.baseName + ")\r\n";
    if (input.kind == InputKind::S19) expected += "#!VQU-S19(" + input.baseName + ")\r\n";
    expected += crlfText(content) + "#!VQU-END\r\n";
    fuzzCheck(packed == expected, "the update file differs from header, tag, copied text and end line");

    // 4. What the downloader makes of it.
    checkReadBack(input, content, tempPath, inputPath);
    removeFile(tempPath);
    return 0;
}
