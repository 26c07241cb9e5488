#include "parameters/parameter_path.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

// The record is cleared before anything else, so a failed fetch never leaves
// an older record looking current.
std::string QOLVEN_USB_DLL::Get_Data_Logging(void *handle, int recordNumber) {
    if (offline(*this)) return kOk;
    clearError(*this);
    for (int &entry : dataLogRecord) entry = 0;
    if (!inRange(*this, recordNumber, {65535, ErrorText::InvalidCounter})) return kError;
    counterHighByte = (unsigned(recordNumber) >> 8) & 0xFF;
    counterLowByte = unsigned(recordNumber) & 0xFF;
    if (!exchange(*this, handle, request(Command::DataLogging, {counterHighByte, counterLowByte}))) return kError;
    const unsigned char *v = packetData;
    dataLogRecord[0] = v[0] * 256 + v[1];
    dataLogRecord[1] = v[2] * 65536 + v[3] * 256 + v[4];
    dataLogRecord[2] = v[5] * 65536 + v[6] * 256 + v[7];
    return kOk;
}

} // namespace _QOLVEN_USB_DLL
