#include "parameters/parameter_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

// Hand-written: every read decodes the one configuration byte into the cached
// pgaSetting and samplingRateCode, which the fast-data request also uses.
namespace {
// clang-format off
// The configuration byte:   type 0           type 9            other boards
const Location kOwnLayout = eepromLow(122), kChannels = channelByte(100), kEeprom = eepromLow(100);
// clang-format on
constexpr unsigned char kLastRateCode = 15;

void decode(QOLVEN_USB_DLL &d, unsigned byte) {
    d.pgaSetting = (byte & 0x70) >> 4;
    d.samplingRateCode = byte & 0x0F;
}

// The configuration byte at `at` decoded into the cached fields.
std::string readConfiguration(QOLVEN_USB_DLL &d, void *handle, const Location &at, unsigned char channel) {
    unsigned byte = 0;
    if (!readLocation(d, handle, channel, at, byte)) return kError;
    decode(d, byte);
    return kFinished;
}

std::string readConfiguration(QOLVEN_USB_DLL &d, void *handle, unsigned char channel) {
    return readConfiguration(d, handle, classLocation(d.boardType, kOwnLayout, kChannels, kEeprom), channel);
}

// The command after identification; the acknowledgement decides.
std::string sendConfiguration(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, unsigned char byte) {
    const Request r = request(Command::AdcConfiguration, multiChannel(d.boardType), channel, {byte});
    return exchange(d, handle, r) ? kOk : kError;
}

// Get_ADC_PGA_Setting and Get_ADC_Sampling_Rate: a fresh identification and
// a read through the handle given.
std::string readField(QOLVEN_USB_DLL &d, void *handle, unsigned char channel, bool pga) {
    if (offline(d)) return offlineEntry(d, pga ? Offline::PgaSetting : Offline::SamplingRate);
    clearError(d);
    if (!identify(d, handle)) return kError;
    // Type 0 keeps no gain.
    if (ownLayout(d.boardType) && pga) return kOk;
    if (!serves(d.boardType, kParameters)) return fail(d, ErrorText::InvalidTypeOfBoard);
    if (readConfiguration(d, handle, channel) != kFinished) return kError;
    return decimal(pga ? d.pgaSetting : d.samplingRateCode);
}
} // namespace

// Reads through DeviceHandle: the one member without a handle argument.  The
// board type is the one already known.
std::string QOLVEN_USB_DLL::Get_ADC_Configuration(unsigned char reg, unsigned char channel) {
    clearError(*this);
    if (offline(*this)) {
        pgaSetting = (unsigned char)offlineValue(*this, Offline::PgaSetting);
        samplingRateCode = (unsigned char)offlineValue(*this, Offline::SamplingRate);
        return kFinished;
    }
    return readConfiguration(*this, DeviceHandle, multiChannel(boardType) ? channelByte(reg) : eepromLow(reg), channel);
}

// The read-back and the command both use the handle given, like every other call.
std::string QOLVEN_USB_DLL::Set_ADC_Configuration(void *handle, unsigned char rate, unsigned char channel) {
    clearError(*this);
    if (offline(*this)) {
        offlineValue(*this, Offline::SamplingRate) = 0;
        return kOk;
    }
    if (rate > kLastRateCode) return fail(*this, ErrorText::InvalidSamplingRate);
    if (!identify(*this, handle)) return kError;
    const unsigned char lastRate = boardTypeRow(boardType).lastRateCode;
    if (rate > lastRate) rate = lastRate;
    if (!serves(boardType, kParameters)) return fail(*this, ErrorText::InvalidTypeOfBoard);
    // Keep the gain the board has.
    if (readConfiguration(*this, handle, channel) != kFinished) return kError;
    return sendConfiguration(*this, handle, channel, (unsigned char)(rate + 16 * pgaSetting));
}

std::string QOLVEN_USB_DLL::Set_ADC_Configuration2(void *handle, unsigned char configuration, unsigned char channel) {
    clearError(*this);
    if (offline(*this)) return kOk;
    if (!identify(*this, handle)) return kError;
    if (!serves(boardType, kStoredSettings)) return fail(*this, ErrorText::InvalidTypeOfBoard);
    const unsigned char lastRate = boardTypeRow(boardType).lastRateCode;
    if (lastRate < kLastRateCode) {
        decode(*this, configuration);
        if (samplingRateCode > lastRate) samplingRateCode = lastRate;
        configuration = (unsigned char)(samplingRateCode + 16 * pgaSetting);
    }
    return sendConfiguration(*this, handle, channel, configuration);
}

std::string QOLVEN_USB_DLL::Get_ADC_PGA_Setting(void *h, unsigned char ch) { return readField(*this, h, ch, true); }
std::string QOLVEN_USB_DLL::Get_ADC_Sampling_Rate(void *h, unsigned char ch) { return readField(*this, h, ch, false); }

std::string QOLVEN_USB_DLL::Set_Average_Setting(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::averageSetting); }
std::string QOLVEN_USB_DLL::Get_Average_Setting(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::averageSetting); }

} // namespace _QOLVEN_USB_DLL
