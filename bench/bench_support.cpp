#include "bench_support.h"

#include <cstring>

// The bridge functions the replay calls, declared as the library declares
// them: C linkage, 32-bit status and counts.
extern "C" {
uint32_t FT_GetStatus(void *handle, uint32_t *rxBytes, uint32_t *txBytes, uint32_t *eventStatus);
uint32_t FT_Read(void *handle, void *buffer, uint32_t count, uint32_t *returned);
uint32_t FT_Write(void *handle, void *buffer, uint32_t count, uint32_t *written);
uint32_t FT_Purge(void *handle, uint32_t mask);
}

namespace qbench {

Board::Board(int boardType, unsigned answerDelayUs, const std::string &serial)
    : serial_(serial), dev_(std::make_unique<QOLVEN_USB_DLL>()) {
    qolven_sim::BoardConfig config;
    config.serial = serial;
    config.boardType = boardType;
    config.answerDelayUs = answerDelayUs;
    config.resetDelayMs = 0;
    config.completionDelayMs = 0;
    qolven_sim::attach(config);
    std::string name = serial;
    dev_->Open_Device_Connection(&name[0]);
    handle_ = dev_->DeviceHandle;
    qolven_sim::clear_calls();
    qolven_sim::clear_writes(serial_);
}

Board::~Board() {
    if (handle_) dev_->Close_Device_Connection(handle_);
    qolven_sim::detach(serial_);
}

void Board::setRateCode(int code) {
    if (qolven_sim::config(serial_).boardType == 9) {
        for (int channel = 0; channel < 4; ++channel)
            qolven_sim::set_channel_register(serial_, channel, 100, uint8_t(code));
        return;
    }
    uint16_t old = qolven_sim::eeprom(serial_, 100);
    qolven_sim::set_eeprom(serial_, 100, uint16_t((old & 0xFF00) | (code & 0x0F)));
}

unsigned char nextPacketNumber(const QOLVEN_USB_DLL &dev) {
    return dev.requestNumber <= 253 ? dev.requestNumber + 1 : 1;
}

uint32_t sampleCount(int i) { return (0x7F0000u + uint32_t(i) * 0x1357u) & 0xFFFFFFu; }

Bytes fastPacket(unsigned char number, int samples, int countBytes, int channels, int firstChannel) {
    const int width = countBytes + (channels > 0);
    Bytes p{number, uint8_t(4 + samples * width), uint8_t(channels > 0 ? 0x53 : 0x43)};
    for (int i = 0; i < samples; ++i) {
        const uint32_t c = sampleCount(i);
        if (channels > 0) p.push_back(uint8_t((firstChannel + i) % channels));
        p.push_back(uint8_t(c >> 16));
        p.push_back(uint8_t(c >> 8));
        if (countBytes == 3) p.push_back(uint8_t(c));
    }
    p.push_back(0xAA);
    return p;
}

BridgeScript BridgeScript::record(const std::string &serial) {
    BridgeScript s;
    s.writes_ = qolven_sim::writes(serial);
    size_t written = 0;
    for (const qolven_sim::CallRecord &c : qolven_sim::calls()) {
        if (c.serial != serial) continue;
        const uint32_t arg = c.args.empty() ? 0 : uint32_t(c.args[0]);
        if (c.function == "FT_GetStatus") s.steps_.insert(s.steps_.end(), c.repeat, {Step::GetStatus, 0, 0});
        else if (c.function == "FT_Write") s.steps_.push_back({Step::Write, arg, written++});
        else if (c.function == "FT_Read") s.steps_.push_back({Step::Read, arg, 0});
        else if (c.function == "FT_Purge") s.steps_.push_back({Step::Purge, arg, 0});
    }
    if (written != s.writes_.size()) s.steps_.clear();  // logs out of step: nothing to replay
    return s;
}

size_t BridgeScript::exchanges() const {
    size_t n = 0;
    for (const Step &s : steps_) n += s.kind == Step::Write;
    return n;
}

bool BridgeScript::replay(void *handle) const {
    unsigned char buffer[1024];
    uint32_t rx = 0, tx = 0, events = 0, done = 0;
    bool ok = !steps_.empty();
    for (const Step &s : steps_) {
        switch (s.kind) {
        case Step::GetStatus:
            ok &= FT_GetStatus(handle, &rx, &tx, &events) == 0;
            break;
        case Step::Write: {
            Bytes &bytes = const_cast<Bytes &>(writes_[s.write]);
            ok &= FT_Write(handle, bytes.data(), uint32_t(bytes.size()), &done) == 0;
            break;
        }
        case Step::Read:
            ok &= FT_Read(handle, buffer, s.arg > sizeof buffer ? sizeof buffer : s.arg, &done) == 0;
            ok &= done == s.arg;
            break;
        case Step::Purge:
            ok &= FT_Purge(handle, s.arg) == 0;
            break;
        }
    }
    return ok;
}

} // namespace qbench
