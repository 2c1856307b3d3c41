#pragma once
// 操作日志: the audit trail, newest first, by date range and action; exportable to .xlsx. Rows
// are only shown, never edited or deleted.

#include "AuditLog.h"

#include <QDialog>
#include <QSqlDatabase>

class QComboBox;
class QDateEdit;
class QTableWidget;

class AuditLogDialog : public QDialog {
    Q_OBJECT
public:
    AuditLogDialog(QSqlDatabase db, QDate today, QWidget* parent = nullptr);

    void Reload();
    void ExportFile();
    const QList<AuditRow>& Shown() const { return m_rows; }

private:
    AuditFilter filter() const;

    QSqlDatabase m_db;
    QDateEdit* m_from;
    QDateEdit* m_to;
    QComboBox* m_action;
    QTableWidget* m_table;
    QList<AuditRow> m_rows;
};
