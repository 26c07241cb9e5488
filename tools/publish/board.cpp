#include "board.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>

namespace qolven_publish {

namespace {

// Samples taken from the stream in one call at most.
constexpr size_t kChunk = 1024;
// Longest wait of the loop, so that commands and reconnections are seen soon.
constexpr int kLongestWaitMs = 50;
// While the broker is away, blocks span up to a second: fewer files in the queue.
constexpr int kOfflineBlockMs = 1000;
constexpr size_t kMostWaitingCommands = 16;
constexpr size_t kMostCommandBytes = 4096;
constexpr auto kStreamRetry = std::chrono::seconds(5);

std::string hostName() {
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    return name;
}


bool servesFastData(int boardType) {
    for (int family = 0; family < qolven_board_type_family_count(); ++family)
        if (std::string(qolven_board_type_family_name(family)) == "fast-data")
            return qolven_board_type_serves(boardType, family) == 1;
    return false;
}

std::string dump(const Json &value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json orNull(const char *text) { return text ? Json(text) : Json(); }

} // namespace

BoardPublisher::BoardPublisher(const Settings &settings, Log &log) : settings_(settings), log_(log) {
    sequences_.resize(kChunk);
    channels_.resize(kChunk);
    counts_.resize(kChunk);
    times_.resize(kChunk);
    loads_.resize(kChunk);
}

BoardPublisher::~BoardPublisher() {
    if (thread_.joinable()) {
        requestStop(0);
        thread_.join();
    }
    link_.reset();
    qolven_destroy(d_);
}

std::string BoardPublisher::deviceError() const { return qolven_error_text(d_); }

void BoardPublisher::open(const std::string &serial) {
    d_ = qolven_create();
    if (!d_) throw StartFailure(QOLVEN_INTERNAL, "out of memory");
    name_ = serial.empty() ? "the device" : serial;
    int rc = qolven_open(d_, serial.empty() ? nullptr : serial.c_str());
    if (rc != QOLVEN_OK) throw StartFailure(rc, "open " + name_ + ": " + deviceError());
    serial_ = qolven_open_serial(d_);
    name_ = serial_;
    rc = qolven_set_channel(d_, settings_.channel);
    if (rc == QOLVEN_OK) rc = qolven_identify(d_, &identity_);
    if (rc != QOLVEN_OK) throw StartFailure(rc, name_ + ": identify the board: " + deviceError());
    fastData_ = servesFastData(identity_.board_type);
    if (qolven_read_calibration(d_, &calibration_) != QOLVEN_OK) {
        log_.line(name_ + ": no calibration read (" + deviceError() + "); loads are left out");
        calibration_ = qolven_calibration{};
        calibration_.source = QOLVEN_LOAD_NONE;
    }
    topics_.reset(new Topics(settings_.site, serial_));
}

void BoardPublisher::connect() {
    BrokerLink::Options o;
    o.broker = settings_.broker;
    o.clientId = "qolven-" + settings_.site + "-" + topicLevel(serial_);
    o.queueDir = settings_.queueDir;
    o.queueLimit = settings_.queueLimit;
    o.willTopic = topics_->state();
    // Written at connection time: it carries no time and no figures.
    o.willPayload = dump(Json{{"state", "offline"}, {"serial", serial_}, {"reason", "the publisher's connection ended without a goodbye"}});
    o.user = settings_.user;
    o.password = settings_.password;
    o.caFile = settings_.caFile;
    o.certFile = settings_.certFile;
    o.keyFile = settings_.keyFile;
    o.keepAliveSeconds = settings_.keepAliveSeconds;
    if (settings_.commands) o.commandTopic = topics_->command();
    link_.reset(new BrokerLink(o, log_, name_, [this](const std::string &payload, bool retained) {
        onCommand(payload, retained);
    }));
    link_->open();
}

void BoardPublisher::start() {
    summary_.serial = serial_;
    thread_ = std::thread([this] { run(); });
}

void BoardPublisher::requestStop(int flushMs) {
    flushMs_ = flushMs;
    stop_ = true;
    if (d_) qolven_interrupt(d_);
    std::lock_guard<std::mutex> lock(wakeMutex_);
    wake_.notify_all();
}

void BoardPublisher::join() {
    if (thread_.joinable()) thread_.join();
}

BoardSummary BoardPublisher::summary() const {
    std::lock_guard<std::mutex> lock(summaryMutex_);
    return summary_;
}

bool BoardPublisher::stopping() const { return stop_ || (settings_.stopSignal && settings_.stopSignal()); }

// ---- the loop

void BoardPublisher::run() {
    wantStream_ = settings_.stream && fastData_;
    rateRequest_ = settings_.rateCode;
    if (settings_.stream && !fastData_)
        log_.line(name_ + ": board type " + std::to_string(identity_.board_type) +
                  " serves no fast data; readings only");
    if (wantStream_)
        startStream(rateRequest_, "the publisher started");  // publishes the identity with the stream's figures
    else
        publishJson(topics_->identity(), identity(), 1, true);
    setState("online", "");
    running_ = true;
    nextReading_ = Clock::now();
    while (!stopping()) {
        link_->tick();
        // After a lost connection the broker may have put the last will in its place.
        if (link_->takeConnected() && link_->connections() > 1)
            publishJson(topics_->state(), stateMessage(state_, ""), 1, true);
        runCommands();
        if (stopping()) break;
        if (wantStream_ && !streaming_ && Clock::now() >= retryStream_) startStream(rateRequest_, "trying again");
        if (streaming_)
            pumpStream(waitMs());
        else
            idle(waitMs());
        // A signal makes every bridge call fail: what follows it is no news of the board.
        if (stopping()) break;
        takeEvents();
        if (!block_.counts.empty()) {
            int span = link_->connected() ? settings_.blockIntervalMs : std::max(settings_.blockIntervalMs, kOfflineBlockMs);
            if (Clock::now() - blockOpened_ >= std::chrono::milliseconds(span)) flushBlock();
        }
        if (settings_.readingIntervalMs > 0 && Clock::now() >= nextReading_) publishReading();
    }
    finish();
}

int BoardPublisher::waitMs() const {
    Clock::time_point now = Clock::now(), until = now + std::chrono::milliseconds(kLongestWaitMs);
    if (settings_.readingIntervalMs > 0) until = std::min(until, nextReading_);
    if (!block_.counts.empty()) until = std::min(until, blockOpened_ + std::chrono::milliseconds(settings_.blockIntervalMs));
    return static_cast<int>(std::max<int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count()));
}

void BoardPublisher::idle(int ms) {
    std::unique_lock<std::mutex> lock(wakeMutex_);
    wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] {
        if (stop_) return true;
        std::lock_guard<std::mutex> commands(commandMutex_);
        return !commands_.empty();
    });
}

void BoardPublisher::finish() {
    // What the stream already holds goes out too, so that the final figures
    // and the blocks agree.
    for (int i = 0; streaming_ && i < 8; ++i) {
        size_t got = 0;
        int rc = qolven_stream_read_samples(d_, sequences_.data(), channels_.data(), counts_.data(), times_.data(),
                                            loads_.data(), kChunk, &got, 0);
        if (rc == QOLVEN_INTERRUPTED) continue;  // the stop's own interruption, taken once
        if (rc != QOLVEN_OK || got == 0) break;
        for (size_t k = 0; k < got; ++k) addSample(sequences_[k], channels_[k], counts_[k], times_[k], loads_[k]);
    }
    flushBlock();
    if (streaming_) {
        qolven_stream_info info{};
        qolven_stream_status(d_, &info);
        lostBefore_ += info.lost;
        qolven_stream_stop(d_);
        streaming_ = false;
    }
    reportDrops();
    {
        std::lock_guard<std::mutex> lock(summaryMutex_);
        summary_.lost = lostBefore_;
    }
    state_ = "offline";
    publishJson(topics_->state(), stateMessage("offline", "the publisher stopped"), 1, true);
    link_->close(flushMs_);
    qolven_close(d_);
}

// ---- fast data

void BoardPublisher::startStream(int rateCode, const std::string &why) {
    flushBlock();
    int rc = qolven_stream_start(d_, rateCode);
    if (rc != QOLVEN_OK) {
        streaming_ = false;
        retryStream_ = Clock::now() + kStreamRetry;
        Json e = event("stream-failed", deviceError());
        e["status"] = qolven_error_name(rc);
        publishEvent(e);
        log_.line(name_ + ": fast data does not start: " + deviceError());
        if (rc == QOLVEN_INVALID_ARGUMENT) wantStream_ = false;  // it would not start next time either
        return;
    }
    qolven_stream_info info{};
    qolven_stream_status(d_, &info);
    streamStart_ = info.start_wall;
    rateCode_ = info.rate_code;
    nominalRate_ = info.nominal_rate;
    multiChannel_ = info.multi_channel != 0;
    qolven_calibration c{};
    hasLoads_ = qolven_read_calibration(d_, &c) == QOLVEN_OK && c.source != QOLVEN_LOAD_NONE;
    if (hasLoads_ || c.source == QOLVEN_LOAD_NONE) calibration_ = c;
    expectedNext_ = -1;
    streaming_ = true;
    Json e = event("stream-started", why);
    e["stream_start"] = streamStart_;
    e["rate_code"] = rateCode_;
    e["nominal_rate"] = nominalRate_;
    publishEvent(e);
    publishJson(topics_->identity(), identity(), 1, true);
    if (running_) setState(state_, "");
}

void BoardPublisher::stopStream(const std::string &why) {
    if (!streaming_) return;
    flushBlock();
    qolven_stream_info info{};
    qolven_stream_status(d_, &info);
    lostBefore_ += info.lost;
    qolven_stream_stop(d_);
    streaming_ = false;
    Json e = event("stream-stopped", why);
    e["received"] = info.received;
    e["lost"] = info.lost;
    publishEvent(e);
    setState(state_, "");
}

void BoardPublisher::pumpStream(int waitMs) {
    size_t got = 0;
    int rc = qolven_stream_read_samples(d_, sequences_.data(), channels_.data(), counts_.data(), times_.data(),
                                        loads_.data(), kChunk, &got, waitMs);
    // Samples taken from the stream are sent even when the stop came meanwhile.
    if (rc == QOLVEN_OK)
        for (size_t i = 0; i < got; ++i) addSample(sequences_[i], channels_[i], counts_[i], times_[i], loads_[i]);
    if (rc == QOLVEN_INTERRUPTED || stopping()) return;
    if (rc != QOLVEN_OK) {
        flushBlock();
        qolven_stream_info info{};
        qolven_stream_status(d_, &info);
        lostBefore_ += info.lost;
        streaming_ = false;
        retryStream_ = Clock::now() + kStreamRetry;
        Json e = event("stream-failed", deviceError());
        e["status"] = qolven_error_name(rc);
        publishEvent(e);
        log_.line(name_ + ": fast data failed: " + deviceError() + "; starting again in 5 s");
    }
}

void BoardPublisher::addSample(int64_t sequence, int32_t channel, int32_t count, double time, double load) {
    if (!block_.counts.empty() && (sequence != block_.nextSequence() || block_.size() >= kBlockMostSamples))
        flushBlock();
    if (block_.counts.empty()) {
        block_.streamStart = streamStart_;
        block_.firstSequence = sequence;
        block_.firstTime = time;
        block_.lostBefore = expectedNext_ >= 0 && sequence > expectedNext_
                                ? static_cast<uint32_t>(std::min<int64_t>(sequence - expectedNext_, UINT32_MAX))
                                : 0;
        block_.rateCode = rateCode_;
        block_.nominalRate = static_cast<float>(nominalRate_);
        block_.hasChannels = multiChannel_;
        block_.hasLoads = hasLoads_;
        int active = 0;
        int64_t tareCount = 0;
        qolven_get_tare(d_, &active, &tareCount);
        block_.tared = active != 0;
        blockOpened_ = Clock::now();
    }
    block_.times.push_back(time);
    block_.counts.push_back(count);
    if (block_.hasLoads) block_.loads.push_back(static_cast<float>(load));
    if (block_.hasChannels) block_.channels.push_back(static_cast<uint8_t>(channel));
    expectedNext_ = sequence + 1;
}

void BoardPublisher::flushBlock() {
    if (block_.counts.empty()) return;
    if (settings_.loadLimits && block_.hasLoads) checkLoadLimits(block_);
    if (drops_.blocks > 0 && link_->fastWaiting() < settings_.queueLimit) reportDrops();
    const size_t n = block_.size();
    BrokerLink::Sent sent = link_->publish(topics_->fast(), encodeBlock(block_), 1, false, true);
    std::lock_guard<std::mutex> lock(summaryMutex_);
    if (sent == BrokerLink::Sent::Ok) {
        ++summary_.blocks;
        summary_.samples += n;
    } else {
        std::string reason = sent == BrokerLink::Sent::Full ? "queue-full" : "refused by the MQTT client";
        if (drops_.blocks == 0) {
            drops_.first = block_.firstSequence;
            drops_.lostBefore = block_.lostBefore;
            drops_.since = wallNow();
            drops_.reason = reason;
            log_.line(name_ + (sent == BrokerLink::Sent::Full
                                   ? ": the queue is full (" + std::to_string(settings_.queueLimit) +
                                         " blocks): new fast data is dropped until the broker takes some"
                                   : ": the MQTT client refused a fast-data block; it is dropped"));
        }
        if (drops_.blocks > 0) drops_.boardLost += block_.lostBefore;
        ++drops_.blocks;
        drops_.samples += n;
        drops_.last = block_.nextSequence() - 1;
        ++summary_.droppedBlocks;
        summary_.droppedSamples += n;
    }
    block_.clear();
}

void BoardPublisher::reportDrops() {
    if (drops_.blocks == 0) return;
    Json e = event(drops_.reason == "queue-full" ? "queue-full" : "dropped",
                   std::to_string(drops_.samples) + " samples in " + std::to_string(drops_.blocks) +
                       " blocks were dropped (" +
                       (drops_.reason == "queue-full" ? "the queue held " + std::to_string(settings_.queueLimit) + " blocks"
                                                      : drops_.reason) +
                       ")");
    e["stream_start"] = streamStart_;
    e["first_sequence"] = drops_.first;
    e["last_sequence"] = drops_.last;
    e["samples"] = drops_.samples;
    e["board_lost"] = drops_.boardLost;
    e["lost_before"] = drops_.lostBefore;
    e["blocks"] = drops_.blocks;
    e["since"] = drops_.since;
    publishEvent(e);
    log_.line(name_ + ": " + e["text"].get<std::string>());
    drops_ = Drops();
}

void BoardPublisher::takeEvents() {
    qolven_event e{};
    int got = 0;
    while (qolven_stream_next_event(d_, &e, &got) == QOLVEN_OK && got) {
        Json j = event(qolven_event_name(e.kind), e.text);
        j["time"] = streamStart_ + e.time;
        j["stream_start"] = streamStart_;
        j["stream_time"] = e.time;
        j["sequence"] = e.sequence;
        j["samples"] = e.samples;
        publishEvent(j);
        if (e.kind == QOLVEN_EVENT_DISCONNECTED) {
            log_.line(name_ + ": " + e.text + "; waiting for it");
            setState("board-gone", e.text);
        } else if (e.kind == QOLVEN_EVENT_RECONNECTED) {
            log_.line(name_ + ": " + e.text);
            setState("online", "");
        }
    }
}

// Transitions across the load limits; at most two events per block (the
// first crossing and where the block ends), so that a load dithering on a
// limit cannot flood the broker.
void BoardPublisher::checkLoadLimits(const Block &b) {
    int firstSide = limitSide_, side = limitSide_;
    size_t firstAt = b.size();
    for (size_t i = 0; i < b.size(); ++i) {
        double load = b.loads[i];
        if (std::isnan(load)) continue;
        int now = load > settings_.highLimit ? 1 : load < settings_.lowLimit ? -1 : 0;
        if (now != side && firstAt == b.size()) {
            firstAt = i;
            firstSide = now;
        }
        side = now;
    }
    auto report = [&](int toSide, size_t at) {
        Json e = event("limit", toSide == 1   ? "the load is above the high limit"
                                : toSide == -1 ? "the load is below the low limit"
                                               : "the load is back within the limits");
        e["state"] = toSide == 1 ? "above" : toSide == -1 ? "below" : "within";
        e["load"] = b.loads[at];
        e["sequence"] = b.firstSequence + static_cast<int64_t>(at);
        e["time"] = b.streamStart + b.times[at];
        e["low_limit"] = settings_.lowLimit;
        e["high_limit"] = settings_.highLimit;
        publishEvent(e);
    };
    if (firstAt == b.size()) return;
    report(firstSide, firstAt);
    if (side != firstSide) {
        size_t last = b.size() - 1;
        while (last > firstAt && std::isnan(b.loads[last])) --last;
        report(side, last);
    }
    limitSide_ = side;
}

// ---- readings

void BoardPublisher::publishReading() {
    const auto interval = std::chrono::milliseconds(settings_.readingIntervalMs);
    nextReading_ += interval;
    if (nextReading_ <= Clock::now()) nextReading_ = Clock::now() + interval;
    // A live value: stale ones are worth nothing, so they are not queued.
    if (!link_->connected()) return;
    if (state_ == "board-gone") {
        // A running stream reconnects by itself; without one the board is looked for here.
        if (streaming_ || !reopen()) return;
    }
    qolven_reading r{};
    int rc = qolven_read(d_, &r);
    if (rc == QOLVEN_INTERRUPTED || stopping()) return;
    if (rc == QOLVEN_DISCONNECTED && !streaming_) {
        Json e = event("disconnected", deviceError());
        publishEvent(e);
        log_.line(name_ + ": " + deviceError() + "; waiting for it");
        setState("board-gone", deviceError());
        return;
    }
    Json j;
    j["time"] = wallNow();
    if (rc != QOLVEN_OK) {
        j["status"] = qolven_error_name(rc);
        j["error"] = deviceError();
        if (deviceError() != lastReadingError_) log_.line(name_ + ": reading: " + deviceError());
        lastReadingError_ = deviceError();
    } else {
        lastReadingError_.clear();
        j["count"] = r.has_count ? Json(r.count) : Json();
        j["board_status"] = r.status;
        j["load"] = r.has_load ? Json(r.load) : Json();
        j["load_text"] = r.load_text;
        j["decimal_point"] = r.decimal_point;
        j["unit_code"] = r.unit_code;
        j["tared"] = r.tared != 0;
        if (!r.has_load) j["why"] = r.why;
    }
    publishJson(topics_->reading(), j, 0, false);
    {
        std::lock_guard<std::mutex> lock(summaryMutex_);
        ++summary_.readings;
    }
    if (rc != QOLVEN_OK) return;
    // The converter's own limits: the board sends a status text instead of a count.
    std::string status = r.status;
    if (status != boardStatus_) {
        Json e = event("limit", status.empty() ? "the board sends counts again (" + boardStatus_ + " ended)"
                                               : "the board sends \"" + status + "\" instead of a count");
        e["state"] = status.empty() ? "within" : "board-status";
        e["board_status"] = status.empty() ? boardStatus_ : status;
        publishEvent(e);
        boardStatus_ = status;
    }
    if (!streaming_ && settings_.loadLimits && r.has_load) {
        Block one;
        one.streamStart = j["time"].get<double>();
        one.times = {0};
        one.counts = {static_cast<int32_t>(r.count)};
        one.loads = {static_cast<float>(r.load)};
        one.firstSequence = -1;
        checkLoadLimits(one);
    }
}

bool BoardPublisher::reopen() {
    qolven_close(d_);
    if (qolven_open(d_, serial_.c_str()) != QOLVEN_OK || qolven_set_channel(d_, settings_.channel) != QOLVEN_OK)
        return false;
    publishEvent(event("reconnected", "the board is back"));
    log_.line(name_ + ": the board is back");
    setState("online", "");
    return true;
}

// ---- commands

void BoardPublisher::onCommand(const std::string &payload, bool retained) {
    {
        std::lock_guard<std::mutex> lock(commandMutex_);
        if (commands_.size() >= kMostWaitingCommands) {
            ++commandsDropped_;
            return;
        }
        commands_.push_back(Command{payload, retained});
    }
    std::lock_guard<std::mutex> lock(wakeMutex_);
    wake_.notify_all();
}

void BoardPublisher::runCommands() {
    std::deque<Command> batch;
    {
        std::lock_guard<std::mutex> lock(commandMutex_);
        batch.swap(commands_);
    }
    for (const Command &c : batch) publishJson(topics_->commandResult(), execute(c), 1, false);
    if (uint64_t dropped = commandsDropped_.exchange(0)) {
        Json r;
        r["id"] = nullptr;
        r["ok"] = false;
        r["status"] = "refused";
        r["error"] = std::to_string(dropped) + " commands came while " + std::to_string(kMostWaitingCommands) +
                     " were waiting for the board; they were not run";
        publishJson(topics_->commandResult(), r, 1, false);
    }
}

Json BoardPublisher::execute(const Command &c) {
    Json result;
    result["id"] = nullptr;
    auto refuse = [&](const std::string &status, const std::string &text) {
        result["ok"] = false;
        result["status"] = status;
        result["error"] = text;
        return result;
    };
    auto failed = [&](int rc) { return refuse(qolven_error_name(rc), deviceError()); };
    if (c.payload.size() > kMostCommandBytes)
        return refuse("refused", "a command has at most " + std::to_string(kMostCommandBytes) + " bytes");
    Json j = Json::parse(c.payload, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        return refuse("refused", "a command is a JSON object such as {\"action\": \"tare\"}");
    if (j.contains("id")) {
        const Json &id = j["id"];
        if (!(id.is_string() && id.get<std::string>().size() <= 128) && !id.is_number_integer())
            return refuse("refused", "\"id\" is a text of at most 128 bytes or an integer");
        result["id"] = id;
    }
    if (c.retained)
        return refuse("refused", "a retained command is not run (it would run again for every new subscriber); "
                                 "publish commands without the retain flag");
    if (!j.contains("action") || !j["action"].is_string())
        return refuse("refused", "\"action\" is missing: set, tare, clear-tare, stream-start or stream-stop");
    const std::string action = j["action"].get<std::string>();
    result["action"] = action;
    auto integerField = [&](const char *field, long long low, long long high, long long fallback, long long &value,
                            std::string &problem) {
        value = fallback;
        if (!j.contains(field)) return true;
        const Json &v = j[field];
        if (!v.is_number_integer() || v.get<long long>() < low || v.get<long long>() > high) {
            problem = std::string("\"") + field + "\" is an integer in " + std::to_string(low) + ".." +
                      std::to_string(high);
            return false;
        }
        value = v.get<long long>();
        return true;
    };
    std::string problem;
    if (action == "set") {
        if (!j.contains("name") || !j["name"].is_string()) return refuse("refused", "\"name\" of the parameter is missing");
        const std::string name = j["name"].get<std::string>();
        result["name"] = name;
        if (std::find(settings_.allowed.begin(), settings_.allowed.end(), name) == settings_.allowed.end())
            return refuse("refused", "parameter " + Json(name).dump(-1, ' ', false, Json::error_handler_t::replace) +
                                         " is not on this publisher's allow-list (--allow)");
        long long point = 0;
        if (!integerField("point", INT_MIN, INT_MAX, 0, point, problem)) return refuse("refused", problem);
        std::string value;
        if (j.contains("value")) {
            const Json &v = j["value"];
            if (v.is_string())
                value = v.get<std::string>();
            else if (v.is_number_integer())
                value = v.dump();
            else
                return refuse("refused", "\"value\" is a text or an integer");
        }
        int rc = qolven_set_parameter(d_, name.c_str(), static_cast<int>(point), value.c_str());
        if (rc != QOLVEN_OK) return failed(rc);
        char readBack[512] = "";
        if (qolven_get_parameter(d_, name.c_str(), static_cast<int>(point), readBack, sizeof readBack) == QOLVEN_OK)
            result["value"] = readBack;
        Json e = event("parameter-set", name + " set to " + (value.empty() ? "(no value)" : value));
        e["name"] = name;
        e["point"] = point;
        e["value"] = value;
        publishEvent(e);
        // The board's rate or calibration may have changed under the stream.
        if (streaming_) {
            rateRequest_ = -1;
            stopStream("parameter " + name + " was set");
            startStream(rateRequest_, "parameter " + name + " was set");
        } else {
            qolven_read_calibration(d_, &calibration_);
            publishJson(topics_->identity(), identity(), 1, true);
        }
    } else if (action == "tare") {
        int64_t count = 0;
        int rc = qolven_read_count(d_, &count);
        if (rc != QOLVEN_OK) return failed(rc);
        qolven_set_tare(d_, count);
        result["count"] = count;
        Json e = event("tare", "tare at count " + std::to_string(count));
        e["count"] = count;
        publishEvent(e);
    } else if (action == "clear-tare") {
        qolven_clear_tare(d_);
        publishEvent(event("tare-cleared", "tare cleared"));
    } else if (action == "stream-start") {
        long long rate = -1;
        if (!integerField("rate", -1, 15, -1, rate, problem)) return refuse("refused", problem);
        if (!fastData_)
            return refuse(qolven_error_name(QOLVEN_BOARD_TYPE),
                          "board type " + std::to_string(identity_.board_type) + " serves no fast data");
        stopStream("stream-start command");
        rateRequest_ = static_cast<int>(rate);
        startStream(rateRequest_, "stream-start command");
        if (!streaming_) return refuse(qolven_error_name(QOLVEN_ERROR), deviceError());
        wantStream_ = true;
        result["rate_code"] = rateCode_;
        result["stream_start"] = streamStart_;
    } else if (action == "stream-stop") {
        wantStream_ = false;
        stopStream("stream-stop command");
    } else {
        return refuse("refused", "unknown action " + Json(action).dump(-1, ' ', false, Json::error_handler_t::replace) +
                                     " (set, tare, clear-tare, stream-start, stream-stop)");
    }
    result["ok"] = true;
    return result;
}

// ---- messages

Json BoardPublisher::identity() const {
    const int type = identity_.board_type;
    Json j;
    j["version"] = kTopicVersion;
    j["serial"] = serial_;
    j["site"] = settings_.site;
    j["topic_root"] = topics_->root;
    j["board_type"] = type;
    j["board_class"] = orNull(qolven_board_type_class(type));
    j["board_meaning"] = orNull(qolven_board_type_meaning(type));
    j["hardware_version"] = identity_.hardware_version;
    j["firmware_version"] = identity_.firmware_version;
    j["firmware_year"] = identity_.firmware_year;
    j["firmware_month"] = identity_.firmware_month;
    j["channel"] = settings_.channel;
    j["fast_data"] = fastData_;
    j["streaming"] = streaming_;
    if (streaming_) {
        j["stream_start"] = streamStart_;
        j["rate_code"] = rateCode_;
        j["nominal_rate"] = nominalRate_;
        j["multi_channel"] = multiChannel_;
        j["loads"] = hasLoads_;
    }
    j["block_format"] = kBlockVersion;
    Json c;
    c["source"] = qolven_load_source_name(calibration_.source);
    c["decimal_point"] = calibration_.decimal_point;
    c["unit_code"] = calibration_.unit_code;
    if (calibration_.source == QOLVEN_LOAD_NONE) c["why"] = calibration_.why;
    j["calibration"] = c;
    j["library_version"] = qolven_version();
    j["publisher"] = {{"host", hostName()}, {"pid", static_cast<long>(getpid())}, {"time", wallNow()}};
    return j;
}

Json BoardPublisher::stateMessage(const std::string &state, const std::string &reason) const {
    Json j;
    j["state"] = state;
    j["serial"] = serial_;
    if (!reason.empty()) j["reason"] = reason;
    j["time"] = wallNow();
    j["streaming"] = streaming_;
    if (streaming_) {
        j["rate_code"] = rateCode_;
        j["stream_start"] = streamStart_;
    }
    BoardSummary s = summary();
    j["blocks"] = s.blocks;
    j["samples"] = s.samples;
    j["dropped_samples"] = s.droppedSamples;
    uint64_t lost = lostBefore_;
    qolven_stream_info info{};
    if (streaming_ && qolven_stream_status(d_, &info) == QOLVEN_OK) lost += info.lost;
    j["lost"] = lost;
    return j;
}

void BoardPublisher::setState(const std::string &state, const std::string &reason) {
    state_ = state;
    publishJson(topics_->state(), stateMessage(state, reason), 1, true);
}

Json BoardPublisher::event(const std::string &kind, const std::string &text) const {
    Json j;
    j["kind"] = kind;
    j["time"] = wallNow();
    j["text"] = text;
    return j;
}

void BoardPublisher::publishEvent(const Json &e) {
    publishJson(topics_->event(), e, 1, false);
    std::lock_guard<std::mutex> lock(summaryMutex_);
    ++summary_.events;
}

void BoardPublisher::publishJson(const std::string &topic, const Json &value, int qos, bool retained) {
    if (link_->publish(topic, dump(value), qos, retained, false) == BrokerLink::Sent::Failed)
        log_.line(name_ + ": the MQTT client refused a message on " + topic);
}

} // namespace qolven_publish
