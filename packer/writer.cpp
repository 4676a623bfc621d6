// The update file as vqu writes it: the header listing the inputs, one tagged section per input, the end
// line.
#include "packer.h"

#include <cctype>
#include <cerrno>
#include <cstring>

static const char LINE_END[] = "\r\n";
static const std::string HYPHENS(75, '-');

/// The output file with the first write fault remembered, so that one check at the end finds it.
struct Output {
    std::FILE* file;
    int error = 0;

    void put(const char* data, size_t n) {
        if (error || n == 0) return;
        errno = 0;
        if (std::fwrite(data, 1, n, file) != n) error = errno ? errno : EIO;
    }
    void put(const std::string& text) { put(text.data(), text.size()); }
    void line(const std::string& text) {
        put(text);
        put(LINE_END, 2);
    }
};

std::string baseName(const std::string& argument) {
    size_t slash = argument.find_last_of("/\\");
    return slash == std::string::npos ? argument : argument.substr(slash + 1);
}

InputKind inputKind(const std::string& baseName) {
    size_t dot = baseName.rfind('.');
    if (dot == std::string::npos) return InputKind::Other;
    std::string extension = baseName.substr(dot + 1);
    if (extension == "ini") return InputKind::Ini;
    if (extension == "s19") return InputKind::S19;
    return InputKind::Other;
}

/// True for a name that Windows opens as a device whatever its extension (CON, NUL, COM1, ...).
static bool isDeviceName(const std::string& name) {
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    for (char& c : stem)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
        if (stem == device) return true;
    }
    bool numbered = stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0);
    return numbered && stem[3] >= '0' && stem[3] <= '9';
}

bool storableName(const std::string& argument) {
    if (argument.find('\n') != std::string::npos) return false;
    std::string base = baseName(argument);
    if (inputKind(base) != InputKind::Ini) return true;
    // The downloader takes the name up to the first ")", and refuses one that could name another drive or a
    // device.
    bool drive = base.size() >= 2 && base[1] == ':' &&
                 ((base[0] >= 'A' && base[0] <= 'Z') || (base[0] >= 'a' && base[0] <= 'z'));
    return base.find(')') == std::string::npos && !drive && !isDeviceName(base);
}

std::string normaliseDirectory(std::string directory) {
    for (char& c : directory) {
        if (c == '\\') c = '/';
    }
    if (directory.empty() || directory.back() != '/') directory += '/';
    return directory;
}

std::string cantCreateText(const std::string& output, int error) {
    return "ERROR: Can't create output file '" + output + "': " + std::strerror(error) + ", aborting.\n";
}

std::string cantWriteText(const std::string& output, int error) {
    return "ERROR: Can't write output file '" + output + "': " + std::strerror(error) + ", aborting.\n";
}

std::string tagLineText(const std::string& input, int line) {
    return "ERROR: Input file '" + input + "' line " + std::to_string(line) +
           " begins with \"#!VQU\", aborting.\n";
}

bool TagLineFinder::feed(const char* data, size_t n) {
    static const char TAG[] = "#!VQU";
    for (size_t i = 0; i < n && !foundLine; ++i) {
        char c = data[i];
        if (c == '\n') {
            ++line;
            matched = 0;
        } else if (matched != NO_MATCH) {
            matched = c == TAG[matched] ? matched + 1 : NO_MATCH;
            if (matched == sizeof TAG - 1) foundLine = line;
        }
    }
    return foundLine != 0;
}

bool findTagLine(std::FILE* file, int& line) {
    char buffer[32768];
    TagLineFinder finder;
    size_t n;
    while (!finder.found() && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        finder.feed(buffer, n);
    line = finder.found();
    bool read = !std::ferror(file);
    return std::fseek(file, 0, SEEK_SET) == 0 && read;
}

/// Copies an input's text, writing every CR LF or bare LF as CR LF; a CR without LF after it stays as it is.
/// A last line without a line end gets one, so that the next tag starts a line of its own. Stops at the first
/// write fault, and before a line that the reader would take for a tag.
static bool copyText(const Input& input, Output& out, const std::string& output, std::string& error) {
    char buffer[32768];
    std::string text;
    TagLineFinder finder;
    bool pendingCR = false; // a CR at the end of one read may be followed by the LF at the start of the next
    char last = '\n';
    size_t n;
    errno = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, input.file.get())) > 0) {
        if (finder.feed(buffer, n)) {
            error = tagLineText(input.name, finder.found());
            return false;
        }
        text.clear();
        for (size_t i = 0; i < n; ++i) {
            char c = buffer[i];
            if (pendingCR) {
                pendingCR = false;
                text += '\r';
                if (c == '\n') {
                    text += '\n';
                    continue;
                }
            }
            if (c == '\r')
                pendingCR = true;
            else if (c == '\n')
                text += LINE_END;
            else
                text += c;
        }
        last = buffer[n - 1];
        out.put(text);
        if (out.error) {
            error = cantWriteText(output, out.error);
            return false;
        }
        errno = 0;
    }
    if (std::ferror(input.file.get())) {
        error = "ERROR: Can't read input file '" + input.name + "': " + std::strerror(errno ? errno : EIO) +
                ", aborting.\n";
        return false;
    }
    if (pendingCR) out.put("\r", 1);
    if (last != '\n') out.put(LINE_END, 2);
    return true;
}

bool writeUpdate(std::FILE* file, const std::string& output, const std::string& workingDir,
                 std::vector<Input>& inputs, std::string& error) {
    Output out{file};
    // 1. The header: who made the file from what, for people reading it.
    out.line("#!VQU-OUT");
    out.line(HYPHENS);
    out.line("This Velquin Update file was constructed from the following input files:");
    for (const Input& input : inputs)
        out.line("   " + workingDir + input.name);
    out.line(HYPHENS);
    // 2. One section per input, in the order given; only .ini and .s19 inputs get a tag line.
    for (Input& input : inputs) {
        if (out.error) break;
        if (input.kind == InputKind::Ini) out.line("#!VQU-INI(" + input.baseName + ")");
        if (input.kind == InputKind::S19) out.line("#!VQU-S19(" + input.baseName + ")");
        if (!copyText(input, out, output, error)) return false;
        input.file.reset();
    }
    // 3. The end line.
    out.line("#!VQU-END");
    if (out.error) {
        error = cantWriteText(output, out.error);
        return false;
    }
    return true;
}
