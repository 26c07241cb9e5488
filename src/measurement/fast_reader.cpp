#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/timing.h"
#include "measurement/fast_data.h"
#include "protocol/commands.h"
#include "transport/ftd2xx_api.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {

constexpr size_t kBufferSize = sizeof(QOLVEN_FTD2XX::readBuffer);

// Polls the receive queue until ready(rxBytes) holds.  False after the
// limit (queues purged, "Timeout Error") or a transport failure.  The queue
// is looked at once more after the limit: the limit runs on the wall clock,
// and a thread the scheduler held up past it must not throw away a packet
// that came in time.
template <class Ready>
bool awaitQueue(QOLVEN_USB_DLL &d, double limit, Ready ready) {
    QOLVEN_FTD2XX &a = d.adapter;
    const MonotonicStopwatch clock;
    // Whole milliseconds count, so the limit is reached at the next whole one.
    const int64_t deadline = nanosAfter(clock.start(), std::ceil(limit));
    for (;;) {
        const bool late = double(clock.elapsedWholeMillis()) >= limit;
        a.QOLVEN_FT_GetStatus();
        if (a.ftStatus != FT_OK) {
            transportFailure(d, a.ftStatus);
            return false;
        }
        if (ready(a.rxBytes)) return true;
        if (late) {
            a.QOLVEN_FT_Purge();
            setError(d, ErrorText::Timeout);
            return false;
        }
        pollPause(deadline);
    }
}

bool readQueued(QOLVEN_USB_DLL &d, size_t count) {
    d.adapter.QOLVEN_FT_Read(unsigned(count));
    if (d.adapter.ftStatus == FT_OK) return true;
    transportFailure(d, d.adapter.ftStatus);
    return false;
}

// The missing piece of a packet whose first piece (expectedSize bytes) is
// in readBuffer; on success the joined packet is there instead.
bool readFragment(QOLVEN_USB_DLL &d, double limit) {
    unsigned char *b = d.adapter.readBuffer;
    std::memcpy(d.fragmentBuffer, b, d.expectedSize);
    d.fragmentFirstSize = d.expectedSize;
    d.fragmentRemainder = (unsigned char)(b[1] - d.expectedSize);
    const unsigned remainder = d.fragmentRemainder;
    // Exactly the missing bytes: anything else is not this packet's tail.
    if (!awaitQueue(d, limit, [remainder](uint32_t rx) { return rx == remainder; })) return false;
    d.expectedSize = (unsigned char)remainder;
    if (!readQueued(d, remainder)) return false;
    std::memcpy(d.fragmentBuffer + d.fragmentFirstSize, b, remainder);
    const size_t joined = size_t(d.fragmentFirstSize) + remainder;
    std::memcpy(b, d.fragmentBuffer, joined);
    d.expectedSize = (unsigned char)joined;
    return true;
}

bool reject(QOLVEN_USB_DLL &d, ErrorText text) {
    setError(d, text);
    return false;
}

bool endByteMatches(QOLVEN_USB_DLL &d) {
    if (d.expectedSize != 0 && d.adapter.readBuffer[d.expectedSize - 1] == d.endOfPacket) return true;
    return reject(d, ErrorText::EndOfPacket);
}

// Checks the packet just read; a data packet that came in two pieces is
// completed first.  False with the reason in lastErrorText.
bool acceptFastPacket(QOLVEN_USB_DLL &d, double limit, int width) {
    const unsigned char *b = d.adapter.readBuffer;
    if (b[1] == 0) return reject(d, ErrorText::EmptyBuffer);
    switch (b[2]) {
    case kAckCode:
        if (b[0] != d.expectedNumber) return reject(d, ErrorText::PacketNumber);
        if (b[1] != d.expectedSize) return reject(d, ErrorText::PacketSize);
        return endByteMatches(d);
    case command(Command::FastData).code:
    case command(Command::FastData).code + kChannelFormOffset:
        if (b[0] != d.expectedNumber) return reject(d, ErrorText::PacketNumber);
        if (b[1] != d.expectedSize) {
            // Only a longer packet of whole samples can still be completed.
            if (b[1] < d.expectedSize || (b[1] - kFastFraming) % width != 0) return reject(d, ErrorText::PacketSize);
            if (!readFragment(d, limit)) return false;
            if (b[1] != d.expectedSize) return reject(d, ErrorText::PacketSize);
        }
        return endByteMatches(d);
    default:
        const ErrorText text = boardErrorText(b[2]);
        return reject(d, text != ErrorText::None ? text : ErrorText::CommandNumber);
    }
}

} // namespace

void QOLVEN_USB_DLL::ReadFastPacket(double limit) {
    if (offline(*this)) return;
    const int width = fastSampleWidth(boardType, samplingRateCode);
    fastReadStatus.clear();
    if (width == 0) {
        setError(*this, ErrorText::InvalidTypeOfBoard);
        return;
    }
    // More than one packet can hold means stale bytes ahead of the answer:
    // take what fits and say so rather than wait for a count that cannot come.
    auto ready = [width](uint32_t rx) {
        return rx > uint32_t(kLargestFastPacket) || (rx >= uint32_t(kFastFraming) && (rx - kFastFraming) % width == 0);
    };
    if (!awaitQueue(*this, limit, ready)) return;
    const uint32_t queued = adapter.rxBytes;
    if (queued > uint32_t(kLargestFastPacket)) {
        if (readQueued(*this, std::min<size_t>(queued, kBufferSize))) reject(*this, ErrorText::PacketSize);
        return;
    }
    expectedSize = (unsigned char)queued;
    if (!readQueued(*this, queued)) return;
    if (!acceptFastPacket(*this, limit, width)) return;
    GetPacketReceived();
    fastReadStatus = kFinished;
}

void QOLVEN_USB_DLL::ReadFastPacketFragment(double limit) { readFragment(*this, limit); }

void QOLVEN_USB_DLL::Delay2(double milliseconds) {
    const MonotonicStopwatch clock;
    const int64_t deadline = nanosAfter(clock.start(), std::ceil(milliseconds));
    // The sleep is the means; the whole milliseconds elapsed decide.
    while (double(clock.elapsedWholeMillis()) < milliseconds) sleepUntil(deadline);
}

} // namespace _QOLVEN_USB_DLL
