// A scripted stand-in for the bridge library, linked into the fuzz targets
// only.  Every FT_GetStatus poll after the device is open takes one step of
// the script from the fuzz input: bytes arrive (raw, or as a well-formed
// answer to the last request with fuzzed data), time passes, or a call
// fails with a status.  Time is virtual, so a read that starves costs a few
// polls instead of its time-out.
#ifndef QOLVEN_FUZZ_FAKE_BRIDGE_H
#define QOLVEN_FUZZ_FAKE_BRIDGE_H

#include <cstddef>
#include <cstdint>

namespace qolven_fuzz {

// The handle FT_OpenEx gives out.
void *fakeHandle();

// Starts a run: an empty receive queue, the script, and the board the
// identification answers describe when autoIdentify is set (otherwise the
// script must answer identification requests itself).
void bridgeBegin(const uint8_t *script, size_t size, int boardType, bool autoIdentify);
// Until this is called, polls consume no script (the device is being opened).
void bridgeArm();

// Non-zero statuses that FT_GetStatus, FT_Read and FT_Write returned since
// the run began: a call that saw one must not report success.
unsigned transportFailures();

// Virtual microseconds; every reading moves the clock on.
int64_t virtualMicros();
// A sleep on virtual time: the clock jumps to `micros` unless it is past it.
void sleepVirtualUntil(int64_t micros);

} // namespace qolven_fuzz

#endif
