#include "ConnectDeviceCommand.h"

#include "AuditLog.h"
#include "CommandView.h"
#include "DeviceTransfer.h"
#include "Global.h"
#include "PgReadingImport.h"
#include "RecordStore.h"
#include "WatchListAlert.h"

int ImportAndReport(TDM_Main* store, const QString& scratchFolder, CommandView& view, const QString& path,
                    ImportOutcome& outcome)
{
    {
        const BlockingStep step(view, QStringLiteral("正在导入读卡记录…"));
        // The list's cursor is finished first: the import writes through the same connection.
        view.FinishListing();
        if (PgStore* pg = store ? store->Pg() : nullptr) {
            outcome = PgReadingImporter(*pg, scratchFolder).ImportDeviceDb(path);
        } else {
            ReadingLogImporter importer(store ? store->con1() : QSqlDatabase(), scratchFolder);
            outcome = importer.ImportDeviceDb(path);
        }
    }
    if (outcome.readFailed && store && !store->IsOpen() && !store->LastOpenError().isEmpty())
        outcome.error += QStringLiteral("：") + store->LastOpenError(); // why it did not open

    switch (outcome.validation) {
    case ImportOutcome::Validation::NoTable:
        ShowWarning(QStringLiteral("二代证读卡流水数据库验证失败"));
        return -1;
    case ImportOutcome::Validation::OpenFailed:
        ShowWarning(QStringLiteral("联接二代证读卡流水数据库失败"));
        return -1;
    case ImportOutcome::Validation::Ok:
        break;
    }
    QString summary = ImportSummaryText(outcome);
    // The card checks of the readings just stored go with what the import did: they concern
    // every reading, and the box comes after every import that stored any.
    if (!summary.isEmpty() && outcome.checks.Any())
        summary += u'\n' + CardCheckCountsText(outcome.checks);
    if (!summary.isEmpty())
        ShowInfo(summary);
    const QString incomplete = ImportIncompleteText(outcome);
    if (!incomplete.isEmpty())
        ShowWarning(incomplete);
    const QString listed = WatchListAlertText(outcome);
    if (!listed.isEmpty())
        ShowWarning(listed);
    return outcome.count;
}

ConnectDeviceCommand::ConnectDeviceCommand(TDM_Main* store, ProcessRunner& runner, QString programFolder,
                                           QString scratchFolder, CommandView& view)
    : m_store(store)
    , m_runner(runner)
    , m_folder(std::move(programFolder))
    , m_scratch(std::move(scratchFolder))
    , m_view(view)
{
}

void ConnectDeviceCommand::Run()
{
    const QString pulled = m_folder + QStringLiteral("input/idcard.db");
    DeviceTransfer transfer(m_folder, m_runner, m_view.Progress());
    if (transfer.PullDeviceDb(pulled) < 0) {
        ShowWarning(QStringLiteral("联接手持机设备失败，请检查设备连接及驱动是否正常！"));
        return;
    }
    const DeviceCopy imported = transfer.LastCopy();
    // The handheld hashes its files while the copy is imported, so that after the question only
    // their state is asked for.
    transfer.StartEarlyCheck(imported);
    if (ImportAndReport(m_store, m_scratch, m_view, pulled, m_outcome) < 0)
        return;
    // Readings skipped as already stored still leave the handheld worth clearing.
    if (m_outcome.count <= 0 && m_outcome.alreadyStored <= 0)
        return;
    m_view.RefreshList();
    if (!m_outcome.Complete())
        return; // something of the handheld is not in the store: it must keep its readings
    if (!AskConfirm(QStringLiteral("是否删除手持机设备中已导出的数据？")))
        return;

    // The handheld may have read cards since the pull: look again before clearing it. When it
    // can tell that its files are still the ones imported, nothing is copied; otherwise they are
    // copied again and every reading in them looked up.
    const DeviceTransfer::Match match = transfer.DeviceDbMatches(imported);
    if (transfer.LastResult().cancelled) {
        ShowWarning(QStringLiteral("已取消核对，未清除手持机内流水记录。"));
        return;
    }
    bool unchanged = match == DeviceTransfer::Match::Same;
    QString why;
    bool unknown = false;
    if (!unchanged) {
        const QString check = m_folder + QStringLiteral("input/verify.db");
        if (transfer.PullDeviceDb(check) != 0) {
            unknown = true;
            why = QStringLiteral("无法再次从手持机读取数据");
        } else if (PgStore* pg = m_store ? m_store->Pg() : nullptr) {
            unchanged = PgReadingImporter(*pg, QString()).AllReadingsStored(check, &why, &unknown);
        } else {
            const QSqlDatabase db = m_store ? m_store->con1() : QSqlDatabase();
            unchanged = ReadingLogImporter(db, QString()).AllReadingsStored(check, &why, &unknown);
        }
        DeviceTransfer::RemoveCopy(check);
    }
    if (!unchanged && unknown) {
        // Not a reading found missing: the check itself could not be made (the store busy or
        // unreadable), so the operator is told that, not that readings are missing.
        ShowWarning(QStringLiteral("无法核对手持机中的记录是否均已导入，未清除手持机内流水记录：%1").arg(why));
        return;
    }
    if (!unchanged) {
        ShowWarning(QStringLiteral("手持机中有尚未导入的数据，未清除手持机内流水记录，请重新联接设备。"));
        return;
    }
    if (transfer.PushDeviceDb(m_folder + QStringLiteral("input/empty.db")) < 0) {
        ShowWarning(QStringLiteral("清除手持机内流水记录失败！"));
        return;
    }
    ShowWarning(QStringLiteral("清除手持机内流水记录成功！"));
    // The import's row was written with its readings, before the handheld could be cleared.
    QString error;
    const AuditRow row = CurrentAuditRow(QString::fromUtf8(AuditAction::kClearDevice), m_outcome.rowsInDevice,
                                         QStringLiteral("导入后清除手持机：%1 条").arg(m_outcome.rowsInDevice));
    PgStore* pg = m_store ? m_store->Pg() : nullptr;
    if (!(pg ? WriteAudit(*pg, row, &error) : WriteAudit(m_store ? m_store->con1() : QSqlDatabase(), row, &error)))
        ShowWarning(QStringLiteral("操作日志未能写入：%1").arg(error));
}
