// Out-of-range arguments from the host: each method answers "Error" with its
// own text and sends nothing (the loading-point methods check the point
// against the board just identified, so they send that identification
// only).  The edges of every range pass the check.
#include <cctype>
#include <climits>
#include <cstring>
#include <functional>

#include "fixture.h"

namespace {

// Checked before anything is sent, or after the identification.
enum class Sends { Nothing, IdentificationOnly };

struct Range {
    const char *method;
    int board;  // a board type that serves the method
    long long low, high;
    const char *text;
    Sends sends;
    std::function<std::string(QOLVEN_USB_DLL &, void *, int)> call;
};

using D = QOLVEN_USB_DLL;
constexpr Sends N = Sends::Nothing, I = Sends::IdentificationOnly;

// clang-format off
const Range kRanges[] = {
    {"Create_Back_Up source", 2, 0, 255, "Invalid Source Page Number", N, [](D &d, void *h, int v) { return d.Create_Back_Up(h, v, 0); }},
    {"Create_Back_Up destination", 2, 0, 255, "Invalid Destination Page Number", N, [](D &d, void *h, int v) { return d.Create_Back_Up(h, 0, v); }},
    {"Restore_Back_Up destination", 2, 0, 255, "Invalid Destination Page Number", N, [](D &d, void *h, int v) { return d.Restore_Back_Up(h, v, 0); }},
    {"Restore_Back_Up source", 2, 0, 255, "Invalid Source Page Number", N, [](D &d, void *h, int v) { return d.Restore_Back_Up(h, 0, v); }},
    {"Get_Data_Logging", 2, 0, 65535, "Invalid Counter", N, [](D &d, void *h, int v) { return d.Get_Data_Logging(h, v); }},
    {"Fast_Data_Request slot", 2, 0, 15, "Invalid Slot", N, [](D &d, void *h, int v) { return d.Fast_Data_Request(h, 0, v, "2", "0", "4", 0); }},
    {"Set_Calibration_Code", 2, 0, 255, "Invalid Calibration Code", N, [](D &d, void *h, int v) { return d.Set_Calibration_Code(h, v, 0); }},
    {"Set_Calibration_Day", 2, 0, 255, "Invalid Calibration Day", N, [](D &d, void *h, int v) { return d.Set_Calibration_Day(h, v, 0); }},
    {"Set_Calibration_Month", 2, 0, 255, "Invalid Calibration Month", N, [](D &d, void *h, int v) { return d.Set_Calibration_Month(h, v, 0); }},
    {"Set_Calibration_Year", 2, 0, 255, "Invalid Calibration Year", N, [](D &d, void *h, int v) { return d.Set_Calibration_Year(h, v, 0); }},
    {"Set_Number_of_Loading_Points", 2, 0, 255, "Invalid Number Of Loading Points", N, [](D &d, void *h, int v) { return d.Set_Number_of_Loading_Points(h, v, 0); }},
    {"Set_Loading_Point", 2, 0, 255, "Invalid Loading Point", N, [](D &d, void *h, int v) { return d.Set_Loading_Point(h, v, 0); }},
    {"Set_Load_of_Loading_Point point", 2, 0, 255, "Invalid Loading Point", N, [](D &d, void *h, int v) { return d.Set_Load_of_Loading_Point(h, v, 0, 0); }},
    {"Set_Load_of_Loading_Point load", 2, 0, 65535, "Invalid Load Value", N, [](D &d, void *h, int v) { return d.Set_Load_of_Loading_Point(h, 0, v, 0); }},
    {"Get_Loading_Point type of calibration", 2, 0, 1, "Invalid Type Of Calibration", N, [](D &d, void *h, int v) { return d.Get_Loading_Point(h, 0, 0, v); }},
    {"Get_Loading_Point point", 2, 0, 15, "Invalid Point", I, [](D &d, void *h, int v) { return d.Get_Loading_Point(h, v, 0, 0); }},
    {"Get_Loading_Point point on board type 0", 0, 0, 19, "Invalid Point", I, [](D &d, void *h, int v) { return d.Get_Loading_Point(h, v, 0, 0); }},
    {"Set_Zero_Correction type of calibration", 2, 0, 1, "Invalid Type Of Calibration", N, [](D &d, void *h, int v) { return d.Set_Zero_Correction(h, 0, 5, 0, v); }},
    {"Set_Zero_Correction count", 2, -16777216, 16777215, "Invalid Zero Correction", N, [](D &d, void *h, int v) { return d.Set_Zero_Correction(h, 0, v, 0, 0); }},
    {"Set_Zero_Correction point", 2, 0, 15, "Invalid Point", I, [](D &d, void *h, int v) { return d.Set_Zero_Correction(h, v, 5, 0, 0); }},
    {"Get_Load_of_Loading_Point", 2, 0, 15, "Invalid Point", I, [](D &d, void *h, int v) { return d.Get_Load_of_Loading_Point(h, v, 0); }},
    {"Set_Sensitivity", 2, 0, 3, "Invalid Sensitivity", N, [](D &d, void *h, int v) { return d.Set_Sensitivity(h, v, 0); }},
    {"Set_Bridge_Resistance", 2, 0, 3, "Invalid Bridge Resistance", N, [](D &d, void *h, int v) { return d.Set_Bridge_Resistance(h, v, 0); }},
    {"Set_Shunt_Value", 2, 0, 16777215, "Invalid Shunt Value", N, [](D &d, void *h, int v) { return d.Set_Shunt_Value(h, v, 0); }},
    {"Set_Sensor_Identification_Number", 2, 0, 16777215, "Invalid Serial Number", N, [](D &d, void *h, int v) { return d.Set_Sensor_Identification_Number(h, v, 0); }},
    {"Set_Sensor_Configuration", 2, 0, 255, "Invalid Sensor Configuration", N, [](D &d, void *h, int v) { return d.Set_Sensor_Configuration(h, v, 0); }},
    {"Set_CrossTalk", 9, 0, 1, "Invalid CrossTalk", N, [](D &d, void *h, int v) { return d.Set_CrossTalk(h, v, 0); }},
    {"Set_Type_of_Calibration", 9, 0, 1, "Invalid Type Of Calibration", N, [](D &d, void *h, int v) { return d.Set_Type_of_Calibration(h, v, 0); }},
    {"Set_Unit_Code", 2, 0, 255, "Invalid Unit Code", N, [](D &d, void *h, int v) { return d.Set_Unit_Code(h, v, 0); }},
    {"Set_Decimal_Point", 2, 0, 255, "Invalid Decimal Point", N, [](D &d, void *h, int v) { return d.Set_Decimal_Point(h, v, 0); }},
    {"Set_Direction", 2, 0, 255, "Invalid Direction", N, [](D &d, void *h, int v) { return d.Set_Direction(h, v, 0); }},
    {"Set_Average_Setting", 2, 0, 255, "Invalid Average Setting", N, [](D &d, void *h, int v) { return d.Set_Average_Setting(h, v, 0); }},
    {"Set_ADC_Configuration", 2, 0, 15, "Invalid Sampling Rate", N, [](D &d, void *h, int v) { return d.Set_ADC_Configuration(h, (unsigned char)v, 0); }},
    {"Set_Active_Page_Number", 9, 0, 7, "Invalid Active Page Number", N, [](D &d, void *h, int v) { return d.Set_Active_Page_Number(h, v, 0); }},
    {"Set_Number_of_Active_Channels", 9, 0, 3, "Invalid Number of Active Channels", N, [](D &d, void *h, int v) { return d.Set_Number_of_Active_Channels(h, v, 0); }},
    {"Get_Internal_Register", 2, 0, 255, "", N, [](D &d, void *h, int v) { return d.Get_Internal_Register(h, v); }},
    {"Set_Voltage_Output", 14, 0, 255, "Invalid Voltage Point", N, [](D &d, void *h, int v) { return d.Set_Voltage_Output(h, v, 0); }},
    {"Set_Load_Switch", 2, 0, 255, "Invalid Simulated Load", N, [](D &d, void *h, int v) { return d.Set_Load_Switch(h, v, 0); }},
    {"Set_Pulses_Per_Rotation", 14, 0, 65535, "Invalid Pulses Per Rotation", N, [](D &d, void *h, int v) { return d.Set_Pulses_Per_Rotation(h, v, 0); }},
    {"Set_Destination_Port_Number", 13, 0, 65535, "Invalid Port Number", N, [](D &d, void *h, int v) { return d.Set_Destination_Port_Number(h, v, 0); }},
    {"Set_Source_Port_Number", 13, 0, 65535, "Invalid Port Number", N, [](D &d, void *h, int v) { return d.Set_Source_Port_Number(h, v, 0); }},
};
// clang-format on

void PrintTo(const Range &r, std::ostream *out) { *out << r.method; }

class HostInput : public BoardTest, public ::testing::WithParamInterface<Range> {};

std::vector<long long> outside(const Range &r) {
    std::vector<long long> values = {r.low - 1, r.high + 1, INT_MIN, INT_MAX};
    if (r.low >= 0) values.push_back(-1);
    return values;
}

TEST_P(HostInput, OutOfRangeGivesItsOwnTextAndSendsNothing) {
    const Range &r = GetParam();
    useBoard(r.board);
    dev.Get_Version_of_Board(h);  // fast data needs a board known to stream
    for (long long value : outside(r)) {
        // Set_ADC_Configuration takes a byte: only what a byte holds can reach it.
        const bool byteArgument = std::string(r.method) == "Set_ADC_Configuration";
        if (byteArgument && (value < 0 || value > 255)) continue;
        SCOPED_TRACE(std::string(r.method) + " with " + std::to_string(value));
        clearWire();
        std::strcpy(dev.lastErrorText, "stale");
        EXPECT_EQ(r.call(dev, h, int(value)), "Error");
        EXPECT_STREQ(dev.lastErrorText, r.text);
        std::vector<Bytes> sent = requests();
        if (r.sends == Sends::Nothing) {
            EXPECT_TRUE(sent.empty()) << sent.size() << " requests sent";
        } else {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0], (Bytes{0, 4, 0x44, 0xAA}));
        }
    }
}

TEST_P(HostInput, TheEdgesOfTheRangePassTheCheck) {
    const Range &r = GetParam();
    useBoard(r.board);
    dev.Get_Version_of_Board(h);
    for (long long value : {r.low, r.high}) {
        SCOPED_TRACE(std::string(r.method) + " with " + std::to_string(value));
        clearWire();
        r.call(dev, h, int(value));
        if (*r.text) EXPECT_STRNE(dev.lastErrorText, r.text);
        EXPECT_FALSE(wire().empty()) << "a valid argument must reach the board";
    }
}

std::string rangeName(const ::testing::TestParamInfo<Range> &info) {
    std::string name;
    for (const char *c = info.param.method; *c; ++c) name += std::isalnum((unsigned char)*c) ? *c : '_';
    return name + "_on_type_" + std::to_string(info.param.board);
}

INSTANTIATE_TEST_SUITE_P(EveryRange, HostInput, ::testing::ValuesIn(kRanges), rangeName);

} // namespace
