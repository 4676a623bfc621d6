// The Linux serial drivers' low-latency mode: USB adapters then hand received bytes over after 1 ms instead
// of their default 16 ms. Asked for on open (platformRequestLowLatency), put back on close.
#pragma once

/// Puts back the driver's latency setting of a port whose setting platformRequestLowLatency changed; nothing
/// for any other port. System calls only, so that a signal handler may call it.
void restoreLowLatency(int fd);
