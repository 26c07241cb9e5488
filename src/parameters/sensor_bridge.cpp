#include "board/multi_register.h"
#include "parameters/parameter_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

// Hand-written: the shunt value spreads over several registers, their number
// and kind per board class.
namespace {
// High byte first; board type 0 has none.
const Location kShuntOnChannels[] = {channelByte(112), channelByte(111), channelByte(110)};
const Location kShuntOnEeprom[] = {eepromLow(112), eepromWord(110)};
constexpr size_t kMaxShuntLocations = 3;
// Board type 5 keeps a shunt value that may be read but not written.
constexpr uint32_t kShuntRead = kCalibrationReadable;
constexpr uint32_t kShuntWritten = kParameters;

struct Shunt {
    const Location *at;
    size_t count;
};
Shunt shuntLocations(int boardType) {
    if (multiChannel(boardType)) return {kShuntOnChannels, 3};
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
    if (!inRange(*this, value, table::shuntValue.range)) return kError;
    valueHighByte = (unsigned(value) >> 16) & 0xFF;
    valueMiddleByte = (unsigned(value) >> 8) & 0xFF;
    valueLowByte = unsigned(value) & 0xFF;
    if (!identify(*this, handle)) return kError;
    if (!serves(boardType, kShuntWritten)) return fail(*this, ErrorText::InvalidTypeOfBoard);
    if (ownLayout(boardType)) return kOk;
    Shunt shunt = shuntLocations(boardType);
    WriteSequence writes(*this, handle);
    writeLocations(writes, channel, shunt.at, shunt.count, (unsigned long)value);
    return writes.result();
}

std::string QOLVEN_USB_DLL::Get_Shunt_Value(void *handle, unsigned char channel) {
    if (offline(*this)) return offlineEntry(*this, table::shuntValue.offline);
    clearError(*this);
    if (!identify(*this, handle)) return kError;
    if (!serves(boardType, kShuntRead)) return fail(*this, ErrorText::InvalidTypeOfBoard);
    if (ownLayout(boardType)) return kOk;
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
