#include "DeleteReadingsCommand.h"

#include "CommandView.h"
#include "Global.h"
#include "PgReadingDeletion.h"
#include "ReadingDeletion.h"

DeleteReadingsCommand::DeleteReadingsCommand(QSqlDatabase store, CommandView& view, PgStore* pg)
    : m_store(std::move(store)), m_view(view), m_pg(pg)
{
}

void DeleteReadingsCommand::Run()
{
    if (!m_view.AnyChosen()) {
        ShowWarning(QStringLiteral("请首先选择要删除的记录！"));
        return;
    }
    if (!AskConfirm(QStringLiteral("选定记录将被删除，请再次确认！")))
        return;

    bool ok = true;
    QString error;
    {
        // A year's readings take seconds to read to the end and delete.
        const BlockingStep step(m_view, QStringLiteral("正在删除记录…"), true);
        std::vector<int> rows;
        if (!m_view.ChosenRows(rows))
            return; // the list could not be read to its end; it has said why
        std::vector<qint64> serials;
        serials.reserve(rows.size());
        for (int row : rows) {
            const qint64 serial = m_view.Rows().SerialAt(row);
            if (serial < 0)
                return; // as above: rows the list could not read are not guessed at
            serials.push_back(serial);
        }
        ok = m_pg ? DeleteReadings(*m_pg, serials, &error, m_view.FilterText())
                  : DeleteReadings(m_store, serials, &error, m_view.FilterText());
    }
    // After a failure nothing was deleted, so the list as it is still shows the store; re-running
    // it would only wait for a held store a second time and report the same error again.
    if (!ok) {
        ShowError(error);
        return;
    }
    m_view.RefreshList();
}
