#include "StoreUpgrade.h"

#include "CardCheckStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSqlDriver>
#include <QVariant>

#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// C++ work of a step on the stored rows, by the version the step produces. A step may consist of
// work alone; make_db cannot run it, which is sound only for work that a store without rows does
// not need.
struct StepWork {
    int version;
    bool (*work)(QSqlDatabase db, QString* error);
};
const std::vector<StepWork> kStepWork = {
    {3, JudgeStoredReadings}, // card checks of the readings already stored
};

// The listing index as every store has it since version 1; stores made before it lack blackflag.
const char* const kListingIndexV1 =
    "DROP INDEX IF EXISTS idcardinfo_listing;"
    "CREATE INDEX idcardinfo_listing ON idcardinfo (idcardno, nation_no, name, address, blackflag);";

sqlite3* HandleOf(QSqlDatabase db)
{
    const QVariant handle = db.isOpen() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3* const*>(handle.data());
}

bool Exec(sqlite3* db, const QByteArray& sql, QString* error)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql.constData(), nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    *error = QString::fromUtf8(message ? message : sqlite3_errmsg(db));
    sqlite3_free(message);
    return false;
}

// Runs a pragma and hands each row it answers to row.
template <typename Row> bool Pragma(sqlite3* db, const char* sql, QString* error, Row row)
{
    sqlite3_stmt* stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    while (rc == SQLITE_OK || rc == SQLITE_ROW) {
        rc = sqlite3_step(stmt);
        if (rc == SQLITE_ROW)
            row(stmt);
    }
    sqlite3_finalize(stmt);
    if (rc == SQLITE_DONE)
        return true;
    *error = QString::fromUtf8(sqlite3_errmsg(db));
    return false;
}

int RefuseTransactionControl(void*, int action, const char*, const char*, const char*, const char*)
{
    return action == SQLITE_TRANSACTION ? SQLITE_DENY : SQLITE_OK;
}

bool ReadVersion(sqlite3* db, int* version, QString* error)
{
    *version = -1;
    return Pragma(db, "PRAGMA user_version", error, [&](sqlite3_stmt* s) { *version = sqlite3_column_int(s, 0); });
}

bool SetVersion(sqlite3* db, int version, QString* error)
{
    // A pragma takes no bound parameters; the number is the program's own.
    return Exec(db, "PRAGMA user_version = " + QByteArray::number(version), error);
}

// Stores made before the version was kept are version 1, some of them with the listing index of
// before the black-list flag joined it.
bool AdoptAsVersion1(sqlite3* db, QString* error)
{
    bool hasFlag = false;
    if (!Pragma(db, "PRAGMA index_info(idcardinfo_listing)", error, [&](sqlite3_stmt* s) {
            hasFlag |= qstricmp(reinterpret_cast<const char*>(sqlite3_column_text(s, 2)), "blackflag") == 0;
        }))
        return false;
    return (hasFlag || Exec(db, kListingIndexV1, error)) && SetVersion(db, 1, error);
}

// The copy is taken through SQLite: reading the file with a descriptor of our own and closing it
// would drop the locks SQLite holds on it. It is written under a temporary name and renamed when
// whole, so the .bak name never holds part of a store, and it is the owner's alone from the start.
bool CopyStore(sqlite3* store, const QString& to, QString* error)
{
    const QString part = to + QStringLiteral(".part");
    QFile::remove(part); // left by a run that ended mid-copy
    QFile::remove(part + QStringLiteral("-journal"));
    QFile create(part);
    bool ok = create.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        && create.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QString why = create.errorString();
    create.close();
    sqlite3* copy = nullptr;
    if (ok) {
        ok = sqlite3_open_v2(QFile::encodeName(part).constData(), &copy, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
        sqlite3_backup* backup = ok ? sqlite3_backup_init(copy, "main", store, "main") : nullptr;
        ok = backup && sqlite3_backup_step(backup, -1) == SQLITE_DONE;
        ok = sqlite3_backup_finish(backup) == SQLITE_OK && ok;
        why = QString::fromUtf8(sqlite3_errmsg(copy));
        ok = sqlite3_close(copy) == SQLITE_OK && ok;
    }
    if (ok && std::rename(QFile::encodeName(part).constData(), QFile::encodeName(to).constData()) == 0)
        return true;
    if (ok)
        why = QString::fromLocal8Bit(std::strerror(errno));
    QFile::remove(part);
    QFile::remove(part + QStringLiteral("-journal"));
    *error = QStringLiteral("无法制作记录库副本 \"%1\"：%2").arg(QDir::toNativeSeparators(to), why);
    return false;
}

// Everything of an upgrade that runs inside the transaction; false with a reason.
bool RunSteps(sqlite3* db, QSqlDatabase qdb, const QString& storeFile, int stored, const QList<UpgradeStep>& steps,
              StoreUpgradeResult* result)
{
    QString* error = &result->error;
    int current = -1;
    if (!ReadVersion(db, &current, error))
        return false;
    if (current != stored) {
        *error = QStringLiteral("记录库的版本在升级前被其他程序改动");
        return false;
    }
    const int from = result->fromVersion;
    if (from < result->toVersion) {
        const QString copy = storeFile + QStringLiteral(".v%1.bak").arg(from);
        if (!CopyStore(db, copy, error))
            return false;
        result->copyPath = copy;
    }
    if (stored == 0 && !AdoptAsVersion1(db, error))
        return false;
    for (const UpgradeStep& step : steps) {
        if (step.version <= from)
            continue;
        QString why;
        // A step's own BEGIN, COMMIT or ROLLBACK would commit part of the upgrade: refused before
        // it runs.
        sqlite3_set_authorizer(db, RefuseTransactionControl, nullptr);
        bool ok = Exec(db, step.sql.toUtf8(), &why);
        sqlite3_set_authorizer(db, nullptr, nullptr);
        ok = ok && (!step.work || step.work(qdb, &why)) && SetVersion(db, step.version, &why);
        if (!ok) {
            *error = QStringLiteral("升级到版本 %1 失败：%2").arg(step.version).arg(why);
            return false;
        }
    }
    return true;
}

} // namespace

QList<UpgradeStep> ProgramUpgradeSteps()
{
    QMap<int, UpgradeStep> byVersion;
    const QDir folder(QStringLiteral(":/upgrades"));
    for (const QString& name : folder.entryList({QStringLiteral("*.sql")}, QDir::Files)) {
        bool numbered = false;
        const int version = QFileInfo(name).completeBaseName().toInt(&numbered);
        QFile file(folder.filePath(name));
        if (!numbered || !file.open(QIODevice::ReadOnly))
            continue; // the build compiles in only NNNN.sql
        byVersion[version].version = version;
        byVersion[version].sql = QString::fromUtf8(file.readAll());
    }
    for (const StepWork& w : kStepWork) {
        if (w.work) {
            byVersion[w.version].version = w.version;
            byVersion[w.version].work = w.work;
        }
    }
    return byVersion.values();
}

int LatestStoreVersion(const QList<UpgradeStep>& steps)
{
    int latest = 1;
    for (const UpgradeStep& step : steps)
        latest = std::max(latest, step.version);
    return latest;
}

StoreUpgradeResult UpgradeStore(QSqlDatabase db, const QList<UpgradeStep>& steps)
{
    StoreUpgradeResult result;
    result.toVersion = LatestStoreVersion(steps);
    for (int i = 0; i < steps.size(); ++i) {
        if (steps[i].version != i + 2) {
            result.error = QStringLiteral("升级步骤不连续：缺少版本 %1").arg(i + 2);
            return result;
        }
    }
    sqlite3* handle = HandleOf(db);
    if (!handle) {
        result.error = QStringLiteral("数据库未打开");
        return result;
    }
    int stored = 0;
    if (!ReadVersion(handle, &stored, &result.error))
        return result;
    result.fromVersion = std::max(stored, 1);
    if (stored < 0) {
        result.error = QStringLiteral("记录库版本 %1 无法识别").arg(stored);
        return result;
    }
    if (stored > result.toVersion) {
        result.fromVersion = stored;
        result.outcome = StoreUpgradeResult::TooNew;
        return result;
    }
    if (stored == result.toVersion) {
        result.outcome = StoreUpgradeResult::UpToDate;
        return result;
    }

    const QString storeFile = QFileInfo(QString::fromUtf8(sqlite3_db_filename(handle, "main"))).absoluteFilePath();
    // The read lock taken at the first read is held from before the copy to the commit, so
    // nobody changes the store in between; the first write of a step takes the write lock.
    if (!Exec(handle, "BEGIN", &result.error))
        return result;
    if (RunSteps(handle, db, storeFile, stored, steps, &result) && Exec(handle, "COMMIT", &result.error)) {
        result.outcome = result.fromVersion < result.toVersion ? StoreUpgradeResult::Upgraded : StoreUpgradeResult::UpToDate;
        return result;
    }
    QString ignored;
    if (!sqlite3_get_autocommit(handle) && !Exec(handle, "ROLLBACK", &ignored))
        result.error += QStringLiteral("（撤销失败：%1）").arg(ignored);
    return result;
}
