// Fuzz target: a whole input file through the loader, plain S-records and VQU containers alike, with the
// .ini blocks extracted into a scratch install directory. Whatever the file holds, the loader may write
// only into that directory, only the files it reports as extracted, leave no temporary file and no open
// descriptor behind, and keep the image's records and code range consistent.
#include "fuzz_check.h"

#include "image/firmware_image.h"

#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace {

/// The scratch tree: root/input.vqu and root/install/ for the extracted files, nested so that a path that
/// wanders off from the install directory by ".." still lands under root where it is seen.
struct Scratch {
    std::string root;
    std::string input;
    std::string install;
};

Scratch scratch;

void removeScratch() {
    std::error_code error;
    fs::remove_all(scratch.root, error);
}

size_t openDescriptors() {
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir))
            ++count;
        closedir(dir);
    }
    return count;
}

/// Every path under root, relative to it.
std::set<std::string> treeOf(const std::string& root) {
    std::set<std::string> paths;
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error))
        paths.insert(it->path().lexically_relative(root).string());
    return paths;
}

/// Empties the install directory for the next input.
void clearInstall() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(scratch.install, error))
        fs::remove_all(entry.path(), error);
}

void ignoreMessage(const char* text) {
    fuzzCheck(text != nullptr, "message without text");
}

void checkImage(const FirmwareImage& image) {
    for (const auto& [address, record] : image.records) {
        fuzzCheck(address == record.address, "record filed under another address");
        fuzzCheck(record.length == record.data.size(), "record length differs from its bytes");
        fuzzCheck(image.lowAddress <= address && address <= image.highAddress,
                  "record outside the code range");
    }
}

/// Only the install directory may have changed, and it may hold only files the image names as extracted:
/// all of them once they were put in place, none while the file's fault kept them back.
void checkDisk(const FirmwareImage& image, bool installed) {
    std::set<std::string> expected = {"input.vqu", "install"};
    std::set<std::string> reported;
    for (const std::string& path : image.extractedFiles) {
        fs::path file(path);
        fuzzCheck(file.parent_path() == fs::path(scratch.install),
                  "extracted outside the install directory: " + fuzzShow(path));
        reported.insert(file.filename().string());
        expected.insert("install/" + file.filename().string());
    }
    for (const std::string& path : treeOf(scratch.root)) {
        fuzzCheck(expected.count(path) == 1, "file left where it does not belong: " + fuzzShow(path));
    }
    std::error_code error;
    for (const std::string& name : reported) {
        if (installed)
            fuzzCheck(fs::is_regular_file(scratch.install + "/" + name),
                      "reported file missing: " + fuzzShow(name));
        else
            fuzzCheck(!fs::exists(scratch.install + "/" + name, error),
                      "file put in place although its update failed: " + fuzzShow(name));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/vq-fuzz-loader.XXXXXX";
    fuzzCheck(mkdtemp(pattern) != nullptr, "cannot create the scratch directory");
    scratch.root = pattern;
    scratch.input = scratch.root + "/input.vqu";
    scratch.install = scratch.root + "/install";
    fs::create_directory(scratch.install);
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzWriteFile(scratch.input, std::string(reinterpret_cast<const char*>(data), size));
    size_t descriptors = openDescriptors();
    FirmwareImage image;
    image.installDir = scratch.install;
    image.messageCallback = ignoreMessage;
    image.verbosity = 6;
    bool loaded = false, installed = false;
    try {
        image.load(scratch.input);
        loaded = true;
        // A run puts the .ini files in place once the image is accepted.
        image.installExtracted();
        installed = true;
    } catch (const s19Error& e) {
        fuzzCheck(e.file == scratch.input, "fault names another file");
        fuzzCheck(e.line >= 0 && !e.text.empty(), "fault without a place or a text");
    }
    // What a refused file held back goes with it.
    image.pendingIni.discard();
    fuzzCheck(openDescriptors() == descriptors, "descriptor left open");
    checkImage(image);
    // Putting them in place can fail half-way (a rename refused): what was placed then stays.
    if (installed || !loaded) checkDisk(image, installed);
    clearInstall();
    return 0;
}
