#include "board/multi_register.h"
#include "parameters/register_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
// The shunt value, high byte first; board type 0 has none.
const Location kShuntOnType9[] = {channelByte(112), channelByte(111), channelByte(110)};
const Location kShuntOnEeprom[] = {eepromLow(112), eepromWord(110)};
constexpr size_t kMaxShuntLocations = 3;
constexpr long long kMaxShunt = 16777215;
constexpr int kShuntOfflineEntry = 11;
// Board type 5 keeps a shunt value that may be read but not written.
constexpr TypeSet kShuntReadBoards = kParameterBoards | typeSet({5});

struct Shunt {
    const Location *at;
    size_t count;
};
Shunt shuntLocations(int boardType) {
    if (boardType == 9) return {kShuntOnType9, 3};
    return {kShuntOnEeprom, 2};
}
} // namespace

// The two codes share the bridge byte; the other one is read back from the channel written.
std::string QOLVEN_USB_DLL::Set_Sensitivity(void *h, int v, unsigned char ch) {
    return setPackedField(*this, h, v, ch, table::bridgeByte, table::sensitivity, {&table::bridgeResistance});
}
std::string QOLVEN_USB_DLL::Set_Bridge_Resistance(void *h, int v, unsigned char ch) {
    return setPackedField(*this, h, v, ch, table::bridgeByte, table::bridgeResistance, {&table::sensitivity});
}
std::string QOLVEN_USB_DLL::Get_Sensitivity(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::sensitivity); }
std::string QOLVEN_USB_DLL::Get_Bridge_Resistance(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::bridgeResistance); }

std::string QOLVEN_USB_DLL::Set_Shunt_Value(void *handle, int value, unsigned char channel) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!inRange(*this, value, kMaxShunt, "Invalid Shunt Value")) return kError;
    valueHighByte = (unsigned(value) >> 16) & 0xFF;
    valueMiddleByte = (unsigned(value) >> 8) & 0xFF;
    valueLowByte = unsigned(value) & 0xFF;
    if (!identify(*this, handle)) return kError;
    if (!accepts(kParameterBoards, boardType)) return fail(*this, kInvalidTypeOfBoard);
    if (boardType == 0) return kOk;
    Shunt shunt = shuntLocations(boardType);
    WriteSequence writes(*this, handle);
    writeLocations(writes, channel, shunt.at, shunt.count, (unsigned long)value);
    return writes.result();
}

std::string QOLVEN_USB_DLL::Get_Shunt_Value(void *handle, unsigned char channel) {
    if (offline(*this)) return offlineEntry(*this, kShuntOfflineEntry);
    clearError(*this);
    if (!identify(*this, handle)) return kError;
    if (!accepts(kShuntReadBoards, boardType)) return fail(*this, kInvalidTypeOfBoard);
    if (boardType == 0) return kOk;
    Shunt shunt = shuntLocations(boardType);
    unsigned values[kMaxShuntLocations] = {};
    if (readLocations(*this, handle, channel, shunt.at, shunt.count, values) != shunt.count) return kError;
    return decimal((long long)joinLocations(shunt.at, shunt.count, values));
}

std::string QOLVEN_USB_DLL::Get_Shunt_Resistor(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::shuntResistor); }
std::string QOLVEN_USB_DLL::Get_Sensor_Sensitivity(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::sensorSensitivity); }
std::string QOLVEN_USB_DLL::Get_Zero_Potentiometer(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::zeroPotentiometer); }
std::string QOLVEN_USB_DLL::Get_Span_1_Potentiometer(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::span1Potentiometer); }
std::string QOLVEN_USB_DLL::Get_Span_2_Potentiometer(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::span2Potentiometer); }

} // namespace _QOLVEN_USB_DLL
