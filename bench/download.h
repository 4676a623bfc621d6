// One whole download for the benchmarks: the real vq2dl program against a simulated controller on a paced
// line, and the floor that the line and the protocols set under its wall time.
#pragma once

#include "process.h"
#include "simulator.h"
#include "srec_writer.h"

#include <memory>
#include <string>
#include <vector>

namespace bench {

/// An image for one controller generation.
struct DownloadCase {
    std::string name;
    int generation = 2;
    std::vector<Span> spans;
    uint32_t entry = 0;
    std::vector<std::string> faults; ///< faults of the simulated controller (none in the benchmarks)
};

/// A VQ-II image: 16 KiB below the page window and 16 KiB above it, and pages 0x30 onwards filled in their
/// window.
DownloadCase monitorCase(unsigned pages);
/// The VQ-II image of two pages (64 KiB) with the second half of each 16 KiB area 0xFF padding, but for
/// 0xC000-0xFFFF whose first half is (the code sits at the top, below the vectors).
DownloadCase paddedMonitorCase();
/// A VQ-I image of 24 KiB from 0xA000 to the top of memory.
DownloadCase bootLoaderCase();

/// The waits vq2dl makes unless told otherwise (-dw and -d).
constexpr int WIPE_DELAY_MS = 250;
constexpr int RECORD_DELAY_MS = 0;
/// One read that ends in its time-out.
constexpr int READ_TIMEOUT_MS = 251;

/// The least time a download can take: the line time of every byte that crossed, and the waits the dialogue
/// prescribes.
struct Floor {
    uint64_t bytes = 0;        ///< bytes that crossed, both ways
    double lineSeconds = 0;    ///< ten bit times per byte
    double waitSeconds = 0;    ///< erase waits, record delays and fixed pauses
    double timeoutSeconds = 0; ///< reads that can only end in a time-out
    double total() const { return lineSeconds + waitSeconds + timeoutSeconds; }
};

/// The floor of a download that went through without a retry, from what the controller counted. records is
/// the number of records the downloader pauses after (written and read back for VQ-II, sent for VQ-I).
Floor downloadFloor(int generation, const vqsim::Counters& counters, int baud, uint64_t records);

/// How the line of a download hands answers over, and whether vq2dl joins records into full blocks (-b).
struct LineModel {
    vqsim::Delivery delivery = vqsim::Delivery::Byte;
    int latencyMs = 16; ///< usb: the adapter's latency timer
    bool join = false;
    bool json = false; ///< --json: the events on standard output in place of the console text
};

/// The delivery as vqsim --deliver names it ("byte", "fifo", "usb:16").
std::string deliveryName(const LineModel& model);

/// One download: its simulated controller, the vq2dl child and what came of it.
class Download {
public:
    Download(const DownloadCase& image, const std::string& file, const std::string& log, int baud,
             LineModel model = {});
    /// Starts the controller and the downloader; false with the reason.
    bool start(const std::string& vq2dl, std::string& error);
    /// The child, for waiting on it.
    Child& child() { return process; }
    /// After the child ended: stops the controller and checks its flash against the image. True when the
    /// download exited with status 0 and the flash holds the image.
    bool finish(std::string& error);
    const vqsim::Counters& counters() const { return counted; }
    /// vq2dl's turnaround after each answer, in microseconds, as the controller saw it.
    const std::vector<double>& turnarounds() const { return turnaroundUs; }
    /// Records the downloader pauses after (see downloadFloor).
    uint64_t delayedRecords() const;
    Floor floor() const { return downloadFloor(image.generation, counted, baud, delayedRecords()); }
    /// Set before start: more arguments for vq2dl (before the file), and an S-record file whose bytes the
    /// controller's flash holds before the download.
    std::vector<std::string> extraArgs;
    std::string preload;

private:
    const DownloadCase& image;
    std::string file;
    std::string log;
    int baud;
    LineModel model;
    std::unique_ptr<vqsim::Simulator> simulator;
    Child process;
    vqsim::Counters counted;
    std::vector<double> turnaroundUs;
};

/// Writes the image of a case as an S-record file the way firmware tools do (32 bytes a line).
bool writeCaseFile(const DownloadCase& image, const std::string& path, std::string& error);

/// The time limit of one download child.
constexpr double DOWNLOAD_LIMIT_SECONDS = 600;

} // namespace bench
