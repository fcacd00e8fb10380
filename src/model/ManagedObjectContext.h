#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/Error.h"
#include "model/ManagedObject.h"

namespace orvanta::model {

class RecordingHost;
class SqliteStore;

struct StoreOptions {
    // Where older versions kept every recording; given to recordings converted from them.
    std::string defaultRecordingDirectory;
};

// The main-thread store context: every stored object, loaded when the store opens, and the
// changes made since the last save. Saving writes all changes in one transaction.
class ManagedObjectContext {
public:
    // Opens the store file, creating it or converting an older version. On failure returns null
    // and fills *error; the file is then left exactly as it was.
    static std::unique_ptr<ManagedObjectContext> open(const std::filesystem::path& file, RecordingHost* host,
                                                      const StoreOptions& options, core::Error* error);
    ~ManagedObjectContext();

    ObjectPtr insertNewObject(const std::string& entityName);
    template <typename T>
    std::shared_ptr<T> insert(const std::string& entityName) {
        return std::dynamic_pointer_cast<T>(insertNewObject(entityName));
    }
    // Registered objects of an entity that are not deleted, in the order they were loaded or inserted.
    std::vector<ObjectPtr> objects(const std::string& entityName) const;
    template <typename T>
    std::vector<std::shared_ptr<T>> all(const std::string& entityName) const {
        std::vector<std::shared_ptr<T>> out;
        for (auto& o : objects(entityName))
            if (auto t = std::dynamic_pointer_cast<T>(o)) out.push_back(std::move(t));
        return out;
    }
    // Deletes the object and, following the cascade rules, what it owns.
    void deleteObject(const ObjectPtr& object);

    bool hasChanges() const;
    // Writes every change in one transaction. On failure nothing is written and the changes stay
    // pending, so a later save can write them.
    std::optional<core::Error> save();

    RecordingHost* host() const { return host_; }
    const std::filesystem::path& file() const;

    // Test hook: limits the store file's size in pages, so a test can make the disk "full".
    void setMaxPageCount(int64_t pages);

private:
    struct Key {
        explicit Key() = default;
    };

public:
    ManagedObjectContext(Key, std::unique_ptr<SqliteStore> store, RecordingHost* host);

private:
    friend class ManagedObject;
    void registerObject(const ObjectPtr& object);
    void noteChanged(ManagedObject* object);
    void loadAll();

    std::unique_ptr<SqliteStore> store_;
    RecordingHost* host_;
    std::map<std::string, std::vector<ObjectPtr>> objects_;  // by entity, deleted ones removed
    std::set<ManagedObject*> inserted_, updated_;
    std::vector<ObjectPtr> deleted_;  // kept alive until saved
};

}  // namespace orvanta::model
