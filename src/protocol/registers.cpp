#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

// Raw register access.  Arguments are bytes, so every value is in range.

namespace {
// Offline "0"; otherwise one exchange, "0" when it succeeded.
std::string acknowledged(QOLVEN_USB_DLL &d, void *handle, const Request &r) {
    if (offline(d)) return kOk;
    clearError(d);
    return exchange(d, handle, r) ? kOk : kError;
}
} // namespace

std::string QOLVEN_USB_DLL::Read_EEPROM_Register(void *handle, unsigned char address) {
    clearError(*this);
    if (offlineMode == 1) return kOk;
    if (!exchange(*this, handle, request(Command::ReadEeprom, {address}))) return kError;
    eepromHighByte = packetData[1];
    eepromLowByte = packetData[2];
    return std::string{char(eepromHighByte), char(eepromLowByte)};
}

std::string QOLVEN_USB_DLL::Write_EEPROM_Register(void *handle, unsigned char address, unsigned char high,
                                                  unsigned char low) {
    return acknowledged(*this, handle, request(Command::WriteEeprom, {address, high, low}));
}

std::string QOLVEN_USB_DLL::Read_Channel_Register(void *handle, unsigned char channel, unsigned char address) {
    clearError(*this);
    if (offlineMode == 1) return kOk;
    if (!exchange(*this, handle, request(Command::ReadChannel, {channel, address}))) return kError;
    return std::string(1, char(packetData[2]));
}

std::string QOLVEN_USB_DLL::Write_Channel_Register(void *handle, unsigned char channel, unsigned char address,
                                                   unsigned char value) {
    return acknowledged(*this, handle, request(Command::WriteChannel, {channel, address, value}));
}

std::string QOLVEN_USB_DLL::Read_Memory_Register(void *handle, unsigned char address) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!exchange(*this, handle, request(Command::ReadMemory, {address}))) return kError;
    return decimal(packetData[1]);
}

std::string QOLVEN_USB_DLL::Write_Memory_Register(void *handle, unsigned char address, unsigned char value) {
    return acknowledged(*this, handle, request(Command::WriteMemory, {address, value}));
}

std::string QOLVEN_USB_DLL::Read_TEDS_Register(void *handle, unsigned char highAddress, unsigned char lowAddress) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!exchange(*this, handle, request(Command::ReadTeds, {highAddress, lowAddress}))) return kError;
    return decimal(packetData[2]);
}

std::string QOLVEN_USB_DLL::Write_TEDS_Register(void *handle, unsigned char highAddress, unsigned char lowAddress,
                                                unsigned char value) {
    return acknowledged(*this, handle, request(Command::WriteTeds, {highAddress, lowAddress, value}));
}

// The page stays in readBuffer for the caller.
std::string QOLVEN_USB_DLL::Read_Page_Register(void *handle, unsigned char page) {
    return acknowledged(*this, handle, request(Command::ReadPage, {page}));
}

} // namespace _QOLVEN_USB_DLL
