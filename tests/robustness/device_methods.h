// Every public device method of the library as a row: how to call it with
// one argument byte, what kind of result it gives, and which family of
// answers it reads.  The fault matrix calls each row with valid arguments;
// the fuzz targets call the rows of one family with fuzzed argument bytes.
#ifndef QOLVEN_ROBUSTNESS_DEVICE_METHODS_H
#define QOLVEN_ROBUSTNESS_DEVICE_METHODS_H

#include <cstdint>
#include <string>
#include <vector>

#include "QOLVEN_USB_DLL.h"

namespace robustness {

using _QOLVEN_USB_DLL::QOLVEN_USB_DLL;

// Which reader the method's answers go through.
enum class Family {
    Response,    // one answer per exchange (ReadPacket)
    TwoAnswers,  // acknowledgement and a second packet (the additional-packet reader)
    Fast,        // the fast-data reader
    Parameter,   // identification, then register reads and writes
    Pure,        // no exchange: decodes bytes or returns stored values
};

// What a successful call returns.
enum class Result {
    Action,    // "0"
    Number,    // decimal text
    Count,     // a count or a status text of the count decoding; its "Error" is a value
    Raw,       // raw characters
    Records,   // fast-data records (possibly none)
    Finished,  // "Finished"
    Value,     // a documented value, the same whatever the bus does
};

struct Method {
    const char *name;
    Family family;
    Result result;
    // Calls the method on `handle`.  The argument byte picks the channel
    // (its low two bits) and values; every byte gives arguments in range
    // except where bit 7 asks for a larger value.
    std::string (*call)(QOLVEN_USB_DLL &dev, void *handle, uint8_t arg);
};

const std::vector<Method> &deviceMethods();

// The argument byte whose arguments are valid for every method: channel 1,
// value 1, page 1.
constexpr uint8_t kValidArgument = 1;

} // namespace robustness

#endif
