// The progress line: drawn when the program says its sink prints to a terminal, whatever the sink is.
#include "fixture.h"

#include "program.h"

#include <string>

namespace {

/// A sink of the kind a calling program writes: it wraps another one.
void wrappingSink(const char* text) {
    fx::captureSink(text);
}

} // namespace

TEST(Console, ProgressLineFollowsTheTerminalNotTheSink) {
    const struct {
        bool terminal;
        int verbosity;
        bool percent;
        bool drawn;
    } cases[] = {
        {true, 1, false, true},  {false, 1, false, false}, {true, 2, false, false},
        {true, 0, false, false}, {true, 1, true, false},
    };
    for (const auto& c : cases) {
        Downloader d;
        d.console.sink = wrappingSink;
        d.console.terminal = c.terminal;
        d.console.verbosity = c.verbosity;
        d.console.percent = c.percent;
        testing::internal::CaptureStdout();
        d.console.showProgress(WRITE_LABEL, 1, 2, 10, 20);
        d.console.clearProgress();
        const std::string shown = testing::internal::GetCapturedStdout();
        const std::string bar = "\rWriting   [##########----------] 1/2 records, 10/20 bytes";
        EXPECT_EQ(shown.compare(0, bar.size(), bar) == 0, c.drawn) << c.terminal << c.verbosity << c.percent;
        EXPECT_EQ(d.console.personWatching(), c.drawn);
        if (!c.drawn) {
            EXPECT_EQ(shown, "");
        }
    }
}
