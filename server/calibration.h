// Arithmetic of the calibration wizard: averaged readings and the checks a
// loading-point table must pass before it is written.  The load a table gives
// is the acquisition layer's (qolven_calibration_load).
#ifndef QOLVEN_SERVER_CALIBRATION_H
#define QOLVEN_SERVER_CALIBRATION_H

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

// Every reason the table may not be written, each naming its point; empty when
// it may.  `maxPoints` is the board's table size.
std::vector<std::string> loadingPointProblems(const std::vector<LoadingPoint> &points, size_t maxPoints);

// Counts per stored load unit between the first and the last point.
double sensitivity(const std::vector<LoadingPoint> &points);

} // namespace qolven_server

#endif
