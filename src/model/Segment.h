#pragma once

#include <memory>
#include <optional>

#include "model/ManagedObject.h"

namespace orvanta::model {

inline constexpr const char* kNullGuid = "00000000-0000-0000-0000-000000000000";

class Segment : public ManagedObject {
public:
    using ManagedObject::ManagedObject;
    double Start() const { return doubleValue("Start"); }
    std::optional<double> End() const;  // absent while the segment is open

    // A new segment in the same context with the same Start and End and a new StreamPublicID.
    std::shared_ptr<Segment> clone() const;
};

// Orders two segments by Start: 0 when equal, -1 when a starts first, else 1.
int sortSegments(const Segment& a, const Segment& b);

}  // namespace orvanta::model
