// State file: the stored registers of every attached device (EEPROM, channel, memory,
// TEDS registers, pages and page backups), so that a later process sees what an earlier
// one wrote.  Text format, one record per line:
//   qolven-sim-state 1
//   device <serial>
//   eeprom <256 x 4 hex digits>
//   channel <c> <256 x 2 hex digits>
//   memory <256 x 2 hex digits>
//   teds <address> <value>          (only registers that are not 0xff)
//   page <p> <129 x 2 hex digits>   (only pages that differ from the factory pattern)
//   backup <p> <129 x 2 hex digits> (likewise)
// Loading applies the records of attached devices and skips unknown serial numbers.
// Saving writes a temporary file and renames it over the target.
#include "sim_internal.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace qolven_sim {
namespace detail {

namespace {

std::string hex_of(const uint8_t *p, size_t n) {
    static const char *digits = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bool bytes_of(const std::string &hex, std::vector<uint8_t> &out) {
    if (hex.size() % 2) return false;
    out.clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned v;
        if (std::sscanf(hex.c_str() + i, "%2x", &v) != 1) return false;
        if (!std::isxdigit(static_cast<unsigned char>(hex[i])) || !std::isxdigit(static_cast<unsigned char>(hex[i + 1])))
            return false;
        out.push_back(static_cast<uint8_t>(v));
    }
    return true;
}

bool page_is_default(const std::vector<uint8_t> &pages, int p) {
    for (int i = 0; i < kPageSize; ++i)
        if (pages[p * kPageSize + i] != default_page_byte(p, i)) return false;
    return true;
}

} // namespace

bool save_state_locked(Bridge &b, const std::string &path) {
    std::ostringstream o;
    o << "qolven-sim-state 1\n";
    for (auto &dp : b.devices) {
        const Device &d = *dp;
        o << "device " << d.cfg.serial << "\n";
        uint8_t e[512];
        for (int i = 0; i < 256; ++i) { e[2 * i] = d.st.eeprom[i] >> 8; e[2 * i + 1] = d.st.eeprom[i] & 0xFF; }
        o << "eeprom " << hex_of(e, 512) << "\n";
        for (int c = 0; c < 4; ++c) o << "channel " << c << " " << hex_of(d.st.channel[c], 256) << "\n";
        o << "memory " << hex_of(d.st.memory, 256) << "\n";
        for (int a = 0; a < kTedsSize; ++a)
            if (d.st.teds[a] != 0xFF) o << "teds " << a << " " << int(d.st.teds[a]) << "\n";
        for (int p = 0; p < kPages; ++p) {
            if (!page_is_default(d.st.pages, p)) o << "page " << p << " " << hex_of(&d.st.pages[p * kPageSize], kPageSize) << "\n";
            if (!page_is_default(d.st.backups, p))
                o << "backup " << p << " " << hex_of(&d.st.backups[p * kPageSize], kPageSize) << "\n";
        }
    }
    std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        if (!f) return false;
        f << o.str();
        if (!f.good()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool load_state_locked(Bridge &b, const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    std::string line;
    if (!std::getline(f, line) || line.rfind("qolven-sim-state 1", 0) != 0) return false;
    // Parse everything first; apply only when the whole file is well formed.
    struct Pending { std::string serial; std::vector<std::string> lines; };
    std::vector<Pending> devices;
    while (std::getline(f, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line.rfind("device ", 0) == 0) {
            devices.push_back({line.substr(7), {}});
        } else {
            if (devices.empty()) return false;
            devices.back().lines.push_back(line);
        }
    }
    struct Update { DevicePtr d; Storage st; };
    std::vector<Update> updates;
    for (auto &p : devices) {
        DevicePtr d = find_device(b, p.serial);
        Storage st = d ? d->st : Storage();
        // Pages and backups not listed are at the factory pattern.
        st.pages.resize(kPages * kPageSize);
        for (int pg = 0; pg < kPages; ++pg)
            for (int i = 0; i < kPageSize; ++i) st.pages[pg * kPageSize + i] = default_page_byte(pg, i);
        st.backups = st.pages;
        bool tedsCleared = false;
        for (auto &l : p.lines) {
            std::istringstream in(l);
            std::string kind;
            in >> kind;
            std::vector<uint8_t> bytes;
            if (kind == "eeprom") {
                std::string h;
                in >> h;
                if (!bytes_of(h, bytes) || bytes.size() != 512) return false;
                for (int i = 0; i < 256; ++i) st.eeprom[i] = static_cast<uint16_t>((bytes[2 * i] << 8) | bytes[2 * i + 1]);
            } else if (kind == "channel") {
                int c = -1;
                std::string h;
                in >> c >> h;
                if (c < 0 || c > 3 || !bytes_of(h, bytes) || bytes.size() != 256) return false;
                for (int i = 0; i < 256; ++i) st.channel[c][i] = bytes[i];
            } else if (kind == "memory") {
                std::string h;
                in >> h;
                if (!bytes_of(h, bytes) || bytes.size() != 256) return false;
                for (int i = 0; i < 256; ++i) st.memory[i] = bytes[i];
            } else if (kind == "teds") {
                long a = -1, v = -1;
                in >> a >> v;
                if (a < 0 || a >= kTedsSize || v < 0 || v > 255) return false;
                if (!tedsCleared) { st.teds.assign(kTedsSize, 0xFF); tedsCleared = true; }
                st.teds[a] = static_cast<uint8_t>(v);
            } else if (kind == "page" || kind == "backup") {
                int pg = -1;
                std::string h;
                in >> pg >> h;
                if (pg < 0 || pg >= kPages || !bytes_of(h, bytes) || bytes.size() != kPageSize) return false;
                auto &dst = kind == "page" ? st.pages : st.backups;
                std::copy(bytes.begin(), bytes.end(), dst.begin() + pg * kPageSize);
            } else {
                return false;
            }
        }
        if (!tedsCleared) st.teds.assign(kTedsSize, 0xFF);  // no teds lines: all erased
        if (d) updates.push_back({d, std::move(st)});
    }
    for (auto &u : updates) {
        u.d->st.teds = u.st.teds;
        std::copy(std::begin(u.st.eeprom), std::end(u.st.eeprom), u.d->st.eeprom);
        std::copy(&u.st.channel[0][0], &u.st.channel[0][0] + 4 * 256, &u.d->st.channel[0][0]);
        std::copy(std::begin(u.st.memory), std::end(u.st.memory), u.d->st.memory);
        u.d->st.pages = u.st.pages;
        u.d->st.backups = u.st.backups;
    }
    return true;
}

} // namespace detail
} // namespace qolven_sim
