#include "parameters/parameter_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

// The other fields of the system byte are read back from the channel written.
std::string QOLVEN_USB_DLL::Set_Active_Page_Number(void *h, int v, unsigned char ch) {
    return setPackedField(*this, h, v, ch, table::systemByte, table::activePage,
                          {&table::crossTalk, &table::activeChannels, &table::typeOfCalibration});
}
std::string QOLVEN_USB_DLL::Set_Number_of_Active_Channels(void *h, int v, unsigned char ch) {
    return setPackedField(*this, h, v, ch, table::systemByte, table::activeChannels,
                          {&table::crossTalk, &table::typeOfCalibration, &table::activePage});
}
std::string QOLVEN_USB_DLL::Get_Active_Page_Number(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::activePage); }
std::string QOLVEN_USB_DLL::Get_Number_of_Active_Channels(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::activeChannels); }

// A number outside 0..255 names no register; the call fails without a text.
std::string QOLVEN_USB_DLL::Get_Internal_Register(void *handle, int reg) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (reg < 0 || reg > 255) return kError;
    if (!exchange(*this, handle, request(Command::InternalRegister, {(unsigned char)reg}))) return kError;
    return Calculate_PXV_ADC_Value(packetData[0], packetData[1], packetData[2]);
}

} // namespace _QOLVEN_USB_DLL
