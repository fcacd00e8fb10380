#include "model/Sqlite.h"

namespace orvanta::model {

std::string quoteIdentifier(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

void SqliteStatement::bind(int index, const Value& value, AttributeType type) {
    sqlite3_stmt* s = stmt_.get();
    std::visit(
        [&](const auto& v) {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, std::monostate>) {
                sqlite3_bind_null(s, index);
            } else if constexpr (std::is_same_v<V, int64_t>) {
                if (type == AttributeType::Double || type == AttributeType::Float)
                    sqlite3_bind_double(s, index, static_cast<double>(v));
                else
                    sqlite3_bind_int64(s, index, v);
            } else if constexpr (std::is_same_v<V, double>) {
                sqlite3_bind_double(s, index, v);
            } else if constexpr (std::is_same_v<V, bool>) {
                sqlite3_bind_int64(s, index, v ? 1 : 0);
            } else if constexpr (std::is_same_v<V, std::string>) {
                sqlite3_bind_text(s, index, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
            } else if constexpr (std::is_same_v<V, Date>) {
                sqlite3_bind_double(s, index, secondsSinceEpoch(v));
            } else if constexpr (std::is_same_v<V, Bytes>) {
                sqlite3_bind_blob(s, index, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
            }
        },
        value);
}

std::string SqliteStatement::columnText(int index) const {
    const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(stmt_.get(), index));
    return t ? std::string(t, static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), index))) : std::string();
}

Value SqliteStatement::column(int index, AttributeType type) const {
    sqlite3_stmt* s = stmt_.get();
    if (sqlite3_column_type(s, index) == SQLITE_NULL) return Value{};
    switch (type) {
        case AttributeType::Integer16:
        case AttributeType::Integer32:
        case AttributeType::Integer64:
            return Value{static_cast<int64_t>(sqlite3_column_int64(s, index))};
        case AttributeType::Boolean:
            return Value{sqlite3_column_int64(s, index) != 0};
        case AttributeType::Double:
        case AttributeType::Float:
        case AttributeType::Decimal:
            return Value{sqlite3_column_double(s, index)};
        case AttributeType::Date:
            return Value{dateFromSecondsSinceEpoch(sqlite3_column_double(s, index))};
        case AttributeType::String:
            return Value{columnText(index)};
        case AttributeType::Binary:
        case AttributeType::Transformable: {
            const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(s, index));
            int n = sqlite3_column_bytes(s, index);
            return Value{Bytes(p, p + n)};
        }
    }
    return Value{};
}

std::unique_ptr<SqliteDatabase> SqliteDatabase::open(const std::filesystem::path& file, bool create,
                                                     core::Error* error) {
    sqlite3* raw = nullptr;
    int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_FULLMUTEX;
    int rc = sqlite3_open_v2(file.c_str(), &raw, flags, nullptr);
    auto db = std::make_unique<SqliteDatabase>();
    db->db_.reset(raw);
    if (rc != SQLITE_OK) {
        if (error) *error = db->lastError("Cannot open " + file.string());
        return nullptr;
    }
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, 5000);
    return db;
}

core::Error SqliteDatabase::lastError(const std::string& context) const {
    int code = db_ ? sqlite3_errcode(db_.get()) : SQLITE_CANTOPEN;
    std::string msg = db_ ? sqlite3_errmsg(db_.get()) : "out of memory";
    return core::Error(kStoreErrorDomain, code, context + ": " + msg, msg);
}

std::optional<core::Error> SqliteDatabase::exec(const std::string& sql) {
    char* msg = nullptr;
    int rc = sqlite3_exec(db_.get(), sql.c_str(), nullptr, nullptr, &msg);
    if (rc == SQLITE_OK) return std::nullopt;
    std::string text = msg ? msg : sqlite3_errstr(rc);
    sqlite3_free(msg);
    return core::Error(kStoreErrorDomain, rc, "Store statement failed: " + text, text);
}

SqliteStatement SqliteDatabase::prepare(const std::string& sql, core::Error* error) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        if (error) *error = lastError("Cannot prepare statement");
        return {};
    }
    return SqliteStatement(db_.get(), stmt);
}

std::optional<int64_t> SqliteDatabase::queryInt(const std::string& sql, core::Error* error) {
    SqliteStatement st = prepare(sql, error);
    if (!st) return std::nullopt;
    int rc = st.step();
    if (rc == SQLITE_ROW) return st.columnInt(0);
    if (rc == SQLITE_DONE) return 0;
    if (error) *error = lastError("Query failed");
    return std::nullopt;
}

}  // namespace orvanta::model
