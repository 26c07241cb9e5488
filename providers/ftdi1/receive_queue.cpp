#include "receive_queue.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace qolven_ftdi1 {

ReceiveQueue::ReceiveQueue(size_t packetSize, size_t capacity)
    : packetSize_(std::max<size_t>(packetSize, 3)), capacity_(capacity) {}

void ReceiveQueue::received(const uint8_t *transfer, size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || gone_) return;
    bool added = false;
    for (size_t at = 0; at < length; at += packetSize_) {
        const size_t packet = std::min(packetSize_, length - at);
        // A packet too short for its status bytes carries nothing to keep.
        if (packet < 2) break;
        modem_ = transfer[at];
        line_ = transfer[at + 1];
        if (packet == 2 || discarding_) continue;
        if (head_ > 0 && head_ >= bytes_.size() / 2) {
            bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
            head_ = 0;
        }
        bytes_.insert(bytes_.end(), transfer + at + 2, transfer + at + packet);
        added = true;
    }
    if (added) changed_.notify_all();
}

void ReceiveQueue::lost() {
    std::lock_guard<std::mutex> lock(mutex_);
    gone_ = true;
    bytes_.clear();
    head_ = 0;
    changed_.notify_all();
}

bool ReceiveQueue::wantsMore() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !closed_ && !gone_ && queuedLocked() < capacity_;
}

size_t ReceiveQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queuedLocked();
}

bool ReceiveQueue::gone() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return gone_;
}

ReceiveQueue::Outcome ReceiveQueue::read(uint8_t *out, size_t count, unsigned timeoutMs, size_t *got) {
    *got = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    auto done = [&] { return gone_ || closed_ || queuedLocked() >= count; };
    if (timeoutMs == 0) {
        changed_.wait(lock, done);
    } else {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        changed_.wait_until(lock, deadline, done);
    }
    if (closed_) return Outcome::Closed;
    if (gone_) return Outcome::Gone;
    const size_t take = std::min(count, queuedLocked());
    if (take) std::memcpy(out, bytes_.data() + head_, take);
    head_ += take;
    if (head_ == bytes_.size()) {
        bytes_.clear();
        head_ = 0;
    }
    *got = take;
    return Outcome::Ok;
}

void ReceiveQueue::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    bytes_.clear();
    head_ = 0;
}

void ReceiveQueue::startDiscarding() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++discarding_;
    bytes_.clear();
    head_ = 0;
}

void ReceiveQueue::stopDiscarding() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (discarding_ > 0) --discarding_;
}

void ReceiveQueue::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

uint8_t ReceiveQueue::modemStatus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return modem_;
}

uint8_t ReceiveQueue::lineStatus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return line_;
}

} // namespace qolven_ftdi1
