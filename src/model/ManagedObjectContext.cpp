#include "model/ManagedObjectContext.h"

#include <algorithm>
#include <stdexcept>
#include <unordered_map>

#include "core/Log.h"
#include "model/SqliteStore.h"
#include "model/StoreSchema.h"

namespace orvanta::model {

std::unique_ptr<ManagedObjectContext> ManagedObjectContext::open(const std::filesystem::path& file,
                                                                 RecordingHost* host, const StoreOptions& options,
                                                                 core::Error* error) {
    auto store = SqliteStore::open(file, options, error);
    if (!store) return nullptr;
    auto context = std::make_unique<ManagedObjectContext>(Key{}, std::move(store), host);
    try {
        context->loadAll();
    } catch (const std::exception& e) {
        if (error) *error = core::Error(kStoreErrorDomain, 1, std::string("Cannot read the recording store: ") + e.what());
        return nullptr;
    }
    return context;
}

ManagedObjectContext::ManagedObjectContext(Key, std::unique_ptr<SqliteStore> store, RecordingHost* host)
    : store_(std::move(store)), host_(host) {}

ManagedObjectContext::~ManagedObjectContext() {
    for (auto& [name, list] : objects_)
        for (auto& o : list) {
            o->willTurnIntoFault();
            o->context_ = nullptr;
        }
    for (auto& o : deleted_) o->context_ = nullptr;
}

const std::filesystem::path& ManagedObjectContext::file() const { return store_->file(); }

void ManagedObjectContext::loadAll() {
    const ObjectModel& model = ObjectModel::current();
    // Row id -> object, per entity, to link the relationships once every row is read.
    std::unordered_map<std::string, std::unordered_map<int64_t, ObjectPtr>> byId;
    struct PendingLink {
        ObjectPtr object;
        std::string relationship;
        std::string destination;
        int64_t targetId;
    };
    std::vector<PendingLink> links;

    for (const auto* entity : model.storedEntities()) {
        auto cols = storedColumns(*entity);
        SqliteStatement& st = store_->selectAll(*entity);
        auto& ids = byId[entity->name()];
        auto& list = objects_[entity->name()];
        int rc;
        while ((rc = st.step()) == SQLITE_ROW) {
            ObjectPtr o = makeObjectForEntity(*entity);
            o->context_ = this;
            o->objectID_ = st.columnInt(0);
            for (size_t i = 0; i < cols.size(); ++i) {
                int col = static_cast<int>(i) + 1;
                if (cols[i].isRelationship) {
                    if (!st.columnIsNull(col))
                        links.push_back({o, cols[i].name, cols[i].destinationEntity, st.columnInt(col)});
                } else {
                    Value v = st.column(col, cols[i].type);
                    if (!isAbsent(v)) o->values_[cols[i].name] = std::move(v);
                }
            }
            ids[o->objectID_] = o;
            list.push_back(o);
        }
        st.reset();
        if (rc != SQLITE_DONE) throw std::runtime_error(store_->db().lastError(entity->name()).description);
    }
    for (auto& link : links) {
        auto& ids = byId[link.destination];
        auto it = ids.find(link.targetId);
        if (it == ids.end()) continue;  // an owner that no longer exists
        link.object->toOne_[link.relationship] = it->second;
        const auto* rel = link.object->entity().relationshipNamed(link.relationship);
        if (!rel->inverse.empty()) it->second->toMany_[rel->inverse].push_back(link.object);
    }
    for (const auto* entity : model.storedEntities())
        for (auto& o : objects_[entity->name()]) o->awakeFromFetch();
}

ObjectPtr ManagedObjectContext::insertNewObject(const std::string& entityName) {
    const EntityDescription& entity = ObjectModel::current().entity(entityName);
    if (!entity.isStored()) throw std::invalid_argument(entityName + " objects are not stored");
    ObjectPtr o = makeObjectForEntity(entity);
    registerObject(o);
    inserted_.insert(o.get());
    o->awakeFromInsert();
    return o;
}

void ManagedObjectContext::registerObject(const ObjectPtr& object) {
    object->context_ = this;
    objects_[object->entity().name()].push_back(object);
}

void ManagedObjectContext::noteChanged(ManagedObject* object) {
    if (object->deleted_ || inserted_.count(object)) return;
    updated_.insert(object);
}

std::vector<ObjectPtr> ManagedObjectContext::objects(const std::string& entityName) const {
    auto it = objects_.find(entityName);
    return it == objects_.end() ? std::vector<ObjectPtr>{} : it->second;
}

void ManagedObjectContext::deleteObject(const ObjectPtr& object) {
    if (!object || object->deleted_ || object->context_ != this) return;
    object->deleted_ = true;
    for (const auto& rel : object->entity().relationships()) {
        if (rel.toMany && rel.cascadeDelete) {
            auto children = object->toMany(rel.name);
            for (auto& child : children) deleteObject(child);
        }
    }
    // Detach from owners so their sets no longer show the object.
    for (const auto& rel : object->entity().relationships())
        if (!rel.toMany)
            if (auto owner = object->toOne(rel.name); owner && !rel.inverse.empty())
                owner->unlinkToMany(rel.inverse, object.get());
    object->willTurnIntoFault();
    auto& list = objects_[object->entity().name()];
    list.erase(std::remove(list.begin(), list.end(), object), list.end());
    updated_.erase(object.get());
    if (inserted_.erase(object.get()) == 0) deleted_.push_back(object);
}

bool ManagedObjectContext::hasChanges() const {
    return !inserted_.empty() || !updated_.empty() || !deleted_.empty();
}

std::optional<core::Error> ManagedObjectContext::save() {
    if (!hasChanges()) return std::nullopt;
    SqliteDatabase& db = store_->db();
    const ObjectModel& model = ObjectModel::current();
    // Row ids given to inserted objects; applied only once the transaction has committed.
    std::unordered_map<ManagedObject*, int64_t> newIds;
    auto idOf = [&](const ManagedObject* o) -> int64_t {
        if (!o) return 0;
        if (o->objectID_) return o->objectID_;
        auto it = newIds.find(const_cast<ManagedObject*>(o));
        return it == newIds.end() ? 0 : it->second;
    };
    auto bindRow = [&](SqliteStatement& st, const ManagedObject& o, const std::vector<StoredColumn>& cols) {
        for (size_t i = 0; i < cols.size(); ++i) {
            int p = static_cast<int>(i) + 1;
            if (cols[i].isRelationship) {
                int64_t id = idOf(o.toOne(cols[i].name).get());
                if (id)
                    st.bindInt(p, id);
                else
                    st.bindNull(p);
            } else {
                st.bind(p, o.valueForKey(cols[i].name), cols[i].type);
            }
        }
    };

    auto body = [&]() -> std::optional<core::Error> {
        for (const auto* entity : model.storedEntities()) {
            auto cols = storedColumns(*entity);
            auto it = objects_.find(entity->name());
            if (it == objects_.end()) continue;
            SqliteStatement& ins = store_->insert(*entity);
            SqliteStatement& upd = store_->update(*entity);
            for (const auto& o : it->second) {
                bool isNew = inserted_.count(o.get()) != 0;
                if (!isNew && !updated_.count(o.get())) continue;
                SqliteStatement& st = isNew ? ins : upd;
                bindRow(st, *o, cols);
                if (!isNew) st.bindInt(static_cast<int>(cols.size()) + 1, o->objectID_);
                int rc = st.step();
                st.reset();
                if (rc != SQLITE_DONE) return db.lastError("Saving " + entity->name());
                if (isNew) newIds[o.get()] = sqlite3_last_insert_rowid(db.handle());
            }
        }
        for (auto it = deleted_.rbegin(); it != deleted_.rend(); ++it) {
            if (!(*it)->objectID_) continue;
            SqliteStatement& del = store_->remove((*it)->entity());
            del.bindInt(1, (*it)->objectID_);
            int rc = del.step();
            del.reset();
            if (rc != SQLITE_DONE) return db.lastError("Deleting " + (*it)->entity().name());
        }
        return std::nullopt;
    };

    std::optional<core::Error> failure = db.exec("BEGIN IMMEDIATE");
    if (!failure) {
        failure = body();
        if (!failure) failure = db.exec("COMMIT");
        if (failure) db.exec("ROLLBACK");
    }
    if (failure) return failure;

    for (auto& [object, id] : newIds) object->objectID_ = id;
    inserted_.clear();
    updated_.clear();
    for (auto& o : deleted_) o->context_ = nullptr;
    deleted_.clear();
    return std::nullopt;
}

void ManagedObjectContext::setMaxPageCount(int64_t pages) {
    store_->db().queryInt("PRAGMA max_page_count = " + std::to_string(pages));
}

}  // namespace orvanta::model
