#include "WatchListDialog.h"

#include "AuditLog.h"
#include "DialogButton.h"
#include "Global.h"
#include "IdNumberCheck.h"
#include "PgWatchList.h"
#include "WatchList.h"
#include "WatchListExport.h"
#include "WatchListFile.h"

#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include <algorithm>

WatchListDialog::WatchListDialog(QSqlDatabase db, QWidget* parent, PgStore* pg)
    : QDialog(parent), m_db(db), m_pg(pg), m_table(new QTableWidget(this))
{
    setObjectName(QStringLiteral("WatchListDialog"));
    setWindowTitle(QStringLiteral("黑名单"));
    resize(720, 460);
    m_table->setObjectName(QStringLiteral("watchTable"));
    m_table->setColumnCount(4);
    m_table->setHorizontalHeaderLabels({QStringLiteral("身份证号"), QStringLiteral("姓名"), QStringLiteral("原因"), QStringLiteral("加入时间")});
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setColumnWidth(0, 170);
    m_table->setColumnWidth(2, 260);

    auto* buttons = new QHBoxLayout;
    connect(AddDialogButton(this, buttons, "watchAdd", QStringLiteral("添加(&A)…")), &QPushButton::clicked, this, &WatchListDialog::AddEntry);
    connect(AddDialogButton(this, buttons, "watchRemove", QStringLiteral("删除(&D)")), &QPushButton::clicked, this, &WatchListDialog::RemoveSelected);
    connect(AddDialogButton(this, buttons, "watchImport", QStringLiteral("导入(&I)…")), &QPushButton::clicked, this, &WatchListDialog::ImportFile);
    connect(AddDialogButton(this, buttons, "watchExport", QStringLiteral("导出(&E)…")), &QPushButton::clicked, this, &WatchListDialog::ExportFile);
    buttons->addStretch();
    connect(AddDialogButton(this, buttons, "watchClose", QStringLiteral("关闭(&C)")), &QPushButton::clicked, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_table);
    layout->addLayout(buttons);
    Reload();
}

void WatchListDialog::Reload()
{
    QList<WatchEntry> entries;
    QString error;
    if (!WatchList(m_db).Entries(&entries, &error))
        ShowError(error);
    m_table->setRowCount(int(entries.size()));
    for (int r = 0; r < entries.size(); ++r) {
        const WatchEntry& e = entries[r];
        const QString values[] = {e.idcardno, e.name, e.reason, e.addtime};
        for (int c = 0; c < 4; ++c)
            m_table->setItem(r, c, new QTableWidgetItem(values[c]));
    }
}

void WatchListDialog::AddEntry()
{
    QString id, reason;
    if (!AskText(QStringLiteral("身份证号："), &id))
        return;
    const QString problem = WatchIdProblem(NormaliseIdNumber(id));
    if (!problem.isEmpty()) {
        ShowWarning(problem);
        return;
    }
    if (!AskText(QStringLiteral("加入黑名单的原因："), &reason))
        return;
    QString error;
    if (!(m_pg ? PgWatchList(*m_pg).Add({id}, reason, &error) : WatchList(m_db).Add({id}, reason, &error))) {
        ShowError(QStringLiteral("加入黑名单失败：%1").arg(error));
        return;
    }
    m_changed = true;
    Reload();
}

void WatchListDialog::RemoveSelected()
{
    QStringList ids;
    for (const QModelIndex& index : m_table->selectionModel()->selectedRows())
        ids << m_table->item(index.row(), 0)->text();
    if (ids.isEmpty()) {
        ShowWarning(QStringLiteral("请首先选择要删除的黑名单人员！"));
        return;
    }
    if (!AskConfirm(QStringLiteral("确定将选中的 %1 人移出黑名单吗？").arg(ids.size())))
        return;
    QString error;
    if (!(m_pg ? PgWatchList(*m_pg).Remove(ids, &error) : WatchList(m_db).Remove(ids, &error))) {
        ShowError(QStringLiteral("移出黑名单失败：%1").arg(error));
        return;
    }
    m_changed = true;
    Reload();
}

void WatchListDialog::ImportFile()
{
    SaveFileRequest request;
    request.caption = QStringLiteral("导入黑名单");
    request.filter = QStringLiteral("黑名单文件 (*.csv *.xlsx)");
    const QString path = AskOpenFileName(request);
    if (path.isEmpty())
        return;
    const WatchListFile file = ReadWatchListFile(path);
    if (!file.ok) {
        ShowWarning(file.error);
        return;
    }
    const WatchListImportResult r = m_pg ? PgWatchList(*m_pg).Import(file.lines) : WatchList(m_db).Import(file.lines);
    if (!r.ok) {
        ShowWarning(QStringLiteral("导入黑名单失败，黑名单未作任何改动：%1").arg(r.error));
        return;
    }
    m_changed = true;
    Reload();
    QString text = QStringLiteral("导入黑名单完成：新增 %1 人，更新 %2 人，跳过 %3 行").arg(r.added).arg(r.updated).arg(r.skipped);
    if (!r.badLines.isEmpty()) {
        QStringList lines;
        for (int i = 0; i < std::min<qsizetype>(r.badLines.size(), 50); ++i)
            lines << QString::number(r.badLines[i]);
        text += QStringLiteral("\n身份证号不正确的行（未导入）：%1%2").arg(lines.join(QStringLiteral("、")),
                                                                  r.badLines.size() > 50 ? QStringLiteral("……") : QString());
    }
    ShowInfo(text);
}

void WatchListDialog::ExportFile()
{
    SaveFileRequest request;
    request.caption = QStringLiteral("导出黑名单");
    request.fileName = QStringLiteral("黑名单.xlsx");
    request.filter = QStringLiteral("Excel 工作簿 (*.xlsx)");
    request.defaultSuffix = QStringLiteral("xlsx");
    const QString path = AskSaveFileName(request);
    if (path.isEmpty())
        return;
    QList<WatchEntry> entries;
    QString error;
    if (!WatchList(m_db).Entries(&entries, &error) || !ExportWatchList(path, entries, &error)) {
        ShowError(QStringLiteral("导出黑名单失败：%1").arg(error));
        return;
    }
    // The list names people: its export is data taken out, like a workbook of readings.
    const AuditRow row = CurrentAuditRow(QString::fromUtf8(AuditAction::kExport), int(entries.size()),
                                         QStringLiteral("黑名单：%1").arg(QDir::toNativeSeparators(path)));
    if (!(m_pg ? WriteAudit(*m_pg, row, &error) : WriteAudit(m_db, row, &error)))
        ShowWarning(QStringLiteral("黑名单已导出，但操作日志未能写入：%1").arg(error));
    ShowInfo(QStringLiteral("已导出黑名单 %1 人").arg(entries.size()));
}
