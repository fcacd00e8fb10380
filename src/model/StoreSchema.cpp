#include "model/StoreSchema.h"

#include "model/Sqlite.h"

namespace orvanta::model {

std::vector<StoredColumn> storedColumns(const EntityDescription& entity) {
    std::vector<StoredColumn> cols;
    for (const auto& a : entity.attributes()) cols.push_back({a.name, false, a.type, {}});
    for (const auto& r : entity.relationships())
        if (!r.toMany) cols.push_back({r.name, true, AttributeType::Integer64, r.destinationEntity});
    return cols;
}

namespace {

const char* sqlType(AttributeType t) {
    switch (t) {
        case AttributeType::Integer16:
        case AttributeType::Integer32:
        case AttributeType::Integer64:
        case AttributeType::Boolean:
            return "INTEGER";
        case AttributeType::Double:
        case AttributeType::Float:
        case AttributeType::Decimal:
        case AttributeType::Date:
            return "REAL";
        case AttributeType::String:
            return "TEXT";
        case AttributeType::Binary:
        case AttributeType::Transformable:
            return "BLOB";
    }
    return "BLOB";
}

}  // namespace

std::string createTableSql(const EntityDescription& entity, int storeVersion) {
    std::string sql = "CREATE TABLE " + quoteIdentifier(entity.name()) + " (\"Z_PK\" INTEGER PRIMARY KEY";
    for (const auto& c : storedColumns(entity)) {
        if (entity.name() == "Recording" && c.name == "LocalFolder" && storeVersion < 3) continue;
        if (entity.name() == "FileUpload" && storeVersion < 4) {
            if (c.name == "bytesUploadedBin") {
                sql += ", \"bytesUploaded\" INTEGER";
                continue;
            }
            if (c.name == "totalSizeBin") continue;
        }
        sql += ", " + quoteIdentifier(c.name) + " " + (c.isRelationship ? "INTEGER" : sqlType(c.type));
    }
    return sql + ")";
}

std::string createSchemaSql(const ObjectModel& model, int storeVersion) {
    std::string sql;
    for (const auto* e : model.storedEntities()) {
        sql += createTableSql(*e, storeVersion) + ";\n";
        for (const auto& c : storedColumns(*e))
            if (c.isRelationship)
                sql += "CREATE INDEX IF NOT EXISTS " + quoteIdentifier(e->name() + "_" + c.name) + " ON " +
                       quoteIdentifier(e->name()) + " (" + quoteIdentifier(c.name) + ");\n";
    }
    return sql;
}

}  // namespace orvanta::model
