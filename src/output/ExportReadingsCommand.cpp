#include "ExportReadingsCommand.h"

#include "AuditLog.h"
#include "CommandView.h"
#include "Global.h"
#include "WorkbookExport.h"

#include <QDir>
#include <QFileInfo>

#include <vector>

ExportReadingsCommand::ExportReadingsCommand(CommandView& view, QString programFolder, bool excel2007, QString proposal,
                                             QSqlDatabase store)
    : m_view(view)
    , m_folder(std::move(programFolder))
    , m_excel2007(excel2007)
    , m_proposal(std::move(proposal))
    , m_store(std::move(store))
{
}

void ExportReadingsCommand::Run()
{
    if (!m_view.AnyChosen()) {
        ShowWarning(QStringLiteral("请首先选择要导出的记录！"));
        return;
    }
    SaveFileRequest request;
    request.folder = m_folder + QStringLiteral("output");
    request.fileName = m_proposal;
    request.filter = QStringLiteral("Excel表格（.xls） (*.xls)");
    request.defaultSuffix = QStringLiteral("xls");
    const QString chosen = AskSaveFileName(request);
    if (chosen.isEmpty())
        return;
    m_proposal = chosen;
    const QString fileName = ExportFileName(chosen, m_excel2007);
    // A folder of that name cannot be replaced by a workbook: asking whether to overwrite it would
    // only lead to a failure.
    if (QFileInfo(fileName).isDir()) {
        ShowError(QStringLiteral("“%1”是一个文件夹，不能保存为Excel表格，请另选文件名。").arg(QDir::toNativeSeparators(fileName)));
        return;
    }
    // The old file stays until the new workbook is complete and replaces it.
    if (QFileInfo::exists(fileName) && !AskConfirm(QStringLiteral("此文件已存在将被覆盖，是否继续？")))
        return;
    const int count = Export(fileName);
    ShowInfo(QStringLiteral("本次累计成功导出记录 %1 笔").arg(count));
}

int ExportReadingsCommand::Export(const QString& fileName)
{
    std::vector<int> rows;
    WorkbookResult result;
    {
        const BlockingStep step(m_view, QStringLiteral("正在导出读卡记录…"));
        if (m_view.ChosenRows(rows)) {
            const ReadingRows& list = m_view.Rows();
            const WorkbookExport exporter(fileName);
            result = exporter.Write(static_cast<int>(rows.size()), [&](int i) {
                const int r = rows[static_cast<size_t>(i)];
                return ExportRow{list.IdcardnoAt(r), list.NameAt(r), ExportTimeText(list.ReadtimeAt(r)), list.BlackflagAt(r)};
            });
        }
    }

    switch (result.status) {
    case WorkbookResult::Status::WriterUnavailable:
        ShowWarning(QStringLiteral("您的机器里未安装Microsoft Excel.无法导出！"));
        return 0;
    case WorkbookResult::Status::WriteFailed:
        ShowInfo(QStringLiteral("保存Excle表格失败！"));
        return 0;
    case WorkbookResult::Status::Written:
        break;
    }
    // The workbook is out of the program: the trail names the file and how many readings.
    QString error;
    if (!WriteAudit(m_store, QString::fromUtf8(AuditAction::kExport), result.count, QDir::toNativeSeparators(fileName), &error))
        ShowWarning(QStringLiteral("记录已导出，但操作日志未能写入：%1").arg(error));
    // As after walking the list: the current row is the last one exported; the selection stays.
    if (!rows.empty())
        m_view.SetCurrentRow(rows.back());
    return result.count;
}
