// The recorder on virtual boards, in every format this build writes: every
// sample present and in order on one clock, losses visible, triggers with
// their pre-trigger samples, tare, limit crossings at the right samples,
// rotation, and settings refused before anything is written.
#include <gtest/gtest.h>

#include <qolven.h>
#include <qolven_record.h>
#include <qolven_sim_c.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "recording_file.h"

using namespace recording_test;
namespace fs = std::filesystem;

namespace {

// Slope of the virtual board's factory calibration: loads 0 and 2 at these counts.
constexpr double kOffsetCount = 8386698, kFullscaleCount = 12530488;
double factoryLoad(double count) { return (count - kOffsetCount) * 2 / (kFullscaleCount - kOffsetCount); }

class Recording : public ::testing::TestWithParam<std::string> {
protected:
    fs::path dir;
    std::vector<qolven_device *> devices;
    std::vector<std::string> serials;
    qolven_recorder *r = nullptr;

    // What a board has handed out or thrown away, from its own counters.
    struct BoardTotals {
        unsigned long long delivered = 0, dropped = 0;
    };
    std::vector<BoardTotals> atStart, atEnd;
    std::vector<BoardTotals> totals() {
        std::vector<BoardTotals> all;
        for (const std::string &serial : serials) {
            BoardTotals t;
            unsigned long long generated = 0, waiting = 0;
            char error[256];
            EXPECT_EQ(qolven_sim_fast_counters(serial.c_str(), &generated, &t.delivered, &t.dropped, &waiting, error,
                                               sizeof error), 0) << error;
            all.push_back(t);
        }
        return all;
    }

    void SetUp() override {
        if (!qolven_record_format_available(GetParam() == ".csv" ? QOLVEN_RECORD_CSV : QOLVEN_RECORD_HDF5))
            GTEST_SKIP() << "this build writes no " << GetParam();
        char pattern[] = "/tmp/qolven-recording-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        r = qolven_recorder_create();
    }
    void TearDown() override {
        qolven_recorder_destroy(r);
        for (qolven_device *d : devices) qolven_destroy(d);
        qolven_sim_reset();
        if (!dir.empty()) fs::remove_all(dir);
    }

    std::string file(const std::string &name) { return (dir / (name + GetParam())).string(); }

    // Attaches the boards described and adds them to the recorder, in order.
    void boards(const std::string &description) {
        char error[512];
        ASSERT_EQ(qolven_sim_configure(description.c_str(), error, sizeof error), 0) << error;
        for (int i = 0; i < qolven_sim_device_count(); ++i) {
            char serial[64];
            qolven_sim_device_serial(i, serial, sizeof serial);
            serials.push_back(serial);
            qolven_device *d = qolven_create();
            devices.push_back(d);
            ASSERT_EQ(qolven_open(d, serial), QOLVEN_OK) << qolven_error_text(d);
            ASSERT_EQ(qolven_recorder_add_device(r, d), QOLVEN_OK) << qolven_recorder_error_text(r);
        }
    }

    unsigned long long handedOut(size_t k) const {
        return atEnd.at(k).delivered + atEnd.at(k).dropped - atStart.at(k).delivered - atStart.at(k).dropped;
    }

    void ok(int status) { ASSERT_EQ(status, QOLVEN_OK) << qolven_recorder_error_text(r); }

    // Records into `path` until the recorder ends; `during` runs while it does.
    FileData record(const std::string &path, std::function<void()> during = nullptr, std::string read = "") {
        EXPECT_EQ(qolven_recorder_set_output(r, path.c_str(), 0), QOLVEN_OK) << qolven_recorder_error_text(r);
        atStart = totals();
        EXPECT_EQ(qolven_recorder_start(r), QOLVEN_OK) << qolven_recorder_error_text(r);
        if (during) during();
        int finished = 0;
        EXPECT_EQ(qolven_recorder_wait(r, 60000, &finished), QOLVEN_OK) << qolven_recorder_error_text(r);
        EXPECT_EQ(finished, 1);
        atEnd = totals();
        FileData f = readRecording(read.empty() ? path : read);
        EXPECT_TRUE(f.ok) << f.error;
        return f;
    }
};

std::string formatName(const ::testing::TestParamInfo<std::string> &info) { return info.param == ".csv" ? "Csv" : "Hdf5"; }

INSTANTIATE_TEST_SUITE_P(Formats, Recording, ::testing::Values(std::string(".h5"), std::string(".csv")), formatName);

// ---- every sample, in order, on one clock

// Every jump in the recorded sequence must be a loss event of that size; and
// what the board handed out or threw away during the recording must be what
// the file holds plus what it calls lost, within the estimate's slack: the
// samples of the answer after the end are not recorded, and a lost packet's
// size is estimated from the nominal rate.
void expectEveryGapAccounted(const FileData &f, int device, unsigned long long handedOut) {
    const DeviceData &d = f.devices.at(size_t(device));
    std::map<long long, double> lost;
    for (const EventData &e : f.of(QOLVEN_RECORD_EVENT_LOST))
        if (e.device == device) lost[e.sequence] = e.value;
    long long gaps = 0;
    for (size_t i = 1; i < d.count.size(); ++i) {
        const long long step = d.sequence[i] - d.sequence[i - 1];
        if (step == 1) continue;
        gaps += step - 1;
        ASSERT_EQ(lost.count(d.sequence[i]), 1u) << "no loss event at the gap before sequence " << d.sequence[i];
        EXPECT_EQ(lost[d.sequence[i]], double(step - 1)) << "the gap is as large as the loss";
    }
    const double accounted = double(d.count.size()) + double(gaps);
    EXPECT_LE(accounted, double(handedOut) + 8.0) << "more samples than the board made";
    EXPECT_GE(accounted, double(handedOut) - 64.0 - 3.0 * double(lost.size()) - 8.0)
        << "samples went missing without a loss event";
}

TEST_P(Recording, FourBoardsGiveEverySampleInOrderOnOneClock) {
    boards("serial=R1;serial=R2;type=16,serial=R3;serial=R4,fw=7");
    ok(qolven_recorder_set_rate(r, 13));
    ok(qolven_recorder_set_duration(r, 2));
    FileData f = record(file("four"));
    ASSERT_EQ(f.devices.size(), 4u);
    EXPECT_EQ(f.attrs["complete"], "1");
    EXPECT_LT(f.number("start_spread"), 0.25) << "the streams start together";
    const char *serials[] = {"R1", "R2", "R3", "R4"};
    double lost = 0;
    for (const EventData &e : f.of(QOLVEN_RECORD_EVENT_LOST)) lost += e.value;
    EXPECT_EQ(f.number("lost"), lost);
    for (size_t k = 0; k < 4; ++k) {
        const DeviceData &d = f.devices[k];
        SCOPED_TRACE(serials[k]);
        EXPECT_EQ(d.attrs.at("serial"), serials[k]);
        EXPECT_EQ(number(d, "board_type"), k == 2 ? 16 : 2);
        EXPECT_EQ(number(d, "firmware_version"), k == 3 ? 7 : 4);
        EXPECT_EQ(number(d, "rate_code"), 13);
        EXPECT_EQ(number(d, "nominal_rate"), 500);
        EXPECT_EQ(d.attrs.at("calibration_counts"), "8386698;12530488");
        EXPECT_EQ(d.attrs.at("calibration_loads"), "0;2");
        EXPECT_EQ(number(d, "unit_code"), 34);
        EXPECT_EQ(number(d, "decimal_point"), 0);
        EXPECT_GE(number(d, "start_offset"), 0);
        const size_t n = d.count.size();
        ASSERT_GT(n, 500u) << "2 s at 500 samples/s";
        EXPECT_LT(d.sequence.back(), 1100);
        EXPECT_EQ(d.sequence.front(), 0);
        expectEveryGapAccounted(f, int(k), handedOut(k));
        size_t firstAnswer = 0;
        while (firstAnswer + 1 < n && d.time[firstAnswer + 1] == d.time[0]) ++firstAnswer;
        for (size_t i = 1; i < n; ++i) {
            ASSERT_GT(d.sequence[i], d.sequence[i - 1]) << "in order, sample " << i;
            ASSERT_GE(d.time[i], d.time[i - 1]);
            ASSERT_NEAR(d.load[i], factoryLoad(d.count[i]), 1e-9);
        }
        // Past the samples the board gathered before the first answer, the
        // time stamps follow the nominal rate.
        const size_t a = firstAnswer + 1;
        const double span = d.time[n - 1] - d.time[a];
        EXPECT_NEAR(span / double(d.sequence[n - 1] - d.sequence[a]), 1.0 / 500, 0.03 / 500);
        EXPECT_LT(d.time[n - 1], 2.0);
        EXPECT_GT(d.time[n - 1], 1.9);
        // The same sample number on two boards started together is close in time.
        const DeviceData &first = f.devices[0];
        for (size_t i = a, j = 0; i < n; i += 97) {
            while (j < first.sequence.size() && first.sequence[j] < d.sequence[i]) ++j;
            if (j < first.sequence.size() && first.sequence[j] == d.sequence[i]) {
                EXPECT_NEAR(d.time[i], first.time[j], 0.1) << "sequence " << d.sequence[i];
            }
        }
    }
    ASSERT_EQ(f.of(QOLVEN_RECORD_EVENT_STOP).size(), 1u);
    EXPECT_EQ(f.of(QOLVEN_RECORD_EVENT_STOP)[0].time, 2.0);
}

TEST_P(Recording, AnInjectedDropIsALossEventAndASequenceGap) {
    boards("serial=L1;serial=L2");
    ok(qolven_recorder_set_rate(r, 13));
    ok(qolven_recorder_set_duration(r, 2));
    FileData f = record(file("drop"), [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        char error[256];
        // The board sends fewer bytes than it announces: the packet's samples are gone.
        ASSERT_EQ(qolven_sim_set_fault("L2", "fault=fast_short", error, sizeof error), 0) << error;
    });
    ASSERT_EQ(f.devices.size(), 2u);
    std::vector<EventData> lost;
    for (const EventData &e : f.of(QOLVEN_RECORD_EVENT_LOST))
        if (e.device == 1 && e.time > 0.6) lost.push_back(e);
    ASSERT_GE(lost.size(), 1u) << "the drop after 0.7 s is a loss on L2";
    EXPECT_GT(lost[0].value, 0);
    expectEveryGapAccounted(f, 0, handedOut(0));
    expectEveryGapAccounted(f, 1, handedOut(1));
    const DeviceData &d = f.devices[1];
    bool gap = false;
    for (size_t i = 1; i < d.sequence.size(); ++i)
        gap |= d.sequence[i] == lost[0].sequence && d.sequence[i] - d.sequence[i - 1] == (long long)lost[0].value + 1;
    EXPECT_TRUE(gap) << "the sequence skips the lost samples where the event says";
}

// ---- triggers

TEST_P(Recording, TheStartTriggerKeepsThePreTriggerSamples) {
    // A sine of 1 s around the offset, rising through it at each whole second
    // of the board's clock: the first time about 1 s after the start.
    boards("serial=T1,period=1,noise=0;serial=T2");
    const double level = 8388608;
    ok(qolven_recorder_set_rate(r, 13));
    ok(qolven_recorder_set_start_trigger(r, 0, QOLVEN_RECORD_COUNT, QOLVEN_RECORD_RISING, level, 0.3));
    ok(qolven_recorder_set_duration(r, 0.5));
    FileData f = record(file("trigger"));
    std::vector<EventData> triggers = f.of(QOLVEN_RECORD_EVENT_TRIGGER);
    ASSERT_EQ(triggers.size(), 1u);
    const EventData &t = triggers[0];
    EXPECT_EQ(t.device, 0);
    EXPECT_EQ(t.detail, QOLVEN_RECORD_RISING);
    EXPECT_NEAR(f.number("trigger_time"), t.time, 1e-9);
    const DeviceData &d = f.devices[0];
    size_t at = 0;
    while (at < d.sequence.size() && d.sequence[at] != t.sequence) ++at;
    ASSERT_LT(at, d.sequence.size()) << "the trigger's sample is recorded";
    ASSERT_GT(at, 0u);
    EXPECT_LT(d.count[at - 1], level);
    EXPECT_GE(d.count[at], level);
    EXPECT_NEAR(d.time[at], t.time, 1e-6);
    for (const DeviceData &k : f.devices) {
        ASSERT_FALSE(k.time.empty());
        EXPECT_GE(k.time.front(), t.time - 0.3);
        EXPECT_LT(k.time.front(), t.time - 0.3 + 0.01) << "0.3 s before the trigger";
        EXPECT_LT(k.time.back(), t.time + 0.5);
        EXPECT_GT(k.time.back(), t.time + 0.5 - 0.01) << "0.5 s after it";
        for (size_t i = 1; i < k.sequence.size(); ++i) ASSERT_EQ(k.sequence[i], k.sequence[i - 1] + 1);
    }
}

TEST_P(Recording, TheStopTriggerEndsAtItsCrossing) {
    boards("serial=S1,period=1,noise=0");
    const double level = 8388608 - 50000;
    ok(qolven_recorder_set_rate(r, 13));
    ok(qolven_recorder_set_stop_trigger(r, 0, QOLVEN_RECORD_COUNT, QOLVEN_RECORD_FALLING, level));
    ok(qolven_recorder_set_duration(r, 5));
    FileData f = record(file("stop"));
    const DeviceData &d = f.devices[0];
    ASSERT_GT(d.count.size(), 2u);
    EXPECT_LE(d.count.back(), level) << "the crossing sample is the last one";
    EXPECT_GT(d.count[d.count.size() - 2], level);
    EXPECT_LT(d.time.back(), 1.0);
    std::vector<EventData> stop = f.of(QOLVEN_RECORD_EVENT_STOP);
    ASSERT_EQ(stop.size(), 1u);
    EXPECT_NE(stop[0].text.find("stop trigger"), std::string::npos) << stop[0].text;
}

// ---- tare and limits

TEST_P(Recording, TareBeforeAndDuringShiftsTheLoadsFromItsSample) {
    boards("serial=Z1,noise=0");
    ok(qolven_recorder_set_rate(r, 13));
    ok(qolven_recorder_set_tare_at_start(r, 1));
    ok(qolven_recorder_set_duration(r, 1.5));
    FileData f = record(file("tare"), [this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        ok(qolven_recorder_tare(r, 0));
    });
    std::vector<EventData> tares = f.of(QOLVEN_RECORD_EVENT_TARE);
    ASSERT_EQ(tares.size(), 2u) << "before the start and during";
    EXPECT_EQ(tares[0].sequence, 0);
    const DeviceData &d = f.devices[0];
    size_t after = 0;
    for (size_t i = 0; i < d.count.size(); ++i) {
        const bool second = d.sequence[i] >= tares[1].sequence;
        after += second;
        const double zero = factoryLoad(second ? tares[1].value : tares[0].value);
        ASSERT_NEAR(d.load[i], factoryLoad(d.count[i]) - zero, 1e-9) << "sample " << d.sequence[i];
    }
    EXPECT_GT(after, 100u);
    EXPECT_LT(after, d.count.size() - 100);
    EXPECT_EQ(tares[1].value, double(d.count[size_t(tares[1].sequence) - 1 - size_t(d.sequence[0])]))
        << "the newest count before the tare became the zero";
}

TEST_P(Recording, EveryLimitCrossingIsAnEventAtItsSample) {
    boards("serial=M1,period=1,noise=0;serial=M2,period=1,noise=0");
    const double low = 8388608 - 60000, high = 8388608 + 60000;
    ok(qolven_recorder_set_rate(r, 13));
    ok(qolven_recorder_set_limits(r, 0, QOLVEN_RECORD_COUNT, low, high));
    ok(qolven_recorder_set_limits(r, 1, QOLVEN_RECORD_COUNT, NAN, high));
    ok(qolven_recorder_set_duration(r, 2.2));
    FileData f = record(file("limits"));
    for (int k = 0; k < 2; ++k) {
        const DeviceData &d = f.devices[size_t(k)];
        const double lower = k == 0 ? low : -INFINITY;
        std::vector<std::pair<long long, int>> expected, events;
        int state = 2;
        for (size_t i = 0; i < d.count.size(); ++i) {
            int now = d.count[i] > high ? 1 : d.count[i] < lower ? -1 : 0;
            if (now != state && !(state == 2 && now == 0)) expected.emplace_back(d.sequence[i], now);
            state = now;
        }
        for (const EventData &e : f.of(QOLVEN_RECORD_EVENT_LIMIT))
            if (e.device == k) events.emplace_back(e.sequence, e.detail);
        EXPECT_EQ(events, expected) << "device " << k;
        EXPECT_GE(expected.size(), k == 0 ? 6u : 3u) << "two periods of the sine";
    }
}

TEST_P(Recording, StopOnLimitEndsAtTheFirstCrossing) {
    boards("serial=X1,period=1,noise=0");
    ok(qolven_recorder_set_rate(r, 13));
    ok(qolven_recorder_set_limits(r, 0, QOLVEN_RECORD_LOAD, NAN, factoryLoad(8388608 + 60000)));
    ok(qolven_recorder_set_stop_on_limit(r, 1));
    ok(qolven_recorder_set_duration(r, 5));
    FileData f = record(file("stoplimit"));
    std::vector<EventData> limits = f.of(QOLVEN_RECORD_EVENT_LIMIT);
    ASSERT_EQ(limits.size(), 1u);
    EXPECT_EQ(limits[0].detail, 1);
    EXPECT_EQ(f.devices[0].sequence.back(), limits[0].sequence);
    EXPECT_NE(f.attrs["stop_reason"].find("limit"), std::string::npos) << f.attrs["stop_reason"];
}

// ---- long recordings

TEST_P(Recording, RotationGivesFilesCompleteOnTheirOwn) {
    boards("serial=F1");
    ok(qolven_recorder_set_rate(r, 10));
    ok(qolven_recorder_set_rotation(r, 0, 1));
    ok(qolven_recorder_set_duration(r, 2.5));
    const std::string base = file("rotated");
    record(base, nullptr, (dir / ("rotated-0001" + GetParam())).string());
    long long next = 0;
    for (int i = 1; i <= 3; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "rotated-%04d%s", i, GetParam().c_str());
        FileData f = readRecording((dir / name).string());
        ASSERT_TRUE(f.ok) << name << ": " << f.error;
        EXPECT_EQ(f.attrs["complete"], "1") << name;
        EXPECT_EQ(f.number("file_index"), i);
        const DeviceData &d = f.devices.at(0);
        ASSERT_FALSE(d.sequence.empty()) << name;
        EXPECT_EQ(d.sequence.front(), next) << "the files continue one another";
        for (size_t k = 1; k < d.sequence.size(); ++k) ASSERT_EQ(d.sequence[k], d.sequence[k - 1] + 1);
        EXPECT_GE(d.time.front(), i - 1.0);
        EXPECT_LT(d.time.back(), double(i));
        next = d.sequence.back() + 1;
    }
    EXPECT_FALSE(fs::exists(dir / ("rotated-0004" + GetParam())));
    EXPECT_FALSE(fs::exists(base)) << "with rotation the files are numbered";
}

// ---- refusals: nothing started, nothing written

TEST_P(Recording, BadSettingsAreRefusedBeforeAnythingIsWritten) {
    boards("serial=B1;serial=B2");
    const std::string path = file("refused");
    const std::string existing = file("existing");
    std::ofstream(existing) << "keep";
    struct Case {
        const char *what;
        std::function<int()> call;
        int code;
        const char *text;
    };
    const std::vector<Case> cases = {
        {"rate", [&] { return qolven_recorder_set_rate(r, 16); }, QOLVEN_INVALID_ARGUMENT, "outside 0..15"},
        {"duration", [&] { return qolven_recorder_set_duration(r, -1); }, QOLVEN_INVALID_ARGUMENT, "duration"},
        {"pre", [&] { return qolven_recorder_set_start_trigger(r, 0, 0, 1, 5, 601); }, QOLVEN_INVALID_ARGUMENT, "pre-trigger"},
        {"trigger device", [&] { return qolven_recorder_set_start_trigger(r, 2, 0, 1, 5, 0); }, QOLVEN_INVALID_ARGUMENT,
         "device 2"},
        {"edge", [&] { return qolven_recorder_set_stop_trigger(r, 0, 0, 3, 5); }, QOLVEN_INVALID_ARGUMENT, "edge 3"},
        {"limits", [&] { return qolven_recorder_set_limits(r, 0, 0, 10, 5); }, QOLVEN_INVALID_ARGUMENT, "above the upper"},
        {"extension", [&] { return qolven_recorder_set_output(r, (dir / "x.txt").c_str(), 0); }, QOLVEN_INVALID_ARGUMENT,
         ".h5, .hdf5 or .csv"},
        {"existing", [&] { return qolven_recorder_set_output(r, existing.c_str(), 0); }, QOLVEN_INVALID_ARGUMENT, "exists"},
        {"folder", [&] { return qolven_recorder_set_output(r, (dir / "no/such.csv").c_str(), 0); },
         QOLVEN_INVALID_ARGUMENT, "does not exist"},
        {"rotation", [&] { return qolven_recorder_set_rotation(r, 1000, 0); }, QOLVEN_INVALID_ARGUMENT, "rotation"},
        {"mark", [&] { return qolven_recorder_mark(r, "too early"); }, QOLVEN_INVALID_ARGUMENT, "no recording"},
        {"same device", [&] { return qolven_recorder_add_device(r, devices[0]); }, QOLVEN_INVALID_ARGUMENT, "already"},
        {"no output", [&] { return qolven_recorder_start(r); }, QOLVEN_INVALID_ARGUMENT, "no output"},
        {"stop on limit", [&] {
             qolven_recorder_set_output(r, path.c_str(), 0);
             qolven_recorder_set_stop_on_limit(r, 1);
             return qolven_recorder_start(r);
         }, QOLVEN_INVALID_ARGUMENT, "needs limits"},
        {"closed device", [&] {
             qolven_recorder_set_stop_on_limit(r, 0);
             qolven_close(devices[1]);
             return qolven_recorder_start(r);
         }, QOLVEN_NOT_OPEN, "not open"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.call(), c.code);
        EXPECT_NE(std::string(qolven_recorder_error_text(r)).find(c.text), std::string::npos)
            << qolven_recorder_error_text(r);
    }
    EXPECT_FALSE(fs::exists(path));
    std::ifstream kept(existing);
    std::string word;
    kept >> word;
    EXPECT_EQ(word, "keep");
}

TEST_P(Recording, AStartThatFailsLeavesNoFileAndTheDevicesFree) {
    // The second board keeps no loads: a trigger on its load cannot work.
    boards("serial=N1;serial=N2,eeprom.0=0xFFFF,eeprom.2=0xFFFF,eeprom.60=0xFFFF,eeprom.62=0xFFFF");
    const std::string path = file("unstarted");
    ok(qolven_recorder_set_output(r, path.c_str(), 0));
    ok(qolven_recorder_set_start_trigger(r, 1, QOLVEN_RECORD_LOAD, QOLVEN_RECORD_RISING, 1, 0));
    EXPECT_EQ(qolven_recorder_start(r), QOLVEN_INVALID_ARGUMENT);
    EXPECT_NE(std::string(qolven_recorder_error_text(r)).find("N2"), std::string::npos) << qolven_recorder_error_text(r);
    EXPECT_FALSE(fs::exists(path));
    int64_t count = 0;
    EXPECT_EQ(qolven_read_count(devices[0], &count), QOLVEN_OK) << "the devices are the caller's again";
    // The same recorder records once the cause is gone.
    ok(qolven_recorder_set_start_trigger(r, 0, QOLVEN_RECORD_COUNT, QOLVEN_RECORD_RISING, 0, 0));
    ok(qolven_recorder_set_stop_trigger(r, 0, QOLVEN_RECORD_COUNT, QOLVEN_RECORD_RISING, 0));
    ok(qolven_recorder_start(r));
    ok(qolven_recorder_stop(r));
    int finished = 0;
    ok(qolven_recorder_wait(r, 10000, &finished));
    EXPECT_EQ(finished, 1);
    FileData f = readRecording(path);
    ASSERT_TRUE(f.ok) << f.error;
    EXPECT_NE(f.attrs["stop_reason"].find("before the start trigger"), std::string::npos) << f.attrs["stop_reason"];
}

} // namespace
