#include "parameters/parameter_table.h"

namespace _QOLVEN_USB_DLL {
using namespace detail;

// None of the outputs lives on the channel board, so the channel is never used.
std::string QOLVEN_USB_DLL::Set_Voltage_Output(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::voltageOutput); }
std::string QOLVEN_USB_DLL::Get_Voltage_Output(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::voltageOutput); }
std::string QOLVEN_USB_DLL::Get_Analog_Voltage_Output(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::analogVoltageOutput); }
std::string QOLVEN_USB_DLL::Get_Excitation(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::excitation); }
std::string QOLVEN_USB_DLL::Get_Gain_Switch(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::gainSwitch); }
std::string QOLVEN_USB_DLL::Get_Polarity(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::polarity); }
std::string QOLVEN_USB_DLL::Get_Output_Type(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::outputType); }
std::string QOLVEN_USB_DLL::Set_Load_Switch(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::loadSwitch); }
std::string QOLVEN_USB_DLL::Set_Pulses_Per_Rotation(void *h, int v, unsigned char ch) { return setParameter(*this, h, v, ch, table::pulsesPerRotation); }
std::string QOLVEN_USB_DLL::Get_Pulses_Per_Rotation(void *h, unsigned char ch) { return getParameter(*this, h, ch, table::pulsesPerRotation); }

// A two-answer command.  The fourth byte is accepted for the callers' sake but
// the board takes three.  Success means the board reported completion, not
// merely that it acknowledged.
std::string QOLVEN_USB_DLL::Set_Digital_Components(void *handle, unsigned char first, unsigned char second,
                                                   unsigned char third, unsigned char) {
    return completedCommand(*this, handle, kDigitalComponents, Command::DigitalComponents, {first, second, third});
}

} // namespace _QOLVEN_USB_DLL
