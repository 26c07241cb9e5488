#include "core/internal.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
std::string character(int code) { return std::string(1, char(code)); }

// The five identity values: packetData byte, or a nibble of the date byte;
// in the order of their offline entries.
enum class Identity { Type, Hardware, Firmware, Year, Month };

unsigned identityValue(const QOLVEN_USB_DLL &d, Identity what) {
    switch (what) {
    case Identity::Type: return d.packetData[0];
    case Identity::Hardware: return d.packetData[1];
    case Identity::Firmware: return d.packetData[2];
    case Identity::Year: return d.packetData[3] >> 4;
    case Identity::Month: return d.packetData[3] & 15;
    }
    return 0;
}

std::string getIdentity(QOLVEN_USB_DLL &d, void *handle, Identity what) {
    if (offline(d)) return offlineEntry(d, Offline(int(Offline::BoardType) + int(what)));
    clearError(d);
    d.Version_of_Board(handle);
    if (!exchanged(d)) {
        if (what == Identity::Type) d.boardTypeText = kError;
        return kError;
    }
    return decimal(identityValue(d, what));
}
} // namespace

std::string QOLVEN_USB_DLL::Version_of_Board(void *handle) {
    clearError(*this);
    if (offline(*this)) return kOk;
    return exchange(*this, handle, request(Command::VersionOfBoard)) ? kOk : kError;
}

void QOLVEN_USB_DLL::Get_Version_of_Board(void *handle) {
    clearError(*this);
    std::string *texts[] = {&boardTypeText, &hardwareVersionText, &firmwareVersionText, &firmwareYearText,
                            &firmwareMonthText};
    if (offline(*this)) {
        for (int i = 0; i < 5; ++i) *texts[i] = character(offlineValues[int(Offline::BoardType) + i]);
        boardType = offlineValue(*this, Offline::BoardType);
        return;
    }
    for (std::string *text : texts) text->clear();
    boardType = 0;
    Version_of_Board(handle);
    if (!exchanged(*this)) {
        for (std::string *text : texts) *text = kError;
        boardType = 255;
        return;
    }
    for (int i = 0; i < 5; ++i) *texts[i] = character(int(identityValue(*this, Identity(i))));
    boardType = packetData[0];
}

std::string QOLVEN_USB_DLL::Get_Type_of_Board(void *handle) { return getIdentity(*this, handle, Identity::Type); }
std::string QOLVEN_USB_DLL::Get_Hardware_Version(void *handle) {
    return getIdentity(*this, handle, Identity::Hardware);
}
std::string QOLVEN_USB_DLL::Get_Firmware_Version(void *handle) {
    return getIdentity(*this, handle, Identity::Firmware);
}
std::string QOLVEN_USB_DLL::Get_Firmware_Year(void *handle) { return getIdentity(*this, handle, Identity::Year); }
std::string QOLVEN_USB_DLL::Get_Firmware_Month(void *handle) { return getIdentity(*this, handle, Identity::Month); }

std::string QOLVEN_USB_DLL::Slave_Activity_Inquiry(void *handle) {
    clearError(*this);
    if (offline(*this)) return kOk;
    return exchange(*this, handle, request(Command::SlaveActivity)) ? kOk : kError;
}

std::string QOLVEN_USB_DLL::Reset_Board(void *handle) {
    clearError(*this);
    if (offline(*this)) return kOk;
    if (!exchange(*this, handle, request(Command::ResetBoard))) return kError;
    // The restarted board announces itself with packet number 1; it may have
    // come in the same read as the acknowledgement.
    return secondAnswer(*this, 1, Command::ResetBoard) ? kOk : kError;
}

} // namespace _QOLVEN_USB_DLL
