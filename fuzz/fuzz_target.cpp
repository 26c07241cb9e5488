// One libFuzzer target per reader: QOLVEN_FUZZ_FAMILY names the family of
// device methods this build of the target calls.
#include "harness.h"

namespace {

using robustness::Family;
constexpr Family kFamily = Family::QOLVEN_FUZZ_FAMILY;

// A host identifies the board before it streams; for fast data the board
// type of the input stands for that identification.
void identified(qolven_fuzz::QOLVEN_USB_DLL &dev, int boardType) { dev.boardType = boardType; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const qolven_fuzz::Rows rows = qolven_fuzz::rowsOf(kFamily);
    return qolven_fuzz::runInput(data, size, rows, kFamily == Family::Fast ? identified : nullptr);
}
