#include "model/ManagedObject.h"

#include <algorithm>
#include <stdexcept>

#include "model/FileUpload.h"
#include "model/ManagedObjectContext.h"
#include "model/Recording.h"
#include "model/Segment.h"
#include "model/SimpleSessionGroup.h"
#include "model/Stream.h"

namespace orvanta::model {

namespace {
const Value kAbsent{};
const std::vector<ObjectPtr> kNoObjects;
}  // namespace

ManagedObject::ManagedObject(const EntityDescription& entity) : entity_(&entity) {}

ManagedObject::~ManagedObject() = default;

const Value& ManagedObject::valueForKey(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? kAbsent : it->second;
}

void ManagedObject::setValueForKey(const std::string& key, Value value) {
    if (!entity_->attributeNamed(key))
        throw std::invalid_argument(entity_->name() + " has no attribute " + key);
    auto it = values_.find(key);
    if (it != values_.end() && it->second == value) return;
    if (isAbsent(value)) {
        if (it == values_.end()) return;
        values_.erase(it);
    } else {
        values_[key] = std::move(value);
    }
    markChanged();
    didChangeValueForKey(key);
}

std::optional<std::string> ManagedObject::stringValue(const std::string& key) const {
    if (auto* s = std::get_if<std::string>(&valueForKey(key))) return *s;
    return std::nullopt;
}

int64_t ManagedObject::integerValue(const std::string& key) const {
    const Value& v = valueForKey(key);
    if (auto* i = std::get_if<int64_t>(&v)) return *i;
    if (auto* d = std::get_if<double>(&v)) return static_cast<int64_t>(*d);
    if (auto* b = std::get_if<bool>(&v)) return *b ? 1 : 0;
    return 0;
}

double ManagedObject::doubleValue(const std::string& key) const {
    const Value& v = valueForKey(key);
    if (auto* d = std::get_if<double>(&v)) return *d;
    if (auto* i = std::get_if<int64_t>(&v)) return static_cast<double>(*i);
    return 0;
}

bool ManagedObject::boolValue(const std::string& key) const {
    const Value& v = valueForKey(key);
    if (auto* b = std::get_if<bool>(&v)) return *b;
    if (auto* i = std::get_if<int64_t>(&v)) return *i != 0;
    return false;
}

std::optional<Date> ManagedObject::dateValue(const std::string& key) const {
    if (auto* d = std::get_if<Date>(&valueForKey(key))) return *d;
    return std::nullopt;
}

std::optional<Bytes> ManagedObject::bytesValue(const std::string& key) const {
    if (auto* b = std::get_if<Bytes>(&valueForKey(key))) return *b;
    return std::nullopt;
}

const RelationshipDescription& ManagedObject::relationship(const std::string& name, bool toMany) const {
    const auto* r = entity_->relationshipNamed(name);
    if (!r || r->toMany != toMany)
        throw std::invalid_argument(entity_->name() + " has no " + (toMany ? "to-many" : "to-one") +
                                    " relationship " + name);
    return *r;
}

ObjectPtr ManagedObject::toOne(const std::string& name) const {
    auto it = toOne_.find(name);
    return it == toOne_.end() ? nullptr : it->second.lock();
}

void ManagedObject::setToOne(const std::string& name, const ObjectPtr& target) {
    const auto& rel = relationship(name, false);
    ObjectPtr old = toOne(name);
    if (old == target) return;
    if (old && !rel.inverse.empty()) old->unlinkToMany(rel.inverse, this);
    if (target)
        toOne_[name] = target;
    else
        toOne_.erase(name);
    // The inverse set holds this object exactly when its to-one points here, so it is not there yet.
    if (target && !rel.inverse.empty()) target->linkToMany(rel.inverse, shared_from_this(), true);
    markChanged();
    didChangeValueForKey(name);
}

const std::vector<ObjectPtr>& ManagedObject::toMany(const std::string& name) const {
    auto it = toMany_.find(name);
    return it == toMany_.end() ? kNoObjects : it->second;
}

void ManagedObject::linkToMany(const std::string& name, const ObjectPtr& target, bool knownAbsent) {
    auto& set = toMany_[name];
    if (!knownAbsent && std::find(set.begin(), set.end(), target) != set.end()) return;
    set.push_back(target);
    didChangeValueForKey(name);
}

void ManagedObject::unlinkToMany(const std::string& name, const ManagedObject* target) {
    auto it = toMany_.find(name);
    if (it == toMany_.end()) return;
    auto& set = it->second;
    auto pos = std::find_if(set.begin(), set.end(), [&](const ObjectPtr& o) { return o.get() == target; });
    if (pos == set.end()) return;
    set.erase(pos);
    didChangeValueForKey(name);
}

void ManagedObject::addToMany(const std::string& name, const ObjectPtr& target) {
    const auto& rel = relationship(name, true);
    if (!target) return;
    if (!rel.inverse.empty()) {
        target->setToOne(rel.inverse, shared_from_this());  // links this side too
    } else {
        linkToMany(name, target);
    }
}

void ManagedObject::removeFromMany(const std::string& name, const ObjectPtr& target) {
    const auto& rel = relationship(name, true);
    if (!target) return;
    if (!rel.inverse.empty() && target->toOne(rel.inverse).get() == this) {
        target->setToOne(rel.inverse, nullptr);
    } else {
        unlinkToMany(name, target.get());
    }
}

void ManagedObject::removeAllFromMany(const std::string& name) {
    auto copy = toMany(name);
    for (const auto& o : copy) removeFromMany(name, o);
}

void ManagedObject::markChanged() {
    if (context_) context_->noteChanged(this);
}

ObjectPtr makeObjectForEntity(const EntityDescription& entity) {
    const std::string& n = entity.name();
    if (n == "Recording") return std::make_shared<Recording>(entity);
    if (n == "Stream") return std::make_shared<Stream>(entity);
    if (n == "FileUpload") return std::make_shared<FileUpload>(entity);
    if (n == "Segment") return std::make_shared<Segment>(entity);
    if (n == "SimpleSessionGroup") return std::make_shared<SimpleSessionGroup>(entity);
    return std::make_shared<ManagedObject>(entity);
}

}  // namespace orvanta::model
