#include "model/Segment.h"

namespace orvanta::model {

std::optional<double> Segment::End() const {
    if (isAbsent(valueForKey("End"))) return std::nullopt;
    return doubleValue("End");
}

int sortSegments(const Segment& a, const Segment& b) {
    double x = a.Start(), y = b.Start();
    if (x == y) return 0;
    return x < y ? -1 : 1;
}

}  // namespace orvanta::model
