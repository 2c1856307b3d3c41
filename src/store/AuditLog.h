#pragma once
// The audit trail (table audit_log): one row per command that changed the store or took data out
// of it. A command that changes the store writes its row inside its own transaction, so the row
// exists exactly when the change does; export and print write theirs right after they succeed.
// Rows are only ever added.

#include <QDate>
#include <QList>
#include <QSqlDatabase>
#include <QString>

// The actions, as the trail and its dialog show them.
namespace AuditAction {
extern const char* const kImport;       // 导入
extern const char* const kClearDevice;  // 清除手持机
extern const char* const kDelete;       // 删除
extern const char* const kRetention;    // 到期删除
extern const char* const kExport;       // 导出
extern const char* const kPrint;        // 打印
extern const char* const kWatchAdd;     // 加入黑名单
extern const char* const kWatchRemove;  // 移出黑名单
extern const char* const kWatchImport;  // 导入黑名单
} // namespace AuditAction

// Every action, in the order the dialog offers them.
QStringList AuditActions();

struct AuditRow {
    QString time; // "YYYY-MM-DD HH:MM:SS"
    QString station;
    QString user;
    QString action;
    int count = 0;
    QString detail;
};

// The operating-system user running the program.
QString OsUserName();

// A row stamped now with this station and user.
AuditRow CurrentAuditRow(const QString& action, int count, const QString& detail);

// Adds one row, stamped now with this station and user, through the caller's connection: inside
// the caller's transaction when one is open, on its own otherwise. false with the store's error.
bool WriteAudit(QSqlDatabase db, const QString& action, int count, const QString& detail, QString* error);
// The same with the time, station and user given (tests, and one clock for a whole command).
bool WriteAudit(QSqlDatabase db, const AuditRow& row, QString* error);
class PgStore;
// The same on a store on PostgreSQL.
bool WriteAudit(PgStore& store, const AuditRow& row, QString* error);

struct ReadingLogFilter;
// The list's filter in words, for the detail of a deletion: the date range, and the ID-number and
// name prefixes and the watch-list box when set; everyRow: every row of the list was ticked.
QString ReadingLogFilterText(const ReadingLogFilter& filter, bool everyRow);

// A detail naming ID numbers: all of them when few, else the first ones and how many in all.
QString AuditIdList(const QStringList& idcardnos);

struct AuditFilter {
    QDate from; // invalid: no lower bound
    QDate to;   // the last day, included; invalid: no upper bound
    QString action; // empty: every action
};

// The rows of the filter, the newest first. false with the store's error.
bool ReadAudit(QSqlDatabase db, const AuditFilter& filter, QList<AuditRow>* rows, QString* error);
