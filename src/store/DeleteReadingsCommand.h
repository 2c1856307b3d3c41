#pragma once
// 删除记录: deletes the chosen readings after the operator confirms, all of them or none.

#include <QSqlDatabase>

class CommandView;
class PgStore;

class DeleteReadingsCommand {
public:
    // pg: the store on PostgreSQL, which then takes the deletion; null for the store file.
    DeleteReadingsCommand(QSqlDatabase store, CommandView& view, PgStore* pg = nullptr);
    void Run();

private:
    QSqlDatabase m_store;
    CommandView& m_view;
    PgStore* m_pg;
};
