// The VQU update file reader: shows the text block, extracts the .ini blocks, finds the S-record block.
#include "firmware_image.h"
#include "line_reader.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

#ifdef _WIN32
const char SEPARATOR = '\\';
#else
const char SEPARATOR = '/';
#endif

bool startsWith(const std::string& text, const char* tag) {
    return text.compare(0, std::strlen(tag), tag) == 0;
}

std::string currentDirectory() {
    std::error_code error;
    std::filesystem::path path = std::filesystem::current_path(error);
    // Without a current directory the relative path fails when the first file is created, with its name.
    return error ? std::string(".") : path.string();
}

/// Windows opens its devices under these names, with any extension: "COM1.ini" is the serial port itself.
bool isDeviceName(const std::string& name) {
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (char& c : stem)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    static const char* const DEVICES[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : DEVICES)
        if (stem == device) return true;
    bool numbered = stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0);
    return numbered && stem[3] >= '0' && stem[3] <= '9';
}

/// True for a name that would place the file anywhere but directly in the install directory, or under
/// another name than the one reported (the system cuts a name at a zero byte).
bool isUnsafeName(const std::string& name) {
    if (name == "." || name == "..") return true;
    if (name.find('\0') != std::string::npos) return true;
    if (name.find_first_of("/\\") != std::string::npos) return true;
    bool driveLetter = name.size() >= 2 && name[1] == ':' &&
                       ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
    return driveLetter || isDeviceName(name);
}

/// The file name between the parentheses of a "#!VQU-INI" line.
std::string iniName(FirmwareImage& image, const std::string& line) {
    size_t open = line.find('(');
    if (open == std::string::npos) image.fail("Missing file name in VQU-INI specification");
    size_t close = line.find(')', open + 1);
    if (close == std::string::npos) image.fail("Invalid file name in VQU-INI specification");
    std::string name = line.substr(open + 1, close - open - 1);
    if (isUnsafeName(name)) image.fail("Unsafe file name in VQU-INI specification");
    return name;
}

/// Reads the next line of a text or .ini block and counts it; false at the end of the file, or at the tag
/// line that ends the block, which is left to be read again and counted then.
bool readBlockLine(FirmwareImage& image, LineReader& reader, std::string& line) {
    long position = reader.tell();
    if (!reader.readLine(line)) return false;
    if (startsWith(line, "#!VQU")) {
        reader.seek(position);
        return false;
    }
    ++image.lineNumber;
    return true;
}

/// Shows the lines of the text block up to the next tag line.
void showTextBlock(FirmwareImage& image, LineReader& reader) {
    std::string line;
    while (readBlockLine(image, reader, line)) {
        FirmwareImage::stripLineEnd(line);
        image.message(0, "%s", line.c_str());
    }
}

bool exists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error) || std::filesystem::is_symlink(path, error);
}

/// A name beside the target that no file has yet, so that nothing of the user's is overwritten. It is short
/// and of fixed form, so that a target name near the longest the system allows still gets one.
std::string temporaryName(const std::string& path) {
    size_t separator = path.find_last_of("/\\");
    std::string dir = separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
    std::string candidate = dir + "~vq2dl.tmp";
    for (int i = 1; i < 1000 && exists(candidate); ++i)
        candidate = dir + "~vq2dl" + std::to_string(i) + ".tmp";
    return candidate;
}

/// False when the target exists but could not be written over, as a directory or a read-only file.
bool canReplace(const std::string& path) {
    std::FILE* probe = std::fopen(path.c_str(), "rb");
    if (!probe) return true;
    std::fclose(probe);
    probe = std::fopen(path.c_str(), "r+b");
    if (!probe) return false;
    std::fclose(probe);
    return true;
}

} // namespace

void FirmwareImage::readContainer(std::FILE* file) {
    // 1. and 2.
    std::string extractDir = installDir.empty() ? currentDirectory() : installDir;
    LineReader reader(file);
    reader.seek(0);
    lineNumber = 0;
    long recordStart = 0;
    int recordLine = 0;
    std::string line;
    // 3. to 7.: every line once; blocks read by their own loops leave the ending tag line to this one.
    while (reader.readLine(line)) {
        ++lineNumber;
        stripLineEnd(line);
        if (startsWith(line, "#!VQU-S19")) {
            message(4, "%s", line.c_str());
            recordStart = reader.tell();
            recordLine = lineNumber;
        } else if (startsWith(line, "#!VQU-OUT")) {
            showTextBlock(*this, reader);
        } else if (startsWith(line, "#!VQU-INI")) {
            message(4, "%s", line.c_str());
            std::string path = extractDir + SEPARATOR + iniName(*this, line);
            reader.detach();
            extractFile(file, path);
            reader.attach();
            message(1, "   Extracted %s", path.c_str());
            extractedFiles.push_back(path);
        }
    }
    if (reader.failed()) fail("Error reading input file");
    // 8. The loader reads the S-record block next and counts on from its tag line.
    reader.seek(recordStart);
    reader.detach();
    lineNumber = recordLine;
}

void FirmwareImage::extractFile(std::FILE* file, const std::string& path) {
    // The block goes to a new file beside the target, which replaces the target only once it is complete:
    // a failure leaves an older file of that name as it was.
    int tagLine = lineNumber;
    std::string temporary = canReplace(path) ? temporaryName(path) : std::string();
    std::FILE* out = temporary.empty() ? nullptr : std::fopen(temporary.c_str(), "wb");
    if (!out) fail("Could not open %s for output", path.c_str());
    LineReader reader(file);
    std::string line;
    bool written = true;
    while (readBlockLine(*this, reader, line)) {
        if (std::fwrite(line.data(), 1, line.size(), out) != line.size()) written = false;
    }
    reader.detach();
    if (std::fclose(out) != 0) written = false;
    std::error_code error;
    if (written && !reader.failed()) std::filesystem::rename(temporary, path, error);
    if (!written || reader.failed() || error) std::remove(temporary.c_str());
    if (reader.failed()) fail("Error reading input file");
    if (!written || error) {
        // Faults of the output file are reported at the tag line that names it.
        lineNumber = tagLine;
        if (!written) fail("Could not write %s", path.c_str());
        fail("Could not open %s for output", path.c_str());
    }
}
