// Runs a fixed sequence of FT_* calls on the bridge library named on the command
// line and prints every observable result, one "name value" line each, so that
// the output over FTDI's D2XX and over our libftdi1 provider can be compared
// line by line.  Lines starting with "figure" are measurements: they are shown,
// never compared.
//
//   ft_probe LIBRARY list
//   ft_probe LIBRARY calls SERIAL
//   ft_probe LIBRARY long SERIAL LONG_SERIAL
//   ft_probe LIBRARY open SERIAL
//   ft_probe LIBRARY exchanges SERIAL COUNT
//   ft_probe LIBRARY unplug SERIAL       (asks the host to unplug and replug the bridge)
//   ft_probe LIBRARY opened-elsewhere SERIAL
//
// The board behind SERIAL answers the version request "NN 04 44 AA" with eight
// bytes starting with NN.
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "transport/ftd2xx_api.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Api {
#define QOLVEN_PROBE_FUNCTIONS(X)                                                                                 \
    X(FT_ListDevices) X(FT_OpenEx) X(FT_Open) X(FT_Close) X(FT_GetDeviceInfo) X(FT_CreateDeviceInfoList)        \
        X(FT_GetDeviceInfoList) X(FT_GetStatus) X(FT_SetTimeouts) X(FT_SetUSBParameters) X(FT_SetLatencyTimer) \
            X(FT_GetLatencyTimer) X(FT_SetVIDPID) X(FT_GetVIDPID) X(FT_Read) X(FT_Write) X(FT_Purge)
#define QOLVEN_PROBE_POINTER(name) decltype(&::name) name = nullptr;
    QOLVEN_PROBE_FUNCTIONS(QOLVEN_PROBE_POINTER)
#undef QOLVEN_PROBE_POINTER
};
Api ft;

const char *g_library = "";
const char *g_self = "";
unsigned char g_number = 0;

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double cpuMillis() {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

std::string hex(const unsigned char *b, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[b[i] >> 4];
        s += digits[b[i] & 15];
    }
    return s.empty() ? "-" : s;
}

// Text as the library would print it: up to the NUL, unprintable bytes escaped.
std::string text(const char *s, size_t cap) {
    std::string out;
    for (size_t i = 0; i < cap && s[i]; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02x", c);
            out += esc;
        }
    }
    return out.empty() ? "\"\"" : out;
}

void line(const char *name, const std::string &value) { std::printf("%s %s\n", name, value.c_str()); }
void status(const char *name, FT_STATUS st) { std::printf("%s status=%u\n", name, st); }
void figure(const char *name, double value, const char *unit) { std::printf("figure %s %.3f %s\n", name, value, unit); }

unsigned char nextNumber() {
    g_number = g_number >= 254 ? 1 : g_number + 1;
    return g_number;
}

// Waits until the receive queue holds `want` bytes (or more); the queue size, or
// -1 on a failed status.
long awaitQueue(FT_HANDLE h, DWORD want, double limitMs, FT_STATUS *st) {
    auto start = Clock::now();
    DWORD rx = 0, tx = 0, ev = 0;
    for (;;) {
        *st = ft.FT_GetStatus(h, &rx, &tx, &ev);
        if (*st != FT_OK) return -1;
        if (rx >= want || millisSince(start) > limitMs) return rx;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

// Sends the version request; true when all four bytes went.
bool sendRequest(FT_HANDLE h, unsigned char *number, FT_STATUS *st) {
    *number = nextNumber();
    unsigned char request[4] = {*number, 0x04, 0x44, 0xAA};
    DWORD written = 0;
    *st = ft.FT_Write(h, request, sizeof request, &written);
    return *st == FT_OK && written == sizeof request;
}

// One request and its answer, polled as the driver library does; the answer's
// length, or -1.
int exchange(FT_HANDLE h, unsigned char *answer, FT_STATUS *st) {
    unsigned char number;
    if (!sendRequest(h, &number, st)) return -1;
    long queued = awaitQueue(h, 8, 1000, st);
    if (queued <= 0) return -1;
    DWORD got = 0;
    *st = ft.FT_Read(h, answer, static_cast<DWORD>(std::min<long>(queued, 64)), &got);
    if (*st != FT_OK) return -1;
    return answer[0] == number ? static_cast<int>(got) : -1;
}

// Reads until the queue has stayed empty for 50 ms.
void drain(FT_HANDLE h) {
    FT_STATUS st;
    unsigned char buf[256];
    for (int quiet = 0; quiet < 5;) {
        long q = awaitQueue(h, 1, 10, &st);
        if (q <= 0) {
            ++quiet;
            continue;
        }
        DWORD got = 0;
        ft.FT_Read(h, buf, static_cast<DWORD>(std::min<long>(q, sizeof buf)), &got);
        quiet = 0;
    }
}

// ---- scenarios

int listDevices() {
    auto start = Clock::now();
    DWORD count = 0;
    status("create-list", ft.FT_CreateDeviceInfoList(&count));
    line("create-list count", std::to_string(count));
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count + 1);
    DWORD filled = count;
    FT_STATUS st = count ? ft.FT_GetDeviceInfoList(nodes.data(), &filled) : FT_OK;
    figure("list-ms", millisSince(start), "ms");
    status("info-list", st);
    line("info-list count", std::to_string(filled));
    for (DWORD i = 0; i < filled && i < count; ++i) {
        const FT_DEVICE_LIST_INFO_NODE &n = nodes[i];
        char label[64];
        std::snprintf(label, sizeof label, "node %u", i);
        char fields[256];
        std::snprintf(fields, sizeof fields, "flags=%u type=%u id=%08x locid=%08x handle=%s", n.Flags, n.Type, n.ID,
                      n.LocId, n.ftHandle ? "set" : "null");
        line(label, std::string(fields) + " serial=" + text(n.SerialNumber, sizeof n.SerialNumber) +
                        " description=" + text(n.Description, sizeof n.Description));
    }
    DWORD number = 0;
    status("list-number", ft.FT_ListDevices(&number, nullptr, FT_LIST_NUMBER_ONLY));
    line("list-number count", std::to_string(number));
    for (DWORD i = 0; i <= number; ++i) {
        for (DWORD what : {DWORD(FT_OPEN_BY_SERIAL_NUMBER), DWORD(FT_OPEN_BY_DESCRIPTION)}) {
            char buf[96];
            std::memset(buf, 0x7e, sizeof buf);
            FT_STATUS s = ft.FT_ListDevices(reinterpret_cast<void *>(uintptr_t(i)), buf, FT_LIST_BY_INDEX | what);
            size_t touched = sizeof buf;
            while (touched > 0 && buf[touched - 1] == 0x7e) --touched;
            char label[64];
            std::snprintf(label, sizeof label, "list-index %u %s", i, what == FT_OPEN_BY_SERIAL_NUMBER ? "serial" : "description");
            std::printf("%s status=%u", label, s);
            if (s == FT_OK) std::printf(" text=%s bytes-written=%zu", text(buf, sizeof buf).c_str(), touched);
            std::printf("\n");
        }
    }
    return 0;
}

int calls(const char *serial) {
    FT_HANDLE h = nullptr;
    FT_STATUS st = ft.FT_OpenEx(const_cast<char *>("QV-NOT-THERE"), FT_OPEN_BY_SERIAL_NUMBER, &h);
    std::printf("open-missing status=%u handle=%s\n", st, h ? "set" : "null");

    auto start = Clock::now();
    st = ft.FT_OpenEx(const_cast<char *>(serial), FT_OPEN_BY_SERIAL_NUMBER, &h);
    figure("open-ms", millisSince(start), "ms");
    status("open", st);
    if (st != FT_OK) return 1;

    FT_HANDLE second = nullptr;
    st = ft.FT_OpenEx(const_cast<char *>(serial), FT_OPEN_BY_SERIAL_NUMBER, &second);
    std::printf("open-again status=%u handle=%s\n", st, second ? "set" : "null");
    if (st == FT_OK) ft.FT_Close(second);

    DWORD type = 0, id = 0;
    char ser[64], desc[96];
    std::memset(ser, 0x7e, sizeof ser);
    std::memset(desc, 0x7e, sizeof desc);
    st = ft.FT_GetDeviceInfo(h, &type, &id, ser, desc, nullptr);
    std::printf("device-info status=%u type=%u id=%08x serial=%s description=%s\n", st, type, id,
                text(ser, sizeof ser).c_str(), text(desc, sizeof desc).c_str());

    std::printf("-- list while open\n");
    listDevices();

    DWORD rx = 9, tx = 9, ev = 9;
    st = ft.FT_GetStatus(h, &rx, &tx, &ev);
    std::printf("status-after-open status=%u rx=%u tx=%u\n", st, rx, tx);
    status("timeouts", ft.FT_SetTimeouts(h, 500, 500));
    status("usb-parameters 8 8", ft.FT_SetUSBParameters(h, 8, 8));
    status("usb-parameters 64 64", ft.FT_SetUSBParameters(h, 64, 64));
    for (int ms : {2, 1, 0, 255, 16, 2}) {
        char label[48];
        std::snprintf(label, sizeof label, "latency-set %d", ms);
        status(label, ft.FT_SetLatencyTimer(h, static_cast<unsigned char>(ms)));
        unsigned char back = 0;
        st = ft.FT_GetLatencyTimer(h, &back);
        std::printf("latency-get status=%u ms=%u\n", st, back);
    }
    DWORD vid = 0, pid = 0;
    st = ft.FT_GetVIDPID(&vid, &pid);
    std::printf("vidpid status=%u vid=%04x pid=%04x\n", st, vid, pid);

    drain(h);
    unsigned char answer[128];
    int n = exchange(h, answer, &st);
    std::printf("exchange status=%u length=%d answer=%s\n", st, n, n > 0 ? hex(answer + 1, n - 1).c_str() : "-");

    // FT_Read asking for more than comes: waits for the read time-out, then gives what came.
    ft.FT_SetTimeouts(h, 300, 300);
    unsigned char number;
    sendRequest(h, &number, &st);
    awaitQueue(h, 8, 1000, &st);
    DWORD got = 0;
    start = Clock::now();
    st = ft.FT_Read(h, answer, 64, &got);
    double waited = millisSince(start);
    std::printf("read-more-than-comes status=%u got=%u waited-for-timeout=%s first-byte-matches=%s\n", st, got,
                waited >= 250 ? "yes" : "no", got > 0 && answer[0] == number ? "yes" : "no");
    figure("read-more-than-comes-ms", waited, "ms");

    start = Clock::now();
    st = ft.FT_Read(h, answer, 4, &got);
    waited = millisSince(start);
    std::printf("read-nothing status=%u got=%u waited-for-timeout=%s\n", st, got, waited >= 250 ? "yes" : "no");

    // A queue that holds a whole answer, read in two pieces.
    sendRequest(h, &number, &st);
    awaitQueue(h, 8, 1000, &st);
    DWORD first = 0, rest = 0;
    FT_STATUS st1 = ft.FT_Read(h, answer, 3, &first);
    ft.FT_GetStatus(h, &rx, &tx, &ev);
    FT_STATUS st2 = ft.FT_Read(h, answer + 3, 5, &rest);
    std::printf("read-in-pieces status=%u,%u got=%u,%u queue-between=%u answer=%s\n", st1, st2, first, rest, rx,
                hex(answer + 1, first + rest > 0 ? first + rest - 1 : 0).c_str());

    sendRequest(h, &number, &st);
    awaitQueue(h, 8, 1000, &st);
    status("purge-rx", ft.FT_Purge(h, FT_PURGE_RX));
    ft.FT_GetStatus(h, &rx, &tx, &ev);
    std::printf("after-purge rx=%u\n", rx);
    status("purge-tx", ft.FT_Purge(h, FT_PURGE_TX));
    status("purge-both", ft.FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX));
    status("purge-none", ft.FT_Purge(h, 0));
    n = exchange(h, answer, &st);
    std::printf("exchange-after-purge status=%u length=%d\n", st, n);

    // Purge while the answer is on its way: how often it still comes after.
    int late = 0;
    double purgeMs = 0;
    const int purges = 6;
    for (int i = 0; i < purges; ++i) {
        drain(h);
        sendRequest(h, &number, &st);
        std::this_thread::sleep_for(std::chrono::microseconds(400 * i));
        start = Clock::now();
        ft.FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX);
        purgeMs += millisSince(start);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        ft.FT_GetStatus(h, &rx, &tx, &ev);
        if (rx) ++late;
    }
    figure("purge-ms", purgeMs / purges, "ms");
    figure("purge-in-flight-late-answers", late, "of-6");
    drain(h);

    DWORD written = 7;
    st = ft.FT_Write(h, answer, 0, &written);
    std::printf("write-zero status=%u written=%u\n", st, written);
    got = 7;
    st = ft.FT_Read(h, answer, 0, &got);
    std::printf("read-zero status=%u got=%u\n", st, got);

    start = Clock::now();
    status("close", ft.FT_Close(h));
    figure("close-ms", millisSince(start), "ms");
    status("close-again", ft.FT_Close(h));
    DWORD rx2 = 0;
    status("closed get-status", ft.FT_GetStatus(h, &rx2, &tx, &ev));

    st = ft.FT_Open(0, &h);
    status("open-index-0", st);
    if (st == FT_OK) {
        st = ft.FT_GetDeviceInfo(h, &type, &id, ser, desc, nullptr);
        std::printf("open-index-0 device-info status=%u serial=%s\n", st, text(ser, 16).c_str());
        ft.FT_Close(h);
    }
    st = ft.FT_Open(5, &h);
    status("open-index-5", st);
    return 0;
}

// The bridge whose serial number is longer than 15 characters: its node and
// FT_GetDeviceInfo cut it, opening takes it whole.
int longSerial(const char *serial, const char *longSerial) {
    FT_HANDLE h = nullptr;
    FT_STATUS st = ft.FT_OpenEx(const_cast<char *>(serial), FT_OPEN_BY_SERIAL_NUMBER, &h);
    status("open-short", st);
    if (st == FT_OK) ft.FT_Close(h);
    DWORD type = 0, id = 0;
    char ser[64], desc[96];
    unsigned char answer[128];
    int n;
    std::string cut(longSerial, std::min<size_t>(std::strlen(longSerial), 15));
    FT_HANDLE lh = nullptr;
    st = ft.FT_OpenEx(const_cast<char *>(cut.c_str()), FT_OPEN_BY_SERIAL_NUMBER, &lh);
    std::printf("open-long-cut status=%u\n", st);
    if (st == FT_OK) ft.FT_Close(lh);
    st = ft.FT_OpenEx(const_cast<char *>(longSerial), FT_OPEN_BY_SERIAL_NUMBER, &lh);
    std::printf("open-long status=%u\n", st);
    if (st == FT_OK) {
        std::memset(ser, 0x7e, sizeof ser);
        ft.FT_GetDeviceInfo(lh, &type, &id, ser, desc, nullptr);
        size_t touched = sizeof ser;
        while (touched > 0 && ser[touched - 1] == 0x7e) --touched;
        std::printf("long-device-info serial=%s bytes-written=%zu\n", text(ser, sizeof ser).c_str(), touched);
        n = exchange(lh, answer, &st);
        std::printf("long-exchange status=%u length=%d\n", st, n);
        status("long-close", ft.FT_Close(lh));
    }
    return 0;
}

// Opens the bridge, exchanges once and closes it.
int openOnce(const char *serial) {
    FT_HANDLE h = nullptr;
    FT_STATUS st = ft.FT_OpenEx(const_cast<char *>(serial), FT_OPEN_BY_SERIAL_NUMBER, &h);
    status("open", st);
    if (st != FT_OK) return 1;
    ft.FT_SetTimeouts(h, 500, 500);
    drain(h);
    unsigned char answer[128];
    int n = exchange(h, answer, &st);
    std::printf("exchange status=%u length=%d\n", st, n);
    status("close", ft.FT_Close(h));
    return n == 8 ? 0 : 1;
}

int exchanges(const char *serial, int count) {
    FT_HANDLE h = nullptr;
    FT_STATUS st = ft.FT_OpenEx(const_cast<char *>(serial), FT_OPEN_BY_SERIAL_NUMBER, &h);
    status("open", st);
    if (st != FT_OK) return 1;
    ft.FT_SetTimeouts(h, 500, 500);
    ft.FT_SetUSBParameters(h, 8, 8);
    ft.FT_SetLatencyTimer(h, 2);
    drain(h);
    std::vector<double> ms;
    int bad = 0;
    unsigned char answer[128];
    double cpu = cpuMillis();
    auto all = Clock::now();
    for (int i = 0; i < count; ++i) {
        auto start = Clock::now();
        int n = exchange(h, answer, &st);
        ms.push_back(millisSince(start));
        if (n != 8) ++bad;
    }
    double wall = millisSince(all);
    cpu = cpuMillis() - cpu;
    std::sort(ms.begin(), ms.end());
    std::printf("exchanges count=%d bad=%d\n", count, bad);
    if (!ms.empty()) {
        figure("exchange-median-ms", ms[ms.size() / 2], "ms");
        figure("exchange-p99-ms", ms[std::min(ms.size() - 1, ms.size() * 99 / 100)], "ms");
        figure("exchange-cpu-ms", cpu / count, "ms");
        figure("exchange-wall-ms", wall / count, "ms");
    }
    ft.FT_Close(h);
    return bad ? 1 : 0;
}

// Every call on the handle while the bridge is gone, and the open by serial
// until it is back.
int unplug(const char *serial) {
    FT_HANDLE h = nullptr;
    FT_STATUS st = ft.FT_OpenEx(const_cast<char *>(serial), FT_OPEN_BY_SERIAL_NUMBER, &h);
    status("open", st);
    if (st != FT_OK) return 1;
    ft.FT_SetTimeouts(h, 500, 500);
    drain(h);
    unsigned char answer[128];
    int n = exchange(h, answer, &st);
    std::printf("exchange-before status=%u length=%d\n", st, n);
    std::printf("@@ACTION unplug\n");
    std::fflush(stdout);
    auto start = Clock::now();
    DWORD rx = 0, tx = 0, ev = 0;
    while ((st = ft.FT_GetStatus(h, &rx, &tx, &ev)) == FT_OK && millisSince(start) < 15000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    figure("unplug-noticed-ms", millisSince(start), "ms");
    status("gone get-status", st);
    DWORD done = 0;
    status("gone write", ft.FT_Write(h, answer, 4, &done));
    status("gone read", ft.FT_Read(h, answer, 4, &done));
    status("gone purge", ft.FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX));
    status("gone timeouts", ft.FT_SetTimeouts(h, 500, 500));
    status("gone latency", ft.FT_SetLatencyTimer(h, 2));
    DWORD type, id;
    char ser[64], desc[96];
    status("gone device-info", ft.FT_GetDeviceInfo(h, &type, &id, ser, desc, nullptr));
    DWORD count = 99;
    st = ft.FT_ListDevices(&count, nullptr, FT_LIST_NUMBER_ONLY);
    std::printf("gone list-number status=%u\n", st);
    FT_HANDLE again = nullptr;
    st = ft.FT_OpenEx(const_cast<char *>(serial), FT_OPEN_BY_SERIAL_NUMBER, &again);
    std::printf("gone open status=%u\n", st);
    if (st == FT_OK) ft.FT_Close(again);
    status("gone close", ft.FT_Close(h));
    status("gone close-again", ft.FT_Close(h));
    std::printf("@@ACTION replug\n");
    std::fflush(stdout);

    // The statuses on the way back depend on when the kernel gets to the
    // bridge: only the first and the last are compared.
    start = Clock::now();
    FT_STATUS last = 1000;
    while (millisSince(start) < 30000) {
        st = ft.FT_OpenEx(const_cast<char *>(serial), FT_OPEN_BY_SERIAL_NUMBER, &again);
        if (last == 1000) std::printf("reopen-first status=%u\n", st);
        else if (st != last) std::printf("note reopen status=%u after %.0f ms\n", st, millisSince(start));
        last = st;
        if (st == FT_OK) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::printf("reopen-last status=%u\n", st);
    figure("reopen-ms", millisSince(start), "ms");
    if (st != FT_OK) return 1;
    ft.FT_SetTimeouts(again, 500, 500);
    drain(again);
    n = exchange(again, answer, &st);
    std::printf("exchange-after status=%u length=%d\n", st, n);
    ft.FT_Close(again);
    return 0;
}

// The list as another process sees it while this one holds the bridge.
int openedElsewhere(const char *serial) {
    FT_HANDLE h = nullptr;
    FT_STATUS st = ft.FT_OpenEx(const_cast<char *>(serial), FT_OPEN_BY_SERIAL_NUMBER, &h);
    status("open", st);
    if (st != FT_OK) return 1;
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        execl(g_self, g_self, g_library, "other-process", serial, static_cast<char *>(nullptr));
        _exit(127);
    }
    int wst = 0;
    waitpid(child, &wst, 0);
    std::printf("other-process exit=%d\n", WIFEXITED(wst) ? WEXITSTATUS(wst) : 128 + WTERMSIG(wst));
    status("close", ft.FT_Close(h));
    return 0;
}

int otherProcess(const char *serial) {
    std::printf("-- in another process\n");
    listDevices();
    FT_HANDLE h = nullptr;
    FT_STATUS st = ft.FT_OpenEx(const_cast<char *>(serial), FT_OPEN_BY_SERIAL_NUMBER, &h);
    std::printf("other-open status=%u\n", st);
    if (st == FT_OK) ft.FT_Close(h);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 3) {
        std::fprintf(stderr, "usage: ft_probe LIBRARY SCENARIO [ARGUMENTS]\n");
        return 2;
    }
    g_self = argv[0];
    g_library = argv[1];
    void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        std::fprintf(stderr, "ft_probe: %s\n", dlerror());
        return 3;
    }
#define QOLVEN_PROBE_LOOKUP(name)                                                        \
    ft.name = reinterpret_cast<decltype(ft.name)>(dlsym(lib, #name));                    \
    if (!ft.name) {                                                                      \
        std::fprintf(stderr, "ft_probe: %s lacks " #name "\n", argv[1]);                 \
        return 3;                                                                        \
    }
    QOLVEN_PROBE_FUNCTIONS(QOLVEN_PROBE_LOOKUP)
#undef QOLVEN_PROBE_LOOKUP
    g_number = static_cast<unsigned char>(getpid() % 200 + 1);
    std::string scenario = argv[2];
    if (scenario == "list") return listDevices();
    if (scenario == "calls" && argc == 4) return calls(argv[3]);
    if (scenario == "long" && argc == 5) return longSerial(argv[3], argv[4]);
    if (scenario == "open" && argc == 4) return openOnce(argv[3]);
    if (scenario == "exchanges" && argc == 5) return exchanges(argv[3], std::atoi(argv[4]));
    if (scenario == "unplug" && argc == 4) return unplug(argv[3]);
    if (scenario == "opened-elsewhere" && argc == 4) return openedElsewhere(argv[3]);
    if (scenario == "other-process" && argc == 4) return otherProcess(argv[3]);
    std::fprintf(stderr, "ft_probe: unknown scenario or wrong arguments\n");
    return 2;
}
