// Memory the library takes per device: the size of the object, the heap it
// holds and the resident memory it adds, for one and for eight open devices,
// after ordinary calls and after streaming has filled the sample tables.
//
//   memory_bench
//
// The virtual devices are attached, and the simulated bridge has set itself
// up, before the first reading; the bridge's call and write logs are emptied
// before each.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"

extern "C" {
uint32_t FT_OpenEx(void *arg, uint32_t flags, void **handle);
uint32_t FT_GetDeviceInfo(void *handle, uint32_t *type, uint32_t *id, char *serial, char *description, void *dummy);
uint32_t FT_GetStatus(void *handle, uint32_t *rxBytes, uint32_t *txBytes, uint32_t *eventStatus);
uint32_t FT_SetTimeouts(void *handle, uint32_t readMs, uint32_t writeMs);
uint32_t FT_SetUSBParameters(void *handle, uint32_t inSize, uint32_t outSize);
uint32_t FT_SetLatencyTimer(void *handle, unsigned char ms);
uint32_t FT_Close(void *handle);
}

namespace {

using qbench::QOLVEN_USB_DLL;

constexpr int kDevices = 8;

struct Usage {
    long long heap;      // bytes handed out by malloc, mmapped blocks included
    long long resident;  // bytes of the process in memory
};

long long residentBytes() {
    long long pages = 0, resident = 0;
    if (FILE *f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lld %lld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

// Readings are taken with the bridge's call and write logs emptied: they
// grow with use and are not the library's.
Usage usage(const std::vector<std::string> &serials) {
    qolven_sim::clear_calls();
    for (const std::string &s : serials) qolven_sim::clear_writes(s);
    malloc_trim(0);
    struct mallinfo2 m = mallinfo2();
    return {(long long)(m.uordblks + m.hblkhd), residentBytes()};
}

std::string serialOf(int i) { return "MEM" + std::to_string(i); }

// The bridge calls of Open_Device_Connection, made directly.
void *openDirectly(const std::string &serial) {
    std::string name = serial;
    void *h = nullptr;
    uint32_t type = 0, id = 0, rx = 0, tx = 0, events = 0;
    char s[16], description[64];
    FT_OpenEx(&name[0], 1, &h);
    FT_GetDeviceInfo(h, &type, &id, s, description, nullptr);
    FT_GetStatus(h, &rx, &tx, &events);
    FT_SetTimeouts(h, 500, 500);
    FT_SetUSBParameters(h, 8, 8);
    FT_SetLatencyTimer(h, 2);
    return h;
}

// The bridge sets up its own state on the first open of the process (about
// 1.5 KB of heap and 150 KB of pages); done here once so that the readings
// show the library.  What it keeps per open handle afterwards is a map entry
// and the settings log, a few hundred bytes, and stays in the figures.
void settleBridge(const std::string &serial) { FT_Close(openDirectly(serial)); }

void ordinaryCalls(QOLVEN_USB_DLL &d) {
    void *h = d.DeviceHandle;
    d.Get_Type_of_Board(h);
    d.Read_EEPROM_Register(h, 114);
    d.Get_Decimal_Point(h, 0);
    d.Set_Decimal_Point(h, 3, 0);
    d.Normal_Data_Request(h, 0);
    d.Get_Version_of_Board(h);
}

// Fast data into every slot, all 65 positions: on a plain board channel 0
// only; as the channel board every channel, the packets shifting the channel
// of each position until all four have it.  The packets are queued by hand
// (the board kept silent); false when a call did not take its samples.
bool streamEverySlot(QOLVEN_USB_DLL &d, const std::string &serial, bool channelBoard) {
    d.Get_Version_of_Board(d.DeviceHandle);
    qolven_sim::set_board_silent(serial, true);
    const int channels = channelBoard ? QOLVEN_USB_DLL::CHANNELS : 0;
    bool ok = true;
    for (int slot = 0; slot < QOLVEN_USB_DLL::SLOTS; ++slot) {
        for (int shift = 0; shift < (channelBoard ? channels : 1); ++shift) {
            qolven_sim::queue_rx(serial, qbench::fastPacket(qbench::nextPacketNumber(d), QOLVEN_USB_DLL::POSITIONS,
                                                            2, channels, shift));
            std::string records = d.Fast_Data_Request(d.DeviceHandle, 0, slot, channelBoard ? "9" : "2", "15", "4", 0);
            ok &= records != "Error" && d.samplesPerPacket[slot][shift][QOLVEN_USB_DLL::POSITIONS - 1] ==
                                            QOLVEN_USB_DLL::POSITIONS;
        }
    }
    qolven_sim::set_board_silent(serial, false);
    return ok;
}

void row(const char *what, const Usage &total, int devices) {
    std::printf("%-48s %7d %12lld %12lld %12.0f %12.0f\n", what, devices, total.heap, total.heap / devices,
                total.resident / 1024.0, total.resident / 1024.0 / devices);
}

} // namespace

int main(int, char **argv) {
    // Chunks parked in glibc's per-thread cache count as in use in
    // mallinfo2; without the cache the heap readings are exact.
    const char *tunables = std::getenv("GLIBC_TUNABLES");
    if (!tunables || !std::strstr(tunables, "tcache_count=0")) {
        setenv("GLIBC_TUNABLES", "glibc.malloc.tcache_count=0", 1);
        execv("/proc/self/exe", argv);
        std::fprintf(stderr, "could not switch the thread cache off: heap figures may be off by a few KB\n");
    }
    std::printf("ABI: %s, pointer %zu bytes\n", sizeof(void *) == 4 ? "i386" : "x86-64", sizeof(void *));
    std::printf("sizeof(QOLVEN_USB_DLL)  %zu bytes\n", sizeof(QOLVEN_USB_DLL));
    std::printf("  sample tables         %zu bytes (numbers, totals, counts: %zu; times: %zu)\n",
                sizeof(QOLVEN_USB_DLL::sampleNumbers) * 3 + sizeof(QOLVEN_USB_DLL::sampleTimes),
                sizeof(QOLVEN_USB_DLL::sampleNumbers) * 3, sizeof(QOLVEN_USB_DLL::sampleTimes));
    std::printf("  adapter (QOLVEN_FTD2XX) %zu bytes\n", sizeof(_QOLVEN_USB_DLL::QOLVEN_FTD2XX));

    qolven_sim::reset();
    std::vector<std::string> serials;
    for (int i = 0; i <= kDevices; ++i) {
        qolven_sim::BoardConfig config;
        config.serial = serialOf(i);
        config.answerDelayUs = 0;
        qolven_sim::attach(config);
        serials.push_back(config.serial);
    }
    settleBridge(serialOf(kDevices));
    serials.pop_back();

    std::printf("\nadded by the library\n");
    std::printf("%-48s %7s %12s %12s %12s %12s\n", "state", "devices", "heap bytes", "per device", "resident KiB",
                "per device");
    const Usage start = usage(serials);
    auto since = [&](const Usage &u) { return Usage{u.heap - start.heap, u.resident - start.resident}; };

    std::vector<std::unique_ptr<QOLVEN_USB_DLL>> devices;
    Usage one{0, 0};
    devices.push_back(std::make_unique<QOLVEN_USB_DLL>());
    row("constructed, not opened", since(usage(serials)), 1);
    for (int i = 0; i < kDevices; ++i) {
        if (i > 0) devices.push_back(std::make_unique<QOLVEN_USB_DLL>());
        std::string name = serials[i];
        devices[i]->Open_Device_Connection(&name[0]);
        if (!devices[i]->DeviceHandle) {
            std::fprintf(stderr, "%s did not open: %s\n", name.c_str(), devices[i]->lastErrorText);
            return 1;
        }
        if (i == 0) {
            one = since(usage(serials));
            row("opened", one, 1);
        }
    }
    const Usage all = since(usage(serials));
    row("opened", all, kDevices);
    std::printf("%-48s %7s %12s %12lld %12s %12.0f\n", "opened, each device after the first", "", "",
                (all.heap - one.heap) / (kDevices - 1), "", (all.resident - one.resident) / 1024.0 / (kDevices - 1));

    for (auto &d : devices) ordinaryCalls(*d);
    row("after identification, register, parameter, data", since(usage(serials)), kDevices);
    bool streamed = true;
    for (int i = 0; i < kDevices; ++i) streamed &= streamEverySlot(*devices[i], serials[i], false);
    row("after fast data into every slot (board type 2)", since(usage(serials)), kDevices);
    for (int i = 0; i < kDevices; ++i) streamed &= streamEverySlot(*devices[i], serials[i], true);
    row("after fast data into every entry (board type 9)", since(usage(serials)), kDevices);

    for (auto &d : devices) d->Close_Device_Connection(d->DeviceHandle);
    if (!streamed) std::fprintf(stderr, "fast-data calls did not fill the tables: the last two rows are wrong\n");
    return streamed ? 0 : 1;
}
