#pragma once

#include <string>
#include <vector>

#include "model/EntityDescription.h"

namespace orvanta::model {

// The stored columns of an entity: its attributes, then one column per to-one relationship.
struct StoredColumn {
    std::string name;
    bool isRelationship = false;
    AttributeType type = AttributeType::Integer64;  // attributes only
    std::string destinationEntity;                  // relationships only
};

std::vector<StoredColumn> storedColumns(const EntityDescription& entity);

// "CREATE TABLE ..." for an entity as stored by the given store version (1 to the current one).
// Version 1 and 2 recordings have no LocalFolder; before version 4 a file keeps its upload count
// in a 32-bit number column "bytesUploaded" instead of the two 8-byte columns.
std::string createTableSql(const EntityDescription& entity, int storeVersion);

// The whole schema of a store version, indexes included.
std::string createSchemaSql(const ObjectModel& model, int storeVersion);

}  // namespace orvanta::model
