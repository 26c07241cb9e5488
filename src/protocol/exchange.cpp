#include <algorithm>
#include <cstring>

#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

bool sendRequest(QOLVEN_USB_DLL &d, void *handle, const Request &r) {
    d.adapter.ftHandle = handle;
    d.NextPacketNumber();
    d.requestCommand = r.command;
    d.requestChannel = r.channel;
    d.requestSize = (r.layout == 1 ? 5 : 4) + r.dataCount;
    std::memcpy(d.packetData, r.data, r.dataCount);
    d.endOfPacket = kEndOfPacket;
    d.expectedNumber = d.requestNumber;
    d.expectedSize = r.answerSize;
    d.expectedCommand = r.answerCommand;
    d.WritePacket(r.layout);
    return d.writeStatus == kFinished;
}

bool exchange(QOLVEN_USB_DLL &d, void *handle, const Request &r) {
    if (!sendRequest(d, handle, r)) return false;
    d.ReadPacket(r.timeoutMs);
    return exchanged(d);
}

bool secondAnswer(QOLVEN_USB_DLL &d, unsigned char number, Command c) {
    const unsigned char *b = d.adapter.readBuffer;
    size_t first = b[0] == 0xFF ? size_t(b[2]) + 1 : b[1];
    size_t received = std::min<size_t>(d.adapter.rxBytes, sizeof d.adapter.readBuffer);
    size_t surplus = received > first ? received - first : 0;
    if (surplus) {
        d.LoadAdditionalPacket();
    } else {
        size_t clear = std::min<size_t>(std::max(offlineValue(d, Offline::SecondAnswerClear), 0),
                                        sizeof d.additionalPacket);
        std::memset(d.additionalPacket, 0, clear);
    }
    d.expectedNumber = number;
    d.expectedSize = kCompletionSize;
    d.expectedCommand = kCompletionCode;
    if (surplus >= 2 && surplus >= d.additionalPacket[1]) {
        d.ReadAdditionalPacket();
    } else if (surplus) {
        // Only the start of the second answer came along: wait for the rest.
        std::memcpy(d.adapter.readBuffer, d.additionalPacket, surplus);
        readAnswer(d, command(c).secondAnswerMs, surplus);
    } else {
        d.ReadPacket(command(c).secondAnswerMs);
    }
    return d.readStatus == kFinished;
}

bool identify(QOLVEN_USB_DLL &d, void *handle) {
    d.Get_Version_of_Board(handle);
    return exchanged(d);
}

bool readLocation(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, const Location &at, unsigned &value) {
    switch (at.store) {
    case Store::Eeprom:
        d.registerAddress = at.reg;
        d.Read_EEPROM_Register(handle, d.registerAddress);
        if (!exchanged(d)) return false;
        value = at.bytes == Bytes::Low ? d.packetData[2]
              : at.bytes == Bytes::High ? d.packetData[1]
              : unsigned(d.packetData[1]) * 256 + d.packetData[2];
        return true;
    case Store::Channel:
        d.registerAddress = at.reg;
        if (at.bytes == Bytes::Word) {
            d.Read_Channel_Register(handle, channel, at.reg + 1);
            if (!exchanged(d)) return false;
            unsigned high = d.packetData[2];
            d.Read_Channel_Register(handle, channel, at.reg);
            if (!exchanged(d)) return false;
            value = high * 256 + d.packetData[2];
            return true;
        }
        d.Read_Channel_Register(handle, channel, at.reg);
        if (!exchanged(d)) return false;
        value = d.packetData[2];
        return true;
    case Store::Memory:
        d.Read_Memory_Register(handle, at.reg);
        if (!exchanged(d)) return false;
        value = d.packetData[1];
        return true;
    case Store::Zero:
        value = 0;
        return true;
    case Store::Refused:
        break;
    }
    setError(d, ErrorText::InvalidTypeOfBoard);
    return false;
}

void WriteSequence::note() {
    if (exchanged(d_) || failed_) return;
    failed_ = true;
    std::memcpy(firstText_, d_.lastErrorText, sizeof firstText_);
    firstStatus_ = d_.lastStatus;
}

void WriteSequence::eeprom(unsigned char reg, unsigned char high, unsigned char low) {
    d_.Write_EEPROM_Register(handle_, reg, high, low);
    note();
}

void WriteSequence::channel(unsigned char channel, unsigned char reg, unsigned char value) {
    d_.Write_Channel_Register(handle_, channel, reg, value);
    note();
}

void WriteSequence::memory(unsigned char reg, unsigned char value) {
    d_.Write_Memory_Register(handle_, reg, value);
    note();
}

std::string WriteSequence::result() {
    if (!failed_) return kOk;
    std::memcpy(d_.lastErrorText, firstText_, sizeof firstText_);
    d_.lastStatus = firstStatus_;
    return kError;
}

} // namespace detail
} // namespace _QOLVEN_USB_DLL
