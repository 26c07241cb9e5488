// The recorder on many virtual boards: samples received and lost, the
// processor time of the whole process and of the recorder's writer thread,
// and the file's size against the samples' size in memory.
//
//   record_bench [--boards 16] [--seconds 600] [--rate 15] [--output FILE.h5|FILE.csv] [--baseline]
//
// The virtual boards run inside this process (the simulated bridge), so the
// readers' time includes the boards' own work; --baseline streams the same
// boards without recording, to tell the recorder's share.
#include <qolven.h>
#include <qolven_record.h>
#include <qolven_sim_c.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

double cpuSeconds() {
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Processor seconds by thread name, from /proc/self/task.
std::map<std::string, double> threadSeconds() {
    std::map<std::string, double> out;
    const double tick = double(sysconf(_SC_CLK_TCK));
    DIR *dir = opendir("/proc/self/task");
    if (!dir) return out;
    while (dirent *e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream stat(std::string("/proc/self/task/") + e->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::string name = text.substr(open + 1, close - open - 1);
        std::istringstream rest(text.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) utime = std::strtoull(field.c_str(), nullptr, 10);
            if (i == 15) stime = std::strtoull(field.c_str(), nullptr, 10);
        }
        out[name.rfind("qrec-read", 0) == 0 ? "readers" : name] += double(utime + stime) / tick;
    }
    closedir(dir);
    return out;
}

double loadAverage() {
    double load[1] = {0};
    return getloadavg(load, 1) == 1 ? load[0] : -1;
}

} // namespace

int main(int argc, char **argv) {
    int boards = 16, rate = 15;
    double seconds = 600;
    bool baseline = false;
    std::string output = "/tmp/qolven-record-bench.h5";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char * {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--boards") boards = std::atoi(next());
        else if (a == "--seconds") seconds = std::atof(next());
        else if (a == "--rate") rate = std::atoi(next());
        else if (a == "--output") output = next();
        else if (a == "--baseline") baseline = true;
        else {
            std::fprintf(stderr, "usage: record_bench [--boards N] [--seconds S] [--rate CODE] [--output FILE] [--baseline]\n");
            return 2;
        }
    }
    std::string description;
    for (int i = 0; i < boards; ++i) description += "serial=B" + std::to_string(100 + i) + ";";
    char error[512];
    if (qolven_sim_configure(description.c_str(), error, sizeof error)) {
        std::fprintf(stderr, "%s\n", error);
        return 1;
    }
    std::vector<qolven_device *> devices;
    for (int i = 0; i < boards; ++i) {
        qolven_device *d = qolven_create();
        if (qolven_open(d, ("B" + std::to_string(100 + i)).c_str()) != QOLVEN_OK) {
            std::fprintf(stderr, "open: %s\n", qolven_error_text(d));
            return 1;
        }
        devices.push_back(d);
    }
    const double load0 = loadAverage();
    const double cpu0 = cpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    uint64_t samples = 0, lost = 0, bytes = 0;
    std::map<std::string, double> threads;
    if (baseline) {
        // The same streams read without a recorder, one thread per board.
        std::atomic<uint64_t> received{0}, missing{0};
        std::atomic<int> running{boards};
        std::vector<std::thread> readers;
        for (qolven_device *d : devices)
            readers.emplace_back([&, d] {
                pthread_setname_np(pthread_self(), "qrec-read-base");
                qolven_stream_start(d, rate);
                std::vector<int32_t> count(4096);
                const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
                while (std::chrono::steady_clock::now() < end) {
                    size_t n = 0;
                    qolven_stream_read_samples(d, nullptr, nullptr, count.data(), nullptr, nullptr, 4096, &n, 50);
                    received += n;
                }
                struct qolven_stream_info st {};
                qolven_stream_status(d, &st);
                missing += st.lost;
                qolven_stream_stop(d);
                --running;
            });
        while (running > 0) {
            threads = threadSeconds();
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        for (auto &t : readers) t.join();
        samples = received;
        lost = missing;
    } else {
        unlink(output.c_str());
        qolven_recorder *r = qolven_recorder_create();
        for (qolven_device *d : devices) qolven_recorder_add_device(r, d);
        if (qolven_recorder_set_output(r, output.c_str(), 1) || qolven_recorder_set_rate(r, rate) ||
            qolven_recorder_set_duration(r, seconds) || qolven_recorder_start(r)) {
            std::fprintf(stderr, "record: %s\n", qolven_recorder_error_text(r));
            return 1;
        }
        int finished = 0;
        while (!finished) {
            qolven_recorder_wait(r, 1000, &finished);
            if (!finished) threads = threadSeconds();  // the writer's figures before it ends
        }
        struct qolven_record_status st {};
        qolven_recorder_status(r, &st);
        samples = st.samples;
        lost = st.lost;
        struct stat file {};
        stat(output.c_str(), &file);
        bytes = uint64_t(file.st_size);
        qolven_recorder_destroy(r);
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = cpuSeconds() - cpu0;
    const double nominal = qolven_rate_samples_per_second(rate);
    std::printf("%s: %d boards at %g samples/s for %.0f s (load average %.1f at the start, %.1f at the end)\n",
                baseline ? "streams only" : "recording", boards, nominal, wall, load0, loadAverage());
    std::printf("  samples %llu of %.0f nominal, lost %llu\n", (unsigned long long)samples, boards * nominal * seconds,
                (unsigned long long)lost);
    std::printf("  processor: whole process %.3f cores", cpu / wall);
    if (threads.count("readers")) std::printf(", readers (library and virtual boards) %.3f", threads["readers"] / wall);
    if (threads.count("qrec-writer")) std::printf(", writer %.3f", threads["qrec-writer"] / wall);
    std::printf("\n");
    if (!baseline && samples) {
        // In memory a sample is its time, count, sequence, channel and load.
        const double raw = double(samples) * (8 + 4 + 8 + 1 + 8);
        std::printf("  file %.1f MB, %.2f bytes per sample; the samples' own size %.1f MB (%.2f of it)\n", bytes / 1e6,
                    double(bytes) / double(samples), raw / 1e6, double(bytes) / raw);
    }
    for (qolven_device *d : devices) qolven_destroy(d);
    return lost ? 3 : 0;
}
