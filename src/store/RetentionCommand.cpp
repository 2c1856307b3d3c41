#include "RetentionCommand.h"

#include "CommandView.h"
#include "Global.h"
#include "PgRetention.h"
#include "PgStore.h"
#include "Retention.h"

RetentionCommand::RetentionCommand(QSqlDatabase store, int days, QDate today, CommandView& view, PgStore* pg)
    : m_store(std::move(store)), m_days(days), m_today(today), m_view(view), m_pg(pg)
{
}

void RetentionCommand::Run()
{
    if (m_days <= 0 || !(m_pg ? m_pg->IsOpen() : m_store.isOpen()))
        return;
    const QString cut = RetentionCut(m_today, m_days);
    int expired = 0;
    QString error;
    if (!(m_pg ? CountExpired(*m_pg, cut, &expired, &error) : CountExpired(m_store, cut, &expired, &error))) {
        ShowError(error);
        return;
    }
    if (expired <= 0)
        return;
    if (!AskConfirm(QStringLiteral("有 %1 条刷卡记录已超过保存期限（%2 天），是否删除？").arg(expired).arg(m_days)))
        return;
    RetentionResult result;
    {
        const BlockingStep step(m_view, QStringLiteral("正在删除过期记录…"), true);
        // The list's cursor is finished first: the deletion writes through the same connection.
        m_view.FinishListing();
        result = m_pg ? DeleteExpired(*m_pg, cut, m_days) : DeleteExpired(m_store, cut, m_days);
    }
    if (!result.ok) {
        ShowError(result.error);
        return;
    }
    m_view.RefreshList();
}
