#include "board/board_command.h"
#include "board/multi_register.h"
#include "parameters/register_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
// The board stores what these commands carry wherever it keeps its table,
// so every board but the unsupported ones takes them.
// clang-format off
//                                       types               command data max       range text                          wait
const CommandSetting kNumberOfPoints    {kAllButUnsupported, 0x28,   1,   255,      "Invalid Number Of Loading Points", 300};
const CommandSetting kLoadingPoint      {kAllButUnsupported, 0x24,   1,   255,      "Invalid Loading Point",            300};
// Point and load travel as one 24-bit value; both were checked beforehand.
const CommandSetting kLoadOfPoint       {kAllButUnsupported, 0x25,   3,   0xFFFFFF, nullptr,                            300};
// clang-format on
const char *const kInvalidLoad = "Invalid Load Value";
const char *const kInvalidPoint = "Invalid Point";

// Board type 5 keeps its entries where the EEPROM boards do, but they may only be read.
constexpr TypeSet kEntryReadBoards = kParameterBoards | typeSet({5});

// The point checked against the table of the board just identified.
bool pointOnBoard(QOLVEN_USB_DLL &d, void *handle, TypeSet types, int point) {
    if (!identify(d, handle)) return false;
    if (!accepts(types, d.boardType)) {
        setError(d, kInvalidTypeOfBoard);
        return false;
    }
    int lastPoint = d.boardType == 0 ? 19 : 15;
    if (point >= 0 && point <= lastPoint) return true;
    setError(d, kInvalidPoint);
    return false;
}

bool validTypeOfCalibration(QOLVEN_USB_DLL &d, int typeOfCalibration) {
    return inRange(d, typeOfCalibration, table::typeOfCalibration.maxValue, table::typeOfCalibration.rangeText);
}

// An entry's four bytes (status, high, middle, low), most significant first.
struct Entry {
    Location at[4];
    size_t count;
};

Entry entryLocations(int boardType, int point, unsigned char channel, int typeOfCalibration) {
    if (boardType == 9) {
        // Channels above 2 keep a second block of entries for the second type of calibration.
        unsigned char base = (unsigned char)(4 * point + (channel > 2 && typeOfCalibration == 1 ? 64 : 0));
        return {{channelByte(base + 3), channelByte(base + 2), channelByte(base + 1), channelByte(base)}, 4};
    }
    unsigned char reg = (unsigned char)(4 * point);
    return {{eepromWord(reg + 2), eepromWord(reg)}, 2};
}

Location loadLocation(int boardType, int point) {
    unsigned char offset = (unsigned char)(2 * point);
    if (boardType == 0) return eepromWord(offset + 80);
    if (boardType == 9) return channelWord(offset + 64);
    return eepromWord(offset + 64);
}

// Status 1 marks a negative count, 2 any other; the count follows in 24-bit two's complement.
unsigned long encodeEntry(int count) {
    unsigned long status = count < 0 ? 1 : 2;
    return status << 24 | ((unsigned long)(long)count & 0xFFFFFF);
}
} // namespace

std::string QOLVEN_USB_DLL::Set_Number_of_Loading_Points(void *h, int v, unsigned char ch) { return setByCommand(*this, h, v, ch, kNumberOfPoints); }
std::string QOLVEN_USB_DLL::Get_Number_of_Loading_Points(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::numberOfLoadingPoints); }
std::string QOLVEN_USB_DLL::Set_Loading_Point(void *h, int v, unsigned char ch) { return setByCommand(*this, h, v, ch, kLoadingPoint); }

std::string QOLVEN_USB_DLL::Set_Load_of_Loading_Point(void *handle, int point, int load, unsigned char channel) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!inRange(*this, point, kLoadingPoint.maxValue, kLoadingPoint.rangeText)) return kError;
    if (!inRange(*this, load, 65535, kInvalidLoad)) return kError;
    return setByCommand(*this, handle, (long long)point << 16 | load, channel, kLoadOfPoint);
}

std::string QOLVEN_USB_DLL::Get_Loading_Point(void *handle, int point, unsigned char channel, int typeOfCalibration) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!validTypeOfCalibration(*this, typeOfCalibration)) return kError;
    if (!pointOnBoard(*this, handle, kEntryReadBoards, point)) return kError;
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
    if (count < -16777216 || count > 16777215) return fail(*this, "Invalid Zero Correction");
    if (!pointOnBoard(*this, handle, kParameterBoards, point)) return kError;
    Entry entry = entryLocations(boardType, point, channel, typeOfCalibration);
    WriteSequence writes(*this, handle);
    writeLocations(writes, channel, entry.at, entry.count, encodeEntry(count));
    return writes.result();
}

std::string QOLVEN_USB_DLL::Get_Load_of_Loading_Point(void *handle, int point, unsigned char channel) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!pointOnBoard(*this, handle, kParameterBoards, point)) return kError;
    unsigned load = 0;
    if (!readLocation(*this, handle, channel, loadLocation(boardType, point), load)) return kError;
    return decimal(load);
}

} // namespace _QOLVEN_USB_DLL
