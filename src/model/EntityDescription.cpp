#include "model/EntityDescription.h"

#include <stdexcept>

namespace orvanta::model {

EntityDescription& EntityDescription::attribute(std::string name, AttributeType type) {
    properties_.push_back({PropertyDescription::Kind::Attribute, attributes_.size()});
    attributes_.push_back({std::move(name), type});
    return *this;
}

EntityDescription& EntityDescription::toOne(std::string name, std::string destination, std::string inverse) {
    properties_.push_back({PropertyDescription::Kind::Relationship, relationships_.size()});
    relationships_.push_back({std::move(name), std::move(destination), false, std::move(inverse), false});
    return *this;
}

EntityDescription& EntityDescription::toMany(std::string name, std::string destination, std::string inverse,
                                             bool cascade) {
    properties_.push_back({PropertyDescription::Kind::Relationship, relationships_.size()});
    relationships_.push_back({std::move(name), std::move(destination), true, std::move(inverse), cascade});
    return *this;
}

const AttributeDescription* EntityDescription::attributeNamed(const std::string& name) const {
    for (const auto& a : attributes_)
        if (a.name == name) return &a;
    return nullptr;
}

const RelationshipDescription* EntityDescription::relationshipNamed(const std::string& name) const {
    for (const auto& r : relationships_)
        if (r.name == name) return &r;
    return nullptr;
}

void ObjectModel::add(EntityDescription e) {
    entities_.push_back(std::make_unique<EntityDescription>(std::move(e)));
    if (entities_.back()->isStored()) stored_.push_back(entities_.back().get());
}

const EntityDescription* ObjectModel::entityNamed(const std::string& name) const {
    for (const auto& e : entities_)
        if (e->name() == name) return e.get();
    return nullptr;
}

const EntityDescription& ObjectModel::entity(const std::string& name) const {
    if (const auto* e = entityNamed(name)) return *e;
    throw std::out_of_range("no entity named " + name);
}

namespace {

ObjectModel buildModel() {
    using T = AttributeType;
    ObjectModel m;
    // Stored entities, owners first so that saving can insert them in this order.
    m.add(EntityDescription("Recording", true)
              .attribute("Guid", T::String)
              .attribute("State", T::Integer32)
              .attribute("StartTime", T::Date)
              .attribute("EndTime", T::Date)
              .attribute("Length", T::String)
              .attribute("SessionID", T::String)
              .attribute("SessionName", T::String)
              .attribute("SessionGroupID", T::String)
              .attribute("SessionGroupName", T::String)
              .attribute("Server", T::String)
              .attribute("IsFinalized", T::Boolean)
              .attribute("FaultType", T::Integer32)
              .attribute("FaultString", T::String)
              .attribute("ServerStatus", T::String)
              .attribute("ViewerUrl", T::String)
              .attribute("TimeOffset", T::Double)
              .attribute("LocalFolder", T::String)
              .toMany("Streams", "Stream", "Recording", true)
              .toMany("Segments", "Segment", "Recording", true));
    m.add(EntityDescription("Stream", true)
              .attribute("Guid", T::String)
              .attribute("Tag", T::String)
              .attribute("Type", T::String)
              .attribute("Description", T::String)
              .attribute("StartTime", T::Date)
              .attribute("EndTime", T::Date)
              .toOne("Recording", "Recording", "Streams")
              .toMany("Files", "FileUpload", "stream", true)
              .toMany("Events", "Event", "Stream", true));
    m.add(EntityDescription("Segment", true)
              .attribute("Start", T::Double)
              .attribute("End", T::Double)
              .attribute("StreamPublicID", T::String)
              .toOne("Recording", "Recording", "Segments"));
    m.add(EntityDescription("FileUpload", true)
              .attribute("localPath", T::String)
              .attribute("remotePath", T::String)
              .attribute("isUploaded", T::Boolean)
              .attribute("destination", T::Integer32)
              .attribute("bytesUploadedBin", T::Binary)
              .attribute("totalSizeBin", T::Binary)
              .toOne("stream", "Stream", "Files"));
    m.add(EntityDescription("Event", true)
              .attribute("slideNumber", T::Integer32)
              .attribute("timeStamp", T::Date)
              .toOne("Stream", "Stream", "Events"));
    // Server folders and sessions: built from service results, never saved.
    m.add(EntityDescription("SimpleSessionGroup", false)
              .attribute("ID", T::Integer32)
              .attribute("publicID", T::String)
              .attribute("shortName", T::String)
              .attribute("longName", T::String)
              .attribute("isActive", T::Boolean)
              .toMany("sessions", "SimpleSession", "", false));
    m.add(EntityDescription("SimpleSession", false)
              .attribute("ID", T::Integer32)
              .attribute("publicID", T::String)
              .attribute("longName", T::String)
              .attribute("sessionGroupPublicID", T::String)
              .attribute("startTime", T::Date)
              .attribute("duration", T::Double)
              .attribute("isStarted", T::Boolean)
              .toMany("deliveries", "Delivery", "", false));
    m.add(EntityDescription("Delivery", false)
              .attribute("Identifier", T::String)
              .attribute("Status", T::String)
              .attribute("Url", T::String));
    return m;
}

}  // namespace

const ObjectModel& ObjectModel::current() {
    static const ObjectModel model = buildModel();
    return model;
}

}  // namespace orvanta::model
