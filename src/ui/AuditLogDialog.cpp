#include "AuditLogDialog.h"

#include "AuditLogExport.h"
#include "DialogButton.h"
#include "Global.h"

#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

AuditLogDialog::AuditLogDialog(QSqlDatabase db, QDate today, QWidget* parent)
    : QDialog(parent)
    , m_db(db)
    , m_from(new QDateEdit(today.addDays(-30), this))
    , m_to(new QDateEdit(today, this))
    , m_action(new QComboBox(this))
    , m_table(new QTableWidget(this))
{
    setObjectName(QStringLiteral("AuditLogDialog"));
    setWindowTitle(QStringLiteral("操作日志"));
    resize(860, 480);
    for (QDateEdit* edit : {m_from, m_to}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
    }
    m_from->setObjectName(QStringLiteral("auditFrom"));
    m_to->setObjectName(QStringLiteral("auditTo"));
    m_action->setObjectName(QStringLiteral("auditAction"));
    m_action->addItem(QStringLiteral("全部"), QString());
    for (const QString& action : AuditActions())
        m_action->addItem(action, action);

    m_table->setObjectName(QStringLiteral("auditTable"));
    m_table->setColumnCount(6);
    m_table->setHorizontalHeaderLabels({QStringLiteral("时间"), QStringLiteral("站点"), QStringLiteral("系统用户"),
                                        QStringLiteral("操作"), QStringLiteral("记录数"), QStringLiteral("说明")});
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->verticalHeader()->hide();
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->setColumnWidth(0, 140);

    auto* filters = new QHBoxLayout;
    filters->addWidget(new QLabel(QStringLiteral("从"), this));
    filters->addWidget(m_from);
    filters->addWidget(new QLabel(QStringLiteral("到"), this));
    filters->addWidget(m_to);
    filters->addWidget(new QLabel(QStringLiteral("操作"), this));
    filters->addWidget(m_action);
    filters->addStretch();
    auto* buttons = new QHBoxLayout;
    connect(AddDialogButton(this, buttons, "auditExport", QStringLiteral("导出(&E)…")), &QPushButton::clicked, this, &AuditLogDialog::ExportFile);
    buttons->addStretch();
    connect(AddDialogButton(this, buttons, "auditClose", QStringLiteral("关闭(&C)")), &QPushButton::clicked, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(filters);
    layout->addWidget(m_table);
    layout->addLayout(buttons);

    connect(m_from, &QDateEdit::dateChanged, this, &AuditLogDialog::Reload);
    connect(m_to, &QDateEdit::dateChanged, this, &AuditLogDialog::Reload);
    connect(m_action, &QComboBox::currentIndexChanged, this, &AuditLogDialog::Reload);
    Reload();
}

AuditFilter AuditLogDialog::filter() const
{
    AuditFilter f;
    f.from = m_from->date();
    f.to = m_to->date();
    f.action = m_action->currentData().toString();
    return f;
}

void AuditLogDialog::Reload()
{
    QString error;
    if (!ReadAudit(m_db, filter(), &m_rows, &error))
        ShowError(QStringLiteral("读取操作日志失败：%1").arg(error));
    m_table->setRowCount(int(m_rows.size()));
    for (int i = 0; i < m_rows.size(); ++i) {
        const AuditRow& r = m_rows[i];
        const QString values[] = {r.time, r.station, r.user, r.action, QString::number(r.count), r.detail};
        for (int c = 0; c < 6; ++c)
            m_table->setItem(i, c, new QTableWidgetItem(values[c]));
    }
}

void AuditLogDialog::ExportFile()
{
    SaveFileRequest request;
    request.caption = QStringLiteral("导出操作日志");
    request.fileName = QStringLiteral("操作日志.xlsx");
    request.filter = QStringLiteral("Excel 工作簿 (*.xlsx)");
    request.defaultSuffix = QStringLiteral("xlsx");
    const QString path = AskSaveFileName(request);
    if (path.isEmpty())
        return;
    QString error;
    if (!ExportAuditLog(path, m_rows, &error)) {
        ShowError(QStringLiteral("导出操作日志失败：%1").arg(error));
        return;
    }
    ShowInfo(QStringLiteral("已导出操作日志 %1 条").arg(m_rows.size()));
}
