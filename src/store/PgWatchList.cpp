#include "PgWatchList.h"

#include "AuditLog.h"
#include "DateText.h"
#include "IdNumberCheck.h"
#include "PgStore.h"

#include <QDateTime>

namespace {
// Every statement takes the whole list as arrays: one round trip however long the list is.
const char* const kUpsertSql =
    "insert into watchlist (idcardno, reason, addtime, station) "
    "select i, r, $3::timestamp, $4 from unnest($1::varchar[], $2::varchar[]) d(i, r) "
    "on conflict (idcardno) do update set reason = coalesce(nullif(excluded.reason, ''), watchlist.reason), station = excluded.station";
const char* const kFlagSql = "update idcardinfo set blackflag = $1 where idcardno = any($2::varchar[]) and blackflag is distinct from $1";
} // namespace

PgWatchList::PgWatchList(PgStore& store, QString station) : m_store(store), m_station(std::move(station)) {}

bool PgWatchList::begin(QString* error) { return m_store.Begin(error) && (m_store.TakeWriteTurn(error) || (m_store.Rollback(), false)); }

bool PgWatchList::finish(bool ok, const char* action, const QStringList& ids, QString* error)
{
    AuditRow row = CurrentAuditRow(QString::fromUtf8(action), int(ids.size()), AuditIdList(ids));
    row.station = m_station;
    if (ok && WriteAudit(m_store, row, error) && m_store.Commit(error))
        return true;
    m_store.Rollback();
    return false;
}

bool PgWatchList::Add(const QStringList& idcardnos, const QString& reason, QString* error)
{
    QStringList ids;
    if (!WatchIdsToAdd(idcardnos, &ids, error) || !begin(error))
        return false;
    QStringList reasons;
    for (int i = 0; i < ids.size(); ++i)
        reasons << reason.trimmed();
    const bool ok = m_store.Exec(kUpsertSql, {PgTextArray(ids), PgTextArray(reasons), StoreTimeText(QDateTime::currentDateTime()), m_station}, error).Ok()
                    && m_store.Exec(kFlagSql, {kFlagListed, PgTextArray(ids)}, error).Ok();
    return finish(ok, AuditAction::kWatchAdd, ids, error);
}

bool PgWatchList::Remove(const QStringList& idcardnos, QString* error)
{
    QStringList ids;
    for (const QString& text : idcardnos)
        ids << NormaliseIdNumber(text);
    if (!begin(error))
        return false;
    const bool ok = m_store.Exec("delete from watchlist where idcardno = any($1::varchar[])", {PgTextArray(ids)}, error).Ok()
                    && m_store.Exec(kFlagSql, {kFlagUnlisted, PgTextArray(ids)}, error).Ok();
    return finish(ok, AuditAction::kWatchRemove, ids, error);
}

bool PgWatchList::Entries(QList<WatchEntry>* entries, QString* error) const
{
    entries->clear();
    const PgResult r = m_store.Exec("select w.idcardno, b.name, w.reason, to_char(w.addtime, 'YYYY-MM-DD HH24:MI:SS'), w.station "
                                    "from watchlist w left join idcardinfo b on b.idcardno = w.idcardno order by w.addtime desc, w.idcardno",
                                    error);
    if (!r.Ok())
        return false;
    for (int i = 0; i < r.Rows(); ++i)
        entries->append({r.Text(i, 0), r.Text(i, 1), r.Text(i, 2), r.Text(i, 3), r.Text(i, 4)});
    return true;
}

bool PgWatchList::Reason(const QString& idcardno, QString* reason, QString* error) const
{
    const PgResult r = m_store.Exec("select reason from watchlist where idcardno = $1", {NormaliseIdNumber(idcardno)}, error);
    if (!r.Ok() || r.Rows() == 0)
        return false;
    *reason = r.Text(0, 0);
    return true;
}

WatchListImportResult PgWatchList::Import(const QList<WatchListLine>& lines)
{
    WatchListImportResult r;
    QList<const WatchListLine*> valid;
    QStringList ids;
    if (!WatchListLinesToImport(lines, &valid, &ids, &r) || !begin(&r.error))
        return r;
    QStringList reasons;
    for (const WatchListLine* line : valid)
        reasons << line->reason.trimmed();
    const PgResult before = m_store.Exec("select count(*) from watchlist", &r.error);
    bool ok = before.Ok()
              && m_store.Exec(kUpsertSql, {PgTextArray(ids), PgTextArray(reasons), StoreTimeText(QDateTime::currentDateTime()), m_station}, &r.error).Ok();
    const PgResult after = ok ? m_store.Exec("select count(*) from watchlist", &r.error) : PgResult();
    // Every listed holder not flagged yet, as the file store's import does, not only the file's.
    ok = ok && after.Ok()
         && m_store.Exec("update idcardinfo set blackflag = $1 where blackflag is distinct from $1 and idcardno in (select idcardno from watchlist)",
                         {kFlagListed}, &r.error)
                .Ok();
    if (ok) {
        r.added = int(after.Number(0, 0) - before.Number(0, 0));
        r.updated = int(valid.size()) - r.added;
    }
    r.ok = finish(ok, AuditAction::kWatchImport, ids, &r.error);
    if (!r.ok)
        r.added = r.updated = 0;
    return r;
}
