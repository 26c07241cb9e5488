// Streams fast data from the first bridge and writes one CSV line per sample.
//
//   qolven_stream [calls] [pause-ms] > samples.csv
//
// Each Fast_Data_Request call returns the samples the board gathered since the
// previous call (at most 64), so the pause between calls must stay well below
// 64 sampling periods.
//
// CMakeLists.txt shows how to build it, with CMake or with pkg-config.
#include <QOLVEN_USB_DLL.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using _QOLVEN_USB_DLL::QOLVEN_USB_DLL;

int fail(const char *what, const QOLVEN_USB_DLL &device) {
    std::fprintf(stderr, "%s: %s\n", what, device.lastErrorText);
    return 1;
}

std::vector<std::string> splitTabs(const std::string &text) {
    std::vector<std::string> fields;
    std::string::size_type start = 0, tab;
    while ((tab = text.find('\t', start)) != std::string::npos) {
        fields.push_back(text.substr(start, tab - start));
        start = tab + 1;
    }
    return fields;  // every record ends with a tab: nothing is left over
}

// Records with tabs as separators: number, samples in packet, [channel,] count,
// three empty fields, date, time.  Only channel boards (type 9) send the channel.
void writeCsv(const std::string &records, bool channelBoard) {
    const std::size_t width = channelBoard ? 9 : 8;
    std::vector<std::string> f = splitTabs(records);
    for (std::size_t i = 0; i + width <= f.size(); i += width) {
        const std::string *r = &f[i];
        const std::string channel = channelBoard ? r[2] : "0";
        const std::string &count = channelBoard ? r[3] : r[2];
        // The date text holds commas itself.
        std::printf("%s,%s,%s,%s,\"%s\",%s\n", r[0].c_str(), channel.c_str(), count.c_str(), r[1].c_str(),
                    r[width - 2].c_str(), r[width - 1].c_str());
    }
}

} // namespace

int main(int argc, char **argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 500;
    const int pauseMs = argc > 2 ? std::atoi(argv[2]) : 20;
    const int slot = 0;
    const unsigned char channel = 0;

    auto device = std::make_unique<QOLVEN_USB_DLL>();
    std::string serial = device->Get_Device_Serial_Number(reinterpret_cast<void *>(0));
    if (serial == "Error") return fail("finding a bridge", *device);
    device->Open_Device_Connection(&serial[0]);
    void *handle = device->DeviceHandle;
    if (!handle) return fail(("opening " + serial).c_str(), *device);

    // Fast data needs the board type, the firmware version and the converter's
    // rate code, which selects the sample width.
    device->Get_Version_of_Board(handle);
    if (device->boardType == 255) return fail("identifying the board", *device);
    const int boardType = device->boardType;
    const std::string type = std::to_string(boardType);
    const std::string version = std::to_string(static_cast<unsigned char>(device->firmwareVersionText[0]));
    const std::string rate = device->Get_ADC_Sampling_Rate(handle, channel);
    if (rate == "Error") return fail("reading the sampling rate", *device);

    std::printf("sample,channel,count,packet_samples,date,time\n");
    int status = 0, errors = 0;
    for (int i = 0; i < calls; ++i) {
        std::string records = device->Fast_Data_Request(handle, 1, slot, type, rate, version, channel);
        if (records == "Error") {
            std::fprintf(stderr, "call %d: %s\n", i, device->lastErrorText);
            // A lost packet is no reason to stop; a board that stopped answering is.
            if (++errors > 10) {
                status = 1;
                break;
            }
        } else {
            errors = 0;
            writeCsv(records, boardType == 9);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    device->Close_Device_Connection(handle);
    return status;
}
