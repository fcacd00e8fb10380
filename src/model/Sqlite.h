#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "core/Error.h"
#include "model/EntityDescription.h"
#include "model/Value.h"

namespace orvanta::model {

inline constexpr const char* kStoreErrorDomain = "OrvantaStore";

// A prepared statement; finalized when destroyed.
class SqliteStatement {
public:
    SqliteStatement() = default;
    SqliteStatement(sqlite3* db, sqlite3_stmt* stmt) : db_(db), stmt_(stmt) {}

    explicit operator bool() const { return static_cast<bool>(stmt_); }
    void bind(int index, const Value& value, AttributeType type);
    void bindInt(int index, int64_t v) { sqlite3_bind_int64(stmt_.get(), index, v); }
    void bindNull(int index) { sqlite3_bind_null(stmt_.get(), index); }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return sqlite3_step(stmt_.get()); }
    void reset() {
        sqlite3_reset(stmt_.get());
        sqlite3_clear_bindings(stmt_.get());
    }
    Value column(int index, AttributeType type) const;
    int64_t columnInt(int index) const { return sqlite3_column_int64(stmt_.get(), index); }
    bool columnIsNull(int index) const { return sqlite3_column_type(stmt_.get(), index) == SQLITE_NULL; }
    std::string columnText(int index) const;

private:
    struct Finalizer {
        void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
    };
    sqlite3* db_ = nullptr;
    std::unique_ptr<sqlite3_stmt, Finalizer> stmt_;
};

// One connection to a database file; closed when destroyed.
class SqliteDatabase {
public:
    // Opens (creating when asked) the file. Null and *error on failure.
    static std::unique_ptr<SqliteDatabase> open(const std::filesystem::path& file, bool create, core::Error* error);

    sqlite3* handle() const { return db_.get(); }
    // Runs statements without results; an error names the failing text.
    std::optional<core::Error> exec(const std::string& sql);
    SqliteStatement prepare(const std::string& sql, core::Error* error = nullptr);
    core::Error lastError(const std::string& context) const;
    std::optional<int64_t> queryInt(const std::string& sql, core::Error* error = nullptr);

private:
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
    };
    std::unique_ptr<sqlite3, Closer> db_;
};

// Quoted SQL identifier.
std::string quoteIdentifier(const std::string& name);

}  // namespace orvanta::model
