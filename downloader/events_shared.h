// What the event stream shares with the closing event of a signal: state the main thread sets and a signal
// handler reads (lock-free atomics), and the template of that closing event.
#pragma once

#include <atomic>
#include <cstdint>

namespace events::shared {

extern int64_t startMs;                    ///< when the program started, from platformNowMs
extern std::atomic<bool> closingAllowed;   ///< the stream is on and its result not yet written
extern std::atomic<bool> lineBeingWritten; ///< a line may be half on its way out
extern std::atomic<uint64_t> bytesWritten, bytesVerified, bytesRead;
extern std::atomic<const char*> stepNow, flashNow; ///< static texts, for the signal's result

/// Cuts the closing event of a signal into its pieces, once, while nothing can interrupt.
void prepareClosing();

} // namespace events::shared
