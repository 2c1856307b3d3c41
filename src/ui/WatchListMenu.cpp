#include "WatchListMenu.h"

#include "Global.h"
#include "PgWatchList.h"
#include "ReadingLogModel.h"
#include "WatchList.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QMenu>
#include <QTableView>

#include <algorithm>

WatchListMenu::WatchListMenu(QTableView* grid, ReadingLogModel* model, std::function<QSqlDatabase()> store,
                             std::function<void()> changed, std::function<PgStore*()> pg)
    : QObject(grid), m_grid(grid), m_model(model), m_store(std::move(store)), m_changed(std::move(changed)), m_pg(std::move(pg))
{
    auto* add = new QAction(QStringLiteral("加入黑名单…"), grid);
    add->setObjectName(QStringLiteral("actWatchAdd"));
    auto* remove = new QAction(QStringLiteral("移出黑名单"), grid);
    remove->setObjectName(QStringLiteral("actWatchRemove"));
    connect(add, &QAction::triggered, this, &WatchListMenu::AddSelected);
    connect(remove, &QAction::triggered, this, &WatchListMenu::RemoveSelected);
    grid->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(grid, &QWidget::customContextMenuRequested, this, [this, add, remove](const QPoint& at) {
        const bool any = !SelectedIdNumbers().isEmpty();
        add->setEnabled(any);
        remove->setEnabled(any);
        QMenu::exec({add, remove}, m_grid->viewport()->mapToGlobal(at), nullptr, m_grid);
    });
}

QStringList WatchListMenu::SelectedIdNumbers() const
{
    QModelIndexList rows = m_grid->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList ids;
    for (const QModelIndex& index : rows) {
        const QString id = m_model->IdcardnoAt(index.row());
        if (!id.isEmpty() && !ids.contains(id))
            ids << id;
    }
    return ids;
}

void WatchListMenu::AddSelected()
{
    const QStringList ids = SelectedIdNumbers();
    if (ids.isEmpty())
        return;
    QString reason;
    if (!AskText(QStringLiteral("将选中的 %1 人加入黑名单，原因：").arg(ids.size()), &reason))
        return;
    QString error;
    m_model->FetchAll(); // the list's cursor is finished before the same connection writes
    PgStore* pg = m_pg ? m_pg() : nullptr;
    if (!(pg ? PgWatchList(*pg).Add(ids, reason, &error) : WatchList(m_store()).Add(ids, reason, &error))) {
        ShowError(QStringLiteral("加入黑名单失败：%1").arg(error));
        return;
    }
    m_changed();
}

void WatchListMenu::RemoveSelected()
{
    const QStringList ids = SelectedIdNumbers();
    if (ids.isEmpty() || !AskConfirm(QStringLiteral("确定将选中的 %1 人移出黑名单吗？").arg(ids.size())))
        return;
    QString error;
    m_model->FetchAll();
    PgStore* pg = m_pg ? m_pg() : nullptr;
    if (!(pg ? PgWatchList(*pg).Remove(ids, &error) : WatchList(m_store()).Remove(ids, &error))) {
        ShowError(QStringLiteral("移出黑名单失败：%1").arg(error));
        return;
    }
    m_changed();
}

QString WatchNote(QSqlDatabase db, const QString& idcardno)
{
    QString reason, error;
    if (idcardno.isEmpty() || !WatchList(db).Reason(idcardno, &reason, &error))
        return QString();
    return reason.isEmpty() ? QStringLiteral("此人在黑名单中") : QStringLiteral("此人在黑名单中，原因：%1").arg(reason);
}
