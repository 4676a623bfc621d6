// The update packer vqu: its inputs, the writer of the update file and the few platform operations it needs.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

/// What an input becomes in the update file: an .ini section, the firmware section, or untagged text.
enum class InputKind { Ini, S19, Other };

/// Closes a C file when its owner goes away.
struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file) std::fclose(file);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

/// One input: the argument as typed, its base name and kind, and the file, opened while the inputs are
/// checked.
struct Input {
    std::string name;
    std::string baseName;
    InputKind kind = InputKind::Other;
    FilePtr file;
};

/// Finds the first line of a text, taken in pieces, that begins with "#!VQU": the downloader would read it as
/// a tag and split the update there.
class TagLineFinder {
public:
    /// Reads on in the text; true once such a line has been found.
    bool feed(const char* data, size_t n);
    /// The number of that line, from 1; 0 while none has been found.
    int found() const { return foundLine; }

private:
    int line = 1;
    size_t matched = 0; ///< characters of the tag at the start of the current line; NO_MATCH past a mismatch
    int foundLine = 0;
    static constexpr size_t NO_MATCH = static_cast<size_t>(-1);
};

// Inputs and writing (packer/writer.cpp)
/// The text after the last slash or backslash of an argument, or the whole argument.
std::string baseName(const std::string& argument);
/// Ini for extension "ini", S19 for "s19" (exact, case-sensitive), Other for everything else.
InputKind inputKind(const std::string& baseName);
/// True when the downloader reads the argument back as written: no line feed in it (that would end its line
/// in the header), and for an .ini input a base name it extracts under that name (no ")", no drive prefix, no
/// device name).
bool storableName(const std::string& argument);
/// Backslashes turned into slashes, and a slash at the end.
std::string normaliseDirectory(std::string directory);
/// The error line for an output that cannot be created, with the system's reason.
std::string cantCreateText(const std::string& output, int error);
/// The error line for an output that cannot be written, with the system's reason.
std::string cantWriteText(const std::string& output, int error);
/// The error line for an input holding a line that the reader would take for a tag.
std::string tagLineText(const std::string& input, int line);
/// Reads a file to its end for a line that begins with "#!VQU" and goes back to its start; the line's number
/// in line (0 for none). False when the file could not be read.
bool findTagLine(std::FILE* file, int& line);
/// Writes the whole update file named output to out, stopping at the first fault; false with a finished
/// error line in error then.
bool writeUpdate(std::FILE* out, const std::string& output, const std::string& workingDir,
                 std::vector<Input>& inputs, std::string& error);

// Platform operations (packer/platform_linux.cpp, packer/platform_win32.cpp)
/// The current working directory; empty, with errno set, when it cannot be read.
std::string workingDirectory();
/// True when anything stands at the path: a file, a directory, a dangling link.
bool pathExists(const std::string& path);
/// True when both names reach the same file: the same text, the same file on disk, or the same full path.
bool sameFile(const std::string& a, const std::string& b);
/// Opens an input for reading as bytes; nullptr, with errno set, when it cannot be opened or is a directory.
std::FILE* openInput(const std::string& path);
/// True for a plain file on disk, which can be read twice (not a pipe or a device).
bool isPlainFile(std::FILE* file);
/// First thing in the program: a closed standard descriptor (0, 1 or 2) is opened on the null device, so that
/// the output file never takes its place; a write beyond the file size limit fails like one to a full disk.
void prepareProcess();
/// From now on SIGINT, SIGTERM, SIGHUP, SIGQUIT and SIGPIPE (on Windows Ctrl-C, Ctrl-Break and SIGTERM) end
/// the program with status 128 + n, once the temporary file is removed. A signal that the program was
/// started to ignore stays ignored.
void endOnSignals();
/// Creates a new, empty temporary file beside the output and names it in tempPath; nullptr with errno set.
/// Until it is moved into place or removed, a signal removes it.
std::FILE* createTemporary(const std::string& output, std::string& tempPath);
/// Flushes the file's data to the disk; false with errno set.
bool syncFile(std::FILE* file);
/// Moves the temporary file from to to unless something already stands at to; 0, or an errno value (EEXIST
/// when to exists).
int moveNoReplace(const std::string& from, const std::string& to);
/// Removes the temporary file, quietly.
void removeFile(const std::string& path);
