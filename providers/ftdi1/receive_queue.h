// The receive queue of one open bridge: the link's thread fills it with the
// payload of every USB packet (the chip's two status bytes taken off), and
// FT_GetStatus / FT_Read look at it as D2XX's own queue: what has arrived is
// counted at once, a read waits for its whole count or its time-out and then
// takes what is there, and nothing that arrived is ever dropped by a read.
#ifndef QOLVEN_FTDI1_RECEIVE_QUEUE_H
#define QOLVEN_FTDI1_RECEIVE_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "usb.h"

namespace qolven_ftdi1 {

class ReceiveQueue final : public Receiver {
public:
    // `capacity`: above it the link stops reading until the host takes bytes,
    // so that a host that never reads cannot make the queue grow without end.
    ReceiveQueue(size_t packetSize, size_t capacity);

    void received(const uint8_t *transfer, size_t length) override;
    void lost() override;
    bool wantsMore() const override;

    enum class Outcome { Ok, Gone, Closed };
    size_t size() const;
    bool gone() const;
    // Waits until `count` bytes are queued, `timeoutMs` has passed (0: no limit),
    // the bridge is gone or the queue is closed, then takes up to `count` bytes.
    // Gone and Closed take nothing.
    Outcome read(uint8_t *out, size_t count, unsigned timeoutMs, size_t *got);
    // Throws away what is queued.  Between startDiscarding() and stopDiscarding()
    // what arrives is thrown away too: bytes the chip had sent before its own
    // buffer was cleared may still be on their way.
    void clear();
    void startDiscarding();
    void stopDiscarding();
    // Wakes every waiting read (the handle is being closed).
    void close();
    // The status bytes of the last packet: modem lines and line errors.
    uint8_t modemStatus() const;
    uint8_t lineStatus() const;

private:
    size_t queuedLocked() const { return bytes_.size() - head_; }

    const size_t packetSize_;
    const size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint8_t> bytes_;  // the queue is bytes_[head_ ..]
    size_t head_ = 0;
    int discarding_ = 0;
    bool gone_ = false;
    bool closed_ = false;
    uint8_t modem_ = 0;
    uint8_t line_ = 0;
};

} // namespace qolven_ftdi1

#endif
