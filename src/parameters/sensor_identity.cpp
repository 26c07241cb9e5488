#include "board/board_command.h"
#include "board/multi_register.h"
#include "parameters/register_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
// clang-format off
//                                          types               command data max       range text                      wait
const CommandSetting kIdentificationNumber {kAllButUnsupported, 0x20,   3,   16777215, "Invalid Serial Number",        300};
const CommandSetting kSensorConfiguration  {kAllButUnsupported, 0x26,   1,   255,      "Invalid Sensor Configuration", 300};

// The 24-bit identification number, most significant part first, per board class.
const Location kNumberOnType0[] = {eepromWord(124), eepromHigh(122)};
const Location kNumberOnType9[] = {channelByte(104), channelByte(103), channelByte(102)};
const Location kNumberOnEeprom[] = {eepromLow(104), eepromWord(102)};
// clang-format on

template <size_t N>
std::string readNumber(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, const Location (&at)[N]) {
    unsigned values[N] = {};
    if (readLocations(d, handle, channel, at, N, values) != N) return kError;
    return decimal((long long)joinLocations(at, N, values));
}
} // namespace

std::string QOLVEN_USB_DLL::Set_Sensor_Identification_Number(void *h, int v, unsigned char ch) { return setByCommand(*this, h, v, ch, kIdentificationNumber); }
std::string QOLVEN_USB_DLL::Set_Sensor_Configuration(void *h, int v, unsigned char ch) { return setByCommand(*this, h, v, ch, kSensorConfiguration); }

std::string QOLVEN_USB_DLL::Get_Sensor_Identification_Number(void *handle, unsigned char channel) {
    if (offline(*this)) return decimal(offlineSerialNumber);
    clearError(*this);
    if (!identify(*this, handle)) return kError;
    if (!accepts(kParameterBoards, boardType)) return fail(*this, kInvalidTypeOfBoard);
    if (boardType == 0) return readNumber(*this, handle, channel, kNumberOnType0);
    if (boardType == 9) return readNumber(*this, handle, channel, kNumberOnType9);
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
