#pragma once

#include <optional>

#include "model/ManagedObject.h"

namespace orvanta::model {

inline constexpr const char* kNullGuid = "00000000-0000-0000-0000-000000000000";

class Segment : public ManagedObject {
public:
    using ManagedObject::ManagedObject;
    double Start() const { return doubleValue("Start"); }
    std::optional<double> End() const;  // absent while the segment is open
};

// Orders two segments by Start: 0 when equal, -1 when a starts first, else 1.
int sortSegments(const Segment& a, const Segment& b);

}  // namespace orvanta::model
