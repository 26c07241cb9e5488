// Board storage: the factory defaults of every board type, the per-type locations of
// values that several commands share (loading-point entries, ADC configuration byte),
// and the TEDS and page areas that are only allocated when first written.
//
// Erased EEPROM registers read 0xFFFF and erased channel/TEDS registers 0xFF, so an
// unused loading point reads as "Unassigned".  Memory registers start at 0.
#include "sim_internal.h"

#include <cstring>

namespace qolven_sim {
namespace detail {

namespace {
constexpr int32_t kOffsetCount = 8386698;
constexpr int32_t kFullscaleCount = 12530488;
constexpr uint16_t kOffsetLoad = 0;
constexpr uint16_t kFullscaleLoad = 2;
constexpr int kUnitCode = 34;
constexpr uint32_t kShunt = 2986902;
constexpr uint32_t kSensorId = 123456;
constexpr uint8_t kAdcConfig = 0x70;   // PGA 7, sampling-rate code 0
constexpr uint8_t kAverage = 34;

uint16_t hl(int high, int low) { return static_cast<uint16_t>(((high & 0xFF) << 8) | (low & 0xFF)); }
uint16_t byte8(int v) { return hl(0xFF, v); }  // 8-bit parameter: high byte 0xFF
} // namespace

uint8_t default_page_byte(int page, int index) { return static_cast<uint8_t>((page * 7 + index) & 0xFF); }

uint8_t teds_byte(const Storage &s, int address) {
    return s.teds.empty() ? 0xFF : s.teds[address & 0xFFFF];
}

void set_teds_byte(Storage &s, int address, uint8_t value) {
    if (s.teds.empty()) {
        if (value == 0xFF) return;
        s.teds.assign(kTedsSize, 0xFF);
    }
    s.teds[address & 0xFFFF] = value;
}

uint8_t page_byte(const std::vector<uint8_t> &area, int page, int index) {
    page &= 0xFF;
    return area.empty() ? default_page_byte(page, index) : area[page * kPageSize + index];
}

uint8_t *page_bytes(std::vector<uint8_t> &area, int page) {
    if (area.empty()) {
        area.resize(kPages * kPageSize);
        for (int p = 0; p < kPages; ++p)
            for (int i = 0; i < kPageSize; ++i) area[p * kPageSize + i] = default_page_byte(p, i);
    }
    return &area[(page & 0xFF) * kPageSize];
}

bool page_is_default(const std::vector<uint8_t> &area, int page) {
    if (area.empty()) return true;
    for (int i = 0; i < kPageSize; ++i)
        if (area[page * kPageSize + i] != default_page_byte(page, i)) return false;
    return true;
}

bool is_channel_board(const Device &d) { return d.cfg.boardType == 9; }

int last_point(int boardType) { return boardType == 0 ? 19 : 15; }

void encode_status_count(int32_t count, uint8_t out[4]) {
    if (count > 16777215) {           // positive overflow
        out[0] = 3; out[1] = out[2] = out[3] = 0;
    } else if (count < -16777216) {   // negative overflow
        out[0] = 0; out[1] = out[2] = out[3] = 0xFF;
    } else {
        uint32_t v = static_cast<uint32_t>(count) & 0xFFFFFFu;
        out[0] = count < 0 ? 1 : 2;
        out[1] = (v >> 16) & 0xFF; out[2] = (v >> 8) & 0xFF; out[3] = v & 0xFF;
    }
}

static int entry_base(const Device &d, int channel, int point) {
    // Board type 9: second block of entries for channels above 2 with type of calibration 1.
    int base = 4 * point;
    if (channel > 2 && ((d.st.channel[channel & 3][127] >> 6) & 1)) base += 64;
    return base;
}

void store_entry(Device &d, int channel, int point, int32_t count) {
    uint8_t b[4];
    encode_status_count(count, b);
    if (is_channel_board(d)) {
        int base = entry_base(d, channel, point);
        auto &c = d.st.channel[channel & 3];
        c[(base + 3) & 0xFF] = b[0]; c[(base + 2) & 0xFF] = b[1];
        c[(base + 1) & 0xFF] = b[2]; c[base & 0xFF] = b[3];
    } else {
        d.st.eeprom[(4 * point + 2) & 0xFF] = hl(b[0], b[1]);
        d.st.eeprom[(4 * point) & 0xFF] = hl(b[2], b[3]);
    }
}

void read_entry(const Device &d, int channel, int point, uint8_t out[4]) {
    if (is_channel_board(d)) {
        int base = entry_base(d, channel, point);
        auto &c = d.st.channel[channel & 3];
        out[0] = c[(base + 3) & 0xFF]; out[1] = c[(base + 2) & 0xFF];
        out[2] = c[(base + 1) & 0xFF]; out[3] = c[base & 0xFF];
    } else {
        uint16_t a = d.st.eeprom[(4 * point + 2) & 0xFF], b = d.st.eeprom[(4 * point) & 0xFF];
        out[0] = a >> 8; out[1] = a & 0xFF; out[2] = b >> 8; out[3] = b & 0xFF;
    }
}

uint8_t adc_config_byte(const Device &d, int channel) {
    if (d.cfg.boardType == 9) return d.st.channel[channel & 3][100];
    if (d.cfg.boardType == 0) return d.st.eeprom[122] & 0xFF;
    return d.st.eeprom[100] & 0xFF;
}

void set_adc_config_byte(Device &d, int channel, uint8_t value) {
    if (d.cfg.boardType == 9) d.st.channel[channel & 3][100] = value;
    else if (d.cfg.boardType == 0) d.st.eeprom[122] = (d.st.eeprom[122] & 0xFF00) | value;
    else d.st.eeprom[100] = (d.st.eeprom[100] & 0xFF00) | value;
}

void init_storage(Device &d) {
    Storage &s = d.st;
    for (auto &e : s.eeprom) e = 0xFFFF;
    std::memset(s.channel, 0xFF, sizeof s.channel);
    std::memset(s.memory, 0, sizeof s.memory);
    // Erased TEDS memory and factory pages until something is written.
    std::vector<uint8_t>().swap(s.teds);
    std::vector<uint8_t>().swap(s.pages);
    std::vector<uint8_t>().swap(s.backups);
    s.internal.clear();
    s.logs.clear();
    s.memory[35] = kAverage;

    const int type = d.cfg.boardType;
    if (type == 9) {
        for (int ch = 0; ch < 4; ++ch) {
            auto &c = s.channel[ch];
            c[127] = 0;  // system byte (before entries: it selects the entry block)
            store_entry(d, ch, 0, kOffsetCount);
            store_entry(d, ch, 15, kFullscaleCount);
            c[65] = kOffsetLoad >> 8; c[64] = kOffsetLoad & 0xFF;
            c[95] = kFullscaleLoad >> 8; c[94] = kFullscaleLoad & 0xFF;
            c[96] = 1;           // number of loading points
            c[98] = 0;           // bridge byte
            c[100] = kAdcConfig;
            c[104] = (kSensorId >> 16) & 0xFF; c[103] = (kSensorId >> 8) & 0xFF; c[102] = kSensorId & 0xFF;
            c[106] = kUnitCode;
            c[108] = 0;          // direction
            c[112] = (kShunt >> 16) & 0xFF; c[111] = (kShunt >> 8) & 0xFF; c[110] = kShunt & 0xFF;
            c[114] = 0;          // decimal point
            c[116] = 0; c[118] = 21; c[120] = 7; c[122] = 11;  // calibration code, day, month, year
        }
        return;
    }
    store_entry(d, 0, 0, kOffsetCount);
    store_entry(d, 0, last_point(type), kFullscaleCount);
    if (type == 0) {
        s.eeprom[80] = kOffsetLoad;
        s.eeprom[118] = kFullscaleLoad;
        s.eeprom[120] = hl(0, 1);                                   // bridge byte 0, 1 loading point
        s.eeprom[122] = hl(kSensorId & 0xFF, kAdcConfig);           // sensor id low, ADC configuration
        s.eeprom[124] = hl((kSensorId >> 16) & 0xFF, (kSensorId >> 8) & 0xFF);
        s.eeprom[126] = hl(0, kUnitCode);                           // direction 0, unit code
        return;
    }
    s.eeprom[64] = kOffsetLoad;
    s.eeprom[94] = kFullscaleLoad;
    s.eeprom[96] = byte8(1);
    s.eeprom[98] = byte8(0);
    s.eeprom[100] = byte8(kAdcConfig);
    s.eeprom[102] = hl((kSensorId >> 8) & 0xFF, kSensorId & 0xFF);
    s.eeprom[104] = byte8((kSensorId >> 16) & 0xFF);
    s.eeprom[106] = byte8(kUnitCode);
    s.eeprom[108] = byte8(0);
    s.eeprom[110] = hl((kShunt >> 8) & 0xFF, kShunt & 0xFF);
    s.eeprom[112] = byte8((kShunt >> 16) & 0xFF);
    s.eeprom[114] = byte8(0);
    s.eeprom[116] = byte8(0);
    s.eeprom[118] = byte8(21);
    s.eeprom[120] = byte8(7);
    s.eeprom[122] = byte8(11);
    s.eeprom[126] = hl(0, 0);  // system byte 0 (types 11, 14), voltage output 0
    if (type == 8 || type == 11 || type == 14) s.eeprom[124] = 360;
    if (type == 13) {
        // destination 02:00:00:00:00:01, 192.168.1.10:5000; source 02:00:00:00:00:02, 192.168.1.20:5001
        s.eeprom[128] = hl(0x00, 0x02); s.eeprom[130] = hl(0, 0); s.eeprom[132] = hl(0x01, 0x00);
        s.eeprom[134] = hl(168, 192); s.eeprom[136] = hl(10, 1); s.eeprom[138] = 5000;
        s.eeprom[140] = hl(0x00, 0x02); s.eeprom[142] = hl(0, 0); s.eeprom[144] = hl(0x02, 0x00);
        s.eeprom[146] = hl(168, 192); s.eeprom[148] = hl(20, 1); s.eeprom[150] = 5001;
    }
    if (type == 16) {
        s.eeprom[152] = byte8(5);    // excitation
        s.eeprom[154] = byte8(0);    // analog voltage output
        s.eeprom[156] = byte8(1);    // gain switch
        s.eeprom[158] = byte8(0);    // polarity
        s.eeprom[160] = byte8(10);   // shunt resistor
        s.eeprom[162] = 2000;        // sensor sensitivity
        s.eeprom[164] = 512; s.eeprom[166] = 512; s.eeprom[168] = 512;  // potentiometers
    }
}

void apply_overrides(Device &d) {
    for (const auto &o : d.overrides) {
        switch (o.kind) {
        case RegisterOverride::Eeprom: d.st.eeprom[o.address & 0xFF] = o.value & 0xFFFF; break;
        case RegisterOverride::Channel: d.st.channel[o.channel & 3][o.address & 0xFF] = o.value & 0xFF; break;
        case RegisterOverride::Memory: d.st.memory[o.address & 0xFF] = o.value & 0xFF; break;
        case RegisterOverride::Teds: set_teds_byte(d.st, o.address, o.value & 0xFF); break;
        case RegisterOverride::Internal: d.st.internal[o.address & 0xFF] = o.value & 0xFFFFFF; break;
        }
    }
}

} // namespace detail
} // namespace qolven_sim
