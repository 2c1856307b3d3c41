#pragma once
// The list's context menu for the watch list: "加入黑名单…" and "移出黑名单" for the holders of the
// selected rows. The actions are children of the grid (actWatchAdd, actWatchRemove).

#include <QObject>
#include <QSqlDatabase>
#include <QStringList>

#include <functional>

class PgStore;
class QAction;
class QTableView;
class ReadingLogModel;

class WatchListMenu : public QObject {
    Q_OBJECT
public:
    // store: the record store as it is when an action runs; changed: re-runs the list; pg: the
    // store on PostgreSQL then, which takes the change, or null for the store file.
    WatchListMenu(QTableView* grid, ReadingLogModel* model, std::function<QSqlDatabase()> store, std::function<void()> changed,
                  std::function<PgStore*()> pg = {});

    // The distinct ID numbers of the selected rows, in list order.
    QStringList SelectedIdNumbers() const;

public slots:
    void AddSelected();
    void RemoveSelected();

private:
    QTableView* m_grid;
    ReadingLogModel* m_model;
    std::function<QSqlDatabase()> m_store;
    std::function<void()> m_changed;
    std::function<PgStore*()> m_pg;
};

// The details pane's line for a holder: that it is listed and why; empty when it is not.
QString WatchNote(QSqlDatabase db, const QString& idcardno);
