// The VQU update file reader: shows the text block, extracts the .ini blocks, finds the S-record block.
#include "firmware_image.h"
#include "line_reader.h"
#include "output_file.h"

#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

/// The most of a line held at once: block lines are copied and shown in pieces of this size, and a tag line
/// is judged by its first piece.
constexpr size_t BLOCK_PIECE = 64 * 1024;

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

/// Reads the next piece of a line of a text or .ini block, counting each line at its first piece; false at
/// the end of the file, or at the tag line that ends the block, which is left to be read again and counted
/// then.
bool readBlockPiece(FirmwareImage& image, LineReader& reader, std::string& piece) {
    long position = reader.tell();
    if (!reader.readPiece(piece, BLOCK_PIECE)) return false;
    if (reader.pieceBeganLine()) {
        if (startsWith(piece, "#!VQU")) {
            reader.seek(position);
            return false;
        }
        ++image.lineNumber;
    }
    return true;
}

/// Shows the lines of the text block up to the next tag line; a line too long to hold is shown in pieces.
void showTextBlock(FirmwareImage& image, LineReader& reader) {
    std::string piece;
    while (readBlockPiece(image, reader, piece)) {
        FirmwareImage::stripLineEnd(piece);
        image.message(0, "%s", piece.c_str());
    }
}

} // namespace

void FirmwareImage::readContainer(LineReader& reader) {
    // The files are extracted where -i says, else into the working directory; the scan starts from the top.
    std::string extractDir = installDir.empty() ? currentDirectory() : installDir;
    reader.seek(0);
    lineNumber = 0;
    long recordStart = 0;
    int recordLine = 0;
    std::string line;
    // Every line once; blocks read by their own loops leave the ending tag line to this one.
    while (reader.readPiece(line, BLOCK_PIECE)) {
        // Only tag lines matter here; the rest of a long line is of no interest.
        reader.skipRestOfLine();
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
            std::string path = extractDir + PATH_SEPARATOR + iniName(*this, line);
            // Not extracting, the block's lines pass by this loop like any other line.
            if (!extractIni) continue;
            extractFile(reader, path);
            message(1, "   Extracted %s", path.c_str());
            extractedFiles.push_back(path);
        }
    }
    if (reader.failed()) fail("Error reading input file");
    // The loader reads the S-record block next and counts on from its tag line.
    reader.seek(recordStart);
    lineNumber = recordLine;
}

void FirmwareImage::extractFile(LineReader& reader, const std::string& path) {
    // The block goes to a new file of our own beside the target, which replaces the target only once every
    // file is read and the image accepted: a refused image or a failure leaves an older file of that name as
    // it was, and no one else's file is written.
    int tagLine = lineNumber;
    // A device, a FIFO or a link in the install directory is never replaced by a regular file.
    if (const char* kind = specialFileKind(path)) fail("%s is %s, not a regular file", path.c_str(), kind);
    /// The temporary, closed and removed however the reading ends, unless it took the target's place.
    struct Temporary {
        std::string path;
        std::FILE* file = nullptr;
        ~Temporary() {
            if (file) std::fclose(file);
            if (!path.empty()) removeTemporary(path);
        }
    } temporary;
    temporary.file = canReplace(path) ? createTemporaryBeside(path, temporary.path) : nullptr;
    if (!temporary.file) fail("Could not open %s for output", path.c_str());
    std::string piece;
    bool written = true;
    while (readBlockPiece(*this, reader, piece)) {
        if (written && std::fwrite(piece.data(), 1, piece.size(), temporary.file) != piece.size())
            written = false;
    }
    if (std::fclose(temporary.file) != 0) written = false;
    temporary.file = nullptr;
    if (reader.failed()) fail("Error reading input file");
    // Faults of the output file are reported at the tag line that names it.
    if (!written) {
        lineNumber = tagLine;
        fail("Could not write %s", path.c_str());
    }
    // Kept until the image is accepted: the pending list removes it from now on.
    pendingIni.files.push_back({temporary.path, path, fileName, tagLine});
    temporary.path.clear();
}

void FirmwareImage::installExtracted() {
    std::vector<PendingFiles::File>& files = pendingIni.files;
    while (!files.empty()) {
        const PendingFiles::File file = files.front();
        files.erase(files.begin());
        if (replaceTarget(file.temporary, file.target)) continue;
        removeTemporary(file.temporary);
        fileName = file.source;
        lineNumber = file.line;
        fail("Could not open %s for output", file.target.c_str());
    }
}

PendingFiles& PendingFiles::operator=(PendingFiles&& other) noexcept {
    if (this != &other) {
        discard();
        files = std::move(other.files);
        other.files.clear();
    }
    return *this;
}

void PendingFiles::discard() {
    for (const File& file : files)
        removeTemporary(file.temporary);
    files.clear();
}
