// Benchmark 3: how fast the file loader turns S-record text into an image, and its peak memory, side by side
// with srec_info reading the same file. Each program runs as a child of its own, so that each peak is its
// own.
#include "bench.h"
#include "image/firmware_image.h"
#include "process.h"
#include "srec_writer.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

namespace bench {

namespace {

constexpr uint32_t IMAGE_BYTES = 16u << 20;
/// srec_cat's line length, and that of most firmware files.
constexpr unsigned LINE_BYTES = 32;
constexpr double LOAD_LIMIT_SECONDS = 300;

/// The best of several runs of one program on one file.
struct LoadFigures {
    bool ok = false;
    double wallSeconds = 0;      ///< fastest run
    long maxRssKiB = 0;          ///< highest peak of any run
    double inProcessSeconds = 0; ///< our loader alone, as the child timed it (fastest run)
};

/// What the loading child printed: records, bytes and seconds.
bool readChildReport(const std::string& path, uint64_t& records, uint64_t& bytes, double& seconds) {
    std::ifstream report(path);
    unsigned long long r = 0, b = 0;
    std::string line;
    if (!std::getline(report, line)) return false;
    if (std::sscanf(line.c_str(), "records=%llu bytes=%llu seconds=%lf", &r, &b, &seconds) != 3) return false;
    records = r;
    bytes = b;
    return true;
}

LoadFigures measure(const std::vector<std::string>& argv, const std::string& output, int runs,
                    const SRecordFile* expected) {
    LoadFigures figures;
    for (int run = 0; run < runs; ++run) {
        std::string error;
        ChildResult result = runChild(argv, output, LOAD_LIMIT_SECONDS, error);
        if (!error.empty() || result.status != 0) {
            std::printf("    %s failed (%s)\n%s", argv[0].c_str(),
                        !error.empty()    ? error.c_str()
                        : result.timedOut ? (interrupted() ? "interrupted" : "time limit")
                                          : ("status " + std::to_string(result.status)).c_str(),
                        tailOfFile(output, 5).c_str());
            return LoadFigures();
        }
        double inProcess = 0;
        if (expected) {
            uint64_t records = 0, bytes = 0;
            if (!readChildReport(output, records, bytes, inProcess) || records != expected->records ||
                bytes != expected->dataBytes) {
                std::printf("    the loader did not read the whole image:\n%s",
                            tailOfFile(output, 3).c_str());
                return LoadFigures();
            }
        }
        if (run == 0 || result.wallSeconds < figures.wallSeconds) figures.wallSeconds = result.wallSeconds;
        if (run == 0 || inProcess < figures.inProcessSeconds) figures.inProcessSeconds = inProcess;
        figures.maxRssKiB = std::max(figures.maxRssKiB, result.maxRssKiB);
    }
    figures.ok = true;
    return figures;
}

void printFigures(const char* who, const LoadFigures& figures, const SRecordFile& file) {
    double mib = static_cast<double>(figures.maxRssKiB) / 1024.0;
    std::printf("    %-14s %7.3f s %8.1f MB/s   peak %7.1f MiB = %.2f x the data\n", who, figures.wallSeconds,
                static_cast<double>(file.textBytes) / 1e6 / figures.wallSeconds, mib,
                mib * 1024.0 * 1024.0 / static_cast<double>(file.dataBytes));
}

/// Generates one file and measures both programs on it; false when our loader failed.
bool compareOn(const Settings& settings, const ScratchDir& scratch, const char* label, AddressForm form) {
    if (interrupted()) return false;
    std::string path = scratch.file(form == AddressForm::S3 ? "image-s3.s19" : "image-s1s2.s19");
    SRecordFile file;
    std::string error;
    uint32_t entry = form == AddressForm::S3 ? 0x00400000 : 0x8000;
    // Some 40 MB each: gone as soon as both programs have read it.
    struct RemoveFile {
        std::string path;
        ~RemoveFile() { std::remove(path.c_str()); }
    } cleanup{path};
    if (!writeSRecordFile(path, {{0, IMAGE_BYTES}}, LINE_BYTES, form, entry, file, error)) {
        std::printf("  %s: %s\n", label, error.c_str());
        return false;
    }
    std::printf("  %s: %.1f MB of text, %llu records of %u bytes\n", label,
                static_cast<double>(file.textBytes) / 1e6, static_cast<unsigned long long>(file.records),
                LINE_BYTES);
    LoadFigures ours =
        measure({settings.self, "--load-child", path}, scratch.file("load.out"), settings.runs, &file);
    if (!ours.ok) return false;
    printFigures("vq2dl loader", ours, file);
    std::printf("    %-14s %7.3f s (the load alone, inside the child)\n", "", ours.inProcessSeconds);
    if (settings.srecInfo.empty()) {
        std::printf("    srec_info is not installed (Debian package srecord): no comparison\n");
        return true;
    }
    LoadFigures theirs =
        measure({settings.srecInfo, path}, scratch.file("srec_info.out"), settings.runs, nullptr);
    if (!theirs.ok) return true; // their failure is reported above; ours stands
    printFigures("srec_info", theirs, file);
    std::printf("    ours / theirs: %.2f x the speed, %.2f x the peak memory\n",
                theirs.wallSeconds / ours.wallSeconds,
                static_cast<double>(ours.maxRssKiB) / static_cast<double>(theirs.maxRssKiB));
    return true;
}

} // namespace

int loadChildMain(const std::string& path) {
    FirmwareImage image;
    double start = monotonicSeconds();
    try {
        image.load(path);
    } catch (const s19Error& error) {
        std::printf("ERROR: Reading %s line %d: %s.\n", error.file.c_str(), error.line, error.text.c_str());
        return 3;
    }
    double seconds = monotonicSeconds() - start;
    unsigned long long bytes = 0;
    for (const auto& entry : image.records)
        bytes += entry.second.length;
    std::printf("records=%llu bytes=%llu seconds=%.6f\n",
                static_cast<unsigned long long>(image.recordCount()), bytes, seconds);
    return 0;
}

bool benchmarkLoading(const Settings& settings, const ScratchDir& scratch) {
    std::printf("Benchmark 3: loading 16 MiB of data from S-record text (fastest of %d runs, highest peak)\n",
                settings.runs);
    // The peak of a child that loads nothing: the floor under every peak below.
    std::string empty = scratch.file("empty.s19");
    std::ofstream(empty).close();
    LoadFigures bare = measure({settings.self, "--load-child", empty}, scratch.file("load.out"), 1, nullptr);
    if (bare.ok)
        std::printf(
            "  (a loading child that reads an empty file peaks at %.1f MiB: no peak below can be lower)\n",
            static_cast<double>(bare.maxRssKiB) / 1024.0);
    bool ok = compareOn(settings, scratch, "S3 lines", AddressForm::S3);
    ok = compareOn(settings, scratch, "S1/S2 lines", AddressForm::Shortest) && ok;
    std::printf("\n");
    return ok;
}

} // namespace bench
