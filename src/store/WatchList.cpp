#include "WatchList.h"

#include "IdNumberCheck.h"
#include "AuditLog.h"
#include "RecordStore.h"
#include "Settings.h"

#include <QDateTime>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QSysInfo>
#include <QSqlDriver>
#include <QVariant>

#include <sqlite3.h>

const char* const kFlagListed = "是";
const char* const kFlagUnlisted = "否";

namespace {

const char* const kUpsertSql =
    "insert into watchlist(idcardno,reason,addtime,station) values(:p1,:p2,:p3,:p4) "
    "on conflict(idcardno) do update set reason=coalesce(nullif(excluded.reason,''),watchlist.reason),station=excluded.station";
const char* const kFlagSql = "update idcardinfo set blackflag=:p1 where idcardno=:p2";
const char* const kRemoveSql = "delete from watchlist where idcardno=:p1";
const char* const kCountSql = "select count(*) from watchlist";
// After a bulk import: the flags of every listed holder that is not flagged yet.
const char* const kFlagListedSql =
    "update idcardinfo set blackflag=:p1 where coalesce(blackflag,'')<>:p2 and idcardno in (select idcardno from watchlist)";
const char* const kEntriesSql =
    "select w.idcardno,b.name,w.reason,w.addtime,w.station from watchlist w left join idcardinfo b on b.idcardno=w.idcardno "
    "order by w.addtime desc,w.idcardno";
const char* const kReasonSql = "select reason from watchlist where idcardno=:p1";

void setError(QString* error, const QString& text)
{
    if (error)
        *error = text;
}

QString now() { return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")); }

bool exec(QSqlQuery& q, std::initializer_list<QVariant> values, QString* error)
{
    int i = 0;
    for (const QVariant& v : values)
        q.bindValue(i++, v);
    if (q.exec())
        return true;
    setError(error, q.lastError().text());
    return false;
}

sqlite3* sqliteHandle(QSqlDatabase db)
{
    const QVariant handle = db.isOpen() ? db.driver()->handle() : QVariant();
    return handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0 ? *static_cast<sqlite3* const*>(handle.data()) : nullptr;
}

// The lines of a bulk import straight through SQLite: a list of 100,000 lines costs half the
// time it takes through QSqlQuery.
bool upsertDirect(sqlite3* connection, const QStringList& ids, const QList<const WatchListLine*>& lines, const QString& time,
                  const QString& station, QString* error)
{
    sqlite3_stmt* st = nullptr;
    auto bind = [&](int i, const QString& text) {
        return sqlite3_bind_text16(st, i, text.utf16(), int(text.size() * 2), SQLITE_TRANSIENT) == SQLITE_OK;
    };
    bool ok = sqlite3_prepare_v2(connection, kUpsertSql, -1, &st, nullptr) == SQLITE_OK && bind(3, time) && bind(4, station);
    for (int i = 0; ok && i < ids.size(); ++i) {
        ok = bind(1, ids[i]) && bind(2, lines[i]->reason.trimmed()) && sqlite3_step(st) == SQLITE_DONE;
        sqlite3_reset(st);
    }
    if (!ok)
        setError(error, QString::fromUtf8(sqlite3_errmsg(connection)));
    sqlite3_finalize(st);
    return ok;
}

} // namespace

QString LocalStationName() { return Settings(ProgramFolder()).StationName(); }

QString WatchIdProblem(const QString& id)
{
    if (id.isEmpty())
        return QStringLiteral("身份证号为空");
    if (id.size() != 18)
        return QStringLiteral("身份证号“%1”不是18位").arg(id);
    if (!IdCheckDigitValid(id))
        return QStringLiteral("身份证号“%1”的校验位不正确，请核对").arg(id);
    return QString();
}

WatchList::WatchList(QSqlDatabase db, QString station) : m_db(db), m_station(std::move(station)) {}

// A store on PostgreSQL has the list from its first version on; Qt lists its tables with their
// schema's name when that is not "public".
bool WatchList::Present() const
{
    return m_db.isOpen() && (IsPgStore(m_db) || m_db.tables().contains(QStringLiteral("watchlist"), Qt::CaseInsensitive));
}

bool WatchList::begin(QString* error)
{
    if (!Present()) {
        setError(error, m_db.isOpen() ? QStringLiteral("记录库中没有黑名单表，请先升级记录库") : QStringLiteral("记录库未打开"));
        return false;
    }
    const QSqlError failed = BeginExclusive(m_db);
    if (failed.isValid()) {
        setError(error, failed.text());
        return false;
    }
    return true;
}

bool WatchList::audit(const char* action, const QStringList& ids, QString* error)
{
    AuditRow row;
    row.time = now();
    row.station = m_station;
    row.user = OsUserName();
    row.action = QString::fromUtf8(action);
    row.count = int(ids.size());
    row.detail = AuditIdList(ids);
    return WriteAudit(m_db, row, error);
}

bool WatchList::finish(bool ok, QString* error)
{
    if (ok && m_db.commit())
        return true;
    if (ok)
        setError(error, m_db.lastError().text());
    if (!TransactionEnded(m_db))
        m_db.rollback();
    return false;
}

bool WatchIdsToAdd(const QStringList& idcardnos, QStringList* ids, QString* error)
{
    ids->clear();
    for (const QString& text : idcardnos) {
        const QString id = NormaliseIdNumber(text);
        const QString problem = WatchIdProblem(id);
        if (!problem.isEmpty()) {
            setError(error, problem);
            return false;
        }
        if (!ids->contains(id)) // a number given twice is one change
            *ids << id;
    }
    return true;
}

bool WatchListLinesToImport(const QList<WatchListLine>& lines, QList<const WatchListLine*>* valid, QStringList* ids,
                            WatchListImportResult* r)
{
    QSet<QString> seen;
    for (const WatchListLine& line : lines) {
        const QString id = NormaliseIdNumber(line.idcardno);
        if (!WatchIdProblem(id).isEmpty()) {
            ++r->skipped;
            r->badLines << line.line;
        } else if (seen.contains(id)) {
            ++r->skipped; // the first line of an ID number counts
        } else {
            seen.insert(id);
            *valid << &line;
            *ids << id;
        }
    }
    if (valid->isEmpty())
        r->error = QStringLiteral("文件中没有有效的身份证号，黑名单未作任何改动");
    return !valid->isEmpty();
}

bool WatchList::Add(const QStringList& idcardnos, const QString& reason, QString* error)
{
    QStringList ids;
    if (!WatchIdsToAdd(idcardnos, &ids, error))
        return false;
    if (!begin(error))
        return false;
    bool ok = true;
    {
        QSqlQuery upsert(m_db), flag(m_db);
        ok = upsert.prepare(QString::fromUtf8(kUpsertSql)) && flag.prepare(QString::fromUtf8(kFlagSql));
        if (!ok)
            setError(error, (upsert.lastError().isValid() ? upsert : flag).lastError().text());
        const QString time = now();
        for (int i = 0; ok && i < ids.size(); ++i)
            ok = exec(upsert, {ids[i], reason.trimmed(), time, m_station}, error)
                && exec(flag, {QString::fromUtf8(kFlagListed), ids[i]}, error);
    }
    ok = ok && audit(AuditAction::kWatchAdd, ids, error);
    return finish(ok, error);
}

bool WatchList::Remove(const QStringList& idcardnos, QString* error)
{
    if (!begin(error))
        return false;
    bool ok = true;
    QStringList ids;
    {
        QSqlQuery remove(m_db), flag(m_db);
        ok = remove.prepare(QString::fromUtf8(kRemoveSql)) && flag.prepare(QString::fromUtf8(kFlagSql));
        if (!ok)
            setError(error, (remove.lastError().isValid() ? remove : flag).lastError().text());
        for (int i = 0; ok && i < idcardnos.size(); ++i) {
            const QString id = NormaliseIdNumber(idcardnos[i]);
            ok = exec(remove, {id}, error) && exec(flag, {QString::fromUtf8(kFlagUnlisted), id}, error);
            ids << id;
        }
    }
    ok = ok && audit(AuditAction::kWatchRemove, ids, error);
    return finish(ok, error);
}

bool WatchList::Entries(QList<WatchEntry>* entries, QString* error) const
{
    entries->clear();
    if (!Present()) {
        setError(error, QStringLiteral("记录库中没有黑名单表，请先升级记录库"));
        return false;
    }
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.exec(QString::fromUtf8(kEntriesSql))) {
        setError(error, q.lastError().text());
        return false;
    }
    while (q.next())
        entries->append({q.value(0).toString(), q.value(1).toString(), q.value(2).toString(), StoredTimeText(q.value(3)),
                         q.value(4).toString()});
    if (q.lastError().isValid()) {
        setError(error, q.lastError().text());
        entries->clear();
        return false;
    }
    return true;
}

bool WatchList::Reason(const QString& idcardno, QString* reason, QString* error) const
{
    if (!Present())
        return false;
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    q.prepare(QString::fromUtf8(kReasonSql));
    q.bindValue(0, NormaliseIdNumber(idcardno));
    if (!q.exec()) {
        setError(error, q.lastError().text());
        return false;
    }
    if (!q.next())
        return false;
    *reason = q.value(0).toString();
    return true;
}

WatchListImportResult WatchList::Import(const QList<WatchListLine>& lines)
{
    WatchListImportResult r;
    QList<const WatchListLine*> valid;
    QStringList ids;
    if (!WatchListLinesToImport(lines, &valid, &ids, &r))
        return r;
    if (!begin(&r.error))
        return r;
    bool ok = true;
    int before = 0;
    {
        QSqlQuery count(m_db), upsert(m_db), flag(m_db);
        ok = count.exec(QString::fromUtf8(kCountSql)) && count.next();
        if (ok)
            before = count.value(0).toInt();
        ok = ok && upsert.prepare(QString::fromUtf8(kUpsertSql));
        if (!ok)
            r.error = (count.lastError().isValid() ? count : upsert).lastError().text();
        const QString time = now();
        if (sqlite3* connection = sqliteHandle(m_db)) {
            ok = upsertDirect(connection, ids, valid, time, m_station, &r.error);
        } else {
            for (int i = 0; ok && i < valid.size(); ++i)
                ok = exec(upsert, {ids[i], valid[i]->reason.trimmed(), time, m_station}, &r.error);
        }
        if (ok && !(ok = count.exec(QString::fromUtf8(kCountSql)) && count.next()))
            r.error = count.lastError().text();
        if (ok) {
            r.added = count.value(0).toInt() - before;
            r.updated = int(valid.size()) - r.added;
        }
        count.finish();
        // One pass over the listed holders instead of a write per line.
        if (ok && !(ok = flag.prepare(QString::fromUtf8(kFlagListedSql))))
            r.error = flag.lastError().text();
        ok = ok && exec(flag, {QString::fromUtf8(kFlagListed), QString::fromUtf8(kFlagListed)}, &r.error);
    }
    ok = ok && audit(AuditAction::kWatchImport, ids, &r.error);
    r.ok = finish(ok, &r.error);
    if (!r.ok)
        r.added = r.updated = 0;
    return r;
}
