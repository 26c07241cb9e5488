#include <algorithm>
#include <cstring>

#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
namespace detail {

Request plainRequest(unsigned char command, std::initializer_list<unsigned char> data, unsigned char answerSize,
                     unsigned char answerCommand, int timeoutMs) {
    Request r{command, 0, 0, {}, 0, answerSize, answerCommand, timeoutMs};
    for (unsigned char byte : data)
        if (r.dataCount < sizeof r.data) r.data[r.dataCount++] = byte;
    return r;
}

Request channelRequest(unsigned char command, unsigned char channel, std::initializer_list<unsigned char> data,
                       unsigned char answerSize, unsigned char answerCommand, int timeoutMs) {
    Request r = plainRequest(command, data, answerSize, answerCommand, timeoutMs);
    r.layout = 1;
    r.channel = channel;
    return r;
}

Request boardRequest(int boardType, unsigned char plainCommand, unsigned char channel,
                     std::initializer_list<unsigned char> data, unsigned char answerSize,
                     unsigned char answerCommand, int timeoutMs) {
    if (boardType == 9) return channelRequest(plainCommand + 0x10, channel, data, answerSize, answerCommand, timeoutMs);
    return plainRequest(plainCommand, data, answerSize, answerCommand, timeoutMs);
}

bool sendRequest(QOLVEN_USB_DLL &d, void *handle, const Request &r) {
    d.adapter.ftHandle = handle;
    d.NextPacketNumber();
    d.requestCommand = r.command;
    d.requestChannel = r.channel;
    d.requestSize = (r.layout == 1 ? 5 : 4) + r.dataCount;
    std::memcpy(d.packetData, r.data, r.dataCount);
    d.endOfPacket = 0xAA;
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

bool secondAnswer(QOLVEN_USB_DLL &d, unsigned char number, unsigned char command, int timeoutMs) {
    const unsigned char *b = d.adapter.readBuffer;
    size_t first = b[0] == 0xFF ? size_t(b[2]) + 1 : b[1];
    size_t received = std::min<size_t>(d.adapter.rxBytes, sizeof d.adapter.readBuffer);
    size_t surplus = received > first ? received - first : 0;
    if (surplus) {
        d.LoadAdditionalPacket();
    } else {
        size_t clear = std::min<size_t>(std::max(d.offlineValues[24], 0), sizeof d.additionalPacket);
        std::memset(d.additionalPacket, 0, clear);
    }
    d.expectedNumber = number;
    d.expectedSize = 4;
    d.expectedCommand = command;
    if (surplus >= 2 && surplus >= d.additionalPacket[1]) {
        d.ReadAdditionalPacket();
    } else if (surplus) {
        // Only the start of the second answer came along: wait for the rest.
        std::memcpy(d.adapter.readBuffer, d.additionalPacket, surplus);
        readAnswer(d, timeoutMs, surplus);
    } else {
        d.ReadPacket(timeoutMs);
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
    setError(d, kInvalidTypeOfBoard);
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
