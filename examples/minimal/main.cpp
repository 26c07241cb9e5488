// The smallest host program: open the first bridge, identify its board and
// read ten live counts.
//
// CMakeLists.txt shows how to build it, with CMake or with pkg-config.
#include <QOLVEN_USB_DLL.h>

#include <cstdio>
#include <memory>
#include <string>

namespace {

int fail(const char *what, const _QOLVEN_USB_DLL::QOLVEN_USB_DLL &device) {
    std::fprintf(stderr, "%s: %s\n", what, device.lastErrorText);
    return 1;
}

} // namespace

int main() {
    // The object carries the fast-data tables (about 200 KB): keep it off the stack.
    auto device = std::make_unique<_QOLVEN_USB_DLL::QOLVEN_USB_DLL>();

    std::string count = device->Get_Device_Count();
    if (count == "Error") return fail("counting bridges", *device);
    if (count == "0") {
        std::fprintf(stderr, "no bridge attached\n");
        return 1;
    }
    std::string serial = device->Get_Device_Serial_Number(reinterpret_cast<void *>(0));
    if (serial == "Error") return fail("reading the serial number", *device);

    device->Open_Device_Connection(&serial[0]);
    void *handle = device->DeviceHandle;
    if (!handle) return fail(("opening " + serial).c_str(), *device);

    // Each identity text holds one character whose code is the number received.
    device->Get_Version_of_Board(handle);
    if (device->boardType == 255) return fail("identifying the board", *device);
    auto code = [](const std::string &text) { return static_cast<unsigned char>(text[0]); };
    std::printf("serial %s\n", serial.c_str());
    std::printf("board type %d, hardware %u, firmware %u (year code %u, month %u)\n", device->boardType,
                code(device->hardwareVersionText), code(device->firmwareVersionText),
                code(device->firmwareYearText), code(device->firmwareMonthText));

    int status = 0;
    for (int i = 1; i <= 10 && status == 0; ++i) {
        std::string reading = device->Normal_Data_Request(handle, 0);
        if (reading == "Error")
            status = fail("reading a count", *device);
        else
            std::printf("count %d: %s\n", i, reading.c_str());
    }

    device->Close_Device_Connection(handle);
    return status;
}
