// The delivery model and the waits of the line's serving thread (delivery.cpp), for the line (line.cpp).
#pragma once

#include "engine.h"

namespace vqsim {

/// Waits up to ms milliseconds for the wake pipe; true when stop() was called.
bool waitForStop(Engine& e, int ms);

/// Releases the held bytes if their timer has run out.
void releaseIfDue(Engine& e);

/// Waits until a moment, releasing held bytes on time on the way; true when stop() was called.
bool waitUntil(Engine& e, Clock::time_point when);

/// One byte has crossed the line at a moment of the line's own time (pace's answer): it reaches the host as
/// the delivery model says. False when it was lost.
bool deliver(Engine& e, uint8_t byte, Clock::time_point crossed, bool waitForRoom);

/// Holds a byte back until the line would have carried it: ten bit times after the line was last free. The
/// due times add up from the last one, so a long answer takes its full time without drifting. Answers the
/// moment the byte has crossed in the line's time (now, on an unpaced line), whenever this thread woke.
Clock::time_point pace(Engine& e, Clock::time_point& freeAt, Clock::time_point ready);

} // namespace vqsim
