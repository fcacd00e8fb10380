#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "core/Error.h"
#include "model/EntityDescription.h"
#include "model/Sqlite.h"

namespace orvanta::model {

struct StoreOptions;

// The recording store file: opening (creating or converting it) and the statements that read
// and write one entity's rows.
class SqliteStore {
public:
    static std::unique_ptr<SqliteStore> open(const std::filesystem::path& file, const StoreOptions& options,
                                             core::Error* error);

    SqliteDatabase& db() { return *db_; }
    const std::filesystem::path& file() const { return file_; }

    // Cached statements. Parameters and result columns follow storedColumns(entity); the row id
    // comes first in select results and last in update parameters.
    SqliteStatement& selectAll(const EntityDescription& entity);
    SqliteStatement& insert(const EntityDescription& entity);
    SqliteStatement& update(const EntityDescription& entity);
    SqliteStatement& remove(const EntityDescription& entity);

private:
    SqliteStatement& cached(const std::string& key, const std::string& sql);

    std::filesystem::path file_;
    std::unique_ptr<SqliteDatabase> db_;
    std::map<std::string, SqliteStatement> statements_;
};

}  // namespace orvanta::model
