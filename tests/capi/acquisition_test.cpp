// The acquisition layer as every front end sees it: failure classes with the
// library's own texts, the one load, the stream reader's sequence numbers,
// loss figures and reconnects, and the panel of the handheld displays.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qolven.h"
#include "qolven_sim.h"
#include "qolven_sim_c.h"

namespace {

using Clock = std::chrono::steady_clock;
using Device = std::unique_ptr<qolven_device, void (*)(qolven_device *)>;

qolven_sim::BoardConfig board(const std::string &serial, int type, unsigned delayUs = 0) {
    qolven_sim::BoardConfig c;
    c.serial = serial;
    c.boardType = type;
    c.answerDelayUs = delayUs;
    c.resetDelayMs = c.completionDelayMs = 0;
    c.signalNoise = 0;
    return c;
}

class Acquisition : public ::testing::Test {
protected:
    void SetUp() override { qolven_sim::reset(); }
    void TearDown() override { qolven_sim::reset(); }

    Device open(const std::string &serial, int type, unsigned delayUs = 0) {
        qolven_sim::attach(board(serial, type, delayUs));
        Device d(qolven_create(), qolven_destroy);
        EXPECT_EQ(qolven_open(d.get(), serial.c_str()), QOLVEN_OK) << qolven_error_text(d.get());
        return d;
    }
    void set(qolven_device *d, const char *name, int point, const std::string &value) {
        ASSERT_EQ(qolven_set_parameter(d, name, point, value.c_str()), QOLVEN_OK)
            << name << " " << value << ": " << qolven_error_text(d);
    }
};

// ---- failure classes

TEST_F(Acquisition, EveryClassOfFailureHasItsCodeAndTheLibrarysText) {
    struct Case {
        const char *what;
        int type;
        std::function<int(qolven_device *)> call;
        int code;
        const char *text;
    };
    char value[64];
    const std::vector<Case> cases = {
        {"setter refusal", 2, [&](qolven_device *d) {
             const char *args[] = {"300", "0"};
             return qolven_call(d, "Set_Decimal_Point", args, 2, value, sizeof value, nullptr);
         }, QOLVEN_INVALID_ARGUMENT, "Invalid Decimal Point"},
        {"board type", 2, [&](qolven_device *d) { return qolven_get_parameter(d, "crosstalk", 0, value, sizeof value); },
         QOLVEN_BOARD_TYPE, "Invalid Type of Board"},
        {"board error report", 2, [&](qolven_device *d) {
             qolven_sim::FaultSpec f;
             f.kind = qolven_sim::Fault::BoardError;
             f.arg = 0x4D;
             qolven_sim::set_fault("A", f);
             return qolven_get_parameter(d, "decimal-point", 0, value, sizeof value);
         }, QOLVEN_BOARD_REFUSED, "Command Error"},
        {"time-out", 2, [&](qolven_device *d) {
             qolven_sim::FaultSpec f;
             f.kind = qolven_sim::Fault::NoAnswer;
             qolven_sim::set_fault("A", f);
             return qolven_get_parameter(d, "decimal-point", 0, value, sizeof value);
         }, QOLVEN_TIMEOUT, "Timeout Error"},
        {"malformed answer", 2, [&](qolven_device *d) {
             qolven_sim::FaultSpec f;
             f.kind = qolven_sim::Fault::WrongEnd;
             qolven_sim::set_fault("A", f);
             return qolven_get_parameter(d, "decimal-point", 0, value, sizeof value);
         }, QOLVEN_ERROR, "End Of Packet Error"},
        {"bridge failure", 2, [&](qolven_device *d) {
             qolven_sim::inject_status("FT_Write", 4, 1);
             return qolven_get_parameter(d, "decimal-point", 0, value, sizeof value);
         }, QOLVEN_TRANSPORT, "IO Error"},
        {"unplugged", 2, [&](qolven_device *d) {
             qolven_sim::detach("A");
             return qolven_get_parameter(d, "decimal-point", 0, value, sizeof value);
         }, QOLVEN_DISCONNECTED, "IO Error"},
        {"held by another", 2, [&](qolven_device *) {
             Device other(qolven_create(), qolven_destroy);
             int code = qolven_open(other.get(), "A");
             std::strcpy(value, qolven_error_text(other.get()));
             return code;
         }, QOLVEN_DEVICE_BUSY, "Device Not Opened"},
        {"not attached", 2, [&](qolven_device *) {
             Device other(qolven_create(), qolven_destroy);
             int code = qolven_open(other.get(), "NOPE");
             std::strcpy(value, qolven_error_text(other.get()));
             return code;
         }, QOLVEN_NO_DEVICE, "no bridge with serial NOPE attached"},
        {"closed", 2, [&](qolven_device *d) {
             qolven_close(d);
             return qolven_read_count(d, nullptr) == QOLVEN_INVALID_ARGUMENT
                        ? qolven_get_parameter(d, "decimal-point", 0, value, sizeof value)
                        : -1;
         }, QOLVEN_NOT_OPEN, "no device is open"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Device d = open("A", c.type);
        value[0] = 0;
        int code = c.call(d.get());
        EXPECT_STREQ(qolven_error_name(code), qolven_error_name(c.code));
        std::string text = c.code == QOLVEN_DEVICE_BUSY || c.code == QOLVEN_NO_DEVICE ? value : qolven_error_text(d.get());
        EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
        qolven_sim::reset();
    }
}

TEST_F(Acquisition, LongSerialNumbersAreListedWholeAndRefusedByName) {
    qolven_sim::attach(board("QV0002-LONG-SERIAL", 2));
    qolven_sim::attach(board("QV0001", 2));
    Device d(qolven_create(), qolven_destroy);
    char serial[80];
    ASSERT_EQ(qolven_device_serial(d.get(), 0, serial, sizeof serial), QOLVEN_OK);
    EXPECT_STREQ(serial, "QV0002-LONG-SERIAL");
    EXPECT_EQ(qolven_open(d.get(), nullptr), QOLVEN_NO_DEVICE);
    EXPECT_NE(std::string(qolven_error_text(d.get())).find("QV0002-LONG-SERIAL, QV0001"), std::string::npos);
    EXPECT_EQ(qolven_open(d.get(), "QV0002-LONG-SERIAL"), QOLVEN_INVALID_ARGUMENT);
    EXPECT_NE(std::string(qolven_error_text(d.get())).find("has 18 characters"), std::string::npos);
    // The first 15 characters name no bridge: nothing else is opened by them.
    EXPECT_EQ(qolven_open(d.get(), "QV0002-LONG-SER"), QOLVEN_NO_DEVICE);
    EXPECT_FALSE(qolven_is_open(d.get()));
    EXPECT_EQ(qolven_open(d.get(), "QV0001"), QOLVEN_OK) << qolven_error_text(d.get());
}

// A bridge may report more than the 15 characters a serial number opens with:
// it is listed whole, and opening refuses it by that name instead of trying a
// cut one that names no device (or another).
TEST_F(Acquisition, TheOnlyBridgeWithALongSerialNumberIsRefusedByName) {
    const std::string longSerial = "QV0002-LONG-SERIAL-NUMBER";
    qolven_sim::reset();  // the default device goes
    qolven_sim::attach(board(longSerial, 2));
    Device d(qolven_create(), qolven_destroy);
    int count = 0;
    ASSERT_EQ(qolven_device_count(d.get(), &count), QOLVEN_OK);
    ASSERT_EQ(count, 1);
    char serial[64];
    ASSERT_EQ(qolven_device_serial(d.get(), 0, serial, sizeof serial), QOLVEN_OK) << qolven_error_text(d.get());
    EXPECT_EQ(std::string(serial), longSerial);
    EXPECT_EQ(qolven_open(d.get(), nullptr), QOLVEN_INVALID_ARGUMENT);
    EXPECT_NE(std::string(qolven_error_text(d.get())).find("\"" + longSerial + "\" has 25 characters"), std::string::npos)
        << qolven_error_text(d.get());
    EXPECT_EQ(qolven_open(d.get(), longSerial.c_str()), QOLVEN_INVALID_ARGUMENT);
    EXPECT_FALSE(qolven_is_open(d.get()));
    // A short serial number next to it opens as before.
    qolven_sim::attach(board("B", 2));
    EXPECT_EQ(qolven_open(d.get(), "B"), QOLVEN_OK) << qolven_error_text(d.get());
}

TEST_F(Acquisition, ErrorNamesAreDistinct) {
    std::vector<std::string> names;
    for (int code = QOLVEN_OK; code <= QOLVEN_INTERRUPTED; ++code) {
        std::string name = qolven_error_name(code);
        EXPECT_EQ(name.rfind("QOLVEN_", 0), 0u) << code;
        for (const std::string &seen : names) EXPECT_NE(name, seen);
        names.push_back(name);
    }
    EXPECT_STREQ(qolven_error_name(QOLVEN_INTERRUPTED + 1), "unknown status");
    // The other names the front ends show come from here too, and never as a null.
    for (int v = -1; v <= 3; ++v) {
        EXPECT_NE(qolven_load_source_name(v), nullptr);
        EXPECT_NE(qolven_loss_basis_name(v), nullptr);
    }
    EXPECT_STREQ(qolven_load_source_name(QOLVEN_LOAD_NONE), "none");
    EXPECT_STREQ(qolven_load_source_name(QOLVEN_LOAD_TABLE), "table");
    EXPECT_STREQ(qolven_load_source_name(QOLVEN_LOAD_OFFSET_FULLSCALE), "offset-fullscale");
    EXPECT_STREQ(qolven_load_source_name(7), "unknown");
}

// ---- one load

struct Table {
    const char *what;
    std::vector<std::pair<long long, long long>> points;  // count, stored load
    int decimalPoint;
    std::vector<std::pair<long long, double>> expected;   // count, load
};

TEST_F(Acquisition, OneLoadAlongTheLoadingPointsWithTheDecimalPoint) {
    const std::vector<Table> tables = {
        {"two points, one decimal", {{1000000, 0}, {1100000, 25}}, 1,
         {{1100000, 2.5}, {1050000, 1.25}, {1200000, 5.0}, {900000, -2.5}}},
        {"two points, none", {{1000000, 0}, {1100000, 25}}, 0, {{1100000, 25}, {1000000, 0}}},
        {"two points, two decimals", {{1000000, 0}, {1100000, 250}}, 2, {{1100000, 2.5}, {1020000, 0.5}}},
        {"a kink", {{0, 0}, {1000, 100}, {3000, 200}}, 0, {{500, 50}, {2000, 150}, {4000, 250}, {-1000, -100}}},
        {"falling counts", {{5000, 0}, {4000, 10}}, 0, {{4500, 5}, {3000, 20}}},
    };
    for (const Table &t : tables) {
        SCOPED_TRACE(t.what);
        Device d = open("L", 2);
        for (size_t p = 0; p < t.points.size(); ++p) {
            set(d.get(), "loading-point", int(p), std::to_string(t.points[p].first));
            set(d.get(), "load-of-loading-point", int(p), std::to_string(t.points[p].second));
        }
        set(d.get(), "number-of-loading-points", 0, std::to_string(t.points.size()));
        set(d.get(), "decimal-point", 0, std::to_string(t.decimalPoint));
        qolven_calibration c;
        ASSERT_EQ(qolven_read_calibration(d.get(), &c), QOLVEN_OK) << qolven_error_text(d.get());
        EXPECT_EQ(c.source, QOLVEN_LOAD_TABLE) << c.why;
        EXPECT_EQ(c.decimal_point, t.decimalPoint);
        for (const auto &[count, load] : t.expected) {
            double got = 0;
            ASSERT_EQ(qolven_calibration_load(&c, count, &got), QOLVEN_OK);
            EXPECT_NEAR(got, load, 1e-9) << "count " << count;
        }
        // A load just below zero reads as zero, without a sign.
        char text[32], zero[32];
        ASSERT_EQ(qolven_format_load(&c, -0.4 * std::pow(10.0, -t.decimalPoint), text, sizeof text), QOLVEN_OK);
        ASSERT_EQ(qolven_format_load(&c, 0.0, zero, sizeof zero), QOLVEN_OK);
        EXPECT_STREQ(text, zero);
        qolven_sim::reset();
    }
}

TEST_F(Acquisition, AFactoryBoardUsesItsOffsetAndFullScaleAndTheDisplayAgrees) {
    Device d = open("F", 2);
    qolven_sim::set_signal("F", 10458593, 0, 10, 0);
    qolven_calibration c;
    ASSERT_EQ(qolven_read_calibration(d.get(), &c), QOLVEN_OK);
    ASSERT_EQ(c.source, QOLVEN_LOAD_OFFSET_FULLSCALE) << c.why;
    EXPECT_EQ(c.points_in_use, 1);
    qolven_reading r;
    ASSERT_EQ(qolven_read(d.get(), &r), QOLVEN_OK) << qolven_error_text(d.get());
    ASSERT_TRUE(r.has_count && r.has_load) << r.why;
    EXPECT_EQ(r.count, 10458593);
    // The factory pair: 8386698 carries 0, 12530488 carries 2.
    EXPECT_NEAR(r.load, 2.0 * (10458593 - 8386698) / (12530488 - 8386698), 1e-9);
    char page[128];
    ASSERT_EQ(qolven_call(d.get(), "Get_Display_Page", nullptr, 0, page, sizeof page, nullptr), QOLVEN_OK);
    ASSERT_EQ(qolven_get_field(d.get(), "displayLine1", page, sizeof page, nullptr), QOLVEN_OK);
    EXPECT_NEAR(std::strtod(page + 4, nullptr), r.load, 0.0005) << page;

    // After a calibration the display follows the table too.
    set(d.get(), "loading-point", 0, "10000000");
    set(d.get(), "load-of-loading-point", 0, "0");
    set(d.get(), "loading-point", 1, "11000000");
    set(d.get(), "load-of-loading-point", 1, "1000");
    set(d.get(), "number-of-loading-points", 0, "2");
    set(d.get(), "decimal-point", 0, "2");
    ASSERT_EQ(qolven_read(d.get(), &r), QOLVEN_OK);
    ASSERT_TRUE(r.has_load) << r.why;
    EXPECT_NEAR(r.load, 4.58593, 1e-9);
    EXPECT_STREQ(r.load_text, "4.59");
    ASSERT_EQ(qolven_call(d.get(), "Get_Display_Page", nullptr, 0, page, sizeof page, nullptr), QOLVEN_OK);
    ASSERT_EQ(qolven_get_field(d.get(), "displayLine1", page, sizeof page, nullptr), QOLVEN_OK);
    EXPECT_NEAR(std::strtod(page + 4, nullptr), r.load, 0.0005) << page;
}

TEST_F(Acquisition, NoLoadSaysWhy) {
    struct Case {
        const char *what;
        int type;
        std::vector<std::pair<long long, long long>> points;
        const char *why;
    };
    const std::vector<Case> cases = {
        {"a handheld display", 5, {}, "board type 5 keeps no calibration"},
        {"equal counts", 2, {{1000, 0}, {1000, 10}}, "have the same count"},
        {"counts going back", 2, {{1000, 0}, {2000, 10}, {1500, 20}}, "do not run one way"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Device d = open("N", c.type);
        for (size_t p = 0; p < c.points.size(); ++p) {
            set(d.get(), "loading-point", int(p), std::to_string(c.points[p].first));
            set(d.get(), "load-of-loading-point", int(p), std::to_string(c.points[p].second));
        }
        if (!c.points.empty()) set(d.get(), "number-of-loading-points", 0, std::to_string(c.points.size()));
        qolven_reading r;
        ASSERT_EQ(qolven_read(d.get(), &r), QOLVEN_OK) << qolven_error_text(d.get());
        EXPECT_FALSE(r.has_load);
        EXPECT_NE(std::string(r.why).find(c.why), std::string::npos) << r.why;
        qolven_sim::reset();
    }
}

TEST_F(Acquisition, TareIsTakenOffTheLoadOnly) {
    Device d = open("T", 2);
    qolven_sim::set_signal("T", 10458593, 0, 10, 0);
    qolven_reading before, after;
    ASSERT_EQ(qolven_read(d.get(), &before), QOLVEN_OK);
    ASSERT_EQ(qolven_set_tare(d.get(), before.count), QOLVEN_OK);
    ASSERT_EQ(qolven_read(d.get(), &after), QOLVEN_OK);
    EXPECT_EQ(after.count, before.count);
    EXPECT_TRUE(after.tared);
    EXPECT_NEAR(after.load, 0.0, 1e-12);
    ASSERT_EQ(qolven_clear_tare(d.get()), QOLVEN_OK);
    ASSERT_EQ(qolven_read(d.get(), &after), QOLVEN_OK);
    EXPECT_NEAR(after.load, before.load, 1e-12);
}

// ---- the stream reader

struct Taken {
    std::vector<int64_t> sequence;
    std::vector<double> time;
    int code = QOLVEN_OK;
};

Taken take(qolven_device *d, double seconds) {
    Taken t;
    int64_t sequence[256];
    int32_t channel[256], count[256];
    double time[256];
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
        size_t n = 0;
        t.code = qolven_stream_read_samples(d, sequence, channel, count, time, nullptr, 256, &n, 50);
        if (t.code != QOLVEN_OK) break;
        t.sequence.insert(t.sequence.end(), sequence, sequence + n);
        t.time.insert(t.time.end(), time, time + n);
    }
    return t;
}

int64_t gapSamples(const std::vector<int64_t> &sequence) {
    int64_t missing = 0;
    for (size_t i = 1; i < sequence.size(); ++i) missing += sequence[i] - sequence[i - 1] - 1;
    return missing;
}

TEST_F(Acquisition, StreamNumbersEverySampleAndSpreadsTheirTimesAtTheRate) {
    Device d = open("S", 2, 1500);
    ASSERT_EQ(qolven_stream_start(d.get(), 15), QOLVEN_OK) << qolven_error_text(d.get());
    Taken t = take(d.get(), 1.0);
    ASSERT_EQ(t.code, QOLVEN_OK) << qolven_error_text(d.get());
    qolven_stream_info s;
    ASSERT_EQ(qolven_stream_status(d.get(), &s), QOLVEN_OK);
    ASSERT_GT(t.sequence.size(), 500u);
    EXPECT_EQ(t.sequence.front(), 0);
    EXPECT_EQ(gapSamples(t.sequence), int64_t(s.lost));
    EXPECT_EQ(s.received, t.sequence.size());
    EXPECT_EQ(s.loss_basis, QOLVEN_LOSS_NOMINAL_RATE);
    EXPECT_DOUBLE_EQ(s.nominal_rate, 1000);
    for (size_t i = 1; i < t.time.size(); ++i) ASSERT_GE(t.time[i], t.time[i - 1]);
    // Spread at the nominal rate: a second's samples span about a second.
    double span = t.time.back() - t.time[t.time.size() / 2];
    EXPECT_NEAR(span, double(t.time.size() - 1 - t.time.size() / 2) / 1000.0, 0.05);
    EXPECT_GT(s.start_wall, 1.7e9);
}

TEST_F(Acquisition, AMultiChannelStreamGivesLoadsOnlyWithTheChannelsOwnCalibration) {
    // Channel 0 calibrated, channel 1 not: the stream's samples of channel 1 must not
    // take channel 0's loading points.
    qolven_sim::BoardConfig config = board("M", 9, 1500);
    config.activeChannels = 2;
    config.signalOffset = 1050000;
    config.signalAmplitude = 0;
    qolven_sim::attach(config);
    Device d(qolven_create(), qolven_destroy);
    ASSERT_EQ(qolven_open(d.get(), "M"), QOLVEN_OK) << qolven_error_text(d.get());
    set(d.get(), "loading-point", 0, "1000000");
    set(d.get(), "load-of-loading-point", 0, "0");
    set(d.get(), "loading-point", 1, "1100000");
    set(d.get(), "load-of-loading-point", 1, "100");
    set(d.get(), "number-of-loading-points", 0, "2");
    ASSERT_EQ(qolven_stream_start(d.get(), 15), QOLVEN_OK) << qolven_error_text(d.get());
    int64_t sequence[256];
    int32_t channel[256], count[256];
    double load[256];
    size_t seen[2] = {0, 0};
    auto end = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < end && (seen[0] < 50 || seen[1] < 50)) {
        size_t n = 0;
        ASSERT_EQ(qolven_stream_read_samples(d.get(), sequence, channel, count, nullptr, load, 256, &n, 50), QOLVEN_OK);
        for (size_t i = 0; i < n; ++i) {
            ASSERT_TRUE(channel[i] == 0 || channel[i] == 1) << channel[i];
            ++seen[channel[i]];
            if (channel[i] == 0) EXPECT_NEAR(load[i], (count[i] - 1000000) / 1000.0, 1e-9);
            else EXPECT_TRUE(std::isnan(load[i])) << "channel 1 sample given load " << load[i];
        }
    }
    EXPECT_GE(seen[0], 50u);
    EXPECT_GE(seen[1], 50u);
}

TEST_F(Acquisition, LostPacketsLeaveGapsThatTheCountersAndEventsAgreeOn) {
    Device d = open("P", 2, 1500);
    ASSERT_EQ(qolven_stream_start(d.get(), 15), QOLVEN_OK);
    take(d.get(), 0.1);  // the first answer holds what the board gathered before the start
    uint32_t before = qolven_sim::next_sample_sequence("P");
    qolven_sim::FaultSpec f;
    f.kind = qolven_sim::Fault::FastShort;  // the board takes the samples out, the host never gets them
    f.mode = qolven_sim::FaultMode::EveryNth;
    f.every = 9;
    qolven_sim::set_fault("P", f);
    Taken t = take(d.get(), 1.5);
    qolven_sim::clear_faults("P");
    ASSERT_EQ(t.code, QOLVEN_OK) << qolven_error_text(d.get());
    qolven_stream_info s;
    qolven_stream_status(d.get(), &s);
    EXPECT_GT(s.lost, 0u);
    EXPECT_GT(s.timeouts, 0u);
    int64_t gaps = gapSamples(t.sequence);
    int64_t eventSamples = 0;
    qolven_event e;
    int got = 0;
    while (qolven_stream_next_event(d.get(), &e, &got) == QOLVEN_OK && got) {
        EXPECT_EQ(e.kind, QOLVEN_EVENT_LOST);
        EXPECT_STREQ(qolven_event_name(e.kind), "lost");
        eventSamples += e.samples;
    }
    EXPECT_EQ(eventSamples, int64_t(s.lost));
    // Every gap in the sequence is a loss the counters know of (the first 0.1 s had none).
    EXPECT_LE(gaps, int64_t(s.lost));
    // What the board made in the window is what arrived plus what is known lost, within the
    // estimate's slack of a sample or two per lost packet.
    int64_t made = int64_t(qolven_sim::next_sample_sequence("P") - before);
    int64_t accounted = int64_t(t.sequence.size()) + gaps;
    EXPECT_NEAR(double(accounted), double(made), 3.0 * double(s.timeouts) + 8.0);
}

TEST_F(Acquisition, AnEmptyAnswerAfterAPauseLosesNothing) {
    // The board keeps 64 samples: a pause of the host of 55 ms loses none of them, even when
    // the first answer after it is empty (the board had not yet filled its packet).
    Device d = open("E", 2, 1500);
    ASSERT_EQ(qolven_stream_start(d.get(), 15), QOLVEN_OK);
    Taken first = take(d.get(), 0.2);
    ASSERT_FALSE(first.sequence.empty());
    uint32_t before = qolven_sim::next_sample_sequence("E");
    std::this_thread::sleep_for(std::chrono::milliseconds(55));
    qolven_sim::FaultSpec f;
    f.kind = qolven_sim::Fault::FastEmpty;  // the next answer only
    qolven_sim::set_fault("E", f);
    Taken after = take(d.get(), 0.3);
    ASSERT_EQ(after.code, QOLVEN_OK) << qolven_error_text(d.get());
    ASSERT_FALSE(after.sequence.empty());
    int64_t made = int64_t(qolven_sim::next_sample_sequence("E") - before);
    // Numbers taken since `before`, lost ones included, against what the board made then: a few
    // samples waiting at either end apart.  A loss taken for the empty answer adds some 55.
    int64_t numbered = after.sequence.back() - first.sequence.back();
    EXPECT_NEAR(double(numbered), double(made), 20.0);
}

// An unplug the stream waits through, and one between two requests: then the
// bridge is on the list the whole time, but the stream's handle is the old
// device's and fails every call until it is opened anew.
TEST_F(Acquisition, AnUnpluggedBridgeIsWaitedForAndTheGapCounted) {
    struct Case {
        const char *serial;
        int replugAfterMs;  // -1: at once, before the next request
        double seconds;
        int64_t leastGap;   // samples the time without the bridge must have cost
    } cases[] = {{"R", 400, 1.5, 250}, {"H", -1, 2.0, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.serial);
        Device d = open(c.serial, 2, 1500);
        ASSERT_EQ(qolven_stream_start(d.get(), 15), QOLVEN_OK);
        Taken first = take(d.get(), 0.2);
        ASSERT_FALSE(first.sequence.empty());
        qolven_sim::BoardConfig config = qolven_sim::config(c.serial);
        qolven_sim::detach(c.serial);
        std::thread replug([config, &c] {
            if (c.replugAfterMs >= 0) std::this_thread::sleep_for(std::chrono::milliseconds(c.replugAfterMs));
            qolven_sim::attach(config);
        });
        if (c.replugAfterMs < 0) replug.join();
        Taken across = take(d.get(), c.seconds);
        if (replug.joinable()) replug.join();
        ASSERT_EQ(across.code, QOLVEN_OK) << qolven_error_text(d.get());
        ASSERT_FALSE(across.sequence.empty()) << "no samples from the bridge that came back";
        EXPECT_TRUE(qolven_sim::is_open(c.serial));
        qolven_stream_info s;
        qolven_stream_status(d.get(), &s);
        EXPECT_EQ(s.state, QOLVEN_STREAM_RUNNING);
        EXPECT_EQ(s.reconnects, 1u);
        std::vector<int> kinds;
        int64_t gap = -1;
        qolven_event e;
        int got = 0;
        while (qolven_stream_next_event(d.get(), &e, &got) == QOLVEN_OK && got) {
            kinds.push_back(e.kind);
            if (e.kind == QOLVEN_EVENT_RECONNECTED) gap = e.samples;
        }
        EXPECT_EQ(kinds, (std::vector<int>{QOLVEN_EVENT_DISCONNECTED, QOLVEN_EVENT_RECONNECTED}));
        EXPECT_GE(gap, c.leastGap);
        EXPECT_EQ(across.sequence.front() - first.sequence.back() - 1, gap);
        EXPECT_EQ(int64_t(s.lost), gap);
        qolven_sim::reset();
    }
}

TEST_F(Acquisition, AReturningBoardGetsBackTheRateTheStreamRanAt) {
    // The stream kept the board's own rate; the board that comes back has forgotten it.
    Device d = open("B", 2, 1500);
    set(d.get(), "sampling-rate", 0, "15");
    ASSERT_EQ(qolven_stream_start(d.get(), -1), QOLVEN_OK) << qolven_error_text(d.get());
    ASSERT_FALSE(take(d.get(), 0.2).sequence.empty());
    qolven_sim::BoardConfig config = qolven_sim::config("B");
    qolven_sim::detach("B");
    std::thread replug([config] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        qolven_sim::attach(config);
    });
    Taken across = take(d.get(), 1.5);
    replug.join();
    ASSERT_EQ(across.code, QOLVEN_OK) << qolven_error_text(d.get());
    qolven_stream_info s;
    qolven_stream_status(d.get(), &s);
    EXPECT_EQ(s.reconnects, 1u);
    EXPECT_EQ(s.rate_code, 15);
    EXPECT_EQ(qolven_sim::eeprom("B", 100) & 0x0F, 15) << "the rate written again";
    EXPECT_GT(across.sequence.size(), 500u) << "samples at 1000/s after the return";
}

TEST_F(Acquisition, WithoutReconnectingAnUnplugEndsTheStream) {
    Device d = open("U", 2, 1500);
    ASSERT_EQ(qolven_stream_set_reconnect(d.get(), 0), QOLVEN_OK);
    ASSERT_EQ(qolven_stream_start(d.get(), 15), QOLVEN_OK);
    take(d.get(), 0.1);
    qolven_sim::detach("U");
    Taken t = take(d.get(), 0.5);
    EXPECT_EQ(t.code, QOLVEN_DISCONNECTED) << qolven_error_name(t.code);
    EXPECT_STREQ(qolven_error_text(d.get()), "IO Error");
}

TEST_F(Acquisition, ASilentBoardEndsTheStreamAfterItsRetries) {
    Device d = open("Q", 2, 0);
    ASSERT_EQ(qolven_stream_set_reconnect(d.get(), 0), QOLVEN_OK);
    ASSERT_EQ(qolven_stream_start(d.get(), 15), QOLVEN_OK);
    qolven_sim::set_board_silent("Q", true);
    Taken t = take(d.get(), 3.0);
    EXPECT_EQ(t.code, QOLVEN_TIMEOUT);
    qolven_stream_info s;
    qolven_stream_status(d.get(), &s);
    EXPECT_EQ(s.timeouts, 50u);
    EXPECT_EQ(s.state, QOLVEN_STREAM_FAILED);
}

TEST_F(Acquisition, InterruptEndsAWaitFromAnotherThread) {
    Device d = open("I", 2, 0);
    ASSERT_EQ(qolven_stream_start(d.get(), 0), QOLVEN_OK);  // 2.5 samples/s: a long wait for each
    size_t n = 0;
    int32_t count[4];
    qolven_stream_read_samples(d.get(), nullptr, nullptr, count, nullptr, nullptr, 4, &n, 0);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        qolven_interrupt(d.get());
    });
    auto start = Clock::now();
    int code = QOLVEN_OK;
    while (code == QOLVEN_OK && Clock::now() - start < std::chrono::seconds(10))
        code = qolven_stream_read_samples(d.get(), nullptr, nullptr, count, nullptr, nullptr, 4, &n, -1);
    stopper.join();
    EXPECT_EQ(code, QOLVEN_INTERRUPTED);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 5.0);
}

// ---- the panel of the handheld displays

TEST_F(Acquisition, KeysDisplayAndPagesAreTheLibrarys) {
    ASSERT_EQ(qolven_key_count(), 8);
    EXPECT_STREQ(qolven_key_name(1), "tare");
    EXPECT_STREQ(qolven_key_alias(1), "up");
    EXPECT_STREQ(qolven_key_method(1), "Change_Tare_Up");
    EXPECT_EQ(qolven_key_name(8), nullptr);

    Device amplifier = open("K2", 2);
    EXPECT_EQ(qolven_press_key(amplifier.get(), "tare"), QOLVEN_BOARD_TYPE);
    char lines[QOLVEN_DISPLAY_LINES][QOLVEN_DISPLAY_LINE_LENGTH + 1];
    EXPECT_EQ(qolven_read_display(amplifier.get(), lines), QOLVEN_BOARD_TYPE);
    unsigned char page[QOLVEN_PAGE_BYTES];
    ASSERT_EQ(qolven_read_page(amplifier.get(), 3, page), QOLVEN_OK) << qolven_error_text(amplifier.get());
    EXPECT_EQ(std::vector<uint8_t>(page, page + QOLVEN_PAGE_BYTES), qolven_sim::page("K2", 3));
    EXPECT_EQ(qolven_read_page(amplifier.get(), 256, page), QOLVEN_INVALID_ARGUMENT);

    Device display = open("K5", 5);
    EXPECT_EQ(qolven_press_key(display.get(), "up"), QOLVEN_OK) << qolven_error_text(display.get());
    EXPECT_EQ(qolven_press_key(display.get(), "nope"), QOLVEN_UNKNOWN_NAME);
    EXPECT_EQ(qolven_sim::key_presses("K5"), (std::vector<int>{0x61}));
    ASSERT_EQ(qolven_read_display(display.get(), lines), QOLVEN_OK) << qolven_error_text(display.get());
    EXPECT_EQ(std::string(lines[3]), "KEY TARE/UP     ");
}

} // namespace
