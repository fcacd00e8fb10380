#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace orvanta::model {

using Date = std::chrono::system_clock::time_point;
using Bytes = std::vector<uint8_t>;

// The value of one stored attribute; monostate is "absent" (nil).
using Value = std::variant<std::monostate, int64_t, double, bool, std::string, Date, Bytes>;

inline bool isAbsent(const Value& v) { return std::holds_alternative<std::monostate>(v); }

// Seconds since the Unix epoch, with fractions.
double secondsSinceEpoch(Date d);
Date dateFromSecondsSinceEpoch(double seconds);

// Unsigned 64-bit counters are kept as 8 little-endian bytes.
Bytes encodeUInt64LE(uint64_t v);
// Absent or short data reads as 0.
uint64_t decodeUInt64LE(const Bytes& b);

}  // namespace orvanta::model
