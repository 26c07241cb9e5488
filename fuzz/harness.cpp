#include "harness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fake_bridge.h"

namespace qolven_fuzz {

using robustness::Method;
using robustness::Result;

const int kBoardTypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 255};
const size_t kBoardTypeCount = sizeof kBoardTypes / sizeof kBoardTypes[0];

namespace {

[[noreturn]] void breach(const Method &m, const std::string &result, const QOLVEN_USB_DLL &dev, const char *what) {
    std::fprintf(stderr, "%s: %s (result \"%s\", lastErrorText \"%.63s\", write \"%s\", read \"%s\")\n", m.name,
                 what, result.c_str(), dev.lastErrorText, dev.writeStatus.c_str(), dev.readStatus.c_str());
    std::abort();
}

bool isNumber(const std::string &text) {
    size_t i = text.size() > 1 && text[0] == '-' ? 1 : 0;
    bool digits = false, point = false;
    for (; i < text.size(); ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            digits = true;
        } else if (text[i] == '.' && !point && digits) {
            point = true;
        } else {
            return false;
        }
    }
    return digits;
}

bool exchanged(const QOLVEN_USB_DLL &dev) { return dev.writeStatus == "Finished" && dev.readStatus == "Finished"; }

void check(const Method &m, const std::string &result, const QOLVEN_USB_DLL &dev, unsigned failuresBefore) {
    if (!std::memchr(dev.lastErrorText, 0, sizeof dev.lastErrorText)) breach(m, result, dev, "unterminated error text");
    const bool failedBridge = transportFailures() != failuresBefore;
    if (result == "Error") {
        // The count decoding's "Error" is a value: it needs a clean exchange.
        if (m.result == Result::Count && dev.lastErrorText[0] == 0 && exchanged(dev) && !failedBridge) return;
        if (dev.lastErrorText[0] == 0) breach(m, result, dev, "\"Error\" without a reason");
        return;
    }
    if (failedBridge) breach(m, result, dev, "success after a failed bridge call");
    if (dev.writeStatus != "Finished") breach(m, result, dev, "success without a finished write");
    switch (m.result) {
    case Result::Records:
        if (dev.fastReadStatus != "Finished") breach(m, result, dev, "records without a finished fast read");
        return;
    case Result::Action:
        if (result != "0") breach(m, result, dev, "action answered neither 0 nor Error");
        break;
    case Result::Finished:
        if (result != "Finished") breach(m, result, dev, "configuration read answered neither Finished nor Error");
        break;
    case Result::Number:
        if (!isNumber(result)) breach(m, result, dev, "getter answered no number");
        break;
    default:
        break;
    }
    if (dev.readStatus != "Finished") breach(m, result, dev, "success without a finished read");
}

} // namespace

Rows rowsOf(robustness::Family family) {
    Rows rows;
    for (const Method &m : robustness::deviceMethods())
        if (m.family == family) rows.push_back(&m);
    return rows;
}

int runInput(const uint8_t *data, size_t size, const Rows &rows, void (*prepare)(QOLVEN_USB_DLL &, int)) {
    if (size < 4 || rows.empty()) return 0;
    const int boardType = kBoardTypes[(data[0] & 0x1F) % kBoardTypeCount];
    const bool autoIdentify = (data[0] & 0x80) != 0;
    const size_t calls = 1 + (data[1] & 3);
    const size_t header = 2 + 2 * calls;
    if (size < header) return 0;

    bridgeBegin(data + header, size - header, boardType, autoIdentify);
    auto dev = std::make_unique<QOLVEN_USB_DLL>();
    char serial[] = "FUZZ";
    dev->Open_Device_Connection(serial);
    if (dev->DeviceHandle != fakeHandle()) {
        std::fprintf(stderr, "open failed: %s\n", dev->lastErrorText);
        std::abort();
    }
    if (prepare) prepare(*dev, boardType);
    bridgeArm();
    for (size_t i = 0; i < calls; ++i) {
        const Method &m = *rows[data[2 + 2 * i] % rows.size()];
        const unsigned failuresBefore = transportFailures();
        std::string result = m.call(*dev, dev->DeviceHandle, data[3 + 2 * i]);
        check(m, result, *dev, failuresBefore);
    }
    dev->Close_Device_Connection(dev->DeviceHandle);
    return 0;
}

} // namespace qolven_fuzz
