// Server-sent events: one producer (a device thread) and any number of readers,
// each behind its own bounded queue so that a reader that falls behind is
// dropped instead of holding up the producer or the other readers.  A reader
// shows that it reads by answering pings: TCP does not tell, a client's kernel
// takes megabytes for a program that never reads.
#ifndef QOLVEN_SERVER_EVENTS_H
#define QOLVEN_SERVER_EVENTS_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qolven_server {

// One reader's queue of ready-made event frames ("event: ...\ndata: ...\n\n").
class EventClient {
public:
    using Clock = std::chrono::steady_clock;

    EventClient(size_t maxFrames, size_t maxBytes, std::string id)
        : maxFrames_(maxFrames), maxBytes_(maxBytes), id_(std::move(id)), lastSign_(Clock::now()) {}

    // The name the reader answers pings with.
    const std::string &id() const { return id_; }
    // The reader answered a ping.
    void answered();
    // When the reader last answered a ping; until its first answer, when it came.
    Clock::time_point lastSign() const;
    bool hasAnswered() const;
    // Ends a reader that is not over yet so that a new one takes its place (see
    // placeHandedOn).  False when it was over already.
    bool replace(const std::string &farewell);
    bool placeHandedOn() const;

    // Producer side: never waits for the reader.  Returns false once the reader is gone
    // or has been dropped for falling behind.
    bool offer(const std::string &frame);
    void close(const std::string &farewell);  // ends the reader after `farewell`

    // Reader side: waits up to `wait` for frames and hands over everything queued.
    // Returns false when this reader is over; `out` then holds its last words, if any.
    bool take(std::string &out, std::chrono::milliseconds wait);
    bool dropped() const;

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::string> frames_;
    size_t bytes_ = 0;
    const size_t maxFrames_, maxBytes_;
    bool over_ = false;      // no more frames will be accepted
    bool dropped_ = false;   // over because it fell behind
    std::string farewell_;   // sent once the queue has been handed over
    const std::string id_;
    Clock::time_point lastSign_;
    bool answered_ = false;
    bool replaced_ = false;
};

class EventHub {
public:
    explicit EventHub(size_t maxFrames = 256, size_t maxBytes = 4u << 20)
        : maxFrames_(maxFrames), maxBytes_(maxBytes) {}

    std::shared_ptr<EventClient> subscribe();
    void unsubscribe(const std::shared_ptr<EventClient> &client);
    // The reader of that name, or null.
    std::shared_ptr<EventClient> find(const std::string &id) const;
    // The reader that has gone longest without a sign that it reads, or null.
    std::shared_ptr<EventClient> quietest() const;
    void publish(const std::string &frame);
    void closeAll(const std::string &farewell);
    size_t size() const;

private:
    mutable std::mutex m_;
    std::vector<std::shared_ptr<EventClient>> clients_;
    const size_t maxFrames_, maxBytes_;
};

// "event: NAME\ndata: JSON\n\n"
std::string eventFrame(const std::string &name, const std::string &json);

} // namespace qolven_server

#endif
