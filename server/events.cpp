#include "events.h"

#include "security.h"

#include <algorithm>

namespace qolven_server {

bool EventClient::offer(const std::string &frame) {
    {
        std::lock_guard<std::mutex> lock(m_);
        if (over_) return false;
        if (frames_.size() + 1 > maxFrames_ || bytes_ + frame.size() > maxBytes_) {
            // The reader keeps what it has not read yet, then learns why it ends.
            over_ = dropped_ = true;
            farewell_ = eventFrame("dropped", "{\"reason\":\"this client fell behind the live stream and was "
                                              "dropped; reconnect to go on\"}");
        } else {
            frames_.push_back(frame);
            bytes_ += frame.size();
        }
    }
    cv_.notify_one();
    return !dropped();
}

void EventClient::close(const std::string &farewell) {
    {
        std::lock_guard<std::mutex> lock(m_);
        if (over_) return;
        over_ = true;
        farewell_ = farewell;
    }
    cv_.notify_one();
}

bool EventClient::take(std::string &out, std::chrono::milliseconds wait) {
    out.clear();
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait_for(lock, wait, [&] { return !frames_.empty() || over_; });
    for (std::string &f : frames_) out += f;
    frames_.clear();
    bytes_ = 0;
    if (!over_) return true;
    out += farewell_;
    farewell_.clear();
    return false;
}

bool EventClient::dropped() const {
    std::lock_guard<std::mutex> lock(m_);
    return dropped_;
}

void EventClient::answered() {
    std::lock_guard<std::mutex> lock(m_);
    answered_ = true;
    lastSign_ = Clock::now();
}

EventClient::Clock::time_point EventClient::lastSign() const {
    std::lock_guard<std::mutex> lock(m_);
    return lastSign_;
}

bool EventClient::hasAnswered() const {
    std::lock_guard<std::mutex> lock(m_);
    return answered_;
}

bool EventClient::replace(const std::string &farewell) {
    {
        std::lock_guard<std::mutex> lock(m_);
        if (over_) return false;
        over_ = replaced_ = true;
        farewell_ = farewell;
    }
    cv_.notify_one();
    return true;
}

bool EventClient::placeHandedOn() const {
    std::lock_guard<std::mutex> lock(m_);
    return replaced_;
}

std::shared_ptr<EventClient> EventHub::subscribe() {
    auto client = std::make_shared<EventClient>(maxFrames_, maxBytes_, randomToken().substr(0, 16));
    std::lock_guard<std::mutex> lock(m_);
    clients_.push_back(client);
    return client;
}

void EventHub::unsubscribe(const std::shared_ptr<EventClient> &client) {
    client->close("");
    std::lock_guard<std::mutex> lock(m_);
    clients_.erase(std::remove(clients_.begin(), clients_.end(), client), clients_.end());
}

std::shared_ptr<EventClient> EventHub::find(const std::string &id) const {
    std::lock_guard<std::mutex> lock(m_);
    for (const auto &c : clients_)
        if (c->id() == id) return c;
    return nullptr;
}

std::shared_ptr<EventClient> EventHub::quietest() const {
    std::lock_guard<std::mutex> lock(m_);
    std::shared_ptr<EventClient> found;
    for (const auto &c : clients_)
        if (!found || c->lastSign() < found->lastSign()) found = c;
    return found;
}

void EventHub::publish(const std::string &frame) {
    // Offer outside the hub's lock: a reader's lock is never held while another waits.
    std::vector<std::shared_ptr<EventClient>> readers;
    {
        std::lock_guard<std::mutex> lock(m_);
        readers = clients_;
    }
    std::vector<std::shared_ptr<EventClient>> gone;
    for (auto &r : readers)
        if (!r->offer(frame)) gone.push_back(r);
    if (gone.empty()) return;
    std::lock_guard<std::mutex> lock(m_);
    for (auto &g : gone) clients_.erase(std::remove(clients_.begin(), clients_.end(), g), clients_.end());
}

void EventHub::closeAll(const std::string &farewell) {
    std::vector<std::shared_ptr<EventClient>> readers;
    {
        std::lock_guard<std::mutex> lock(m_);
        readers.swap(clients_);
    }
    for (auto &r : readers) r->close(farewell);
}

size_t EventHub::size() const {
    std::lock_guard<std::mutex> lock(m_);
    return clients_.size();
}

std::string eventFrame(const std::string &name, const std::string &json) {
    return "event: " + name + "\ndata: " + json + "\n\n";
}

} // namespace qolven_server
