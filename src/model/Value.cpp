#include "model/Value.h"

#include <cmath>

namespace orvanta::model {

double secondsSinceEpoch(Date d) {
    return std::chrono::duration<double>(d.time_since_epoch()).count();
}

Date dateFromSecondsSinceEpoch(double seconds) {
    if (!std::isfinite(seconds)) seconds = 0;
    return Date(std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds)));
}

Bytes encodeUInt64LE(uint64_t v) {
    Bytes b(8);
    for (int i = 0; i < 8; ++i) b[static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    return b;
}

uint64_t decodeUInt64LE(const Bytes& b) {
    if (b.size() < 8) return 0;
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b[static_cast<size_t>(i)];
    return v;
}

}  // namespace orvanta::model
