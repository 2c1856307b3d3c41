#include "PgReadingImport.h"

#include "AuditLog.h"
#include "DateText.h"
#include "PgStore.h"
#include "ReadAheadVfs.h"
#include "ScratchFolder.h"
#include "SQLiteTable.h"
#include "StoreUpgrade.h"
#include "StoreWriter.h"
#include "WatchList.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRandomGenerator>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

#include <sqlite3.h>

#include <atomic>
#include <memory>

namespace {

// The ID numbers and reading times of a device database, read without its photos.
struct DeviceKeys {
    QStringList ids;      // each once
    QStringList times;    // per row, the store's form; empty when it does not convert
    QStringList rowIds;   // per row
    QString first, last;  // the earliest and latest time that converts
};

bool ReadDeviceKeys(const QString& path, DeviceKeys* keys, QString* error)
{
    try {
        TSQLiteDatabase device(QFile::encodeName(path).toStdString(), ReadAheadVfs());
        TSQLiteCursor rows(device, "SELECT ic, read_time FROM water_list");
        QSet<QString> seen;
        std::string text;
        for (; !rows.AtEnd(); rows.MoveNext()) {
            // A value the import will refuse is left for it to refuse, with its row number.
            const QString ic = rows.FieldStoredText(0, text) ? TrimBlanks(QString::fromUtf8(text.c_str())) : QString();
            const QString time = rows.FieldStoredText(1, text) ? StoreWriter::ReadingTime(TrimBlanks(QString::fromUtf8(text.c_str())))
                                                                 : QString();
            keys->rowIds << ic;
            keys->times << time;
            if (!seen.contains(ic)) {
                seen.insert(ic);
                keys->ids << ic;
            }
            if (!time.isEmpty()) {
                if (keys->first.isEmpty() || time < keys->first)
                    keys->first = time;
                if (keys->last.isEmpty() || time > keys->last)
                    keys->last = time;
            }
        }
    } catch (const std::exception& e) {
        *error = QString::fromUtf8(e.what());
        return false;
    }
    return true;
}

QString ShiftTime(const QString& storeTime, int seconds)
{
    const auto value = ParseDateTimeText(storeTime);
    return value ? StoreTimeText(value->addSecs(seconds)) : storeTime;
}

// The scratch store: a file store of the program's version in the private folder, used by this
// import alone and removed after it.
class ScratchStore {
public:
    explicit ScratchStore(const QString& folder)
    {
        static std::atomic<int> counter{0};
        m_connection = QStringLiteral("pgimport_%1").arg(counter++);
        m_path = QDir(folder).filePath(
            QStringLiteral("pgimport-%1.db").arg(QRandomGenerator::global()->generate64(), 16, 16, QLatin1Char('0')));
    }
    ~ScratchStore()
    {
        {
            QSqlDatabase db = QSqlDatabase::database(m_connection, false);
            if (db.isOpen())
                db.close();
        }
        QSqlDatabase::removeDatabase(m_connection);
        for (const QString& file : {m_path, m_path + QStringLiteral("-journal"), m_backup})
            if (!file.isEmpty())
                QFile::remove(file);
    }

    bool Create(QString* error)
    {
        if (QFileInfo::exists(m_path)) {
            *error = QStringLiteral("临时记录库已存在：%1").arg(QDir::toNativeSeparators(m_path));
            return false;
        }
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(m_path);
        if (!db.open()) {
            *error = db.lastError().text();
            return false;
        }
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner);
        QFile layout(QStringLiteral(":/store/KeepTrackLog.sql"));
        if (!layout.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("程序缺少记录库结构文件");
            return false;
        }
        const QVariant handle = db.driver()->handle();
        sqlite3* connection = *static_cast<sqlite3* const*>(handle.data());
        char* message = nullptr;
        if (sqlite3_exec(connection, layout.readAll().constData(), nullptr, nullptr, &message) != SQLITE_OK) {
            *error = QString::fromUtf8(message ? message : "sqlite3_exec");
            sqlite3_free(message);
            return false;
        }
        const StoreUpgradeResult upgraded = UpgradeStore(db);
        m_backup = upgraded.copyPath;
        if (!upgraded.StoreUsable()) {
            *error = upgraded.error;
            return false;
        }
        // Thrown away after the import: nothing in it needs to survive a crash.
        QSqlQuery pragma(db);
        pragma.exec(QStringLiteral("PRAGMA synchronous=OFF"));
        pragma.exec(QStringLiteral("PRAGMA cache_size=-65536"));
        return true;
    }

    QSqlDatabase db() const { return QSqlDatabase::database(m_connection, false); }

private:
    QString m_connection;
    QString m_path;
    QString m_backup;
};

// Scratch stores hold personal data; one left by an import that never ended (the program killed,
// the machine off) goes at the next import. A running import writes its own all the time.
void RemoveStaleScratchStores(const QString& folder)
{
    const QDateTime stale = QDateTime::currentDateTime().addSecs(-3600);
    const QDir dir(folder);
    for (const QFileInfo& file : dir.entryInfoList({QStringLiteral("pgimport-*.db*")}, QDir::Files))
        if (file.lastModified() < stale)
            QFile::remove(file.filePath());
}

// Runs one prepared statement per row on the scratch store.
bool Insert(QSqlQuery& q, const QVariantList& values, QString* error)
{
    for (int i = 0; i < values.size(); ++i)
        q.bindValue(i, values[i]);
    if (q.exec())
        return true;
    *error = q.lastError().text();
    return false;
}

QVariant TextOrNull(const PgResult& r, int row, int column)
{
    return r.IsNull(row, column) ? QVariant() : QVariant(r.Text(row, column));
}

} // namespace

PgReadingImporter::PgReadingImporter(PgStore& store, QString scratchFolder) : m_store(store), m_scratch(std::move(scratchFolder))
{
}

ImportOutcome PgReadingImporter::ImportDeviceDb(const QString& path)
{
    ImportOutcome out;
    out.validation = ReadingLogImporter(QSqlDatabase(), QString()).ValidateDeviceDb(path);
    if (out.validation != ImportOutcome::Validation::Ok)
        return out;
    auto fail = [&](const QString& error, bool busy = false) {
        const int rows = out.rowsInDevice;
        out = ImportOutcome();
        out.rowsInDevice = rows;
        out.readFailed = true;
        out.storeBusy = busy;
        out.error = error;
        return out;
    };
    if (!m_store.IsOpen())
        return fail(QStringLiteral("记录库未打开"));
    if (m_scratch.isEmpty())
        return fail(QStringLiteral("没有可用的私有临时文件夹"));

    DeviceKeys keys;
    QString error;
    if (!ReadDeviceKeys(path, &keys, &error))
        return fail(error);
    if (keys.rowIds.isEmpty())
        return out;

    RemoveStaleScratchStores(m_scratch);
    ScratchStore scratch(m_scratch);
    if (!scratch.Create(&error))
        return fail(QStringLiteral("无法建立导入用的临时记录库：%1").arg(error));
    QSqlDatabase local = scratch.db();

    // What the shared store knows of these ID numbers: their holders (without photos, which the
    // import never reads), watch-list entries, and readings within the repeat span of the file's
    // times, which are all the import's rules look at.
    const PgParam ids = PgParam(PgTextArray(keys.ids));
    PgResult holders = m_store.Exec("select idcardno, name, sex, nation_no, born, address, grantdept, usefullifebegin, "
                                    "usefullifeend, blackflag from idcardinfo where idcardno = any($1::varchar[])",
                                    {ids}, &error);
    if (!holders.Ok())
        return fail(error);
    PgResult listed = m_store.Exec("select idcardno, reason, to_char(addtime, 'YYYY-MM-DD HH24:MI:SS'), station from watchlist "
                                   "where idcardno = any($1::varchar[])",
                                   {ids}, &error);
    if (!listed.Ok())
        return fail(error);
    const QString from = keys.first.isEmpty() ? QStringLiteral("1900-01-01 00:00:00") : ShiftTime(keys.first, -600);
    const QString to = keys.last.isEmpty() ? QStringLiteral("1900-01-01 00:00:00") : ShiftTime(keys.last, 600);
    PgResult readings = m_store.Exec("select serialno, idcardno, to_char(readtime, 'YYYY-MM-DD HH24:MI:SS'), checkflags, station "
                                     "from idcardwater where idcardno = any($1::varchar[]) and readtime between $2 and $3",
                                     {ids, from, to}, &error);
    if (!readings.Ok())
        return fail(error);

    QSet<QString> storedHolders;
    QSet<QString> takenMeanwhile;
    QHash<QString, QString> storedFlags;
    QHash<qint64, int> storedChecks;
    qint64 lastBefore = 0;
    {
        if (!local.transaction())
            return fail(local.lastError().text());
        QSqlQuery h(local), w(local), r(local);
        h.prepare(QStringLiteral("insert into idcardinfo (idcardno, name, sex, nation_no, born, address, grantdept, "
                                 "UsefulLifeBegin, UsefulLifeEnd, blackflag) values (?,?,?,?,?,?,?,?,?,?)"));
        w.prepare(QStringLiteral("insert into watchlist (idcardno, reason, addtime, station) values (?,?,?,?)"));
        r.prepare(QStringLiteral("insert into idcardwater (serialno, idcardno, readtime, checkflags, station) values (?,?,?,?,?)"));
        for (int i = 0; i < holders.Rows(); ++i) {
            QVariantList v;
            for (int c = 0; c < 10; ++c)
                v << TextOrNull(holders, i, c);
            if (!Insert(h, v, &error))
                return fail(error);
            storedHolders.insert(holders.Text(i, 0));
            storedFlags.insert(holders.Text(i, 0), holders.Text(i, 9));
        }
        for (int i = 0; i < listed.Rows(); ++i)
            if (!Insert(w, {listed.Text(i, 0), TextOrNull(listed, i, 1), TextOrNull(listed, i, 2), TextOrNull(listed, i, 3)}, &error))
                return fail(error);
        for (int i = 0; i < readings.Rows(); ++i) {
            const qint64 serial = readings.Number(i, 0);
            if (!Insert(r, {serial, readings.Text(i, 1), readings.Text(i, 2), readings.Number(i, 3), readings.Text(i, 4)}, &error))
                return fail(error);
            storedChecks.insert(serial, int(readings.Number(i, 3)));
            lastBefore = std::max(lastBefore, serial);
        }
        h.finish();
        w.finish();
        r.finish();
        if (!local.commit())
            return fail(local.lastError().text());
    }

    // The import itself, with every rule of the file store's; the bitmap side file is written
    // only once the shared store has the holders.
    out = ReadingLogImporter(local, QString()).ImportDeviceDb(path);
    if (out.readFailed)
        return out;

    auto step = [&](const char* name) {
        if (beforeStep)
            beforeStep(name);
    };
    auto abandon = [&](const QString& why, const QString& state = QString()) {
        m_store.Rollback();
        return fail(why, state == QLatin1String("55P03"));
    };
    if (!m_store.Begin(&error))
        return fail(error);
    step("turn");
    if (!m_store.TakeWriteTurn(&error))
        return abandon(error, m_store.LastSqlState());
    // A holder this import found stored may have been deleted since (retention at another station);
    // its readings would then be stored without it, out of every list. The operator imports again.
    if (!storedHolders.isEmpty()) {
        const PgResult still = m_store.Exec("select count(*) from idcardinfo where idcardno = any($1::varchar[])",
                                            {PgTextArray(storedHolders.values())}, &error);
        if (!still.Ok())
            return abandon(error, still.SqlState());
        if (still.Number(0, 0) != storedHolders.size())
            return abandon(QStringLiteral("导入期间另一站点删除了其中的持证人记录，本次未导入任何记录，请重新联接设备导入"));
    }
    // Holders another station stored since this import looked are left as that station wrote them.
    {
        QStringList candidates;
        QSqlQuery q(local);
        q.setForwardOnly(true);
        if (!q.exec(QStringLiteral("select idcardno from idcardinfo")))
            return abandon(q.lastError().text());
        while (q.next())
            if (!storedHolders.contains(q.value(0).toString()))
                candidates << q.value(0).toString();
        if (!candidates.isEmpty()) {
            PgResult meanwhile = m_store.Exec("select idcardno from idcardinfo where idcardno = any($1::varchar[])",
                                              {PgTextArray(candidates)}, &error);
            if (!meanwhile.Ok())
                return abandon(error, meanwhile.SqlState());
            for (int i = 0; i < meanwhile.Rows(); ++i)
                takenMeanwhile.insert(meanwhile.Text(i, 0));
        }
    }

    step("holders");
    QByteArray lastBitmap;
    {
        // The new holders go straight into the table, in one order at every station so that two
        // stations writing the same holders wait for each other instead of deadlocking. Should
        // another station have stored one of them since this import looked, they go again through
        // a scratch table that skips those.
        QStringList flagged, flags, copiedIds;
        auto copyHolders = [&](const char* copySql, QString* why) {
            flagged.clear();
            flags.clear();
            copiedIds.clear();
            PgCopyIn copy(m_store, copySql);
            QSqlQuery q(local);
            q.setForwardOnly(true);
            if (!q.exec(QStringLiteral("select idcardno, name, sex, nation_no, born, address, grantdept, UsefulLifeBegin, "
                                       "UsefulLifeEnd, blackflag, photo, rowid from idcardinfo order by idcardno"))) {
                *why = q.lastError().text();
                return false;
            }
            qint64 lastRow = -1;
            while (q.next()) {
                const QString id = q.value(0).toString();
                if (takenMeanwhile.contains(id))
                    continue;
                if (storedHolders.contains(id)) {
                    const QString flag = q.value(9).toString();
                    if (flag != storedFlags.value(id)) {
                        flagged << id;
                        flags << flag;
                    }
                    continue;
                }
                copiedIds << id;
                copy.Row(11);
                for (int c = 0; c < 10; ++c) {
                    if (q.value(c).isNull())
                        copy.Bytes(QByteArray());
                    else if (c == 3)
                        copy.Int16(qint16(q.value(c).toInt()));
                    else
                        copy.Text(q.value(c).toString());
                }
                const QByteArray photo = q.value(10).toByteArray();
                copy.Bytes(photo);
                // The side file shows the last new holder of the file with a photo.
                if (!photo.isNull() && q.value(11).toLongLong() > lastRow) {
                    lastRow = q.value(11).toLongLong();
                    lastBitmap = photo;
                }
            }
            if (q.lastError().isValid()) {
                *why = q.lastError().text();
                return false;
            }
            return copy.Finish(why);
        };
        if (!m_store.Exec("savepoint holders", &error).Ok())
            return abandon(error);
        if (!copyHolders("copy idcardinfo (idcardno, name, sex, nation_no, born, address, grantdept, usefullifebegin, "
                         "usefullifeend, blackflag, photo) from stdin (format binary)",
                         &error)) {
            if (m_store.LastSqlState() != QLatin1String("23505"))
                return abandon(error, m_store.LastSqlState());
            if (!m_store.Exec("rollback to savepoint holders", &error).Ok()
                || !m_store.Exec("create temp table in_holders (like idcardinfo) on commit drop", &error).Ok()
                // Photos are bitmaps: compressing each on its way through costs more than it saves.
                || !m_store.Exec("alter table in_holders alter column photo set storage external", &error).Ok()
                || !copyHolders("copy in_holders from stdin (format binary)", &error))
                return abandon(error, m_store.LastSqlState());
            PgResult added = m_store.Exec("insert into idcardinfo select * from in_holders order by idcardno "
                                          "on conflict (idcardno) do nothing",
                                          &error);
            if (!added.Ok())
                return abandon(error, added.SqlState());
        }
        // The list may have changed at another station since this import read it: its new holders
        // are flagged by the list as it is now, in this write turn.
        if (!copiedIds.isEmpty()) {
            PgResult set = m_store.Exec("update idcardinfo b set blackflag = case when exists (select 1 from watchlist w where w.idcardno = b.idcardno) "
                                        "then $2 else $3 end where b.idcardno = any($1::varchar[])",
                                        {PgTextArray(copiedIds), kFlagListed, kFlagUnlisted}, &error);
            if (!set.Ok())
                return abandon(error, set.SqlState());
        }
        if (!flagged.isEmpty()) {
            PgResult set = m_store.Exec("update idcardinfo b set blackflag = d.f from unnest($1::varchar[], $2::varchar[]) d(i, f) "
                                        "where b.idcardno = d.i",
                                        {PgTextArray(flagged), PgTextArray(flags)}, &error);
            if (!set.Ok())
                return abandon(error, set.SqlState());
        }
    }

    step("readings");
    qint64 copied = 0;
    {
        if (!m_store.Exec("create temp table in_readings (idcardno text, readtime text, checkflags integer, station text) "
                          "on commit drop",
                          &error)
                 .Ok())
            return abandon(error);
        PgCopyIn copy(m_store, "copy in_readings from stdin (format binary)");
        QSqlQuery q(local);
        q.setForwardOnly(true);
        q.prepare(QStringLiteral("select idcardno, readtime, checkflags, station, serialno from idcardwater order by serialno"));
        if (!q.exec())
            return abandon(q.lastError().text());
        QStringList changedSerials, changedChecks;
        while (q.next()) {
            const qint64 serial = q.value(4).toLongLong();
            const int checks = q.value(2).toInt();
            if (serial <= lastBefore) {
                // A reading stored before that this import made a repeat of.
                if (checks != storedChecks.value(serial, checks)) {
                    changedSerials << QString::number(serial);
                    changedChecks << QString::number(checks);
                }
                continue;
            }
            copy.Row(4);
            copy.Text(q.value(0).toString());
            copy.Text(q.value(1).toString());
            copy.Int(checks);
            copy.Text(q.value(3).toString());
            ++copied;
        }
        if (q.lastError().isValid())
            return abandon(q.lastError().text());
        if (!copy.Finish(&error))
            return abandon(error);
        PgResult added = m_store.Exec("insert into idcardwater (idcardno, readtime, checkflags, station) "
                                      "select idcardno, readtime::timestamp, checkflags, station from in_readings "
                                      "order by idcardno, readtime on conflict (idcardno, readtime) do nothing",
                                      &error);
        if (!added.Ok())
            return abandon(error, added.SqlState());
        // Readings another station stored meanwhile were stored before this import, as far as
        // the operator is concerned.
        const qint64 skipped = copied - added.Affected();
        out.count -= int(skipped);
        out.alreadyStored += int(skipped);
        if (!changedSerials.isEmpty()) {
            PgResult set = m_store.Exec("update idcardwater w set checkflags = w.checkflags | d.f "
                                        "from unnest($1::bigint[], $2::integer[]) d(s, f) where w.serialno = d.s",
                                        {PgTextArray(changedSerials), PgTextArray(changedChecks)},
                                        &error);
            if (!set.Ok())
                return abandon(error, set.SqlState());
        }
    }

    // The import's row of the audit trail goes in with its readings.
    {
        QSqlQuery q(local);
        if (!q.exec(QStringLiteral("select logtime, station, osuser, action, count, detail from audit_log order by id")))
            return abandon(q.lastError().text());
        while (q.next()) {
            const AuditRow row{q.value(0).toString(), q.value(1).toString(), q.value(2).toString(),
                               q.value(3).toString(), q.value(4).toInt(), q.value(5).toString()};
            if (!WriteAudit(m_store, row, &error))
                return abandon(error, m_store.LastSqlState());
        }
    }

    step("commit");
    if (!m_store.Commit(&error))
        return fail(error);

    if (!lastBitmap.isNull())
        WritePrivateFile(QDir(m_scratch).filePath(QLatin1String(ReadingLogImporter::kSideFileName)), lastBitmap);
    return out;
}

bool PgReadingImporter::AllReadingsStored(const QString& path, QString* why, bool* unknown) const
{
    if (unknown)
        *unknown = false;
    auto fail = [&](const QString& reason, bool couldNotTell) {
        if (why)
            *why = reason;
        if (unknown)
            *unknown = couldNotTell;
        return false;
    };
    DeviceKeys keys;
    QString error;
    if (ReadingLogImporter(QSqlDatabase(), QString()).ValidateDeviceDb(path) != ImportOutcome::Validation::Ok)
        return fail(QStringLiteral("no reading log"), true);
    if (!ReadDeviceKeys(path, &keys, &error))
        return fail(error, true);
    for (int i = 0; i < keys.times.size(); ++i)
        if (keys.times[i].isEmpty())
            return fail(QStringLiteral("row %1: reading time not understood").arg(i + 1), false);
    if (keys.rowIds.isEmpty())
        return true;
    // One question for the whole file: the first row whose reading, with its holder, is missing.
    PgResult missing = m_store.Exec("select min(d.n) from unnest($1::varchar[], $2::timestamp[]) with ordinality d(i, t, n) "
                                    "where not exists (select 1 from idcardwater a join idcardinfo b on b.idcardno = a.idcardno "
                                    "where a.idcardno = d.i and a.readtime = d.t)",
                                    {PgTextArray(keys.rowIds), PgTextArray(keys.times)},
                                    &error);
    if (!missing.Ok())
        return fail(error, true);
    if (!missing.IsNull(0, 0))
        return fail(QStringLiteral("row %1 is not in the store").arg(missing.Number(0, 0)), false);
    return true;
}
