// Common driver of the fuzz targets.  An input is
//   byte 0      board: bits 0-4 pick the board type the automatic
//               identification answers with, bit 7 switches it on
//   byte 1      bits 0-1: number of calls less one (1 to 4)
//   2 per call  the method (an index into the target's table) and an
//               argument byte the method's row turns into its arguments
//   the rest    the bridge's script (see fake_bridge.h)
// After every call the invariants of the library are checked; a breach
// aborts, which libFuzzer keeps as a crash.
#ifndef QOLVEN_FUZZ_HARNESS_H
#define QOLVEN_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QOLVEN_USB_DLL.h"
#include "robustness/device_methods.h"

namespace qolven_fuzz {

using _QOLVEN_USB_DLL::QOLVEN_USB_DLL;
using Rows = std::vector<const robustness::Method *>;

// The device methods whose answers go through one reader.
Rows rowsOf(robustness::Family family);

// Board types the automatic identification can report: every class the
// library tells apart, plus codes it must refuse.
extern const int kBoardTypes[];
extern const size_t kBoardTypeCount;

// Runs one input against the rows; `prepare` may set fields of a fresh,
// opened object before the first call.
int runInput(const uint8_t *data, size_t size, const Rows &rows,
             void (*prepare)(QOLVEN_USB_DLL &dev, int boardType) = nullptr);

} // namespace qolven_fuzz

#endif
