#include "board/multi_register.h"
#include "parameters/parameter_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
// Board type 5 keeps its entries where the EEPROM boards do, but they may only be read.
constexpr uint32_t kEntriesRead = kCalibrationReadable;
constexpr uint32_t kEntriesWritten = kParameters;

// The point checked against the table of the board just identified.
bool pointOnBoard(QOLVEN_USB_DLL &d, void *handle, uint32_t families, int point) {
    if (!identify(d, handle)) return false;
    if (!serves(d.boardType, families)) {
        setError(d, ErrorText::InvalidTypeOfBoard);
        return false;
    }
    return inRange(d, point, {boardTypeRow(d.boardType).lastLoadingPoint, ErrorText::InvalidPoint});
}

bool validTypeOfCalibration(QOLVEN_USB_DLL &d, int typeOfCalibration) {
    return inRange(d, typeOfCalibration, table::typeOfCalibration.range);
}

// Hand-written below: where an entry or a load is kept depends on the point
// (and on the calibration type), so no fixed row can hold it.

// An entry's four bytes (status, high, middle, low), most significant first.
struct Entry {
    Location at[4];
    size_t count;
};

Entry entryLocations(int boardType, int point, unsigned char channel, int typeOfCalibration) {
    if (multiChannel(boardType)) {
        // Channels above 2 keep a second block of entries for the second type of calibration.
        unsigned char base = (unsigned char)(4 * point + (channel > 2 && typeOfCalibration == 1 ? 64 : 0));
        return {{channelByte(base + 3), channelByte(base + 2), channelByte(base + 1), channelByte(base)}, 4};
    }
    unsigned char reg = (unsigned char)(4 * point);
    return {{eepromWord(reg + 2), eepromWord(reg)}, 2};
}

Location loadLocation(int boardType, int point) {
    unsigned char offset = (unsigned char)(2 * point);
    return classLocation(boardType, eepromWord(offset + 80), channelWord(offset + 64), eepromWord(offset + 64));
}

// Status 1 marks a negative count, 2 any other; the count follows in 24-bit two's complement.
unsigned long encodeEntry(int count) {
    unsigned long status = count < 0 ? 1 : 2;
    return status << 24 | ((unsigned long)(long)count & 0xFFFFFF);
}
} // namespace

std::string QOLVEN_USB_DLL::Set_Number_of_Loading_Points(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::numberOfLoadingPoints); }
std::string QOLVEN_USB_DLL::Get_Number_of_Loading_Points(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::numberOfLoadingPoints); }
std::string QOLVEN_USB_DLL::Set_Loading_Point(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::loadingPoint); }

std::string QOLVEN_USB_DLL::Set_Load_of_Loading_Point(void *handle, int point, int load, unsigned char channel) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!inRange(*this, point, table::loadingPoint.range) || !inRange(*this, load, table::pointLoad.range)) return kError;
    return setParameter(*this, handle, (long long)point << 16 | load, channel, table::pointAndLoad);
}

std::string QOLVEN_USB_DLL::Get_Loading_Point(void *handle, int point, unsigned char channel, int typeOfCalibration) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!validTypeOfCalibration(*this, typeOfCalibration)) return kError;
    if (!pointOnBoard(*this, handle, kEntriesRead, point)) return kError;
    Entry entry = entryLocations(boardType, point, channel, typeOfCalibration);
    unsigned values[4] = {};
    if (readLocations(*this, handle, channel, entry.at, entry.count, values) != entry.count) return kError;
    unsigned long bytes = joinLocations(entry.at, entry.count, values);
    return Calculate_ADC_Value(bytes >> 24 & 0xFF, bytes >> 16 & 0xFF, bytes >> 8 & 0xFF, bytes & 0xFF);
}

// A count the entry cannot hold is refused rather than cut to its low 24 bits,
// which would store another count and report success.
std::string QOLVEN_USB_DLL::Set_Zero_Correction(void *handle, int point, int count, unsigned char channel,
                                                int typeOfCalibration) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!validTypeOfCalibration(*this, typeOfCalibration)) return kError;
    if (count < -16777216 || count > 16777215) return fail(*this, ErrorText::InvalidZeroCorrection);
    if (!pointOnBoard(*this, handle, kEntriesWritten, point)) return kError;
    Entry entry = entryLocations(boardType, point, channel, typeOfCalibration);
    WriteSequence writes(*this, handle);
    writeLocations(writes, channel, entry.at, entry.count, encodeEntry(count));
    return writes.result();
}

std::string QOLVEN_USB_DLL::Get_Load_of_Loading_Point(void *handle, int point, unsigned char channel) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!pointOnBoard(*this, handle, kEntriesWritten, point)) return kError;
    unsigned load = 0;
    if (!readLocation(*this, handle, channel, loadLocation(boardType, point), load)) return kError;
    return decimal(load);
}

} // namespace _QOLVEN_USB_DLL
