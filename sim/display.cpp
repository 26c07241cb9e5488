// Display page 0x46 and front-panel keys 0x60..0x67.
//
// The page is four lines of 16 characters:
//   line 1  "LOAD" and the load of the live count, 3 decimals, right-aligned ("LOAD      0.046 ")
//   line 2  "UNIT <unit code>"
//   line 3  "MENU CLOSED" or "MENU ITEM <n>" (Menu opens/closes, Tare/Up and Hold/Down move,
//           Shunt/Exit closes)
//   line 4  "KEY <last key>" ("KEY NONE" before any key)
// set_display_page() fixes the page text until the next key press.
#include "sim_internal.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace qolven_sim {
namespace detail {

static const char *const kKeyNames[8] = {"BATTERY/ENTER", "TARE/UP", "DISPLAY/BACK", "RESET/LEFT",
                                         "MENU", "UNIT/RIGHT", "SHUNT/EXIT", "HOLD/DOWN"};

static std::string line16(std::string s) {
    s.resize(16, ' ');
    return s;
}

static double decode_entry(const uint8_t b[4], bool &ok) {
    uint32_t v = (b[1] << 16) | (b[2] << 8) | b[3];
    ok = true;
    if (b[0] == 2) return v;
    if (b[0] == 1) return static_cast<double>(v) - 16777216.0;
    ok = false;
    return 0;
}

// The load the board shows: along its loading points in use when there are
// two or more, else along its offset and full-scale pair (the first and last
// entry of the table); the decimal point applied.  Without a usable pair of
// points it shows 0.
static double shown_load(const Device &d, double count) {
    const int type = d.cfg.boardType;
    const auto &c0 = d.st.channel[0];
    int inUse, decimals;
    if (type == 9) {
        inUse = c0[96];
        decimals = c0[114];
    } else if (type == 0) {
        inUse = d.st.eeprom[120] & 0xFF;
        decimals = 0;  // type 0 keeps no decimal point
    } else {
        inUse = d.st.eeprom[96] & 0xFF;
        decimals = d.st.eeprom[114] & 0xFF;
    }
    auto loadOf = [&](int p) -> double {
        if (type == 9) return c0[(2 * p + 65) & 0xFF] * 256 + c0[(2 * p + 64) & 0xFF];
        return d.st.eeprom[((type == 0 ? 80 : 64) + 2 * p) & 0xFF];
    };
    std::vector<int> points;
    if (inUse >= 2) {
        for (int p = 0; p < inUse && p <= last_point(type); ++p) points.push_back(p);
    } else {
        points = {0, last_point(type)};
    }
    std::vector<double> counts, loads;
    for (int p : points) {
        uint8_t entry[4];
        bool ok;
        read_entry(d, 0, p, entry);
        counts.push_back(decode_entry(entry, ok));
        if (!ok) return 0;
        loads.push_back(loadOf(p));
    }
    // The segment that holds the count, else the nearer end segment.
    const bool rising = counts.back() > counts.front();
    size_t seg = 1;
    while (seg + 1 < counts.size() && (rising ? count > counts[seg] : count < counts[seg])) ++seg;
    if (counts[seg] == counts[seg - 1]) return 0;
    double stored = loads[seg - 1] + (count - counts[seg - 1]) / (counts[seg] - counts[seg - 1]) * (loads[seg] - loads[seg - 1]);
    return stored / std::pow(10.0, decimals);
}

std::string current_display_page(Device &d, TimePoint now) {
    if (d.displayOverride) return *d.displayOverride;
    int type = d.cfg.boardType;
    int unit;
    if (type == 9) unit = d.st.channel[0][106];
    else if (type == 0) unit = d.st.eeprom[126] & 0xFF;
    else unit = d.st.eeprom[106] & 0xFF;
    double load = shown_load(d, live_count(d, now));
    char buf[64];
    std::snprintf(buf, sizeof buf, "LOAD%11.3f ", load);
    std::string page = line16(buf);
    page += line16("UNIT " + std::to_string(unit));
    page += line16(d.menuOpen ? "MENU ITEM " + std::to_string(d.menuItem) : std::string("MENU CLOSED"));
    page += line16(std::string("KEY ") + (d.lastKey < 0 ? "NONE" : kKeyNames[d.lastKey & 7]));
    return page;
}

void handle_display(HandlerContext &c) {
    Device &d = c.d;
    uint8_t cmd = c.r.command;
    if (cmd == 0x46) {
        std::string page = current_display_page(d, c.now);
        c.a.primary = make_packet(c.r.number, 0x46, std::vector<uint8_t>(page.begin(), page.end()));
        return;
    }
    int key = cmd - 0x60;  // 0..7
    d.keys.push_back(cmd);
    if (d.keys.size() > kMaxKeyPresses) d.keys.pop_front();
    d.lastKey = key;
    d.displayOverride.reset();
    switch (cmd) {
    case 0x64: d.menuOpen = !d.menuOpen; d.menuItem = 0; break;
    case 0x61: if (d.menuOpen && d.menuItem > 0) d.menuItem--; break;
    case 0x67: if (d.menuOpen) d.menuItem++; break;
    case 0x66: d.menuOpen = false; break;
    default: break;
    }
    c.a.primary = make_ack(c.r.number);
}

} // namespace detail
} // namespace qolven_sim
