#pragma once

#include <memory>
#include <string>
#include <vector>

#include "model/ManagedObject.h"

namespace orvanta::model {

// A server folder, built from a service result and held only in memory.
class SimpleSessionGroup : public ManagedObject {
public:
    explicit SimpleSessionGroup(const EntityDescription& entity);

    std::string displayName() const;
    // The folder's sessions ordered by compareSessions.
    std::vector<ObjectPtr> sortedSessions() const;

protected:
    const DependencyTable& dependentKeys() const override;
};

// Orders two sessions by longName, ignoring case: negative, 0 or positive.
int compareSessions(const ManagedObject& a, const ManagedObject& b);

}  // namespace orvanta::model
