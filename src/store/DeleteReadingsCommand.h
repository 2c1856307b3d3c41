#pragma once
// 删除记录: deletes the chosen readings after the operator confirms, all of them or none.

#include <QSqlDatabase>

class CommandView;

class DeleteReadingsCommand {
public:
    DeleteReadingsCommand(QSqlDatabase store, CommandView& view);
    void Run();

private:
    QSqlDatabase m_store;
    CommandView& m_view;
};
