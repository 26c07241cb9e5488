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

#include <cstdio>

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

std::string current_display_page(Device &d, TimePoint now) {
    if (d.displayOverride) return *d.displayOverride;
    int type = d.cfg.boardType;
    uint8_t off[4], fs[4];
    read_entry(d, 0, 0, off);
    read_entry(d, 0, last_point(type), fs);
    bool ok1, ok2;
    double offCount = decode_entry(off, ok1), fsCount = decode_entry(fs, ok2);
    double offLoad, fsLoad;
    int unit;
    if (type == 9) {
        offLoad = d.st.channel[0][65] * 256 + d.st.channel[0][64];
        fsLoad = d.st.channel[0][95] * 256 + d.st.channel[0][94];
        unit = d.st.channel[0][106];
    } else if (type == 0) {
        offLoad = d.st.eeprom[80];
        fsLoad = d.st.eeprom[118];
        unit = d.st.eeprom[126] & 0xFF;
    } else {
        offLoad = d.st.eeprom[64];
        fsLoad = d.st.eeprom[94];
        unit = d.st.eeprom[106] & 0xFF;
    }
    double load = 0;
    if (ok1 && ok2 && fsCount != offCount)
        load = (live_count(d, now) - offCount) / (fsCount - offCount) * (fsLoad - offLoad) + offLoad;
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
