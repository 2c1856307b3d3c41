// Feeds arbitrary bytes as a device database file to the reader and walks
// every row of water_list with every field reader.

#include "SQLiteTable.h"

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

constexpr size_t kMaxInput = 256 * 1024;
constexpr int kMaxProgressCalls = 2000;  // x 1000 VM steps per query run

const std::string& TempPath()
{
    static const std::string path = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/fuzz_devicedb_" + std::to_string(getpid()) + ".db";
    }();
    return path;
}

// A WAL or journal file left from one input must not be replayed into the next.
void RemoveFiles()
{
    const std::string& p = TempPath();
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        std::remove((p + suffix).c_str());
}

bool WriteInput(const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(TempPath().c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

int ProgressGuard(void* counter)
{
    return ++*static_cast<int*>(counter) > kMaxProgressCalls;
}

// Bounds the work SQLite may do on a hostile file; the program itself never sets these.
void LimitForFuzzing(sqlite3* db, int* progressCounter)
{
    sqlite3_limit(db, SQLITE_LIMIT_LENGTH, 1 << 20);
    sqlite3_limit(db, SQLITE_LIMIT_SQL_LENGTH, 1 << 14);
    sqlite3_limit(db, SQLITE_LIMIT_COLUMN, 256);
    sqlite3_limit(db, SQLITE_LIMIT_EXPR_DEPTH, 64);
    sqlite3_limit(db, SQLITE_LIMIT_COMPOUND_SELECT, 8);
    sqlite3_limit(db, SQLITE_LIMIT_VDBE_OP, 25000);
    sqlite3_limit(db, SQLITE_LIMIT_FUNCTION_ARG, 8);
    sqlite3_limit(db, SQLITE_LIMIT_ATTACHED, 0);
    sqlite3_limit(db, SQLITE_LIMIT_LIKE_PATTERN_LENGTH, 100);
    sqlite3_limit(db, SQLITE_LIMIT_TRIGGER_DEPTH, 4);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_exec(db, "PRAGMA cell_size_check=ON", nullptr, nullptr, nullptr);
    sqlite3_progress_handler(db, 1000, ProgressGuard, progressCounter);
}

template <typename F>
void Try(F&& f)
{
    try {
        f();
    } catch (const ESQLiteException&) {
    }
}

void Check(bool ok)
{
    if (!ok)
        __builtin_trap();
}

void WalkTable(TSQLiteTable& t)
{
    const int cols = t.ColumnCount();
    Check(t.RowCount() == 0 ? cols == 0 : cols > 0);
    Check(t.ColumnNames().size() == static_cast<size_t>(cols));
    Check(t.ColumnTypes().size() == static_cast<size_t>(cols));
    for (int type : t.ColumnTypes())
        Check(type >= 1 && type <= 5);
    for (int k = 0; k < cols; ++k) {
        const std::string& name = t.ColumnNames()[static_cast<size_t>(k)];
        int idx = -1;
        Try([&] { idx = t.IndexOfField(name); });
        Check(idx >= 0 && idx <= k);
    }

    int rows = 0;
    do {
        for (int k = 0; k < cols; ++k) {
            Try([&] { (void)t.FieldText(k); });
            Try([&] { (void)t.FieldTextOrEmpty(k); });
            Try([&] { (void)t.FieldInt64(k); });
            Try([&] { (void)t.FieldReal(k); });
            int64_t blobSize = -1;
            Try([&] {
                if (TMemoryStream* s = t.FieldBlob(k)) {
                    blobSize = s->Size();
                    Check(blobSize > 0 && s->Data() != nullptr);
                } else {
                    blobSize = 0;
                }
            });
            Try([&] {
                const std::string bytes = t.FieldBlobText(k);
                Check(static_cast<int64_t>(bytes.size()) == blobSize);
            });
        }
        ++rows;
    } while (t.MoveNext() && !t.AtEnd());
    Check(t.AtEnd() || t.RowCount() == 0);
    Check(t.RowCount() == 0 || rows == t.RowCount());
    Check(!t.MoveNext());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Hostile headers can ask for huge caches; cap SQLite's own heap.
    sqlite3_hard_heap_limit64(64 << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxInput)
        return 0;
    RemoveFiles();
    if (!WriteInput(data, size))
        return 0;
    try {
        TSQLiteDatabase db(TempPath());
        int progress = 0;
        LimitForFuzzing(db.DbHandle(), &progress);
        Try([&] {
            if (db.HasTable("water_list")) {
                progress = 0;
                auto table = db.QueryTable("SELECT * FROM water_list");
                WalkTable(*table);
            }
        });
        Check(sqlite3_next_stmt(db.DbHandle(), nullptr) == nullptr);
    } catch (const ESQLiteException&) {
    }
    RemoveFiles();
    return 0;
}
