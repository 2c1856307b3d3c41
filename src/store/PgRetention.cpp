#include "PgRetention.h"

#include "AuditLog.h"
#include "PgStore.h"

bool CountExpired(PgStore& store, const QString& cut, int* count, QString* error)
{
    const PgResult r = store.Exec("select count(*) from idcardwater where readtime < $1", {cut}, error);
    if (!r.Ok())
        return false;
    *count = int(r.Number(0, 0));
    return true;
}

RetentionResult DeleteExpired(PgStore& store, const QString& cut, int days)
{
    RetentionResult r;
    if (!store.Begin(&r.error))
        return r;
    auto failed = [&] {
        store.Rollback();
        r.readings = r.holders = 0;
        return r;
    };
    if (!store.TakeWriteTurn(&r.error))
        return failed();
    const PgResult readings = store.Exec("delete from idcardwater where readtime < $1", {cut}, &r.error);
    if (!readings.Ok())
        return failed();
    r.readings = int(readings.Affected());
    // Holders are matched by ID number, as everywhere; a listed holder stays so that the list can
    // still name them.
    const PgResult holders = store.Exec("delete from idcardinfo b where not exists (select 1 from idcardwater w where w.idcardno = b.idcardno) "
                                        "and not exists (select 1 from watchlist l where l.idcardno = b.idcardno)",
                                        &r.error);
    if (!holders.Ok())
        return failed();
    r.holders = int(holders.Affected());
    const AuditRow row = CurrentAuditRow(QString::fromUtf8(AuditAction::kRetention), r.readings, RetentionDetail(cut, days, r));
    if (!WriteAudit(store, row, &r.error) || !store.Commit(&r.error))
        return failed();
    r.ok = true;
    return r;
}
