#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

// Raw register access.  Arguments are bytes, so every value is in range.

std::string QOLVEN_USB_DLL::Read_EEPROM_Register(void *handle, unsigned char address) {
    clearError(*this);
    if (offlineMode == 1) return kOk;
    if (!exchange(*this, handle, plainRequest(0x82, {address}, 7, 0x82, 50))) return kError;
    eepromHighByte = packetData[1];
    eepromLowByte = packetData[2];
    return std::string{char(eepromHighByte), char(eepromLowByte)};
}

std::string QOLVEN_USB_DLL::Write_EEPROM_Register(void *handle, unsigned char address, unsigned char high,
                                                  unsigned char low) {
    if (offline(*this)) return kOk;
    clearError(*this);
    return exchange(*this, handle, plainRequest(0x83, {address, high, low}, 4, kAck, 100)) ? kOk : kError;
}

std::string QOLVEN_USB_DLL::Read_Channel_Register(void *handle, unsigned char channel, unsigned char address) {
    clearError(*this);
    if (offlineMode == 1) return kOk;
    if (!exchange(*this, handle, plainRequest(0x86, {channel, address}, 7, 0x86, 50))) return kError;
    return std::string(1, char(packetData[2]));
}

std::string QOLVEN_USB_DLL::Write_Channel_Register(void *handle, unsigned char channel, unsigned char address,
                                                   unsigned char value) {
    if (offline(*this)) return kOk;
    clearError(*this);
    return exchange(*this, handle, plainRequest(0x87, {channel, address, value}, 4, kAck, 100)) ? kOk : kError;
}

std::string QOLVEN_USB_DLL::Read_Memory_Register(void *handle, unsigned char address) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!exchange(*this, handle, plainRequest(0x80, {address}, 6, 0x80, 50))) return kError;
    return decimal(packetData[1]);
}

std::string QOLVEN_USB_DLL::Write_Memory_Register(void *handle, unsigned char address, unsigned char value) {
    if (offline(*this)) return kOk;
    clearError(*this);
    return exchange(*this, handle, plainRequest(0x81, {address, value}, 4, kAck, 100)) ? kOk : kError;
}

std::string QOLVEN_USB_DLL::Read_TEDS_Register(void *handle, unsigned char highAddress, unsigned char lowAddress) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!exchange(*this, handle, plainRequest(0x84, {highAddress, lowAddress}, 7, 0x84, 50))) return kError;
    return decimal(packetData[2]);
}

std::string QOLVEN_USB_DLL::Write_TEDS_Register(void *handle, unsigned char highAddress, unsigned char lowAddress,
                                                unsigned char value) {
    if (offline(*this)) return kOk;
    clearError(*this);
    return exchange(*this, handle, plainRequest(0x85, {highAddress, lowAddress, value}, 4, kAck, 200)) ? kOk
                                                                                                      : kError;
}

std::string QOLVEN_USB_DLL::Read_Page_Register(void *handle, unsigned char page) {
    if (offline(*this)) return kOk;
    clearError(*this);
    return exchange(*this, handle, plainRequest(0x88, {page}, 133, 0x88, 50)) ? kOk : kError;
}

} // namespace _QOLVEN_USB_DLL
