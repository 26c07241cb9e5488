// CSV files: one row per sample (serial,sequence,channel,time,count,load),
// rows of one flush in time order, and '#' lines for what describes the
// recording and for its events (comment lines to pandas, numpy and R).
// Rows gather in memory and reach the file a whole flush at a time, so that a
// recording killed between flushes ends on a whole line.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "recording/recorder.h"

namespace qolven_recording {

namespace {

// Quotes a text for a '#' line: one line, '"' and '\' escaped.
std::string quoted(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

// "1;2;3", quoted: the pairs of a line are separated by spaces.
std::string list(const int64_t *values, int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += (i ? ";" : "") + std::to_string(values[i]);
    return "\"" + text + "\"";
}

std::string real(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

class CsvSink : public Sink {
public:
    explicit CsvSink(const FileHeader &h) : h_(h) {
        int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (h.overwrite ? O_TRUNC : O_EXCL);
        fd_ = ::open(h.path.c_str(), flags, 0644);
        if (fd_ < 0) fail(errno);
        line("# qolven recording: format=qolven-recording format_version=1");
        line("# application=" + quoted(h.application) + " library_version=" + h.libraryVersion +
             " recorder_version=" + h.recorderVersion);
        line("# start_utc=" + isoUtc(h.time0Wall) + " start_wall=" + real(h.time0Wall) + " start_monotonic=" +
             real(h.time0Monotonic) + " start_spread=" + real(h.spread) + " time_unit=s");
        line("# file_index=" + std::to_string(h.index) + " file_start_time=" + real(h.startTime) +
             " device_count=" + std::to_string(h.devices.size()));
        line("# trigger=" + quoted(h.trigger) + " trigger_time=" + real(h.triggerTime) + " stop_condition=" +
             quoted(h.stop) + " flush_interval=" + real(h.flushInterval) + " reader_priority=" + h.readerPriority);
        for (size_t i = 0; i < h.devices.size(); ++i) {
            const DeviceInfo &d = h.devices[i];
            const qolven_calibration &c = d.calibration;
            const DeviceCounters &t = h.atStart[i];
            line("# device " + std::to_string(d.index) + ": serial=" + quoted(d.serial) +
                 " board_type=" + std::to_string(d.identity.board_type) + " board_class=" + quoted(d.boardClass) +
                 " board_meaning=" + quoted(d.boardMeaning) + " hardware_version=" +
                 std::to_string(d.identity.hardware_version) + " firmware_version=" +
                 std::to_string(d.identity.firmware_version) + " firmware_year=" +
                 std::to_string(d.identity.firmware_year) + " firmware_month=" +
                 std::to_string(d.identity.firmware_month) + " rate_code=" + std::to_string(d.rateCode) +
                 " nominal_rate=" + real(d.nominalRate) + " multi_channel=" + std::to_string(d.multiChannel) +
                 " start_offset=" + real(d.offset) + " start_utc=" + isoUtc(d.startWall) +
                 " loss_basis=" + qolven_loss_basis_name(d.lossBasis));
            line("# device " + std::to_string(d.index) + " calibration: calibration_source=" +
                 qolven_load_source_name(c.source) + " calibration_points=" + std::to_string(c.points) +
                 " calibration_counts=" + list(c.counts, c.points) + " calibration_loads=" + list(c.loads, c.points) +
                 " points_in_use=" + std::to_string(c.points_in_use) + " decimal_point=" +
                 std::to_string(c.decimal_point) + " unit_code=" + std::to_string(c.unit_code) +
                 " calibration_why=" + quoted(c.why) + " has_load=" + std::to_string(d.hasLoad ? 1 : 0));
            line("# device " + std::to_string(d.index) + " tare and limits: tare_active=" +
                 std::to_string(t.tared ? 1 : 0) + " tare_count=" + std::to_string(t.tareCount) + " limit_quantity=" +
                 (d.limits.set ? quantityName(d.limits.quantity) : "") + " limit_low=" +
                 real(d.limits.set ? d.limits.low : NAN) + " limit_high=" + real(d.limits.set ? d.limits.high : NAN));
        }
        line("serial,sequence,channel,time,count,load");
        flushBuffer();
    }

    ~CsvSink() override {
        if (fd_ >= 0) ::close(fd_);
    }

    void write(const std::vector<Columns> &pending, const std::vector<Event> &events) override {
        // Rows of every device and the events, merged by time.
        std::vector<size_t> at(pending.size(), 0);
        size_t e = 0;
        char row[256];
        for (;;) {
            int best = -1;
            double t = 0;
            for (size_t d = 0; d < pending.size(); ++d)
                if (at[d] < pending[d].size() && (best < 0 || pending[d].time[at[d]] < t)) {
                    best = int(d);
                    t = pending[d].time[at[d]];
                }
            if (e < events.size() && (best < 0 || events[e].time <= t)) {
                event(events[e++]);
                continue;
            }
            if (best < 0) break;
            const Columns &c = pending[size_t(best)];
            const size_t i = at[size_t(best)]++;
            const DeviceInfo &d = h_.devices[size_t(best)];
            int n = d.hasLoad && c.load[i] == c.load[i]
                        ? std::snprintf(row, sizeof row, "%s,%lld,%d,%.6f,%d,%.9g\n", d.serial.c_str(),
                                        (long long)c.sequence[i], c.channel[i], c.time[i], c.count[i], c.load[i])
                        : std::snprintf(row, sizeof row, "%s,%lld,%d,%.6f,%d,\n", d.serial.c_str(),
                                        (long long)c.sequence[i], c.channel[i], c.time[i], c.count[i]);
            put(row, size_t(n));
        }
    }

    void flush(const Progress &) override {
        flushBuffer();
        if (fsync(fd_) != 0 && errno != EINVAL) fail(errno);
    }

    void close(const Progress &p) override {
        line("# end: complete=" + std::to_string(p.complete ? 1 : 0) + " stop_reason=" + quoted(p.stopReason) +
             " trigger_time=" + real(p.triggerTime) + " samples=" + std::to_string(p.samples) + " lost=" +
             std::to_string(p.lost) + " events=" + std::to_string(p.events) + " end_time=" + real(p.endTime));
        for (size_t i = 0; i < p.devices.size(); ++i) {
            const DeviceCounters &c = p.devices[i];
            line("# device " + std::to_string(i) + " end: samples=" + std::to_string(c.samples) + " lost=" +
                 std::to_string(c.lost) + " stream_received=" + std::to_string(c.stream.received) + " stream_lost=" +
                 std::to_string(c.stream.lost) + " stream_expected=" + real(c.stream.expected) + " requests=" +
                 std::to_string(c.stream.requests) + " timeouts=" + std::to_string(c.stream.timeouts) +
                 " failed_requests=" + std::to_string(c.stream.failed_requests) + " reconnects=" +
                 std::to_string(c.stream.reconnects));
        }
        flush(p);
        int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) fail(errno);
    }

    void abandon() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        buffer_.clear();
    }

    uint64_t bytes() const override { return bytes_; }

private:
    [[noreturn]] void fail(int error) const {
        throw WriteFailure("cannot write " + h_.path + ": " + (error ? std::strerror(error) : "write error"));
    }

    void put(const char *text, size_t n) {
        buffer_.append(text, n);
        bytes_ += n;
    }

    void line(const std::string &text) {
        put(text.data(), text.size());
        put("\n", 1);
    }

    void event(const Event &e) {
        const std::string serial = e.device >= 0 ? h_.devices[size_t(e.device)].serial : "";
        line("# event: time=" + real(e.time) + " device=" + std::to_string(e.device) + " serial=" + quoted(serial) +
             " kind=" + qolven_record_event_name(e.kind) + " detail=" + std::to_string(e.detail) +
             " sequence=" + std::to_string(e.sequence) + " value=" + real(e.value) + " text=" + quoted(e.text));
    }

    void flushBuffer() {
        size_t done = 0;
        while (done < buffer_.size()) {
            ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fail(n < 0 ? errno : ENOSPC);
            done += size_t(n);
        }
        buffer_.clear();
    }

    FileHeader h_;
    int fd_ = -1;
    std::string buffer_;
    uint64_t bytes_ = 0;
};

} // namespace

std::unique_ptr<Sink> openCsv(const FileHeader &h) { return std::make_unique<CsvSink>(h); }

} // namespace qolven_recording
