#pragma once
// 导出流水: writes the chosen readings to a workbook whose name the operator picks.

#include <QSqlDatabase>
#include <QString>

class CommandView;

class ExportReadingsCommand {
public:
    // proposal: the name the save dialog offers (the last one chosen); store: where the export's
    // row of the audit trail goes.
    ExportReadingsCommand(CommandView& view, QString programFolder, bool excel2007, QString proposal,
                          QSqlDatabase store = QSqlDatabase());

    void Run();
    // Writes the chosen readings to fileName and reports a failure itself; the number written,
    // 0 after a failure.
    int Export(const QString& fileName);
    // The name to offer next time.
    QString Proposal() const { return m_proposal; }

private:
    CommandView& m_view;
    QString m_folder;
    bool m_excel2007;
    QString m_proposal;
    QSqlDatabase m_store;
};
