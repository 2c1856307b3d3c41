#include "Retention.h"

#include "AuditLog.h"
#include "DateText.h"
#include "RecordStore.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {
const char* const kCountSql = "select count(*) from idcardwater where readtime<:p1";
const char* const kDeleteReadingsSql = "delete from idcardwater where readtime<:p1";
// Holders are matched by ID number, as everywhere; a listed holder stays so that the list can
// still name them.
const char* const kDeleteHoldersSql =
    "delete from idcardinfo where not exists (select 1 from idcardwater w where w.idcardno=idcardinfo.idcardno)";
const char* const kNotListedSql = " and idcardno not in (select idcardno from watchlist)";

bool run(QSqlQuery& q, const QString& sql, const QString& cut, QString* error)
{
    const bool ok = q.prepare(sql) && (cut.isNull() || (q.bindValue(0, cut), true)) && q.exec();
    if (!ok && error)
        *error = StoreErrorText(q.lastError());
    return ok;
}
} // namespace

QString RetentionDetail(const QString& cut, int days, const RetentionResult& r)
{
    return QStringLiteral("保存期限 %1 天：删除 %2 之前的 %3 条记录、%4 位持证人").arg(days).arg(cut.left(10)).arg(r.readings).arg(r.holders);
}

QString RetentionCut(const QDate& today, int days) { return StoreTimeText(today.addDays(-days).startOfDay()); }

bool CountExpired(QSqlDatabase db, const QString& cut, int* count, QString* error)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!run(q, QString::fromUtf8(kCountSql), cut, error))
        return false;
    if (!q.next()) {
        if (error)
            *error = StoreErrorText(q.lastError());
        return false;
    }
    *count = q.value(0).toInt();
    return true;
}

RetentionResult DeleteExpired(QSqlDatabase db, const QString& cut, int days)
{
    RetentionResult r;
    const QString storeFile = StoreFileOf(db);
    const QSqlError notBegun = BeginExclusive(db);
    if (notBegun.isValid()) {
        r.error = StoreErrorText(notBegun);
        return r;
    }
    const bool listed = db.tables().contains(QStringLiteral("watchlist"), Qt::CaseInsensitive);
    bool ok;
    {
        QSqlQuery q(db);
        ok = run(q, QString::fromUtf8(kDeleteReadingsSql), cut, &r.error);
        if (ok)
            r.readings = q.numRowsAffected();
        QString holders = QString::fromUtf8(kDeleteHoldersSql);
        if (listed)
            holders += QString::fromUtf8(kNotListedSql);
        ok = ok && run(q, holders, QString(), &r.error);
        if (ok)
            r.holders = q.numRowsAffected();
        ok = ok && WriteAudit(db, QString::fromUtf8(AuditAction::kRetention), r.readings, RetentionDetail(cut, days, r), &r.error);
    }
    if (ok && !TransactionEnded(db) && db.commit()) {
        r.ok = true;
        return r;
    }
    if (ok)
        r.error = StoreErrorText(db.lastError());
    EndFailedWrite(db, storeFile);
    r.readings = r.holders = 0;
    return r;
}
