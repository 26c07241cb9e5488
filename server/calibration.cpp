#include "calibration.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace qolven_server {

Spread summarize(const std::vector<long long> &counts) {
    Spread s;
    s.n = counts.size();
    if (counts.empty()) return s;
    s.min = *std::min_element(counts.begin(), counts.end());
    s.max = *std::max_element(counts.begin(), counts.end());
    double sum = 0;
    for (long long c : counts) sum += static_cast<double>(c);
    s.mean = sum / static_cast<double>(s.n);
    double squares = 0;
    for (long long c : counts) squares += (c - s.mean) * (c - s.mean);
    s.stddev = s.n > 1 ? std::sqrt(squares / static_cast<double>(s.n - 1)) : 0;
    return s;
}

std::vector<std::string> loadingPointProblems(const std::vector<LoadingPoint> &points, size_t maxPoints) {
    std::vector<std::string> problems;
    if (points.size() < 2) return {"a calibration needs the zero point and at least one known load"};
    if (points.size() > maxPoints)
        problems.push_back(std::to_string(points.size()) + " loading points, but this board keeps at most " +
                           std::to_string(maxPoints));
    // The direction of the whole table: from the first point to the last.
    const bool rising = points.back().count >= points.front().count;
    for (size_t i = 1; i < points.size(); ++i) {
        const LoadingPoint &a = points[i - 1], &b = points[i];
        std::string here = "point " + std::to_string(i);
        if (b.load <= a.load)
            problems.push_back("loads must increase from point to point: " + here + " has load " +
                               std::to_string(b.load) + " after " + std::to_string(a.load));
        long long step = b.count - a.count;
        if (step == 0 || (step > 0) != rising)
            problems.push_back("not monotonic: the count must " + std::string(rising ? "rise" : "fall") +
                               " with the load, but " + here + " reads " + std::to_string(b.count) + " after " +
                               std::to_string(a.count));
        else if (std::llabs(step) < kMinimumSpanCounts)
            problems.push_back("span too small: " + here + " is only " + std::to_string(std::llabs(step)) +
                               " counts from point " + std::to_string(i - 1) + " (at least " +
                               std::to_string(kMinimumSpanCounts) + " needed; use a larger load)");
    }
    return problems;
}

double sensitivity(const std::vector<LoadingPoint> &points) {
    if (points.size() < 2) return 0;
    const LoadingPoint &a = points.front(), &b = points.back();
    if (b.load == a.load) return 0;
    return static_cast<double>(b.count - a.count) / static_cast<double>(b.load - a.load);
}

} // namespace qolven_server
