// Driver for strain-gauge amplifier boards, USB modules and handheld displays
// behind an FTDI USB-to-serial bridge.
//
// One QOLVEN_USB_DLL object drives one device.  Every device method takes the
// device handle first and returns a text: the value read as decimal text, "0"
// for a successful action, or "Error" with the reason in lastErrorText.
// One object serves one thread at a time; objects on different devices are
// independent.  Waits for an answer sleep between looks at the receive queue
// and time out on the call's own monotonic wall clock.
#ifndef QOLVEN_USB_DLL_H
#define QOLVEN_USB_DLL_H

#include <cstdint>
#include <string>

#include "QOLVEN_FTD2XX.h"

#define QOLVEN_USB_VERSION_MAJOR 1
#define QOLVEN_USB_VERSION_MINOR 0
#define QOLVEN_USB_VERSION_PATCH 0

namespace _QOLVEN_USB_DLL {

struct NETWORK_SETTINGS {
    unsigned char destinationMacAddress[6];
    unsigned char destinationIpAddress[4];
    unsigned char destinationPortNumber[2];
    unsigned char sourceMacAddress[6];
    unsigned char sourceIpAddress[4];
    unsigned char sourcePortNumber[2];
};

class QOLVEN_API QOLVEN_USB_DLL {
public:
    enum { SLOTS = 16, CHANNELS = 4, POSITIONS = 65, FRAGMENT_BUFFER_SIZE = 512,
           ADDITIONAL_PACKET_SIZE = 257, OFFLINE_VALUES = 25 };

    // 1. USB adapter
    QOLVEN_FTD2XX adapter;
    // 2-6. connection and outcome of the last call
    void *DeviceHandle;
    uint32_t lastStatus;
    std::string packetSentText;
    std::string packetReceivedText;
    char lastErrorText[64];
    // 7. display page
    std::string displayPageText;
    std::string displayLine1;
    std::string displayLine2;
    std::string displayLine3;
    std::string displayLine4;
    // 8-12. register bytes, offline mode and its table
    unsigned char eepromHighByte;
    unsigned char eepromLowByte;
    unsigned char offlineMode;
    int offlineSerialNumber;
    int dataLogRecord[5];
    int offlineValues[OFFLINE_VALUES];
    // 13. request and response scratch
    unsigned char requestNumber;
    unsigned char requestSize;
    unsigned char requestChannel;
    unsigned char requestCommand;
    unsigned char endOfPacket;
    unsigned char expectedNumber;
    unsigned char expectedSize;
    unsigned char expectedCommand;
    unsigned char fragmentFirstSize;
    unsigned char fragmentRemainder;
    unsigned char packetData[8];
    // 14-16. statuses and ADC configuration
    std::string readStatus;
    std::string writeStatus;
    std::string fastReadStatus;
    unsigned char pgaSetting;
    unsigned char samplingRateCode;
    // 17. board identity, one character each (the code received)
    std::string boardTypeText;
    std::string hardwareVersionText;
    std::string firmwareVersionText;
    std::string firmwareYearText;
    std::string firmwareMonthText;
    // 18. scratch texts of the parameter commands
    std::string partnerText1;
    std::string partnerText2;
    std::string partnerText3;
    std::string partnerText4;
    // 19. board-type code of the last identification (255 when it failed)
    int boardType;
    // 20. more scratch texts of the parameter commands
    std::string companionText1;
    std::string companionText2;
    std::string companionText3;
    std::string companionText4;
    std::string companionText5;
    std::string companionText6;
    // 21. scratch bytes of the parameter commands
    unsigned char registerAddress;
    unsigned char registerAddress2;
    unsigned char registerAddress3;
    unsigned char valueHighByte;
    unsigned char valueMiddleByte;
    unsigned char valueLowByte;
    unsigned char counterHighByte;
    unsigned char counterLowByte;
    // 22-23. network record and the second answer of a two-answer command
    NETWORK_SETTINGS networkSettings;
    unsigned char additionalPacket[ADDITIONAL_PACKET_SIZE];
    // 24-25. fast-data tables, indexed [slot][channel][position]
    int lastSampleNumber;
    int sampleCounters[SLOTS][CHANNELS];
    int sampleNumbers[SLOTS][CHANNELS][POSITIONS];
    int samplesPerPacket[SLOTS][CHANNELS][POSITIONS];
    int sampleCounts[SLOTS][CHANNELS][POSITIONS];
    std::string sampleTimes[SLOTS][CHANNELS][POSITIONS];
    std::string dateTimeFormat;
    std::string timeFormat;
    std::string dateFormat;
    std::string dateText;
    std::string timeText;
    std::string dateTimeText;
    // 26. rotation values and the fast-data join area
    int angleValue;
    int rpmValue;
    unsigned char fragmentBuffer[FRAGMENT_BUFFER_SIZE];

    QOLVEN_USB_DLL();
    ~QOLVEN_USB_DLL();
    QOLVEN_USB_DLL(const QOLVEN_USB_DLL &) = delete;
    QOLVEN_USB_DLL &operator=(const QOLVEN_USB_DLL &) = delete;

    // ---- status texts
    void GetErrorDescription(unsigned int status);

    // ---- discovery and connection
    std::string Get_Device_Count();
    std::string Get_Device_Serial_Number(void *index);
    void Open_Device_Connection(char *serialNumber);
    void Close_Device_Connection(void *handle);

    // ---- packet primitives
    void NextPacketNumber();
    void WritePacket(signed char layout);
    void GetPacketSent();
    void ReadPacket(int timeout);
    void GetPacketReceived();
    void LoadAdditionalPacket();
    void ReadAdditionalPacket();

    // ---- raw registers
    std::string Read_EEPROM_Register(void *handle, unsigned char address);
    std::string Write_EEPROM_Register(void *handle, unsigned char address, unsigned char high, unsigned char low);
    std::string Read_Channel_Register(void *handle, unsigned char channel, unsigned char address);
    std::string Write_Channel_Register(void *handle, unsigned char channel, unsigned char address, unsigned char value);
    std::string Read_Memory_Register(void *handle, unsigned char address);
    std::string Write_Memory_Register(void *handle, unsigned char address, unsigned char value);
    std::string Read_TEDS_Register(void *handle, unsigned char highAddress, unsigned char lowAddress);
    std::string Write_TEDS_Register(void *handle, unsigned char highAddress, unsigned char lowAddress, unsigned char value);
    std::string Read_Page_Register(void *handle, unsigned char page);

    // ---- board identity and housekeeping
    std::string Version_of_Board(void *handle);
    void Get_Version_of_Board(void *handle);
    std::string Get_Type_of_Board(void *handle);
    std::string Get_Hardware_Version(void *handle);
    std::string Get_Firmware_Version(void *handle);
    std::string Get_Firmware_Year(void *handle);
    std::string Get_Firmware_Month(void *handle);
    std::string Slave_Activity_Inquiry(void *handle);
    std::string Reset_Board(void *handle);

    // ---- backup and restore of setting pages
    std::string Create_Back_Up(void *handle, int sourcePage, int destinationPage);
    std::string Restore_Back_Up(void *handle, int destinationPage, int sourcePage);

    // ---- front-panel keys (board types 5 and 10)
    std::string Change_Battery_Enter(void *handle);
    std::string Change_Tare_Up(void *handle);
    std::string Change_Display_Back(void *handle);
    std::string Change_Reset_Left(void *handle);
    std::string Change_Menu(void *handle);
    std::string Change_Unit_Right(void *handle);
    std::string Change_Shunt_Exit(void *handle);
    std::string Change_Hold_Down(void *handle);

    // ---- count decoding
    std::string Calculate_ADC_Value(unsigned char status, unsigned char high, unsigned char middle, unsigned char low);
    std::string Calculate_PXV_ADC_Value(unsigned char high, unsigned char middle, unsigned char low);
    std::string Calculate_PXV_ADC_Value2(unsigned char high, unsigned char middle, unsigned char low);
    std::string Calculate_ADC_Value_Fast_Data_Request(unsigned char high, unsigned char middle, unsigned char low);
    std::string Calculate_ADC_Value_Fast_Data_Request2(unsigned char high, unsigned char middle);

    // ---- single readings
    std::string Normal_Data_Request(void *handle, unsigned char channel);
    std::string Get_Offset_Value(void *handle, unsigned char channel);
    std::string Get_Fullscale_Value(void *handle, unsigned char channel);
    std::string Get_Offset_Load(void *handle, unsigned char channel);
    std::string Get_Fullscale_Load(void *handle, unsigned char channel);

    // ---- fast data
    void ReadFastPacket(double limit);
    void ReadFastPacketFragment(double limit);
    void Delay2(double milliseconds);
    std::string Fast_Data_Request(void *handle, int separatorChoice, int slot, std::string typeText,
                                  std::string rateText, std::string versionText, unsigned char channel);

    // ---- display page
    std::string Get_Display_Page(void *handle);
    void GetDisplayPage(int start);

    // ---- rotation and logging
    std::string Get_Rotation_Values(void *handle);
    int Get_Angle_Value();
    int Get_RPM_Value();
    std::string Reset_Angle(void *handle, unsigned char unused);
    std::string Get_Data_Logging(void *handle, int recordNumber);

    // ---- calibration record
    std::string Set_Calibration_Code(void *handle, int value, unsigned char channel);
    std::string Set_Calibration_Day(void *handle, int value, unsigned char channel);
    std::string Set_Calibration_Month(void *handle, int value, unsigned char channel);
    std::string Set_Calibration_Year(void *handle, int value, unsigned char channel);
    std::string Get_Calibration_Code(void *handle, unsigned char channel);
    std::string Get_Calibration_Day(void *handle, unsigned char channel);
    std::string Get_Calibration_Month(void *handle, unsigned char channel);
    std::string Get_Calibration_Year(void *handle, unsigned char channel);
    std::string Set_Calibration_Mode(void *handle, unsigned char first, unsigned char second, unsigned char channel);
    std::string Set_Calibration_Register(void *handle, unsigned char reg, unsigned char first, unsigned char second,
                                         unsigned char channel);

    // ---- loading points
    std::string Set_Number_of_Loading_Points(void *handle, int number, unsigned char channel);
    std::string Get_Number_of_Loading_Points(void *handle, unsigned char channel);
    std::string Set_Loading_Point(void *handle, int point, unsigned char channel);
    std::string Get_Loading_Point(void *handle, int point, unsigned char channel, int typeOfCalibration);
    std::string Set_Load_of_Loading_Point(void *handle, int point, int load, unsigned char channel);
    std::string Get_Load_of_Loading_Point(void *handle, int point, unsigned char channel);
    std::string Set_Zero_Correction(void *handle, int point, int count, unsigned char channel, int typeOfCalibration);

    // ---- sensor bridge
    std::string Set_Sensitivity(void *handle, int value, unsigned char channel);
    std::string Get_Sensitivity(void *handle, unsigned char channel);
    std::string Set_Bridge_Resistance(void *handle, int value, unsigned char channel);
    std::string Get_Bridge_Resistance(void *handle, unsigned char channel);
    std::string Set_Shunt_Value(void *handle, int value, unsigned char channel);
    std::string Get_Shunt_Value(void *handle, unsigned char channel);
    std::string Get_Shunt_Resistor(void *handle, unsigned char channel);
    std::string Get_Sensor_Sensitivity(void *handle, unsigned char channel);
    std::string Get_Zero_Potentiometer(void *handle, unsigned char channel);
    std::string Get_Span_1_Potentiometer(void *handle, unsigned char channel);
    std::string Get_Span_2_Potentiometer(void *handle, unsigned char channel);

    // ---- sensor identity, crosstalk, type of calibration
    std::string Set_Sensor_Identification_Number(void *handle, int value, unsigned char channel);
    std::string Get_Sensor_Identification_Number(void *handle, unsigned char channel);
    std::string Set_Sensor_Configuration(void *handle, int value, unsigned char channel);
    std::string Set_CrossTalk(void *handle, int value, unsigned char channel);
    std::string Get_CrossTalk(void *handle, unsigned char channel);
    std::string Set_Type_of_Calibration(void *handle, int value, unsigned char channel);
    std::string Get_Type_of_Calibration(void *handle, unsigned char channel);

    // ---- display settings
    std::string Set_Unit_Code(void *handle, int value, unsigned char channel);
    std::string Get_Unit_Code(void *handle, unsigned char channel);
    std::string Set_Decimal_Point(void *handle, int value, unsigned char channel);
    std::string Get_Decimal_Point(void *handle, unsigned char channel);
    std::string Set_Direction(void *handle, int value, unsigned char channel);
    std::string Get_Direction(void *handle, unsigned char channel);

    // ---- ADC configuration and averaging
    std::string Set_ADC_Configuration(void *handle, unsigned char rate, unsigned char channel);
    std::string Set_ADC_Configuration2(void *handle, unsigned char configuration, unsigned char channel);
    std::string Get_ADC_Configuration(unsigned char reg, unsigned char channel);
    std::string Get_ADC_PGA_Setting(void *handle, unsigned char channel);
    std::string Get_ADC_Sampling_Rate(void *handle, unsigned char channel);
    std::string Set_Average_Setting(void *handle, int value, unsigned char channel);
    std::string Get_Average_Setting(void *handle, unsigned char channel);

    // ---- active channels, active page, internal registers
    std::string Set_Active_Page_Number(void *handle, int value, unsigned char channel);
    std::string Get_Active_Page_Number(void *handle, unsigned char channel);
    std::string Set_Number_of_Active_Channels(void *handle, int value, unsigned char channel);
    std::string Get_Number_of_Active_Channels(void *handle, unsigned char channel);
    std::string Get_Internal_Register(void *handle, int reg);

    // ---- outputs, switches, rotation pulses
    std::string Set_Voltage_Output(void *handle, int value, unsigned char channel);
    std::string Get_Voltage_Output(void *handle, unsigned char channel);
    std::string Get_Analog_Voltage_Output(void *handle, unsigned char channel);
    std::string Get_Excitation(void *handle, unsigned char channel);
    std::string Get_Gain_Switch(void *handle, unsigned char channel);
    std::string Get_Polarity(void *handle, unsigned char channel);
    std::string Get_Output_Type(void *handle, unsigned char channel);
    std::string Set_Load_Switch(void *handle, int value, unsigned char channel);
    std::string Set_Digital_Components(void *handle, unsigned char first, unsigned char second, unsigned char third,
                                       unsigned char fourth);
    std::string Set_Pulses_Per_Rotation(void *handle, int value, unsigned char channel);
    std::string Get_Pulses_Per_Rotation(void *handle, unsigned char channel);

    // ---- network settings (board type 13)
    std::string Set_Destination_MAC_Address(void *handle, unsigned char m1, unsigned char m2, unsigned char m3,
                                            unsigned char m4, unsigned char m5, unsigned char m6,
                                            unsigned char channel);
    std::string Set_Destination_IP_Address(void *handle, unsigned char o1, unsigned char o2, unsigned char o3,
                                           unsigned char o4, unsigned char channel);
    std::string Set_Destination_Port_Number(void *handle, int port, unsigned char channel);
    std::string Set_Source_IP_Address(void *handle, unsigned char o1, unsigned char o2, unsigned char o3,
                                      unsigned char o4, unsigned char channel);
    std::string Set_Source_Port_Number(void *handle, int port, unsigned char channel);
    std::string Get_Destination_MAC_Address(void *handle, unsigned char channel);
    std::string Get_Destination_IP_Address(void *handle, unsigned char channel);
    std::string Get_Destination_Port_Number(void *handle, unsigned char channel);
    std::string Get_Source_MAC_Address(void *handle, unsigned char channel);
    std::string Get_Source_IP_Address(void *handle, unsigned char channel);
    std::string Get_Source_Port_Number(void *handle, unsigned char channel);

private:
    int *offlineHandleBlock; // released at close or with the object
};

} // namespace _QOLVEN_USB_DLL

#endif
