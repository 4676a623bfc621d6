// The checks before any port: the outputs, the firmware files, the generation and what it can carry.
#include "preflight.h"

#include "serials/checks.h"

#include "bootloader/image_check.h"
#include "image/output_file.h"
#include "image/sha256.h"
#include "monitor/blocks.h"
#include "monitor/image_check.h"
#include "platform/signals.h"

#include <algorithm>

namespace {

/// Lowest image address that marks VQ-I (HC908) code.
constexpr uint32_t VQ1_THRESHOLD = 0x8080;

/// A file the run writes, and what it is to the run ("the --read file").
struct NamedFile {
    const char* role;
    std::string path;
};

void refuseEmptyDownload(const Options& options, FirmwareImage& image, Console& console) {
    // Without a single S-record line the files are no firmware at all (a build that failed half-way, an
    // update packed without its .s19): a boot loader would be wiped for nothing. A header and an end line
    // alone still go out, as the way to wipe one.
    if (image.recordLines > 0) return;
    // An update that carries only its configuration still installs it.
    image.installExtracted();
    std::string names;
    for (const std::string& name : options.fileNames)
        names += (names.empty() ? "" : ", ") + name;
    console.fatal(EXIT_FILE, "ERROR: No S-records to download in %s.", names.c_str());
}

void refuseOverlaps(const FirmwareImage& image, FirmwareImage::Landing where, Console& console) {
    // Two records that differ over one byte would both be written there, and verification would then blame
    // the line.
    const SRecord* later = nullptr;
    const SRecord* earlier = nullptr;
    if (!image.findOverlap(where, later, earlier)) return;
    console.fatal(EXIT_FILE, "ERROR: Record at 0x%X (%s line %d) overlaps the record at 0x%X (%s line %d).",
                  later->address, image.fileOf(*later).c_str(), later->line, earlier->address,
                  image.fileOf(*earlier).c_str(), earlier->line);
}

/// Ends the run with status 3 when the firmware file of this place on the command line has another SHA-256
/// than --expect-sha256 gives for it.
void refuseUnexpected(const Options& options, size_t index, const std::string& digest, Console& console) {
    if (index >= options.expectedDigests.size() || digest == options.expectedDigests[index]) return;
    console.fatal(EXIT_FILE, "ERROR: %s has SHA-256 %s, not the expected %s.",
                  options.fileNames[index].c_str(), digest.empty() ? "(unreadable)" : digest.c_str(),
                  options.expectedDigests[index].c_str());
}

void reportFile(const CheckedFiles& files, size_t firstExtracted, Console& console) {
    const FirmwareImage& image = files.image;
    FileReport report;
    report.name = files.filesRead.back().first;
    report.sha256 = files.digests.back();
    report.header = files.headers.back();
    report.vq2 = files.generation == Generation::VQ2;
    report.entryPoint = image.entryPoint;
    report.lowAddress = image.lowAddress;
    report.highAddress = image.highAddress;
    // The last byte of the image: a record ends after its start, and a later start may end sooner.
    report.endAddress = image.highAddress;
    for (const auto& entry : image.records)
        if (entry.second.length > 0)
            report.endAddress = std::max<uint64_t>(report.endAddress,
                                                   uint64_t(entry.second.address) + entry.second.length - 1);
    report.records = image.records.size();
    for (const auto& entry : image.records)
        report.dataBytes += entry.second.length;
    for (size_t i = firstExtracted; i < image.extractedFiles.size(); ++i) {
        const std::string& path = image.extractedFiles[i];
        const size_t slash = path.find_last_of("/\\");
        report.iniFiles.push_back({slash == std::string::npos ? path : path.substr(slash + 1), path});
    }
    console.events.file(report);
}

} // namespace

std::string readingError(const s19Error& error) {
    return "ERROR: Reading " + error.file + " line " + std::to_string(error.line) + ": " + error.text + ".";
}

const char* generationName(Generation generation) {
    return generation == Generation::VQ1 ? "VQ-I" : "VQ-II";
}

Generation generationOf(const FirmwareImage& image) {
    return image.lowAddress >= VQ1_THRESHOLD ? Generation::VQ1 : Generation::VQ2;
}

void checkOutputs(const Options& options, Console& console) {
    std::vector<NamedFile> outputs;
    if (!options.readBackFile.empty()) outputs.push_back({"the --read file", options.readBackFile});
    if (options.logPath) outputs.push_back({"the --log file", *options.logPath});
    if (!options.resultsPath.empty()) outputs.push_back({"the --results file", options.resultsPath});
    // A device, a FIFO or a link would be replaced by a regular file, or written into where it leads.
    for (const NamedFile& output : outputs) {
        if (const char* kind = specialFileKind(output.path))
            console.fatal(EXIT_USAGE, "ERROR: %s (%s) is %s, not a regular file.", output.path.c_str(),
                          output.role, kind);
    }
    // Compared as the system knows the files, not by their spelling: "./fw.s19" is "fw.s19". Firmware files
    // count only where they are read.
    std::vector<NamedFile> files = outputs;
    if (!options.wipeOnly && !options.listPorts)
        for (const std::string& name : options.fileNames)
            files.push_back({"a firmware file", name});
    for (size_t i = 0; i < outputs.size(); ++i) {
        for (size_t j = i + 1; j < files.size(); ++j) {
            if (sameFileOnDisk(outputs[i].path, files[j].path))
                console.fatal(EXIT_USAGE, "ERROR: %s is both %s and %s.", outputs[i].path.c_str(),
                              outputs[i].role, files[j].role);
        }
    }
}

void checkImage(Generation generation, const FirmwareImage& image, Console& console) {
    const bool vq2 = generation == Generation::VQ2;
    const std::string fault = vq2 ? monitor::imageFault(image) : bootloader::imageFault(image);
    const std::string hint = vq2 ? "" : bootloader::generationHint(image);
    if (!fault.empty() && !hint.empty()) {
        // Paged data in what the generation rule took for VQ-I code: the line after says how it is told.
        console.announce(fault.c_str());
        console.message(0, "%s", hint.c_str());
        throw static_cast<int>(EXIT_FILE);
    }
    if (!fault.empty()) console.fatal(EXIT_FILE, "%s", fault.c_str());
    // On a VQ-II controller 0x8000-0xBFFF is written 0x4000 lower: a record there and one at that lower
    // address share bytes.
    refuseOverlaps(image, vq2 ? monitor::landing : bootloader::landing, console);
}

void checkFiles(const Options& options, Console& console, CheckedFiles& files) {
    if (options.wipeOnly) return;
    const bool readBack = !options.readBackFile.empty();
    FirmwareImage& image = files.image;
    image.verbosity = console.verbosity;
    image.installDir = options.installDir;
    // A read-back is the backup taken before an update: the installed configuration stays as it is; a station
    // has extracted an update's files once for all its ports (--no-extract).
    image.extractIni = !readBack && options.extractIni;
    if (console.sink) image.messageCallback = [&console](const char* text) { console.print(text); };
    if (console.log.isOpen()) image.logCallback = [&console](const char* text) { console.log.write(text); };
    // A file that is a pipe kept open can keep the reader waiting: a signal still ends the run.
    image.onWait = [] {
        if (const int signalNumber = stopSignal()) throw Stopped{signalNumber};
    };
    if (console.events.active())
        image.levelCallback = [&console](int level, const char* text) {
            console.events.message(level, text);
        };
    // Before any file is loaded, so that not even an update's .ini files are written from a wrong build; a
    // file that cannot be read here is left to the loader, which says why.
    for (size_t i = 0; i < options.expectedDigests.size() && i < options.fileNames.size(); ++i) {
        std::string digest;
        if (sha256OfFile(options.fileNames[i], digest)) refuseUnexpected(options, i, digest, console);
    }
    for (const std::string& name : options.fileNames) {
        console.message(1, "Reading %s:", name.c_str());
        const size_t extracted = image.extractedFiles.size();
        const size_t headers = image.headerTexts.size();
        image.load(name);
        // The first file decides: the code range only grows, so VQ-I code never turns into VQ-II.
        if (&name == &options.fileNames.front()) files.generation = generationOf(image);
        const Generation generation = files.generation;
        files.filesRead.push_back({name, generationName(generation)});
        // The digest of the bytes the loader read: the record names what was sent, not a second reading; the
        // expected one is checked again on them, should the file have changed since the first look.
        const std::string& digest = image.digests.back();
        refuseUnexpected(options, files.digests.size(), digest, console);
        files.digests.push_back(digest);
        files.headers.push_back(image.headerTexts.size() > headers ? image.headerTexts[headers] : "");
        console.message(1, "Detected %s (%s) code.", generationName(generation),
                        generation == Generation::VQ1 ? "HC908" : "HCS12");
        console.message(1, "Entry point: 0x%04x", image.entryPoint);
        console.message(1, "Code range : 0x%04x-0x%04x", image.lowAddress, image.highAddress);
        console.message(1, "File read successfully.");
        console.message(1, "%s", "");
        if (console.events.active()) reportFile(files, extracted, console);
    }
    if (readBack) {
        if (files.generation == Generation::VQ1)
            console.fatal(EXIT_USAGE, "ERROR: A VQ-I boot loader cannot be read back.");
        // Ranges given say what is read; otherwise the files' records do, and must be where they can be.
        if (options.readRanges.empty() && !options.fileNames.empty())
            checkImage(Generation::VQ2, image, console);
        return;
    }
    if (!options.verifyOnly) refuseEmptyDownload(options, image, console);
    // A VQ-I verification sends no record, so it takes any image.
    if (files.generation == Generation::VQ2 || !options.verifyOnly)
        checkImage(files.generation, image, console);
    checkKeep(options, console, files.generation, files.keptBytes);
    serials::checkPlace(options, files.generation, image, console);
    // Every file was read and the image accepted: an update's .ini files take their places now, before the
    // port opens. A refusal above has left the installation as it was.
    image.installExtracted();
}
