// Arithmetic of the live view and the calibration wizard: averaged readings, the
// checks a loading-point table must pass before it is written, and the load that
// a table gives for a count.
#ifndef QOLVEN_SERVER_CALIBRATION_H
#define QOLVEN_SERVER_CALIBRATION_H

#include <optional>
#include <string>
#include <vector>

namespace qolven_server {

struct Spread {
    size_t n = 0;
    double mean = 0, stddev = 0;
    long long min = 0, max = 0;
};
Spread summarize(const std::vector<long long> &counts);

struct LoadingPoint {
    long long count = 0;  // converter count
    long long load = 0;   // stored load, in units of the last decimal place
};

// Adjacent points closer than this are too close to tell apart from noise or drift.
constexpr long long kMinimumSpanCounts = 100;

// Empty when the table may be written; otherwise the reason, naming the point.
// `maxPoints` is the board's table size.
std::string checkLoadingPoints(const std::vector<LoadingPoint> &points, size_t maxPoints);

// Counts per stored load unit between the first and the last point.
double sensitivity(const std::vector<LoadingPoint> &points);

// Load for a count along the table (straight lines between points, the end
// segments extended); nothing when the table has fewer than two usable points.
std::optional<double> loadAt(long long count, const std::vector<LoadingPoint> &points);

// The load as the display shows it: stored load / 10^decimalPoint.
std::string formatLoad(double load, int decimalPoint);

} // namespace qolven_server

#endif
