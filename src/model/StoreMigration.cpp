#include "model/StoreMigration.h"

#include <cstdint>

#include "core/Log.h"
#include "model/EntityDescription.h"
#include "model/Sqlite.h"
#include "model/StoreSchema.h"

namespace orvanta::model {

int64_t convertRecordingState(int64_t oldState) {
    int32_t state = static_cast<int32_t>(oldState);
    return state > 3 ? state + 2 : state;
}

uint64_t convertBytesUploaded(int64_t storedCount, const std::string& remotePath) {
    // Old versions counted in 32 bits; beyond 2 GB the count wrapped to a negative number.
    int32_t count = static_cast<int32_t>(storedCount);
    if (count < 0) {
        core::logf("Detected overflow in \"bytesUploaded\" while upgrading file %s", remotePath.c_str());
        core::logf("Found overflowed value %i, replacing with 0", count);
        return 0;
    }
    return static_cast<uint64_t>(count);
}

namespace {

std::optional<core::Error> renumberStates(SqliteDatabase& db) {
    core::Error err;
    SqliteStatement select = db.prepare("SELECT \"Z_PK\", \"State\" FROM \"Recording\"", &err);
    SqliteStatement update = db.prepare("UPDATE \"Recording\" SET \"State\" = ?1 WHERE \"Z_PK\" = ?2", &err);
    if (!select || !update) return err;
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
        core::logf("RecordingStateToRecordingState: createDestinationInstancesForSourceInstance invoked");
        if (select.columnIsNull(1)) continue;
        update.bindInt(1, convertRecordingState(select.columnInt(1)));
        update.bindInt(2, select.columnInt(0));
        if (update.step() != SQLITE_DONE) return db.lastError("Converting recording states");
        update.reset();
    }
    if (rc != SQLITE_DONE) return db.lastError("Reading recordings");
    return std::nullopt;
}

std::optional<core::Error> addLocalFolder(SqliteDatabase& db, const std::string& folder) {
    if (auto e = db.exec("ALTER TABLE \"Recording\" ADD COLUMN \"LocalFolder\" TEXT")) return e;
    core::Error err;
    SqliteStatement select = db.prepare("SELECT \"Z_PK\" FROM \"Recording\"", &err);
    SqliteStatement update = db.prepare("UPDATE \"Recording\" SET \"LocalFolder\" = ?1 WHERE \"Z_PK\" = ?2", &err);
    if (!select || !update) return err;
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
        core::logf("Migrating to v3");
        update.bind(1, Value{folder}, AttributeType::String);
        update.bindInt(2, select.columnInt(0));
        if (update.step() != SQLITE_DONE) return db.lastError("Setting recording folders");
        update.reset();
        core::logf("Setting localFolder for old recordings: %s", folder.c_str());
    }
    if (rc != SQLITE_DONE) return db.lastError("Reading recordings");
    return std::nullopt;
}

std::optional<core::Error> widenUploadCounts(SqliteDatabase& db) {
    if (auto e = db.exec("ALTER TABLE \"FileUpload\" ADD COLUMN \"bytesUploadedBin\" BLOB;"
                         "ALTER TABLE \"FileUpload\" ADD COLUMN \"totalSizeBin\" BLOB"))
        return e;
    core::Error err;
    SqliteStatement select =
        db.prepare("SELECT \"Z_PK\", \"bytesUploaded\", \"remotePath\" FROM \"FileUpload\"", &err);
    SqliteStatement update = db.prepare(
        "UPDATE \"FileUpload\" SET \"bytesUploadedBin\" = ?1, \"totalSizeBin\" = ?2 WHERE \"Z_PK\" = ?3", &err);
    if (!select || !update) return err;
    const Bytes zero = encodeUInt64LE(0);
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
        uint64_t uploaded = convertBytesUploaded(select.columnInt(1), select.columnText(2));
        update.bind(1, Value{encodeUInt64LE(uploaded)}, AttributeType::Binary);
        // The real size is read from disk when it is next needed.
        update.bind(2, Value{zero}, AttributeType::Binary);
        update.bindInt(3, select.columnInt(0));
        if (update.step() != SQLITE_DONE) return db.lastError("Converting upload counts");
        update.reset();
    }
    if (rc != SQLITE_DONE) return db.lastError("Reading file uploads");
    select = SqliteStatement();
    update = SqliteStatement();
    return db.exec("ALTER TABLE \"FileUpload\" DROP COLUMN \"bytesUploaded\"");
}

}  // namespace

std::optional<core::Error> migrateStore(SqliteDatabase& db, int fromVersion, const std::string& defaultRecordingDirectory) {
    if (fromVersion < 2)
        if (auto e = renumberStates(db)) return e;
    if (fromVersion < 3)
        if (auto e = addLocalFolder(db, defaultRecordingDirectory)) return e;
    if (fromVersion < 4)
        if (auto e = widenUploadCounts(db)) return e;
    return std::nullopt;
}

}  // namespace orvanta::model
