#include "PgReadingDeletion.h"

#include "AuditLog.h"
#include "PgStore.h"
#include "ReadingDeletion.h"

bool DeleteReadings(PgStore& store, const std::vector<qint64>& serials, QString* error, const QString& filterText)
{
    QString failed;
    if (!error)
        error = &failed;
    // All the serial numbers go in one statement: a round trip per reading would cost seconds.
    QByteArray list = "{";
    for (size_t i = 0; i < serials.size(); ++i) {
        if (i)
            list += ',';
        list += QByteArray::number(serials[i]);
    }
    list += '}';
    if (!store.Begin(error))
        return false;
    const PgResult deleted = store.Exec("delete from idcardwater where serialno = any($1::bigint[])", {QString::fromLatin1(list)}, error);
    if (!deleted.Ok()) {
        if (deleted.SqlState() == QLatin1String("42501"))
            *error = QStringLiteral("本站点登录记录库所用的角色没有删除刷卡记录的权限，未删除任何记录。"
                                    "请管理员用 data/postgres/create_station_role.sql 授权。");
        store.Rollback();
        return false;
    }
    const int count = int(deleted.Affected());
    const AuditRow row = CurrentAuditRow(QString::fromUtf8(AuditAction::kDelete), count, DeletionDetail(filterText, count));
    if (!WriteAudit(store, row, error)) {
        store.Rollback();
        return false;
    }
    return store.Commit(error);
}
