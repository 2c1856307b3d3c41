#include "AuditLog.h"

#include "DateText.h"
#include "PgStore.h"
#include "ReadingLogQuery.h"
#include "RecordStore.h"
#include "WatchList.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace AuditAction {
const char* const kImport = "导入";
const char* const kClearDevice = "清除手持机";
const char* const kDelete = "删除";
const char* const kRetention = "到期删除";
const char* const kExport = "导出";
const char* const kPrint = "打印";
const char* const kWatchAdd = "加入黑名单";
const char* const kWatchRemove = "移出黑名单";
const char* const kWatchImport = "导入黑名单";
} // namespace AuditAction

namespace {
const char* const kInsertSql =
    "insert into audit_log(logtime,station,osuser,action,count,detail) values(:p1,:p2,:p3,:p4,:p5,:p6)";
// A detail names at most this many ID numbers.
constexpr int kIdsNamed = 20;
} // namespace

QStringList AuditActions()
{
    using namespace AuditAction;
    QStringList actions;
    for (const char* a : {kImport, kClearDevice, kDelete, kRetention, kExport, kPrint, kWatchAdd, kWatchRemove, kWatchImport})
        actions << QString::fromUtf8(a);
    return actions;
}

QString OsUserName()
{
    // USER on Unix, USERNAME on Windows; neither is a secret nor personal data of a card holder.
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty())
        user = qEnvironmentVariable("USERNAME");
    return user;
}

AuditRow CurrentAuditRow(const QString& action, int count, const QString& detail)
{
    AuditRow row;
    row.time = StoreTimeText(QDateTime::currentDateTime());
    row.station = LocalStationName();
    row.user = OsUserName();
    row.action = action;
    row.count = count;
    row.detail = detail;
    return row;
}

bool WriteAudit(QSqlDatabase db, const QString& action, int count, const QString& detail, QString* error)
{
    return WriteAudit(db, CurrentAuditRow(action, count, detail), error);
}

bool WriteAudit(QSqlDatabase db, const AuditRow& row, QString* error)
{
    QSqlQuery q(db);
    bool ok = q.prepare(QString::fromUtf8(kInsertSql));
    if (ok) {
        int i = 0;
        for (const QVariant& v : {QVariant(row.time), QVariant(row.station), QVariant(row.user), QVariant(row.action),
                                  QVariant(row.count), QVariant(row.detail)})
            q.bindValue(i++, v);
        ok = q.exec();
    }
    if (!ok && error)
        *error = StoreErrorText(q.lastError());
    return ok;
}

bool WriteAudit(PgStore& store, const AuditRow& row, QString* error)
{
    return store
        .Exec("insert into audit_log (logtime, station, osuser, action, count, detail) values ($1, $2, $3, $4, $5, $6)",
              {row.time, row.station, row.user, row.action, qint64(row.count), row.detail}, error)
        .Ok();
}

QString ReadingLogFilterText(const ReadingLogFilter& filter, bool everyRow)
{
    QStringList parts;
    parts << QStringLiteral("%1 至 %2").arg(DateText(filter.begin.date()), DateText(filter.end.date()));
    if (!filter.idText.trimmed().isEmpty())
        parts << QStringLiteral("身份证号 %1").arg(filter.idText.trimmed());
    if (!filter.nameText.trimmed().isEmpty())
        parts << QStringLiteral("姓名 %1").arg(filter.nameText.trimmed());
    if (filter.listedOnly)
        parts << QStringLiteral("只显示黑名单");
    if (filter.oddOnly)
        parts << QStringLiteral("只显示异常");
    parts << (everyRow ? QStringLiteral("全选") : QStringLiteral("选中行"));
    return parts.join(QStringLiteral("，"));
}

QString AuditIdList(const QStringList& idcardnos)
{
    if (idcardnos.size() <= kIdsNamed)
        return idcardnos.join(u',');
    return QStringLiteral("%1 等 %2 个").arg(idcardnos.mid(0, kIdsNamed).join(u','), QString::number(idcardnos.size()));
}

bool ReadAudit(QSqlDatabase db, const AuditFilter& filter, QList<AuditRow>* rows, QString* error)
{
    rows->clear();
    // Every bound is a parameter; an absent one is the widest value, so the text never changes.
    QSqlQuery q(db);
    q.setForwardOnly(true);
    // On PostgreSQL the times are timestamps: their own widest values, and the text of the file store.
    const bool pg = IsPgStore(db);
    bool ok = q.prepare(QStringLiteral("select %1,station,osuser,action,count,detail from audit_log "
                                       "where logtime>=:p1 and logtime<:p2 and (coalesce(:p3,'')='' or action=:p4) "
                                       "order by logtime desc,id desc")
                            .arg(pg ? QStringLiteral("to_char(logtime,'YYYY-MM-DD HH24:MI:SS')") : QStringLiteral("logtime")));
    if (ok) {
        q.bindValue(0, filter.from.isValid() ? DateText(filter.from) : pg ? QStringLiteral("-infinity") : QStringLiteral("0000"));
        q.bindValue(1, filter.to.isValid() ? DateText(filter.to.addDays(1)) : pg ? QStringLiteral("infinity") : QStringLiteral("9999-99"));
        q.bindValue(2, filter.action);
        q.bindValue(3, filter.action);
        ok = q.exec();
    }
    while (ok && q.next())
        rows->append({q.value(0).toString(), q.value(1).toString(), q.value(2).toString(), q.value(3).toString(),
                      q.value(4).toInt(), q.value(5).toString()});
    if (!ok || q.lastError().isValid()) {
        if (error)
            *error = StoreErrorText(q.lastError());
        rows->clear();
        return false;
    }
    return true;
}
