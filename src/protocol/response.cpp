#include <algorithm>
#include <cstring>

#include "core/internal.h"
#include "core/timing.h"
#include "transport/ftd2xx_api.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {

constexpr size_t kBufferSize = sizeof(QOLVEN_FTD2XX::readBuffer);

// Appends everything waiting (rxBytes, bounded by the buffer) after the
// `have` bytes already at the start of readBuffer.  Returns the new count,
// or 0 after a transport failure.
size_t appendWaiting(QOLVEN_USB_DLL &d, size_t have) {
    QOLVEN_FTD2XX &a = d.adapter;
    size_t room = kBufferSize - have;
    size_t count = std::min<size_t>(a.rxBytes, room);
    if (count == 0) return have;
    unsigned char kept[kBufferSize];
    if (have) std::memcpy(kept, a.readBuffer, have);
    a.QOLVEN_FT_Read(unsigned(count));
    if (a.ftStatus != FT_OK) {
        transportFailure(d, a.ftStatus);
        return 0;
    }
    if (have) {
        std::memmove(a.readBuffer + have, a.readBuffer, count);
        std::memcpy(a.readBuffer, kept, have);
    }
    return have + count;
}

// Length of the frame once its first byte is known.
size_t frameLength(const QOLVEN_USB_DLL &d, size_t have) {
    if (have > 0 && d.adapter.readBuffer[0] == 0xFF) return size_t(d.expectedSize) + 1;
    return d.expectedSize;
}

void timedOut(QOLVEN_USB_DLL &d, size_t have) {
    QOLVEN_FTD2XX &a = d.adapter;
    if (have == 0 && a.rxBytes > 3) {
        // Something came, but not the whole answer: say what it was.
        have = appendWaiting(d, 0);
        if (have == 0) return;
        const unsigned char *b = a.readBuffer;
        if (b[0] != d.expectedNumber) {
            setError(d, ErrorText::PacketNumber);
            return;
        }
        if (b[2] != d.expectedCommand) {
            const ErrorText text = boardErrorText(b[2]);
            setError(d, text != ErrorText::None ? text : ErrorText::CommandNumber);
            return;
        }
    }
    a.QOLVEN_FT_Purge();
    setError(d, ErrorText::Timeout);
}

} // namespace

namespace detail {

// Checks the frame in readBuffer against the expectations; plain positions
// unless it starts with 0xFF.  Returns the failure text or None.
static ErrorText checkFrame(const QOLVEN_USB_DLL &d, size_t offset) {
    const unsigned char *b = d.adapter.readBuffer + offset;
    if (d.expectedSize < 4) return ErrorText::PacketSize;
    if (b[0] != d.expectedNumber) return ErrorText::PacketNumber;
    if (b[1] == 5 && boardErrorText(b[2]) != ErrorText::None) return boardErrorText(b[2]);
    if (b[1] != d.expectedSize) return ErrorText::PacketSize;
    if (b[2] != d.expectedCommand) {
        const ErrorText text = boardErrorText(b[2]);
        return text != ErrorText::None ? text : ErrorText::CommandNumber;
    }
    if (b[d.expectedSize - 1] != d.endOfPacket) return ErrorText::EndOfPacket;
    return ErrorText::None;
}

// Copies the data bytes of an accepted frame into packetData.
static void takeData(QOLVEN_USB_DLL &d, size_t offset) {
    switch (d.expectedSize) {
    case 5: case 6: case 7: case 8: case 10: case 12:
        std::memcpy(d.packetData, d.adapter.readBuffer + offset + 3, d.expectedSize - 4);
        break;
    default:
        break;
    }
}

static void startRead(QOLVEN_USB_DLL &d) {
    d.packetReceivedText.clear();
    d.displayPageText.clear();
    d.readStatus.clear();
    std::memset(d.packetData, 0, sizeof d.packetData);
}

void readAnswer(QOLVEN_USB_DLL &d, int timeoutMs, size_t have) {
    if (offline(d)) return;
    startRead(d);
    QOLVEN_FTD2XX &a = d.adapter;
    a.rxBytes = 0;
    if (d.expectedSize < 4) {
        setError(d, ErrorText::PacketSize);
        return;
    }
    // The limit runs on this call's own wall clock.  The queue is looked at
    // once more after it has passed: a thread the scheduler held up past the
    // limit must not throw away an answer that came in time.
    const MonotonicStopwatch clock;
    const int64_t deadline = nanosAfter(clock.start(), double(timeoutMs));
    // A leading-0xFF frame is one byte longer: keep reading until its end byte is in.
    while (have == 0 || have < frameLength(d, have)) {
        const bool late = clock.elapsedMillis() > timeoutMs;
        a.QOLVEN_FT_GetStatus();
        if (a.ftStatus != FT_OK) {
            transportFailure(d, a.ftStatus);
            return;
        }
        if (have + a.rxBytes >= frameLength(d, have) && a.rxBytes > 0) {
            have = appendWaiting(d, have);
            if (have == 0) return;
            if (have >= kBufferSize) break;
            continue;
        }
        if (late) {
            timedOut(d, have);
            return;
        }
        // One past the limit, so that the look after the pause is late.
        pollPause(deadline + 1);
    }
    a.rxBytes = uint32_t(have);
    const size_t offset = a.readBuffer[0] == 0xFF ? 1 : 0;
    if (have < size_t(d.expectedSize) + offset) {
        setError(d, ErrorText::PacketSize);
        return;
    }
    if (const ErrorText text = checkFrame(d, offset); text != ErrorText::None) {
        setError(d, text);
        return;
    }
    takeData(d, offset);
    if (offset) d.expectedSize += 1;
    d.GetPacketReceived();
    d.readStatus = kFinished;
}

size_t answerData(const QOLVEN_USB_DLL &d) { return d.adapter.readBuffer[0] == 0xFF ? 4 : 3; }

} // namespace detail

void QOLVEN_USB_DLL::ReadPacket(int timeout) { readAnswer(*this, timeout, 0); }

void QOLVEN_USB_DLL::GetPacketReceived() {
    if (offline(*this)) return;
    packetReceivedText = hexText(adapter.readBuffer, expectedSize);
}

void QOLVEN_USB_DLL::LoadAdditionalPacket() {
    const unsigned char *b = adapter.readBuffer;
    size_t first = b[0] == 0xFF ? size_t(b[2]) + 1 : b[1];
    size_t received = std::min<size_t>(adapter.rxBytes, kBufferSize);
    if (first >= received) return;
    size_t count = std::min<size_t>(received - first, sizeof additionalPacket);
    std::memcpy(additionalPacket, b + first, count);
}

void QOLVEN_USB_DLL::ReadAdditionalPacket() {
    // The second packet is always in the plain framing.
    size_t n = additionalPacket[1];
    std::memcpy(adapter.readBuffer, additionalPacket, std::min(n, sizeof additionalPacket));
    startRead(*this);
    if (const ErrorText text = checkFrame(*this, 0); text != ErrorText::None) {
        setError(*this, text);
        return;
    }
    takeData(*this, 0);
    if (expectedSize == command(Command::DisplayPage).answerSize) GetDisplayPage(3);
    GetPacketReceived();
    readStatus = kFinished;
}

} // namespace _QOLVEN_USB_DLL
