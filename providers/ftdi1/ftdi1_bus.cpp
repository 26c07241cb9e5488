// The Bus on Debian's libftdi1 and libusb.
//
// A scan reads the kernel's list in sysfs, as D2XX does and in its order (the
// reverse of the directory's): it
// sees the bus as it is now even where no udev daemon reports plugging, and
// opens no device.  Every opened bridge has a libusb context of its own
// (ftdi_new makes one): open bridges share no lock or thread.  libftdi1 opens
// the bridge (detaching the kernel's ftdi_sio from that interface only, then
// claiming and resetting it) and answers the control requests; the bulk-in
// endpoint is read by transfers that stay queued on the bridge's own event
// thread, because libftdi1's reads return only what is there and lose bytes
// when asked for more than comes.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <ftdi.h>
#include <libusb.h>

#include "sysfs_scan.h"
#include "usb.h"

namespace qolven_ftdi1 {
namespace {

constexpr int kTransfersQueued = 2;
// Failed transfers in a row after which the bridge counts as gone.
constexpr int kErrorsBeforeGone = 8;
constexpr size_t kWriteChunk = 65536;
// How long closing waits for the cancelled transfers to come back.
constexpr std::chrono::seconds kStopLimit{2};
constexpr int kMaxPorts = 8;

struct FtdiDeleter {
    void operator()(ftdi_context *f) const { ftdi_free(f); }
};
using FtdiPtr = std::unique_ptr<ftdi_context, FtdiDeleter>;

struct DeviceList {
    libusb_device **devices = nullptr;
    ssize_t count = 0;
    explicit DeviceList(libusb_context *ctx) { count = libusb_get_device_list(ctx, &devices); }
    ~DeviceList() {
        if (devices) libusb_free_device_list(devices, 1);
    }
};

// "1-2.3": the bus, then the port on each hub down to the device.
std::string pathOf(libusb_device *dev) {
    uint8_t ports[kMaxPorts];
    int n = libusb_get_port_numbers(dev, ports, kMaxPorts);
    std::string path = std::to_string(libusb_get_bus_number(dev));
    if (n <= 0) return path + "-0";
    for (int i = 0; i < n; ++i) path += (i ? "." : "-") + std::to_string(ports[i]);
    return path;
}

// D2XX's location on Linux: the bus number times 256 plus the device's address.
uint32_t locationOf(libusb_device *dev) {
    return (uint32_t(libusb_get_bus_number(dev)) << 8) | libusb_get_device_address(dev);
}

// The strings of a bridge, asked of the device.
void readStrings(libusb_device *dev, const libusb_device_descriptor &desc, Bridge *b) {
    libusb_device_handle *h = nullptr;
    if (libusb_open(dev, &h) != 0) return;
    unsigned char text[256];
    if (desc.iSerialNumber && libusb_get_string_descriptor_ascii(h, desc.iSerialNumber, text, sizeof text) > 0)
        b->serial = reinterpret_cast<char *>(text);
    if (desc.iProduct && libusb_get_string_descriptor_ascii(h, desc.iProduct, text, sizeof text) > 0)
        b->description = reinterpret_cast<char *>(text);
    libusb_close(h);
}

bool singleInterface(libusb_device *dev) {
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != 0 &&
        libusb_get_config_descriptor(dev, 0, &config) != 0)
        return false;
    bool one = config->bNumInterfaces == 1;
    libusb_free_config_descriptor(config);
    return one;
}

class Ftdi1Link final : public Link {
public:
    Ftdi1Link(FtdiPtr ftdi, uint8_t readEndpoint, uint8_t writeEndpoint, size_t packet)
        : ftdi_(std::move(ftdi)), readEndpoint_(readEndpoint), writeEndpoint_(writeEndpoint), packet_(packet) {}

    ~Ftdi1Link() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
            stopBy_ = std::chrono::steady_clock::now() + kStopLimit;
            for (libusb_transfer *t : transfers_) libusb_cancel_transfer(t);
        }
        libusb_interrupt_event_handler(ftdi_->usb_ctx);
        if (events_.joinable()) events_.join();
        if (inFlight_ > 0) {
            // A transfer that never came back may still be written to: keep
            // everything it could touch rather than free it under it.
            ftdi_.release();
            return;
        }
        for (libusb_transfer *t : transfers_) {
            std::free(t->buffer);
            libusb_free_transfer(t);
        }
        ftdi_usb_close(ftdi_.get());
    }

    size_t packetSize() const override { return packet_; }

    void startReading(Receiver *receiver, size_t transferSize) override {
        std::lock_guard<std::mutex> lock(mutex_);
        receiver_ = receiver;
        transferSize_ = transferSize;
        for (int i = 0; i < kTransfersQueued; ++i) {
            libusb_transfer *t = libusb_alloc_transfer(0);
            if (!t) break;
            libusb_fill_bulk_transfer(t, ftdi_->usb_dev, readEndpoint_, nullptr, 0, &Ftdi1Link::done, this, 0);
            transfers_.push_back(t);
            submitLocked(t);
        }
        events_ = std::thread([this] { handleEvents(); });
    }

    void setTransferSize(size_t bytes) override {
        std::lock_guard<std::mutex> lock(mutex_);
        transferSize_ = bytes;
    }

    void resume() override {
        std::lock_guard<std::mutex> lock(mutex_);
        resumeLocked();
    }

    Result write(const uint8_t *data, size_t count, unsigned timeoutMs, size_t *written) override {
        *written = 0;
        while (*written < count) {
            int chunk = static_cast<int>(std::min(count - *written, kWriteChunk));
            int moved = 0;
            int r = libusb_bulk_transfer(ftdi_->usb_dev, writeEndpoint_, const_cast<uint8_t *>(data + *written), chunk,
                                         &moved, timeoutMs);
            *written += static_cast<size_t>(std::max(moved, 0));
            if (r == LIBUSB_ERROR_TIMEOUT) return Result::TimedOut;
            if (r == LIBUSB_ERROR_NO_DEVICE) return Result::Gone;
            if (r != 0) return Result::Failed;
        }
        return Result::Ok;
    }

    // Any value goes to the chip, 0 and 1 too, as D2XX sends them; libftdi1's
    // ftdi_set_latency_timer refuses 0.
    Result setLatency(uint8_t ms) override {
        return control(libusb_control_transfer(ftdi_->usb_dev, FTDI_DEVICE_OUT_REQTYPE, SIO_SET_LATENCY_TIMER_REQUEST,
                                               ms, static_cast<uint16_t>(ftdi_->index), nullptr, 0,
                                               static_cast<unsigned>(ftdi_->usb_write_timeout)));
    }

    Result latency(uint8_t *ms) override {
        unsigned char value = 0;
        Result r = control(ftdi_get_latency_timer(ftdi_.get(), &value));
        if (r == Result::Ok) *ms = value;
        return r;
    }

    // Bytes the bulk-in transfers hold when the chip's buffer is cleared are as
    // old as those it clears: the transfers are called back first, and only
    // asked for again once the chip is empty.
    Result purge(bool receive, bool transmit) override {
        if (receive) {
            std::unique_lock<std::mutex> lock(mutex_);
            purging_ = true;
            for (libusb_transfer *t : transfers_) libusb_cancel_transfer(t);
            settled_.wait_for(lock, std::chrono::seconds(1), [this] { return inFlight_ == 0; });
        }
        Result r = receive ? control(ftdi_tciflush(ftdi_.get())) : Result::Ok;
        if (r == Result::Ok && transmit) r = control(ftdi_tcoflush(ftdi_.get()));
        if (receive) {
            std::lock_guard<std::mutex> lock(mutex_);
            purging_ = false;
            resumeLocked();
        }
        return r;
    }

private:
    Result control(int r) {
        if (r >= 0) return Result::Ok;
        std::lock_guard<std::mutex> lock(mutex_);
        return gone_ ? Result::Gone : Result::Failed;
    }

    static void LIBUSB_CALL done(libusb_transfer *t) { static_cast<Ftdi1Link *>(t->user_data)->completed(t); }

    void completed(libusb_transfer *t) {
        bool lost = false;
        switch (t->status) {
        case LIBUSB_TRANSFER_COMPLETED:
        case LIBUSB_TRANSFER_TIMED_OUT:
            errorsInARow_ = 0;
            if (t->actual_length > 0) receiver_->received(t->buffer, static_cast<size_t>(t->actual_length));
            break;
        case LIBUSB_TRANSFER_CANCELLED:
            break;
        case LIBUSB_TRANSFER_NO_DEVICE:
            lost = true;
            break;
        default:  // error, stall, overflow: a bridge on its way out shows these first
            lost = ++errorsInARow_ >= kErrorsBeforeGone;
            break;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        --inFlight_;
        settled_.notify_all();
        if (lost) markGoneLocked();
        if (stopping_ || gone_) return;
        if (purging_ || !receiver_->wantsMore()) {
            paused_.push_back(t);
            return;
        }
        submitLocked(t);
    }

    void resumeLocked() {
        while (!paused_.empty() && !stopping_ && !gone_ && !purging_ && receiver_->wantsMore()) {
            libusb_transfer *t = paused_.back();
            paused_.pop_back();
            submitLocked(t);
        }
    }

    void submitLocked(libusb_transfer *t) {
        if (t->length != static_cast<int>(transferSize_)) {
            void *buffer = std::realloc(t->buffer, transferSize_);
            if (!buffer) {
                paused_.push_back(t);
                return;
            }
            t->buffer = static_cast<unsigned char *>(buffer);
            t->length = static_cast<int>(transferSize_);
        }
        int r = libusb_submit_transfer(t);
        if (r == 0) {
            ++inFlight_;
            return;
        }
        paused_.push_back(t);
        if (r == LIBUSB_ERROR_NO_DEVICE) markGoneLocked();
    }

    void markGoneLocked() {
        if (gone_) return;
        gone_ = true;
        receiver_->lost();
    }

    void handleEvents() {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_ && (inFlight_ == 0 || std::chrono::steady_clock::now() > stopBy_)) return;
            }
            // Woken by every completion, and by libusb_interrupt_event_handler on close.
            timeval wait{1, 0};
            libusb_handle_events_timeout_completed(ftdi_->usb_ctx, &wait, nullptr);
        }
    }

    FtdiPtr ftdi_;
    const uint8_t readEndpoint_;
    const uint8_t writeEndpoint_;
    const size_t packet_;
    std::mutex mutex_;
    std::condition_variable settled_;  // a transfer came back
    Receiver *receiver_ = nullptr;
    std::vector<libusb_transfer *> transfers_;
    std::vector<libusb_transfer *> paused_;
    size_t transferSize_ = 0;
    int inFlight_ = 0;
    int errorsInARow_ = 0;  // only the event thread touches it
    bool stopping_ = false;
    std::chrono::steady_clock::time_point stopBy_;
    bool purging_ = false;
    bool gone_ = false;
    std::thread events_;
};

// The bulk endpoints of interface 0 and the size of an incoming packet.
bool endpoints(libusb_device *dev, uint8_t *in, uint8_t *out, size_t *packet) {
    libusb_config_descriptor *config = nullptr;
    if (libusb_get_active_config_descriptor(dev, &config) != 0) return false;
    bool found = false;
    if (config->bNumInterfaces >= 1 && config->interface[0].num_altsetting >= 1) {
        const libusb_interface_descriptor &alt = config->interface[0].altsetting[0];
        *in = *out = 0;
        for (int i = 0; i < alt.bNumEndpoints; ++i) {
            const libusb_endpoint_descriptor &ep = alt.endpoint[i];
            if ((ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) != LIBUSB_TRANSFER_TYPE_BULK) continue;
            if (ep.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
                *in = ep.bEndpointAddress;
                *packet = ep.wMaxPacketSize;
            } else {
                *out = ep.bEndpointAddress;
            }
        }
        found = *in && *out && *packet > 2;
    }
    libusb_free_config_descriptor(config);
    return found;
}

class Ftdi1Bus final : public Bus {
public:
    // The kernel's own list where there is one; libusb's where there is no sysfs.
    Result scan(const std::vector<UsbId> &ids, std::vector<Bridge> *found) override {
        if (scanSysfs(kSysfsDevices, ids, found)) return Result::Ok;
        FtdiPtr ftdi(ftdi_new());
        if (!ftdi) return Result::Failed;
        DeviceList list(ftdi->usb_ctx);
        if (list.count < 0) return Result::Failed;
        for (ssize_t i = 0; i < list.count; ++i) {
            libusb_device *dev = list.devices[i];
            libusb_device_descriptor desc;
            if (libusb_get_device_descriptor(dev, &desc) != 0) continue;
            if (std::none_of(ids.begin(), ids.end(), [&](const UsbId &id) {
                    return id.vendor == desc.idVendor && id.product == desc.idProduct;
                }))
                continue;
            if (!singleInterface(dev)) continue;
            Bridge b;
            b.vendor = desc.idVendor;
            b.product = desc.idProduct;
            b.release = desc.bcdDevice;
            b.path = pathOf(dev);
            b.location = locationOf(dev);
            b.highSpeed = libusb_get_device_speed(dev) >= LIBUSB_SPEED_HIGH;
            readStrings(dev, desc, &b);
            found->push_back(b);
        }
        return Result::Ok;
    }

    Result open(const Bridge &bridge, std::unique_ptr<Link> *link) override {
        FtdiPtr ftdi(ftdi_new());
        if (!ftdi) return Result::Failed;
        DeviceList list(ftdi->usb_ctx);
        libusb_device *dev = nullptr;
        for (ssize_t i = 0; i < list.count && !dev; ++i)
            if (pathOf(list.devices[i]) == bridge.path) dev = list.devices[i];
        if (!dev) return Result::Gone;
        uint8_t in = 0, out = 0;
        size_t packet = 0;
        if (!endpoints(dev, &in, &out, &packet)) return Result::Failed;
        // Only this bridge's interface is taken from ftdi_sio; it is not handed back on close.
        ftdi->module_detach_mode = AUTO_DETACH_SIO_MODULE;
        if (ftdi_usb_open_dev(ftdi.get(), dev) < 0) return Result::Busy;
        *link = std::make_unique<Ftdi1Link>(std::move(ftdi), in, out, packet);
        return Result::Ok;
    }
};

} // namespace

std::unique_ptr<Bus> makeBus() { return std::make_unique<Ftdi1Bus>(); }

} // namespace qolven_ftdi1
