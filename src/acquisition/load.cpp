#include "acquisition/load.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace qolven_acquisition {

namespace {
// Beyond nine places the figures would only show the double's noise.
constexpr int kMostPlaces = 9;
} // namespace

std::string checkLoadPoints(const std::vector<LoadPoint> &points) {
    if (points.size() < 2) return "fewer than two loading points";
    const bool rising = points[1].count > points[0].count;
    for (size_t i = 1; i < points.size(); ++i) {
        const LoadPoint &a = points[i - 1], &b = points[i];
        if (a.count == b.count)
            return "loading points " + std::to_string(i - 1) + " and " + std::to_string(i) + " have the same count (" +
                   std::to_string(a.count) + ")";
        if ((b.count > a.count) != rising)
            return "the counts of the loading points do not run one way (point " + std::to_string(i) + " reads " +
                   std::to_string(b.count) + " after " + std::to_string(a.count) + ")";
    }
    return "";
}

bool calibratedLoad(const qolven_calibration &c, int64_t count, double &load) {
    if (c.source == QOLVEN_LOAD_NONE || c.points < 2 || c.points > QOLVEN_MAX_LOADING_POINTS) return false;
    // The segment whose counts enclose the count, else the nearer end segment.
    const bool rising = c.counts[c.points - 1] > c.counts[0];
    int segment = 1;
    while (segment + 1 < c.points && (rising ? count > c.counts[segment] : count < c.counts[segment])) ++segment;
    const double a = double(c.counts[segment - 1]), b = double(c.counts[segment]);
    if (a == b) return false;
    const double fraction = (double(count) - a) / (b - a);
    const double stored = double(c.loads[segment - 1]) + fraction * double(c.loads[segment] - c.loads[segment - 1]);
    load = stored / std::pow(10.0, std::max(c.decimal_point, 0));
    return true;
}

std::string loadText(double load, int decimalPoint) {
    char text[512];
    const int places = std::clamp(decimalPoint, 0, kMostPlaces);
    std::snprintf(text, sizeof text, "%.*f", places, load);
    // A load that rounds to zero reads 0, not -0, as the display shows it.
    if (text[0] == '-' && std::strspn(text + 1, "0.") == std::strlen(text + 1))
        std::snprintf(text, sizeof text, "%.*f", places, 0.0);
    return text;
}

} // namespace qolven_acquisition
