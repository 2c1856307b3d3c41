#pragma once
// The retention question, at start and after each import: when readings older than the period
// exist, "有 n 条刷卡记录已超过保存期限（m 天），是否删除？"; yes deletes them (and the holders they
// leave without readings), no leaves everything until the next time it is asked.

#include <QDate>
#include <QSqlDatabase>

class CommandView;
class PgStore;

class RetentionCommand {
public:
    // days: the period from the settings, 0 when everything is kept; today: the clock's date.
    // pg: the store on PostgreSQL, which then takes the count and the deletion; null for the file.
    RetentionCommand(QSqlDatabase store, int days, QDate today, CommandView& view, PgStore* pg = nullptr);
    void Run();

private:
    QSqlDatabase m_store;
    int m_days;
    QDate m_today;
    CommandView& m_view;
    PgStore* m_pg;
};
