#include "device_methods.h"

#include <limits>

namespace robustness {

namespace {

using F = Family;
using R = Result;
using D = QOLVEN_USB_DLL;
using B = uint8_t;

unsigned char ch(B a) { return a & 3; }
// 0 or 1, valid everywhere; bit 7 asks for up to 381, past several ranges.
int v(B a) { return a & 0x80 ? (a & 0x7F) * 3 : (a >> 2) & 1; }
int page(B a) { return a & 0x80 ? a * 2 : a & 7; }

std::string versionOfBoard(D &d, void *h, B) {
    d.Get_Version_of_Board(h);
    // The board texts are the method's only report.
    return d.boardTypeText == "Error" ? "Error" : "0";
}

std::string fastData(D &d, void *h, B a) {
    static const char *const rates[] = {"0", "13", "14", "15"};
    const int slot = a & 0x80 ? (a & 0x40 ? -1 : 16) : a & 15;
    const char *version = a & 0x40 ? "3" : "4.1";
    // The stored board type must already allow fast data: the identified one.
    return d.Fast_Data_Request(h, a & 1, slot, std::to_string(d.boardType), rates[(a >> 4) & 3], version, ch(a));
}

std::string intString(int value) { return std::to_string(value); }

const std::vector<Method> methods = {
    // raw registers
    {"Read_EEPROM_Register", F::Response, R::Raw, [](D &d, void *h, B a) { return d.Read_EEPROM_Register(h, a); }},
    {"Write_EEPROM_Register", F::Response, R::Action, [](D &d, void *h, B a) { return d.Write_EEPROM_Register(h, a, B(~a), a); }},
    {"Read_Channel_Register", F::Response, R::Raw, [](D &d, void *h, B a) { return d.Read_Channel_Register(h, ch(a), a); }},
    {"Write_Channel_Register", F::Response, R::Action, [](D &d, void *h, B a) { return d.Write_Channel_Register(h, ch(a), a, B(~a)); }},
    {"Read_Memory_Register", F::Response, R::Number, [](D &d, void *h, B a) { return d.Read_Memory_Register(h, a); }},
    {"Write_Memory_Register", F::Response, R::Action, [](D &d, void *h, B a) { return d.Write_Memory_Register(h, a, B(~a)); }},
    {"Read_TEDS_Register", F::Response, R::Number, [](D &d, void *h, B a) { return d.Read_TEDS_Register(h, B(a >> 4), a); }},
    {"Write_TEDS_Register", F::Response, R::Action, [](D &d, void *h, B a) { return d.Write_TEDS_Register(h, B(a >> 4), a, B(~a)); }},
    {"Read_Page_Register", F::Response, R::Action, [](D &d, void *h, B a) { return d.Read_Page_Register(h, a); }},
    // identity and housekeeping
    {"Version_of_Board", F::Response, R::Action, [](D &d, void *h, B) { return d.Version_of_Board(h); }},
    {"Get_Version_of_Board", F::Response, R::Action, versionOfBoard},
    {"Get_Type_of_Board", F::Response, R::Number, [](D &d, void *h, B) { return d.Get_Type_of_Board(h); }},
    {"Get_Hardware_Version", F::Response, R::Number, [](D &d, void *h, B) { return d.Get_Hardware_Version(h); }},
    {"Get_Firmware_Version", F::Response, R::Number, [](D &d, void *h, B) { return d.Get_Firmware_Version(h); }},
    {"Get_Firmware_Year", F::Response, R::Number, [](D &d, void *h, B) { return d.Get_Firmware_Year(h); }},
    {"Get_Firmware_Month", F::Response, R::Number, [](D &d, void *h, B) { return d.Get_Firmware_Month(h); }},
    {"Slave_Activity_Inquiry", F::Response, R::Action, [](D &d, void *h, B) { return d.Slave_Activity_Inquiry(h); }},
    {"Reset_Board", F::TwoAnswers, R::Action, [](D &d, void *h, B) { return d.Reset_Board(h); }},
    // backup and keys
    {"Create_Back_Up", F::Response, R::Action, [](D &d, void *h, B a) { return d.Create_Back_Up(h, page(a), page(B(a >> 3))); }},
    {"Restore_Back_Up", F::Response, R::Action, [](D &d, void *h, B a) { return d.Restore_Back_Up(h, page(a), page(B(a >> 3))); }},
    {"Change_Battery_Enter", F::Response, R::Action, [](D &d, void *h, B) { return d.Change_Battery_Enter(h); }},
    {"Change_Tare_Up", F::Response, R::Action, [](D &d, void *h, B) { return d.Change_Tare_Up(h); }},
    {"Change_Display_Back", F::Response, R::Action, [](D &d, void *h, B) { return d.Change_Display_Back(h); }},
    {"Change_Reset_Left", F::Response, R::Action, [](D &d, void *h, B) { return d.Change_Reset_Left(h); }},
    {"Change_Menu", F::Response, R::Action, [](D &d, void *h, B) { return d.Change_Menu(h); }},
    {"Change_Unit_Right", F::Response, R::Action, [](D &d, void *h, B) { return d.Change_Unit_Right(h); }},
    {"Change_Shunt_Exit", F::Response, R::Action, [](D &d, void *h, B) { return d.Change_Shunt_Exit(h); }},
    {"Change_Hold_Down", F::Response, R::Action, [](D &d, void *h, B) { return d.Change_Hold_Down(h); }},
    // count decoding
    {"Calculate_ADC_Value", F::Pure, R::Value, [](D &d, void *, B a) { return d.Calculate_ADC_Value(a & 3, a, B(~a), a); }},
    {"Calculate_PXV_ADC_Value", F::Pure, R::Value, [](D &d, void *, B a) { return d.Calculate_PXV_ADC_Value(a, B(~a), a); }},
    {"Calculate_PXV_ADC_Value2", F::Pure, R::Value, [](D &d, void *, B a) { return d.Calculate_PXV_ADC_Value2(a, B(~a), a); }},
    {"Calculate_ADC_Value_Fast_Data_Request", F::Pure, R::Value, [](D &d, void *, B a) { return d.Calculate_ADC_Value_Fast_Data_Request(a, B(~a), a); }},
    {"Calculate_ADC_Value_Fast_Data_Request2", F::Pure, R::Value, [](D &d, void *, B a) { return d.Calculate_ADC_Value_Fast_Data_Request2(a, B(~a)); }},
    // measurement
    {"Normal_Data_Request", F::Response, R::Count, [](D &d, void *h, B a) { return d.Normal_Data_Request(h, ch(a)); }},
    {"Get_Offset_Value", F::Response, R::Count, [](D &d, void *h, B a) { return d.Get_Offset_Value(h, ch(a)); }},
    {"Get_Fullscale_Value", F::Response, R::Count, [](D &d, void *h, B a) { return d.Get_Fullscale_Value(h, ch(a)); }},
    {"Get_Offset_Load", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Offset_Load(h, ch(a)); }},
    {"Get_Fullscale_Load", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Fullscale_Load(h, ch(a)); }},
    {"Fast_Data_Request", F::Fast, R::Records, fastData},
    {"Get_Display_Page", F::Response, R::Action, [](D &d, void *h, B) { return d.Get_Display_Page(h); }},
    {"Get_Rotation_Values", F::Response, R::Action, [](D &d, void *h, B) { return d.Get_Rotation_Values(h); }},
    {"Get_Angle_Value", F::Pure, R::Value, [](D &d, void *, B) { return intString(d.Get_Angle_Value()); }},
    {"Get_RPM_Value", F::Pure, R::Value, [](D &d, void *, B) { return intString(d.Get_RPM_Value()); }},
    {"Reset_Angle", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Reset_Angle(h, a); }},
    {"Get_Data_Logging", F::Response, R::Action, [](D &d, void *h, B a) { return d.Get_Data_Logging(h, a & 0x80 ? a * 300 : a); }},
    // calibration record
    {"Set_Calibration_Code", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Calibration_Code(h, v(a), ch(a)); }},
    {"Set_Calibration_Day", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Calibration_Day(h, v(a), ch(a)); }},
    {"Set_Calibration_Month", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Calibration_Month(h, v(a), ch(a)); }},
    {"Set_Calibration_Year", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Calibration_Year(h, v(a), ch(a)); }},
    {"Get_Calibration_Code", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Calibration_Code(h, ch(a)); }},
    {"Get_Calibration_Day", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Calibration_Day(h, ch(a)); }},
    {"Get_Calibration_Month", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Calibration_Month(h, ch(a)); }},
    {"Get_Calibration_Year", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Calibration_Year(h, ch(a)); }},
    {"Set_Calibration_Mode", F::TwoAnswers, R::Action, [](D &d, void *h, B a) { return d.Set_Calibration_Mode(h, a, B(~a), ch(a)); }},
    {"Set_Calibration_Register", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Calibration_Register(h, a, B(~a), a, ch(a)); }},
    // loading points
    {"Set_Number_of_Loading_Points", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Number_of_Loading_Points(h, v(a), ch(a)); }},
    {"Get_Number_of_Loading_Points", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Number_of_Loading_Points(h, ch(a)); }},
    {"Set_Loading_Point", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Loading_Point(h, v(a), ch(a)); }},
    {"Get_Loading_Point", F::Parameter, R::Count, [](D &d, void *h, B a) { return d.Get_Loading_Point(h, v(a), ch(a), (a >> 3) & 1); }},
    {"Set_Load_of_Loading_Point", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Load_of_Loading_Point(h, v(a), a * 250, ch(a)); }},
    {"Get_Load_of_Loading_Point", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Load_of_Loading_Point(h, v(a), ch(a)); }},
    {"Set_Zero_Correction", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Zero_Correction(h, v(a), (a - 128) * 65793, ch(a), (a >> 3) & 1); }},
    // sensor bridge
    {"Set_Sensitivity", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Sensitivity(h, v(a), ch(a)); }},
    {"Get_Sensitivity", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Sensitivity(h, ch(a)); }},
    {"Set_Bridge_Resistance", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Bridge_Resistance(h, v(a), ch(a)); }},
    {"Get_Bridge_Resistance", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Bridge_Resistance(h, ch(a)); }},
    {"Set_Shunt_Value", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Shunt_Value(h, a * 65793, ch(a)); }},
    {"Get_Shunt_Value", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Shunt_Value(h, ch(a)); }},
    {"Get_Shunt_Resistor", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Shunt_Resistor(h, ch(a)); }},
    {"Get_Sensor_Sensitivity", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Sensor_Sensitivity(h, ch(a)); }},
    {"Get_Zero_Potentiometer", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Zero_Potentiometer(h, ch(a)); }},
    {"Get_Span_1_Potentiometer", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Span_1_Potentiometer(h, ch(a)); }},
    {"Get_Span_2_Potentiometer", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Span_2_Potentiometer(h, ch(a)); }},
    // sensor identity, crosstalk, type of calibration
    {"Set_Sensor_Identification_Number", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Sensor_Identification_Number(h, a * 65793, ch(a)); }},
    {"Get_Sensor_Identification_Number", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Sensor_Identification_Number(h, ch(a)); }},
    {"Set_Sensor_Configuration", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Sensor_Configuration(h, v(a), ch(a)); }},
    {"Set_CrossTalk", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_CrossTalk(h, v(a), ch(a)); }},
    {"Get_CrossTalk", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_CrossTalk(h, ch(a)); }},
    {"Set_Type_of_Calibration", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Type_of_Calibration(h, v(a), ch(a)); }},
    {"Get_Type_of_Calibration", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Type_of_Calibration(h, ch(a)); }},
    // display settings
    {"Set_Unit_Code", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Unit_Code(h, v(a), ch(a)); }},
    {"Get_Unit_Code", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Unit_Code(h, ch(a)); }},
    {"Set_Decimal_Point", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Decimal_Point(h, v(a), ch(a)); }},
    {"Get_Decimal_Point", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Decimal_Point(h, ch(a)); }},
    {"Set_Direction", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Direction(h, v(a), ch(a)); }},
    {"Get_Direction", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Direction(h, ch(a)); }},
    // converter
    {"Set_ADC_Configuration", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_ADC_Configuration(h, a & 0x80 ? a : a & 15, ch(a)); }},
    {"Set_ADC_Configuration2", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_ADC_Configuration2(h, a, ch(a)); }},
    {"Get_ADC_Configuration", F::Parameter, R::Finished, [](D &d, void *, B a) { return d.Get_ADC_Configuration(a, ch(a)); }},
    {"Get_ADC_PGA_Setting", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_ADC_PGA_Setting(h, ch(a)); }},
    {"Get_ADC_Sampling_Rate", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_ADC_Sampling_Rate(h, ch(a)); }},
    {"Set_Average_Setting", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Average_Setting(h, v(a), ch(a)); }},
    {"Get_Average_Setting", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Average_Setting(h, ch(a)); }},
    // active channels, active page, internal registers
    {"Set_Active_Page_Number", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Active_Page_Number(h, v(a), ch(a)); }},
    {"Get_Active_Page_Number", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Active_Page_Number(h, ch(a)); }},
    {"Set_Number_of_Active_Channels", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Number_of_Active_Channels(h, v(a), ch(a)); }},
    {"Get_Number_of_Active_Channels", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Number_of_Active_Channels(h, ch(a)); }},
    {"Get_Internal_Register", F::Response, R::Number, [](D &d, void *h, B a) { return d.Get_Internal_Register(h, a); }},
    // outputs, switches, rotation pulses
    {"Set_Voltage_Output", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Voltage_Output(h, v(a), ch(a)); }},
    {"Get_Voltage_Output", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Voltage_Output(h, ch(a)); }},
    {"Get_Analog_Voltage_Output", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Analog_Voltage_Output(h, ch(a)); }},
    {"Get_Excitation", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Excitation(h, ch(a)); }},
    {"Get_Gain_Switch", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Gain_Switch(h, ch(a)); }},
    {"Get_Polarity", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Polarity(h, ch(a)); }},
    {"Get_Output_Type", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Output_Type(h, ch(a)); }},
    {"Set_Load_Switch", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Load_Switch(h, v(a), ch(a)); }},
    {"Set_Digital_Components", F::TwoAnswers, R::Action, [](D &d, void *h, B a) { return d.Set_Digital_Components(h, a, B(~a), a, 0); }},
    {"Set_Pulses_Per_Rotation", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Pulses_Per_Rotation(h, a * 257, ch(a)); }},
    {"Get_Pulses_Per_Rotation", F::Parameter, R::Number, [](D &d, void *h, B a) { return d.Get_Pulses_Per_Rotation(h, ch(a)); }},
    // network settings
    {"Set_Destination_MAC_Address", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Destination_MAC_Address(h, 2, a, 3, B(~a), 5, a, ch(a)); }},
    {"Set_Destination_IP_Address", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Destination_IP_Address(h, 192, 168, a, B(~a), ch(a)); }},
    {"Set_Destination_Port_Number", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Destination_Port_Number(h, a * 257, ch(a)); }},
    {"Set_Source_IP_Address", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Source_IP_Address(h, 10, 0, a, B(~a), ch(a)); }},
    {"Set_Source_Port_Number", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Set_Source_Port_Number(h, a * 257, ch(a)); }},
    {"Get_Destination_MAC_Address", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Get_Destination_MAC_Address(h, ch(a)); }},
    {"Get_Destination_IP_Address", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Get_Destination_IP_Address(h, ch(a)); }},
    {"Get_Destination_Port_Number", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Get_Destination_Port_Number(h, ch(a)); }},
    {"Get_Source_MAC_Address", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Get_Source_MAC_Address(h, ch(a)); }},
    {"Get_Source_IP_Address", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Get_Source_IP_Address(h, ch(a)); }},
    {"Get_Source_Port_Number", F::Parameter, R::Action, [](D &d, void *h, B a) { return d.Get_Source_Port_Number(h, ch(a)); }},
};

} // namespace

const std::vector<Method> &deviceMethods() { return methods; }

} // namespace robustness
