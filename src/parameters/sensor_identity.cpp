#include "board/multi_register.h"
#include "parameters/parameter_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

// Hand-written: the identification number is read from several registers,
// their number and kind per board class (and offline it is the serial number).
namespace {
// clang-format off
// Most significant part first.
const Location kNumberOnOwnLayout[] = {eepromWord(124), eepromHigh(122)};
const Location kNumberOnChannels[] = {channelByte(104), channelByte(103), channelByte(102)};
const Location kNumberOnEeprom[] = {eepromLow(104), eepromWord(102)};
// clang-format on

template <size_t N>
std::string readNumber(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, const Location (&at)[N]) {
    unsigned values[N] = {};
    if (readLocations(d, handle, channel, at, N, values) != N) return kError;
    return decimal((long long)joinLocations(at, N, values));
}
} // namespace

std::string QOLVEN_USB_DLL::Set_Sensor_Identification_Number(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::sensorIdentificationNumber); }
std::string QOLVEN_USB_DLL::Set_Sensor_Configuration(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::sensorConfiguration); }

std::string QOLVEN_USB_DLL::Get_Sensor_Identification_Number(void *handle, unsigned char channel) {
    if (offline(*this)) return decimal(offlineSerialNumber);
    clearError(*this);
    if (!identify(*this, handle)) return kError;
    if (!serves(boardType, kParameters)) return fail(*this, ErrorText::InvalidTypeOfBoard);
    if (ownLayout(boardType)) return readNumber(*this, handle, channel, kNumberOnOwnLayout);
    if (multiChannel(boardType)) return readNumber(*this, handle, channel, kNumberOnChannels);
    return readNumber(*this, handle, channel, kNumberOnEeprom);
}

// The other fields of the system byte are read back from the channel written.
std::string QOLVEN_USB_DLL::Set_CrossTalk(void *h, int v, unsigned char ch) {
    return setPackedField(*this, h, v, ch, table::systemByte, table::crossTalk,
                          {&table::activeChannels, &table::typeOfCalibration, &table::activePage});
}
std::string QOLVEN_USB_DLL::Set_Type_of_Calibration(void *h, int v, unsigned char ch) {
    return setPackedField(*this, h, v, ch, table::systemByte, table::typeOfCalibration,
                          {&table::crossTalk, &table::activeChannels, &table::activePage});
}
std::string QOLVEN_USB_DLL::Get_CrossTalk(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::crossTalk); }
std::string QOLVEN_USB_DLL::Get_Type_of_Calibration(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::typeOfCalibration); }

} // namespace _QOLVEN_USB_DLL
