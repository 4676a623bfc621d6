// How the rows of the fault matrix run and are checked.
#include "fault_matrix.h"
#include "json_schema.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace matrix {

static ::testing::AssertionResult matches(const std::string& out, const std::string& expected,
                                          size_t anyMax) {
    size_t any = expected.find(ANY);
    if (any == std::string::npos) {
        if (out == expected) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the console showed\n"
                                             << ::testing::PrintToString(out) << "\ninstead of\n"
                                             << ::testing::PrintToString(expected);
    }
    const std::string head = expected.substr(0, any), tail = expected.substr(any + ANY.size());
    if (out.size() >= head.size() + tail.size() && out.compare(0, head.size(), head) == 0 &&
        out.compare(out.size() - tail.size(), tail.size(), tail) == 0 &&
        out.size() - head.size() - tail.size() <= anyMax)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the console showed\n"
                                         << ::testing::PrintToString(out) << "\nwhich does not match\n"
                                         << ::testing::PrintToString(expected);
}

/// The record's "step kind flash", each null as "null".
static std::string outcomeOf(const std::string& record) {
    const nlohmann::json unit = nlohmann::json::parse(record, nullptr, false);
    if (!unit.is_object()) return "no record: " + record;
    for (const std::string& fault : fx::schemaFaults(unit))
        ADD_FAILURE() << fault << " in " << record;
    std::string text;
    for (const char* field : {"step", "kind", "flash"})
        text += (text.empty() ? "" : " ") +
                (unit.value(field, nlohmann::json()).is_string() ? unit[field].get<std::string>() : "null");
    return text;
}

static void checkRow(const Target& target, const Row& row, const std::string& file,
                     const vqsim::Simulator& sim, const fx::RunResult& r, const std::string& record) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(r.status, row.status);
    if (!row.outcome.empty()) {
        EXPECT_EQ(outcomeOf(record), row.outcome);
    }
    const std::string head = "Velquin Download 2.00\n\nReading " + file + ":\n" + target.detected +
                             "Opened comm port " + sim.devicePath() + " at 115200.\n";
    EXPECT_TRUE(matches(r.out, head + row.body, row.anyMax));
    // Timers never fire early, so the prescribed waits are a floor; the ceiling only catches a hang.
    EXPECT_GE(r.seconds, row.seconds - 0.03);
    EXPECT_LT(r.seconds, row.seconds + HANG);
    if (!row.wire.empty()) {
        const std::vector<uint8_t> rx = sim.received();
        EXPECT_EQ(
            std::string(rx.begin(), rx.begin() + static_cast<long>(std::min(rx.size(), row.wire.size()))),
            row.wire);
    }
    if (row.status == 0) {
        for (const auto& byte : target.flash)
            EXPECT_EQ(sim.peek(byte.first), byte.second) << "flash at 0x" << std::hex << byte.first;
    }
}

void runRows(const Target& target, const std::vector<Row>& rows) {
    fx::TempDir dir;
    const std::string file = dir.file("firmware.s19");
    fx::writeFile(file, target.file);
    std::vector<std::unique_ptr<fx::Rig>> rigs;
    for (const Row& row : rows) {
        rigs.push_back(std::make_unique<fx::Rig>(target.generation == 1
                                                     ? fx::bootLoaderOptions(row.faults, SIGNATURE)
                                                     : fx::monitorOptions(row.faults)));
        ASSERT_TRUE(rigs.back()->start()) << row.name;
    }
    // A line that hangs up frees its terminal number, which the next pseudo-terminal made on this machine
    // takes: the downloader's reopen would then reach another test's line. Holding the far end keeps the
    // number taken until the run is over.
    std::vector<int> held;
    for (size_t i = 0; i < rows.size(); ++i) {
        for (const std::string& fault : rows[i].faults) {
            if (fault.compare(0, 6, "hangup") == 0)
                held.push_back(
                    open(rigs[i]->sim->devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        }
    }
    std::vector<fx::RunResult> results(rows.size());
    std::vector<std::thread> runs;
    // Each run records its unit: the record names the step, the kind of failure and what the flash holds.
    for (size_t i = 0; i < rows.size(); ++i) {
        Texts switches = target.switches;
        switches.insert(switches.end(), {"--results", dir.file("unit-" + std::to_string(i) + ".jsonl")});
        runs.emplace_back([&, i, switches] { results[i] = rigs[i]->run(switches, file, RUN_LIMIT_MS); });
    }
    for (std::thread& run : runs)
        run.join();
    for (int fd : held)
        close(fd);
    for (size_t i = 0; i < rows.size(); ++i) {
        std::string record = fx::readFile(dir.file("unit-" + std::to_string(i) + ".jsonl"));
        if (!record.empty() && record.back() == '\n') record.pop_back();
        checkRow(target, rows[i], file, *rigs[i]->sim, results[i], record);
    }
}

} // namespace matrix
