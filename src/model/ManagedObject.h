#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Observable.h"
#include "model/EntityDescription.h"
#include "model/Value.h"

namespace orvanta::model {

class ManagedObjectContext;
class ManagedObject;
using ObjectPtr = std::shared_ptr<ManagedObject>;

// An object shaped by an entity description: named attribute values and relationships, observable
// per key. An object inserted into a context is saved with it; a detached object (context() is
// null) lives only in memory.
class ManagedObject : public core::Observable, public std::enable_shared_from_this<ManagedObject> {
public:
    explicit ManagedObject(const EntityDescription& entity);
    ~ManagedObject() override;

    const EntityDescription& entity() const { return *entity_; }
    ManagedObjectContext* context() const { return context_; }
    // Row id in the store; 0 until the object has been saved.
    int64_t objectID() const { return objectID_; }

    // Attributes. Setting an undeclared attribute throws std::invalid_argument.
    const Value& valueForKey(const std::string& key) const;
    void setValueForKey(const std::string& key, Value value);

    std::optional<std::string> stringValue(const std::string& key) const;
    int64_t integerValue(const std::string& key) const;  // absent: 0
    double doubleValue(const std::string& key) const;    // absent: 0
    bool boolValue(const std::string& key) const;        // absent: NO
    std::optional<Date> dateValue(const std::string& key) const;
    std::optional<Bytes> bytesValue(const std::string& key) const;

    // Relationships. Changing one side keeps the declared inverse in step.
    ObjectPtr toOne(const std::string& name) const;
    void setToOne(const std::string& name, const ObjectPtr& target);
    const std::vector<ObjectPtr>& toMany(const std::string& name) const;
    void addToMany(const std::string& name, const ObjectPtr& target);
    void removeFromMany(const std::string& name, const ObjectPtr& target);
    void removeAllFromMany(const std::string& name);

    template <typename T>
    std::vector<std::shared_ptr<T>> related(const std::string& name) const {
        std::vector<std::shared_ptr<T>> out;
        for (const auto& o : toMany(name))
            if (auto t = std::dynamic_pointer_cast<T>(o)) out.push_back(std::move(t));
        return out;
    }
    template <typename T>
    std::shared_ptr<T> relatedOne(const std::string& name) const {
        return std::dynamic_pointer_cast<T>(toOne(name));
    }

    bool isDeleted() const { return deleted_; }

    // Life-cycle hooks.
    virtual void awakeFromInsert() {}
    virtual void awakeFromFetch() {}
    virtual void willTurnIntoFault() {}

protected:
    // Announces a change of a key that is not an attribute (a member kept only in memory).
    void changed(const std::string& key) { didChangeValueForKey(key); }

private:
    friend class ManagedObjectContext;
    const RelationshipDescription& relationship(const std::string& name, bool toMany) const;
    // knownAbsent: the caller knows target is not in the set yet (kept in step through the inverse).
    void linkToMany(const std::string& name, const ObjectPtr& target, bool knownAbsent = false);
    void unlinkToMany(const std::string& name, const ManagedObject* target);
    void markChanged();

    const EntityDescription* entity_;
    ManagedObjectContext* context_ = nullptr;
    int64_t objectID_ = 0;
    bool deleted_ = false;
    std::map<std::string, Value> values_;
    std::map<std::string, std::weak_ptr<ManagedObject>> toOne_;
    std::map<std::string, std::vector<ObjectPtr>> toMany_;
};

// Builds the object of the class that goes with an entity (Recording, Stream, ...), or a plain object.
ObjectPtr makeObjectForEntity(const EntityDescription& entity);

}  // namespace orvanta::model
