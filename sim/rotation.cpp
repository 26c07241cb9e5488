// Rotation values 0x4B.  Board types 8, 11 and 14 have a rotation input whose
// shaft turns at BoardConfig::rotationRpm.  The angle is the number of pulses counted
// since the last angle reset (pulses per rotation from EEPROM register 124; it only
// advances while that is nonzero), sent as a signed 24-bit value that wraps; the speed is
// the shaft speed in whole revolutions per minute (0 while the pulse count is 0), sent as
// an unsigned 24-bit value.  Other board types answer angle 0 and speed 0.
// The angle is reset by writing 0 into memory registers 128..130 (type 8) or 45..47
// (types 11, 14).
#include "sim_internal.h"

#include <cmath>

namespace qolven_sim {
namespace detail {

bool has_rotation(int type) { return type == 8 || type == 11 || type == 14; }

static int pulses_per_rotation(const Device &d) { return d.st.eeprom[124]; }

void rotation_advance(Device &d, TimePoint now) {
    double dt = seconds_between(d.rotationLast, now);
    d.rotationLast = now;
    if (!has_rotation(d.cfg.boardType) || dt <= 0) return;
    d.rotationPulses += dt * d.cfg.rotationRpm / 60.0 * pulses_per_rotation(d);
    d.rotationPulses = std::fmod(d.rotationPulses, 16777216.0);
}

void rotation_reset_angle(Device &d, TimePoint now) {
    rotation_advance(d, now);
    d.rotationPulses = 0;
}

void handle_rotation(HandlerContext &c) {
    Device &d = c.d;
    rotation_advance(d, c.now);
    uint32_t angle = 0, speed = 0;
    if (has_rotation(d.cfg.boardType)) {
        angle = static_cast<uint32_t>(static_cast<int64_t>(std::floor(d.rotationPulses))) & 0xFFFFFF;
        if (pulses_per_rotation(d) != 0) speed = static_cast<uint32_t>(std::lround(std::fabs(d.cfg.rotationRpm))) & 0xFFFFFF;
    }
    c.a.primary = make_packet(c.r.number, 0x4B,
                              {static_cast<uint8_t>(angle >> 16), static_cast<uint8_t>(angle >> 8),
                               static_cast<uint8_t>(angle), static_cast<uint8_t>(speed >> 16),
                               static_cast<uint8_t>(speed >> 8), static_cast<uint8_t>(speed)});
}

} // namespace detail
} // namespace qolven_sim
