#include "model/SimpleSessionGroup.h"

#include <algorithm>
#include <strings.h>

namespace orvanta::model {

SimpleSessionGroup::SimpleSessionGroup(const EntityDescription& entity) : ManagedObject(entity) {}

std::string SimpleSessionGroup::displayName() const { return stringValue("longName").value_or(""); }

std::vector<ObjectPtr> SimpleSessionGroup::sortedSessions() const {
    auto sessions = toMany("sessions");
    std::stable_sort(sessions.begin(), sessions.end(),
                     [](const ObjectPtr& a, const ObjectPtr& b) { return compareSessions(*a, *b) < 0; });
    return sessions;
}

const core::Observable::DependencyTable& SimpleSessionGroup::dependentKeys() const {
    static const DependencyTable table = {{"sessions", {"sortedSessions"}}};
    return table;
}

int compareSessions(const ManagedObject& a, const ManagedObject& b) {
    std::string x = a.stringValue("longName").value_or("");
    std::string y = b.stringValue("longName").value_or("");
    int r = strcasecmp(x.c_str(), y.c_str());
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

}  // namespace orvanta::model
