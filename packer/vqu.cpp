// vqu: packs zero or more .ini files and one .s19 file into one VQU update file, which vq2dl reads and
// unpacks. Every input is checked before anything is written; the file is written beside the output under a
// temporary name and moved into place only when complete, never over an existing file.
#include "packer.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char USAGE[] = "vqu output.vqu file-list\n"
                            "   'file-list' contains zero or more .ini files and one .s19 file.\n"
                            "   File order is of no consequence.\n"
                            "   The output .vqu file will not be overwritten, it must not exist.\n";

#if defined(__GNUC__)
#define VQU_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VQU_PRINTF(fmt, args)
#endif

/// Prints a message to standard error.
static void report(const char* format, ...) VQU_PRINTF(1, 2);

static void report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

/// The update file under its temporary name; removed unless it was moved into place, also on an interrupt.
class TempOutput {
public:
    ~TempOutput() {
        file.reset();
        if (!path.empty()) removeFile(path);
    }
    /// Creates the temporary file beside the output; 0 or an errno value.
    int create(const std::string& output) {
        errno = 0;
        file.reset(createTemporary(output, path));
        return file ? 0 : (errno ? errno : EIO);
    }
    /// Flushes, syncs and closes the file; 0 or an errno value (a full disk shows here at the latest).
    int finish() {
        errno = 0;
        int error = 0;
        if (std::fflush(file.get()) != 0 || !syncFile(file.get())) error = errno ? errno : EIO;
        errno = 0;
        if (std::fclose(file.release()) != 0 && !error) error = errno ? errno : EIO;
        return error;
    }
    /// Moves the finished file to the output's name; 0 or an errno value (EEXIST when the name is taken).
    int commit(const std::string& output) {
        int error = moveNoReplace(path, output);
        if (error == 0) path.clear();
        return error;
    }
    std::FILE* get() const { return file.get(); }

private:
    FilePtr file;
    std::string path;
};

/// Checks and opens every input in order; the first fault is reported and ends the run.
static bool openInputs(const std::string& output, int count, char** names, std::vector<Input>& inputs) {
    bool seenS19 = false;
    for (int i = 0; i < count; ++i) {
        Input input;
        input.name = names[i];
        input.baseName = baseName(input.name);
        input.kind = inputKind(input.baseName);
        if (!storableName(input.name)) {
            report("ERROR: Input file name '%s' can't be stored in an update file, aborting.\n",
                   input.name.c_str());
            return false;
        }
        if (sameFile(input.name, output)) {
            report("ERROR: Input file '%s' is the output file, aborting.\n", input.name.c_str());
            return false;
        }
        if (input.kind == InputKind::S19) {
            if (seenS19) {
                report("ERROR: Found more than one s19 file in input list.\n");
                return false;
            }
            seenS19 = true;
        }
        input.file.reset(openInput(input.name));
        if (!input.file) {
            report("ERROR: Can't open input file '%s', aborting.\n", input.name.c_str());
            return false;
        }
        // A plain file is looked through now, before anything is written; a pipe or a device is looked
        // through while it is copied.
        int tagLine = 0;
        errno = 0;
        if (isPlainFile(input.file.get()) && !findTagLine(input.file.get(), tagLine)) {
            report("ERROR: Can't read input file '%s': %s, aborting.\n", input.name.c_str(),
                   std::strerror(errno ? errno : EIO));
            return false;
        }
        if (tagLine) {
            report("%s", tagLineText(input.name, tagLine).c_str());
            return false;
        }
        inputs.push_back(std::move(input));
    }
    return true;
}

/// Writes the update file under a temporary name and moves it into place; false after reporting a fault.
static bool writeOutput(const std::string& output, const std::string& workingDir,
                        std::vector<Input>& inputs) {
    TempOutput temp;
    if (int error = temp.create(output)) {
        report("%s", cantCreateText(output, error).c_str());
        return false;
    }
    std::string text;
    if (!writeUpdate(temp.get(), output, workingDir, inputs, text)) {
        report("%s", text.c_str());
        return false;
    }
    if (int error = temp.finish()) {
        report("%s", cantWriteText(output, error).c_str());
        return false;
    }
    int error = temp.commit(output);
    if (error == EEXIST) {
        // Someone else created the output while we were writing: theirs stands.
        report("ERROR: Output file already exists, '%s', aborting.\n", output.c_str());
        return false;
    }
    if (error) {
        report("%s", cantCreateText(output, error).c_str());
        return false;
    }
    return true;
}

int main(int argc, char** argv) {
    prepareProcess();
    // Only these two are options; any other first argument, "-h" included, names the output.
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (std::strcmp(argv[1], "--version") == 0) {
        std::puts("vqu " VQU_VERSION);
        return 0;
    }
    endOnSignals();
    const std::string output = argv[1];
    errno = 0;
    std::string workingDir = workingDirectory();
    if (workingDir.empty()) {
        report("ERROR: Can't read the working directory: %s, aborting.\n",
               std::strerror(errno ? errno : EIO));
        return 1;
    }
    workingDir = normaliseDirectory(workingDir);
    if (pathExists(output)) {
        report("ERROR: Output file already exists, '%s', aborting.\n", output.c_str());
        return 1;
    }
    std::vector<Input> inputs;
    if (!openInputs(output, argc - 2, argv + 2, inputs)) return 1;
    if (!writeOutput(output, workingDir, inputs)) return 1;
    for (const Input& input : inputs) {
        if (input.kind == InputKind::S19) return 0;
    }
    report("WARNING: No s19 file in input list.\n");
    return 1;
}
