// Reads a recording back, HDF5 or CSV, into one shape for the tests: the
// attributes as texts, every device's columns and the events.  HDF5 through
// its C library (x86-64 builds, QOLVEN_TEST_HDF5), opened as a SWMR reader
// when the writer was killed.
#ifndef QOLVEN_TEST_RECORDING_FILE_H
#define QOLVEN_TEST_RECORDING_FILE_H

#include <qolven_record.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#ifdef QOLVEN_TEST_HDF5
#include <hdf5.h>
#endif

namespace recording_test {

struct DeviceData {
    std::map<std::string, std::string> attrs;
    std::vector<long long> sequence;
    std::vector<int> channel, count;
    std::vector<double> time, load;
};

struct EventData {
    double time = 0;
    int device = -1, kind = 0, detail = 0;
    long long sequence = -1;
    double value = 0;
    std::string text;
};

struct FileData {
    bool ok = false;
    std::string error;
    std::map<std::string, std::string> attrs;
    std::vector<DeviceData> devices;
    std::vector<EventData> events;

    std::vector<EventData> of(int kind) const {
        std::vector<EventData> out;
        for (const EventData &e : events)
            if (e.kind == kind) out.push_back(e);
        return out;
    }
    double number(const std::string &name) const {
        auto it = attrs.find(name);
        return it == attrs.end() ? NAN : std::strtod(it->second.c_str(), nullptr);
    }
};

inline double number(const DeviceData &d, const std::string &name) {
    auto it = d.attrs.find(name);
    return it == d.attrs.end() ? NAN : std::strtod(it->second.c_str(), nullptr);
}

inline int eventKind(const std::string &name) {
    for (int k = 1; k < 32; ++k)
        if (name == qolven_record_event_name(k)) return k;
    return 0;
}

// key=value pairs of a '#' line; values may be "quoted".
inline std::map<std::string, std::string> pairs(const std::string &text) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') ++i;
        size_t eq = text.find('=', i);
        if (eq == std::string::npos) break;
        std::string key = text.substr(i, eq - i);
        std::string value;
        i = eq + 1;
        if (i < text.size() && text[i] == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\' && i + 1 < text.size()) ++i;
                value += text[i];
            }
            ++i;
        } else {
            while (i < text.size() && text[i] != ' ') value += text[i++];
        }
        out[key] = value;
    }
    return out;
}

inline FileData readCsv(const std::string &path) {
    FileData f;
    std::ifstream in(path);
    if (!in) {
        f.error = "cannot open " + path;
        return f;
    }
    std::map<std::string, int> bySerial;
    std::string line;
    bool header = false;
    while (std::getline(in, line)) {
        if (line.rfind("# device ", 0) == 0) {
            // "# device N: ...", "# device N calibration: ...", "# device N end: ..."
            size_t colon = line.find(':');
            int index = std::atoi(line.c_str() + 9);
            if (index >= int(f.devices.size())) f.devices.resize(size_t(index) + 1);
            const bool end = line.find(" end:") < colon + 1;
            for (auto &kv : pairs(line.substr(colon + 1)))
                f.devices[size_t(index)].attrs[(end ? "end_" : "") + kv.first] = kv.second;
            if (line.compare(9 + std::to_string(index).size(), 1, ":") == 0)
                bySerial[f.devices[size_t(index)].attrs["serial"]] = index;
        } else if (line.rfind("# event: ", 0) == 0) {
            auto p = pairs(line.substr(9));
            EventData e;
            e.time = std::strtod(p["time"].c_str(), nullptr);
            e.device = std::atoi(p["device"].c_str());
            e.kind = eventKind(p["kind"]);
            e.detail = std::atoi(p["detail"].c_str());
            e.sequence = std::atoll(p["sequence"].c_str());
            e.value = std::strtod(p["value"].c_str(), nullptr);
            e.text = p["text"];
            f.events.push_back(e);
        } else if (line.rfind("# end: ", 0) == 0) {
            for (auto &kv : pairs(line.substr(7))) f.attrs[kv.first] = kv.second;
        } else if (line.rfind("# ", 0) == 0 && line.rfind("# qolven recording:", 0) != 0) {
            for (auto &kv : pairs(line.substr(2))) f.attrs[kv.first] = kv.second;
        } else if (line.rfind("#", 0) == 0) {
            continue;
        } else if (!header) {
            header = true;
        } else {
            std::istringstream row(line);
            std::string serial, seq, ch, t, count, load;
            std::getline(row, serial, ',');
            std::getline(row, seq, ',');
            std::getline(row, ch, ',');
            std::getline(row, t, ',');
            std::getline(row, count, ',');
            std::getline(row, load);
            auto it = bySerial.find(serial);
            if (it == bySerial.end()) {
                f.error = "row of an unknown device: " + line;
                return f;
            }
            DeviceData &d = f.devices[size_t(it->second)];
            d.sequence.push_back(std::atoll(seq.c_str()));
            d.channel.push_back(std::atoi(ch.c_str()));
            d.time.push_back(std::strtod(t.c_str(), nullptr));
            d.count.push_back(std::atoi(count.c_str()));
            d.load.push_back(load.empty() ? NAN : std::strtod(load.c_str(), nullptr));
        }
    }
    f.ok = header;
    if (!header) f.error = "no header row in " + path;
    return f;
}

#ifdef QOLVEN_TEST_HDF5
namespace h5 {

inline std::string text(hid_t a) {
    hid_t t = H5Aget_type(a);
    std::string out;
    if (H5Tget_class(t) == H5T_STRING && H5Tis_variable_str(t) > 0) {
        char *p = nullptr;
        if (H5Aread(a, t, &p) >= 0 && p) out = p;
        if (p) H5free_memory(p);
    }
    H5Tclose(t);
    return out;
}

inline std::string value(hid_t a) {
    hid_t t = H5Aget_type(a);
    hid_t s = H5Aget_space(a);
    const H5T_class_t c = H5Tget_class(t);
    hssize_t n = H5Sget_simple_extent_npoints(s);
    std::string out;
    if (c == H5T_STRING) {
        out = text(a);
    } else if (c == H5T_INTEGER) {
        std::vector<long long> v(size_t(n > 0 ? n : 1));
        H5Aread(a, H5T_NATIVE_LLONG, v.data());
        for (hssize_t i = 0; i < n; ++i) out += (i ? ";" : "") + std::to_string(v[size_t(i)]);
    } else if (c == H5T_FLOAT) {
        std::vector<double> v(size_t(n > 0 ? n : 1));
        H5Aread(a, H5T_NATIVE_DOUBLE, v.data());
        char buf[64];
        for (hssize_t i = 0; i < n; ++i) {
            std::snprintf(buf, sizeof buf, "%.17g", v[size_t(i)]);
            out += (i ? ";" : "") + std::string(buf);
        }
    }
    H5Sclose(s);
    H5Tclose(t);
    return out;
}

inline herr_t collect(hid_t loc, const char *name, const H5A_info_t *, void *data) {
    auto *attrs = static_cast<std::map<std::string, std::string> *>(data);
    hid_t a = H5Aopen(loc, name, H5P_DEFAULT);
    (*attrs)[name] = value(a);
    H5Aclose(a);
    return 0;
}

template <typename T>
std::vector<T> column(hid_t group, const char *name, hid_t type) {
    std::vector<T> out;
    if (H5Lexists(group, name, H5P_DEFAULT) <= 0) return out;
    hid_t d = H5Dopen2(group, name, H5P_DEFAULT);
    hid_t s = H5Dget_space(d);
    hsize_t n = 0;
    H5Sget_simple_extent_dims(s, &n, nullptr);
    out.resize(size_t(n));
    if (n) H5Dread(d, type, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.data());
    H5Sclose(s);
    H5Dclose(d);
    return out;
}

struct EventRow {
    double time;
    int device, kind, detail;
    long long sequence;
    double value;
    char text[QOLVEN_RECORD_TEXT];
};

} // namespace h5

inline FileData readHdf5(const std::string &path) {
    FileData f;
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
    if (file < 0) {
        file = H5Fopen(path.c_str(), H5F_ACC_RDONLY | H5F_ACC_SWMR_READ, H5P_DEFAULT);
        f.attrs["opened_as_swmr_reader"] = "1";
    }
    if (file < 0) {
        f.error = "cannot open " + path;
        return f;
    }
    H5Aiterate2(file, H5_INDEX_NAME, H5_ITER_INC, nullptr, h5::collect, &f.attrs);
    hid_t devices = H5Gopen2(file, "devices", H5P_DEFAULT);
    H5G_info_t info;
    H5Gget_info(devices, &info);
    f.devices.resize(size_t(info.nlinks));
    for (hsize_t i = 0; i < info.nlinks; ++i) {
        char name[256];
        H5Lget_name_by_idx(devices, ".", H5_INDEX_NAME, H5_ITER_INC, i, name, sizeof name, H5P_DEFAULT);
        hid_t g = H5Gopen2(devices, name, H5P_DEFAULT);
        DeviceData d;
        H5Aiterate2(g, H5_INDEX_NAME, H5_ITER_INC, nullptr, h5::collect, &d.attrs);
        d.attrs["group"] = name;
        d.sequence = h5::column<long long>(g, "sequence", H5T_NATIVE_LLONG);
        d.channel = h5::column<int>(g, "channel", H5T_NATIVE_INT);
        d.count = h5::column<int>(g, "count", H5T_NATIVE_INT);
        d.time = h5::column<double>(g, "time", H5T_NATIVE_DOUBLE);
        d.load = h5::column<double>(g, "load", H5T_NATIVE_DOUBLE);
        if (d.load.empty()) d.load.assign(d.count.size(), NAN);
        H5Gclose(g);
        f.devices[size_t(std::atoi(d.attrs["index"].c_str())) % f.devices.size()] = d;
    }
    H5Gclose(devices);
    hid_t events = H5Dopen2(file, "events", H5P_DEFAULT);
    hid_t words = H5Tcopy(H5T_C_S1);
    H5Tset_size(words, QOLVEN_RECORD_TEXT);
    H5Tset_cset(words, H5T_CSET_UTF8);
    hid_t t = H5Tcreate(H5T_COMPOUND, sizeof(h5::EventRow));
    H5Tinsert(t, "time", HOFFSET(h5::EventRow, time), H5T_NATIVE_DOUBLE);
    H5Tinsert(t, "device", HOFFSET(h5::EventRow, device), H5T_NATIVE_INT);
    H5Tinsert(t, "detail", HOFFSET(h5::EventRow, detail), H5T_NATIVE_INT);
    H5Tinsert(t, "sequence", HOFFSET(h5::EventRow, sequence), H5T_NATIVE_LLONG);
    H5Tinsert(t, "value", HOFFSET(h5::EventRow, value), H5T_NATIVE_DOUBLE);
    H5Tinsert(t, "text", HOFFSET(h5::EventRow, text), words);
    // The kind as its number: an enumeration read into an integer by value.
    hid_t kinds = H5Tenum_create(H5T_NATIVE_INT);
    for (int k = 1; k <= QOLVEN_RECORD_EVENT_MARK; ++k) H5Tenum_insert(kinds, qolven_record_event_name(k), &k);
    H5Tinsert(t, "kind", HOFFSET(h5::EventRow, kind), kinds);
    std::vector<h5::EventRow> rows = h5::column<h5::EventRow>(file, "events", t);
    for (const h5::EventRow &r : rows)
        f.events.push_back(EventData{r.time, r.device, r.kind, r.detail, r.sequence, r.value, r.text});
    H5Tclose(kinds);
    H5Tclose(t);
    H5Tclose(words);
    H5Dclose(events);
    H5Fclose(file);
    f.ok = true;
    return f;
}
#endif

inline FileData readRecording(const std::string &path) {
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".csv") == 0) return readCsv(path);
#ifdef QOLVEN_TEST_HDF5
    return readHdf5(path);
#else
    FileData f;
    f.error = "this build reads no HDF5";
    return f;
#endif
}

} // namespace recording_test

#endif
