#include "board/multi_register.h"
#include "parameters/parameter_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
// Hand-written: a value spans several registers, each holding two
// consecutive bytes of it, the earlier one in its low byte; the bytes are
// kept in that order in networkSettings (ports low byte first).
enum Register : unsigned char {
    DestinationMac = 128, DestinationIp = 134, DestinationPort = 138,
    SourceMac = 140, SourceIp = 146, SourcePort = 150,
};

bool networkBoard(QOLVEN_USB_DLL &d, void *handle) {
    if (!identify(d, handle)) return false;
    if (serves(d.boardType, kNetwork)) return true;
    setError(d, ErrorText::InvalidTypeOfBoard);
    return false;
}

// Every register is written even after a failed one; the result names the first failure.
std::string writeValue(QOLVEN_USB_DLL &d, void *handle, Register first, std::initializer_list<unsigned char> bytes) {
    if (offline(d)) return kOk;
    clearError(d);
    if (!networkBoard(d, handle)) return kError;
    WriteSequence writes(d, handle);
    const unsigned char *b = bytes.begin();
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) writes.eeprom((unsigned char)(first + i), b[i + 1], b[i]);
    return writes.result();
}

std::string writePort(QOLVEN_USB_DLL &d, void *handle, Register reg, int port) {
    if (offline(d)) return kOk;
    clearError(d);
    if (!inRange(d, port, table::kPortRange)) return kError;
    return writeValue(d, handle, reg, {(unsigned char)(port & 0xFF), (unsigned char)(port >> 8)});
}

// Bytes of the registers read before a failed one are kept.
template <size_t N>
std::string readValue(QOLVEN_USB_DLL &d, void *handle, Register first, unsigned char (&into)[N]) {
    static_assert(N % 2 == 0, "two bytes per register");
    if (offline(d)) return kOk;
    clearError(d);
    if (!networkBoard(d, handle)) return kError;
    Location at[N / 2];
    for (size_t i = 0; i < N / 2; ++i) at[i] = eepromWord((unsigned char)(first + 2 * i));
    unsigned words[N / 2] = {};
    size_t read = readLocations(d, handle, 0, at, N / 2, words);
    for (size_t i = 0; i < read; ++i) {
        into[2 * i] = words[i] & 0xFF;
        into[2 * i + 1] = words[i] >> 8;
    }
    return read == N / 2 ? kOk : kError;
}
} // namespace

std::string QOLVEN_USB_DLL::Set_Destination_MAC_Address(void *handle, unsigned char m1, unsigned char m2,
                                                        unsigned char m3, unsigned char m4, unsigned char m5,
                                                        unsigned char m6, unsigned char) {
    return writeValue(*this, handle, DestinationMac, {m1, m2, m3, m4, m5, m6});
}
std::string QOLVEN_USB_DLL::Set_Destination_IP_Address(void *handle, unsigned char o1, unsigned char o2,
                                                       unsigned char o3, unsigned char o4, unsigned char) {
    return writeValue(*this, handle, DestinationIp, {o1, o2, o3, o4});
}
std::string QOLVEN_USB_DLL::Set_Source_IP_Address(void *handle, unsigned char o1, unsigned char o2, unsigned char o3,
                                                  unsigned char o4, unsigned char) {
    return writeValue(*this, handle, SourceIp, {o1, o2, o3, o4});
}
std::string QOLVEN_USB_DLL::Set_Destination_Port_Number(void *h, int port, unsigned char) { return writePort(*this, h, DestinationPort, port); }
std::string QOLVEN_USB_DLL::Set_Source_Port_Number(void *h, int port, unsigned char) { return writePort(*this, h, SourcePort, port); }

std::string QOLVEN_USB_DLL::Get_Destination_MAC_Address(void *h, unsigned char) { return readValue(*this, h, DestinationMac, networkSettings.destinationMacAddress); }
std::string QOLVEN_USB_DLL::Get_Destination_IP_Address(void *h, unsigned char) { return readValue(*this, h, DestinationIp, networkSettings.destinationIpAddress); }
std::string QOLVEN_USB_DLL::Get_Destination_Port_Number(void *h, unsigned char) { return readValue(*this, h, DestinationPort, networkSettings.destinationPortNumber); }
std::string QOLVEN_USB_DLL::Get_Source_MAC_Address(void *h, unsigned char) { return readValue(*this, h, SourceMac, networkSettings.sourceMacAddress); }
std::string QOLVEN_USB_DLL::Get_Source_IP_Address(void *h, unsigned char) { return readValue(*this, h, SourceIp, networkSettings.sourceIpAddress); }
std::string QOLVEN_USB_DLL::Get_Source_Port_Number(void *h, unsigned char) { return readValue(*this, h, SourcePort, networkSettings.sourcePortNumber); }

} // namespace _QOLVEN_USB_DLL
