// The one definition of a load: a count along the board's loading points,
// straight lines between them and the end segments extended, the decimal
// point applied.  docs/loads.md explains why this is what the board does.
#ifndef QOLVEN_ACQUISITION_LOAD_H
#define QOLVEN_ACQUISITION_LOAD_H

#include <cstdint>
#include <string>
#include <vector>

#include "qolven.h"

namespace qolven_acquisition {

struct LoadPoint {
    int64_t count;
    int64_t load;  // stored load, before the decimal point
};

// Empty when a load can follow the points; otherwise why not.
std::string checkLoadPoints(const std::vector<LoadPoint> &points);
// The load at `count`, decimal point applied; false when the calibration has none.
bool calibratedLoad(const qolven_calibration &c, int64_t count, double &load);
// As the display writes it: the calibration's decimal places (none when it keeps no decimal point).
std::string loadText(double load, int decimalPoint);

} // namespace qolven_acquisition

struct qolven_device;

namespace qolven_acquisition {
// The object's calibration, read from the board on first use.
int knownCalibration(qolven_device *d, qolven_calibration *&calibration);
// A sample's load: NaN without a calibration, a host-side tare taken off.
double sampleLoad(const qolven_device *d, const qolven_calibration &c, int64_t count);
} // namespace qolven_acquisition

#endif
