#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace orvanta::model {

enum class AttributeType { Integer16, Integer32, Integer64, Decimal, Double, Float, String, Boolean, Date, Binary, Transformable };

struct AttributeDescription {
    std::string name;
    AttributeType type;
};

struct RelationshipDescription {
    std::string name;
    std::string destinationEntity;
    bool toMany = false;
    std::string inverse;         // name of the inverse relationship on the destination, may be empty
    bool cascadeDelete = false;  // deleting the owner deletes the related objects
};

// One property of an entity, in model order.
struct PropertyDescription {
    enum class Kind { Attribute, Relationship } kind;
    size_t index;  // into attributes or relationships
};

class EntityDescription {
public:
    EntityDescription(std::string name, bool stored) : name_(std::move(name)), stored_(stored) {}

    EntityDescription& attribute(std::string name, AttributeType type);
    EntityDescription& toOne(std::string name, std::string destination, std::string inverse);
    EntityDescription& toMany(std::string name, std::string destination, std::string inverse, bool cascade);

    const std::string& name() const { return name_; }
    // Stored entities have a table; the others are only built in memory from service results.
    bool isStored() const { return stored_; }
    const std::vector<AttributeDescription>& attributes() const { return attributes_; }
    const std::vector<RelationshipDescription>& relationships() const { return relationships_; }
    const std::vector<PropertyDescription>& properties() const { return properties_; }
    const AttributeDescription* attributeNamed(const std::string& name) const;
    const RelationshipDescription* relationshipNamed(const std::string& name) const;

private:
    std::string name_;
    bool stored_;
    std::vector<AttributeDescription> attributes_;
    std::vector<RelationshipDescription> relationships_;
    std::vector<PropertyDescription> properties_;
};

// The entities of the recording store and of the server's folders and sessions.
class ObjectModel {
public:
    // The model of this version of the program (immutable).
    static const ObjectModel& current();
    // Schema version of the stored form of the current model.
    static constexpr int kStoreVersion = 4;

    const EntityDescription* entityNamed(const std::string& name) const;
    const EntityDescription& entity(const std::string& name) const;  // throws std::out_of_range
    // Stored entities, owners before the entities that point to them.
    const std::vector<const EntityDescription*>& storedEntities() const { return stored_; }

    void add(EntityDescription e);

private:
    std::vector<std::unique_ptr<EntityDescription>> entities_;
    std::vector<const EntityDescription*> stored_;
};

}  // namespace orvanta::model
