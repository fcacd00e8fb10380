#include "model/SqliteStore.h"

#include <stdexcept>

#include "core/Log.h"
#include "model/ManagedObjectContext.h"
#include "model/StoreMigration.h"
#include "model/StoreSchema.h"

namespace orvanta::model {

namespace {

core::Error storeError(long code, const std::string& text) {
    return core::Error(kStoreErrorDomain, code, text, text);
}

// Runs body inside one immediate transaction; rolls back when it fails.
std::optional<core::Error> inTransaction(SqliteDatabase& db, const std::function<std::optional<core::Error>()>& body) {
    if (auto e = db.exec("BEGIN IMMEDIATE")) return e;
    if (auto e = body()) {
        db.exec("ROLLBACK");
        return e;
    }
    if (auto e = db.exec("COMMIT")) {
        db.exec("ROLLBACK");
        return e;
    }
    return std::nullopt;
}

std::optional<core::Error> checkSchema(SqliteDatabase& db, const ObjectModel& model) {
    for (const auto* e : model.storedEntities()) {
        std::string sql = "SELECT \"Z_PK\"";
        for (const auto& c : storedColumns(*e)) sql += ", " + quoteIdentifier(c.name);
        sql += " FROM " + quoteIdentifier(e->name()) + " LIMIT 0";
        core::Error err;
        if (!db.prepare(sql, &err)) return storeError(err.code, "The recording store is damaged: " + err.description);
    }
    return std::nullopt;
}

std::string createMissingTables(SqliteDatabase& db, const ObjectModel& model) {
    std::string sql;
    for (const auto* e : model.storedEntities()) {
        auto exists = db.queryInt("SELECT count(*) FROM sqlite_master WHERE type='table' AND name='" + e->name() + "'");
        if (exists && *exists == 0) sql += createTableSql(*e, ObjectModel::kStoreVersion) + ";";
    }
    return sql;
}

}  // namespace

std::unique_ptr<SqliteStore> SqliteStore::open(const std::filesystem::path& file, const StoreOptions& options,
                                               core::Error* error) {
    auto fail = [&](core::Error e) -> std::unique_ptr<SqliteStore> {
        core::logf("Cannot open the recording store %s: %s", file.c_str(), e.description.c_str());
        if (error) *error = std::move(e);
        return nullptr;
    };
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);

    auto store = std::make_unique<SqliteStore>();
    store->file_ = file;
    core::Error err;
    store->db_ = SqliteDatabase::open(file, true, &err);
    if (!store->db_) return fail(err);
    SqliteDatabase& db = *store->db_;

    // Reading the header fails on a file that is not a store; nothing has been written to it then.
    auto version = db.queryInt("PRAGMA user_version", &err);
    if (!version) return fail(err);
    auto tables = db.queryInt("SELECT count(*) FROM sqlite_master", &err);
    if (!tables) return fail(err);
    const ObjectModel& model = ObjectModel::current();

    if (*version == 0 && *tables == 0) {
        auto e = inTransaction(db, [&]() -> std::optional<core::Error> {
            if (auto e = db.exec(createSchemaSql(model, ObjectModel::kStoreVersion))) return e;
            return db.exec("PRAGMA user_version = " + std::to_string(ObjectModel::kStoreVersion));
        });
        if (e) return fail(*e);
    } else if (*version >= 1 && *version < ObjectModel::kStoreVersion) {
        core::logf("Converting the recording store from version %lld to %d", static_cast<long long>(*version),
                   ObjectModel::kStoreVersion);
        auto e = inTransaction(db, [&]() -> std::optional<core::Error> {
            if (auto e = migrateStore(db, static_cast<int>(*version), options.defaultRecordingDirectory)) return e;
            std::string missing = createMissingTables(db, model);
            if (!missing.empty())
                if (auto e = db.exec(missing)) return e;
            if (auto e = checkSchema(db, model)) return e;
            return db.exec("PRAGMA user_version = " + std::to_string(ObjectModel::kStoreVersion));
        });
        if (e) return fail(*e);
    } else if (*version == ObjectModel::kStoreVersion) {
        if (auto e = checkSchema(db, model)) return fail(*e);
    } else {
        return fail(storeError(*version, "The recording store has version " + std::to_string(*version) +
                                             ", which this version of the program cannot read"));
    }
    if (auto e = db.exec("PRAGMA synchronous = FULL")) return fail(*e);
    return store;
}

SqliteStatement& SqliteStore::cached(const std::string& key, const std::string& sql) {
    auto it = statements_.find(key);
    if (it != statements_.end()) return it->second;
    core::Error err;
    SqliteStatement st = db_->prepare(sql, &err);
    if (!st) throw std::runtime_error(err.description);
    return statements_.emplace(key, std::move(st)).first->second;
}

SqliteStatement& SqliteStore::selectAll(const EntityDescription& entity) {
    std::string sql = "SELECT \"Z_PK\"";
    for (const auto& c : storedColumns(entity)) sql += ", " + quoteIdentifier(c.name);
    sql += " FROM " + quoteIdentifier(entity.name()) + " ORDER BY \"Z_PK\"";
    return cached("select:" + entity.name(), sql);
}

SqliteStatement& SqliteStore::insert(const EntityDescription& entity) {
    auto cols = storedColumns(entity);
    std::string names, params;
    for (size_t i = 0; i < cols.size(); ++i) {
        names += (i ? ", " : "") + quoteIdentifier(cols[i].name);
        params += (i ? ", ?" : "?") + std::to_string(i + 1);
    }
    return cached("insert:" + entity.name(),
                  "INSERT INTO " + quoteIdentifier(entity.name()) + " (" + names + ") VALUES (" + params + ")");
}

SqliteStatement& SqliteStore::update(const EntityDescription& entity) {
    auto cols = storedColumns(entity);
    std::string sets;
    for (size_t i = 0; i < cols.size(); ++i)
        sets += (i ? ", " : "") + quoteIdentifier(cols[i].name) + " = ?" + std::to_string(i + 1);
    return cached("update:" + entity.name(), "UPDATE " + quoteIdentifier(entity.name()) + " SET " + sets +
                                                 " WHERE \"Z_PK\" = ?" + std::to_string(cols.size() + 1));
}

SqliteStatement& SqliteStore::remove(const EntityDescription& entity) {
    return cached("delete:" + entity.name(), "DELETE FROM " + quoteIdentifier(entity.name()) + " WHERE \"Z_PK\" = ?1");
}

}  // namespace orvanta::model
