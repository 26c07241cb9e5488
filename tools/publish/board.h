// One board on the broker: its own device object, thread and connection.
#ifndef QOLVEN_PUBLISH_BOARD_H
#define QOLVEN_PUBLISH_BOARD_H

#include "broker_link.h"
#include "payloads.h"
#include "publish.h"

#include <qolven.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qolven_publish {

class BoardPublisher {
public:
    BoardPublisher(const Settings &settings, Log &log);
    ~BoardPublisher();
    BoardPublisher(const BoardPublisher &) = delete;
    BoardPublisher &operator=(const BoardPublisher &) = delete;

    // Opens the device ("" : the only one attached) and identifies it;
    // StartFailure when it cannot.
    void open(const std::string &serial);
    // Takes the board's queue folder and starts connecting; SettingsError when it cannot.
    void connect();
    void start();
    // Safe from any thread: ends the loop's waits at once.
    void requestStop(int flushMs);
    void join();
    const std::string &serial() const { return serial_; }
    BoardSummary summary() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Command {
        std::string payload;
        bool retained;
    };
    // Fast-data blocks the queue refused, reported once it takes blocks again.
    struct Drops {
        uint64_t blocks = 0, samples = 0;
        int64_t first = 0, last = 0;
        uint64_t lostBefore = 0;  // the board lost these right before `first`
        uint64_t boardLost = 0;   // and these between `first` and `last`
        double since = 0;
        std::string reason;
    };

    void run();
    bool stopping() const;
    int waitMs() const;
    void idle(int ms);

    void startStream(int rateCode, const std::string &why);
    void stopStream(const std::string &why);
    void pumpStream(int waitMs);
    void addSample(int64_t sequence, int32_t channel, int32_t count, double time, double load);
    void flushBlock();
    void takeEvents();
    void publishReading();
    // Opens the board again after it went away while no stream ran.
    bool reopen();
    void checkLoadLimits(const Block &block);
    void reportDrops();
    void finish();

    void onCommand(const std::string &payload, bool retained);
    void runCommands();
    Json execute(const Command &command);

    Json identity() const;
    Json stateMessage(const std::string &state, const std::string &reason) const;
    void setState(const std::string &state, const std::string &reason);
    Json event(const std::string &kind, const std::string &text) const;
    void publishEvent(const Json &event);
    void publishJson(const std::string &topic, const Json &value, int qos, bool retained);
    std::string deviceError() const;

    const Settings &settings_;
    Log &log_;
    qolven_device *d_ = nullptr;
    std::string serial_, name_;
    qolven_board_identity identity_{};
    qolven_calibration calibration_{};
    bool fastData_ = false;
    std::unique_ptr<Topics> topics_;
    std::unique_ptr<BrokerLink> link_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> flushMs_{3000};
    std::mutex wakeMutex_;
    std::condition_variable wake_;

    std::mutex commandMutex_;
    std::deque<Command> commands_;
    std::atomic<uint64_t> commandsDropped_{0};

    // The stream.
    bool running_ = false;  // the first state is out
    bool wantStream_ = false;
    int rateRequest_ = -1;
    bool streaming_ = false;
    Clock::time_point retryStream_{};
    double streamStart_ = 0;
    int rateCode_ = 0;
    double nominalRate_ = 0;
    bool multiChannel_ = false;
    bool hasLoads_ = false;
    int64_t expectedNext_ = -1;
    Block block_;
    Clock::time_point blockOpened_{};
    std::vector<int64_t> sequences_;
    std::vector<int32_t> channels_, counts_;
    std::vector<double> times_, loads_;

    std::string state_ = "online";
    Clock::time_point nextReading_{};
    std::string boardStatus_;  // the last reading's status text ("Positive Overflow", ...)
    int limitSide_ = 0;        // -1 below the low limit, 1 above the high one
    Drops drops_;
    std::string lastReadingError_;

    mutable std::mutex summaryMutex_;
    BoardSummary summary_;
    uint64_t lostBefore_ = 0;  // samples lost in streams already ended
};

} // namespace qolven_publish

#endif
