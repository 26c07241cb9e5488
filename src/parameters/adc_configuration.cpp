#include "parameters/register_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
constexpr unsigned char kConfigurationCommand = 0x29;  // channel form 0x39
constexpr unsigned char kAverageCommand = 0x2A;        // channel form 0x3A
constexpr int kConfigurationWaitMs = 2000;
constexpr int kAverageWaitMs = 300;
constexpr unsigned char kRegisterOnType0 = 122;
constexpr unsigned char kRegister = 100;
constexpr int kPgaOfflineEntry = 7;
constexpr int kRateOfflineEntry = 8;
// Board type 12 has no sampling-rate code above 11.
constexpr int kSlowBoard = 12;
constexpr unsigned char kSlowBoardLastRate = 11;

void decode(QOLVEN_USB_DLL &d, unsigned byte) {
    d.pgaSetting = (byte & 0x70) >> 4;
    d.samplingRateCode = byte & 0x0F;
}

// The configuration byte at `reg` decoded into the cached fields; the board
// type is the one already known.
std::string readConfiguration(QOLVEN_USB_DLL &d, void *handle, unsigned char reg, unsigned char channel) {
    unsigned byte = 0;
    if (!readLocation(d, handle, channel, d.boardType == 9 ? channelByte(reg) : eepromLow(reg), byte)) return kError;
    decode(d, byte);
    return kFinished;
}

unsigned char configurationRegister(int boardType) { return boardType == 0 ? kRegisterOnType0 : kRegister; }

// The command after identification; the acknowledgement decides.
std::string sendSetting(QOLVEN_USB_DLL &d, void *handle, unsigned char command, unsigned char channel,
                        unsigned char value, int waitMs) {
    return exchange(d, handle, boardRequest(d.boardType, command, channel, {value}, 4, kAck, waitMs)) ? kOk : kError;
}

// Get_ADC_PGA_Setting and Get_ADC_Sampling_Rate: a fresh identification and
// a read through the handle given.
std::string readField(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, bool pga) {
    if (offline(d)) return offlineEntry(d, pga ? kPgaOfflineEntry : kRateOfflineEntry);
    clearError(d);
    if (!identify(d, handle)) return kError;
    if (d.boardType == 0 && pga) return kOk;
    if (!accepts(kParameterBoards, d.boardType)) return fail(d, kInvalidTypeOfBoard);
    if (readConfiguration(d, handle, configurationRegister(d.boardType), channel) != kFinished) return kError;
    return decimal(pga ? d.pgaSetting : d.samplingRateCode);
}
} // namespace

// Reads through DeviceHandle: the one member without a handle argument.
std::string QOLVEN_USB_DLL::Get_ADC_Configuration(unsigned char reg, unsigned char channel) {
    clearError(*this);
    if (offline(*this)) {
        pgaSetting = (unsigned char)offlineValues[kPgaOfflineEntry - 1];
        samplingRateCode = (unsigned char)offlineValues[kRateOfflineEntry - 1];
        return kFinished;
    }
    return readConfiguration(*this, DeviceHandle, reg, channel);
}

// The read-back and the command both use the handle given, like every other call.
std::string QOLVEN_USB_DLL::Set_ADC_Configuration(void *handle, unsigned char rate, unsigned char channel) {
    clearError(*this);
    if (offline(*this)) {
        offlineValues[kRateOfflineEntry - 1] = 0;
        return kOk;
    }
    if (rate > 15) return fail(*this, "Invalid Sampling Rate");
    if (!identify(*this, handle)) return kError;
    if (boardType == kSlowBoard && rate > kSlowBoardLastRate) rate = kSlowBoardLastRate;
    if (!accepts(kParameterBoards, boardType)) return fail(*this, kInvalidTypeOfBoard);
    // Keep the gain the board has.
    if (readConfiguration(*this, handle, configurationRegister(boardType), channel) != kFinished) return kError;
    unsigned char byte = (unsigned char)(rate + 16 * pgaSetting);
    return sendSetting(*this, handle, kConfigurationCommand, channel, byte, kConfigurationWaitMs);
}

std::string QOLVEN_USB_DLL::Set_ADC_Configuration2(void *handle, unsigned char configuration, unsigned char channel) {
    clearError(*this);
    if (offline(*this)) return kOk;
    if (!identify(*this, handle)) return kError;
    if (!accepts(kAllButUnsupported, boardType)) return fail(*this, kInvalidTypeOfBoard);
    if (boardType == kSlowBoard) {
        decode(*this, configuration);
        if (samplingRateCode > kSlowBoardLastRate) samplingRateCode = kSlowBoardLastRate;
        configuration = (unsigned char)(samplingRateCode + 16 * pgaSetting);
    }
    return sendSetting(*this, handle, kConfigurationCommand, channel, configuration, kConfigurationWaitMs);
}

std::string QOLVEN_USB_DLL::Get_ADC_PGA_Setting(void *h, unsigned char ch) { return readField(*this, h, ch, true); }
std::string QOLVEN_USB_DLL::Get_ADC_Sampling_Rate(void *h, unsigned char ch) { return readField(*this, h, ch, false); }

// Board type 0 has no average setting to change.
std::string QOLVEN_USB_DLL::Set_Average_Setting(void *handle, int value, unsigned char channel) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!inRange(*this, value, table::averageSetting.maxValue, table::averageSetting.rangeText)) return kError;
    if (!identify(*this, handle)) return kError;
    if (boardType == 0) return kOk;
    if (!accepts(kAllButUnsupported, boardType)) return fail(*this, kInvalidTypeOfBoard);
    return sendSetting(*this, handle, kAverageCommand, channel, (unsigned char)value, kAverageWaitMs);
}

std::string QOLVEN_USB_DLL::Get_Average_Setting(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::averageSetting); }

} // namespace _QOLVEN_USB_DLL
