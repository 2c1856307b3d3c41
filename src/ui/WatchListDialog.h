#pragma once
// The watch list as a dialog: ID number, the holder's name when known, reason, added; adding,
// removing, and import and export of the list. The work is done by WatchList, the list-file
// reader and the export; the dialog asks and shows.

#include <QDialog>
#include <QSqlDatabase>

class PgStore;
class QTableWidget;

class WatchListDialog : public QDialog {
    Q_OBJECT
public:
    // db reads the list; pg, the store on PostgreSQL, takes the changes (null for the store file,
    // where db takes them too).
    WatchListDialog(QSqlDatabase db, QWidget* parent = nullptr, PgStore* pg = nullptr);

    // Whether the list changed while the dialog was open (the main list is re-run then).
    bool Changed() const { return m_changed; }

public slots:
    void Reload();
    void AddEntry();       // asks for the ID number and the reason
    void RemoveSelected();
    void ImportFile();     // asks for a .csv or .xlsx file
    void ExportFile();     // asks for an .xlsx name

private:
    QSqlDatabase m_db;
    PgStore* m_pg;
    QTableWidget* m_table;
    bool m_changed = false;
};
