#include "board/board_command.h"
#include "parameters/register_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

namespace {
// clang-format off
//                                         types                                               command data max  range text                 wait
const CommandSetting kVoltageOutput       {typeSet({11, 14}),                                  0x2B,   1,   255, "Invalid Voltage Point",   300};
const CommandSetting kLoadSwitch          {typeSet({0, 1, 2, 3, 4, 5, 6, 10, 11, 12, 13, 16}), 0x27,   1,   255, "Invalid Simulated Load",  300};
// clang-format on
constexpr TypeSet kDigitalComponentBoards = typeSet({16});
constexpr unsigned char kCompletion = 0x45;
} // namespace

// None of the outputs lives on the channel board, so the channel is never used.
std::string QOLVEN_USB_DLL::Set_Voltage_Output(void *h, int v, unsigned char ch) { return setByCommand(*this, h, v, ch, kVoltageOutput); }
std::string QOLVEN_USB_DLL::Get_Voltage_Output(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::voltageOutput); }
std::string QOLVEN_USB_DLL::Get_Analog_Voltage_Output(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::analogVoltageOutput); }
std::string QOLVEN_USB_DLL::Get_Excitation(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::excitation); }
std::string QOLVEN_USB_DLL::Get_Gain_Switch(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::gainSwitch); }
std::string QOLVEN_USB_DLL::Get_Polarity(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::polarity); }
std::string QOLVEN_USB_DLL::Get_Output_Type(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::outputType); }
std::string QOLVEN_USB_DLL::Set_Load_Switch(void *h, int v, unsigned char ch) { return setByCommand(*this, h, v, ch, kLoadSwitch); }
std::string QOLVEN_USB_DLL::Set_Pulses_Per_Rotation(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::pulsesPerRotation); }
std::string QOLVEN_USB_DLL::Get_Pulses_Per_Rotation(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::pulsesPerRotation); }

// The fourth byte is accepted for the callers' sake but the board takes three.
// Success means the board reported completion, not merely that it acknowledged.
std::string QOLVEN_USB_DLL::Set_Digital_Components(void *handle, unsigned char first, unsigned char second,
                                                   unsigned char third, unsigned char) {
    if (offline(*this)) return kOk;
    clearError(*this);
    if (!identify(*this, handle)) return kError;
    if (!accepts(kDigitalComponentBoards, boardType)) return fail(*this, kInvalidTypeOfBoard);
    if (!exchange(*this, handle, plainRequest(0x2C, {first, second, third}, 4, kAck, 300))) return kError;
    return secondAnswer(*this, requestNumber, kCompletion, 3000) ? kOk : kError;
}

} // namespace _QOLVEN_USB_DLL
