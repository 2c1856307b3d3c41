#include "AuditLogExport.h"

#include "ScratchWorkbook.h"

#include <QFile>
#include <QFileInfo>

#include <xlsxwriter.h>

bool ExportAuditLog(const QString& fileName, const QList<AuditRow>& rows, QString* error)
{
    // Written beside the target and moved into place: a failed export leaves the old file.
    const QFileInfo target(fileName);
    ScratchWorkbook scratch;
    if (!scratch.Create(target, error))
        return false;
    lxw_workbook* book = workbook_new(QFile::encodeName(scratch.Path()).constData());
    if (!book) {
        *error = QStringLiteral("无法创建文件");
        return false;
    }
    lxw_worksheet* sheet = workbook_add_worksheet(book, "操作日志");
    lxw_format* text = workbook_add_format(book);
    format_set_num_format(text, "@");
    lxw_format* head = workbook_add_format(book);
    format_set_bold(head);
    static const char* const headers[] = {"时间", "站点", "系统用户", "操作", "记录数", "说明"};
    static const double widths[] = {20, 16, 12, 12, 10, 60};
    for (int c = 0; c < 6; ++c) {
        worksheet_set_column(sheet, lxw_col_t(c), lxw_col_t(c), widths[c], nullptr);
        worksheet_write_string(sheet, 0, lxw_col_t(c), headers[c], head);
    }
    lxw_row_t line = 1;
    for (const AuditRow& r : rows) {
        // Details may hold ID numbers: text, never numbers cut to 15 digits.
        const QString values[] = {r.time, r.station, r.user, r.action};
        for (int c = 0; c < 4; ++c)
            if (!values[c].isEmpty())
                worksheet_write_string(sheet, line, lxw_col_t(c), values[c].toUtf8().constData(), text);
        worksheet_write_number(sheet, line, 4, r.count, nullptr);
        if (!r.detail.isEmpty())
            worksheet_write_string(sheet, line, 5, r.detail.toUtf8().constData(), text);
        ++line;
    }
    const lxw_error closed = workbook_close(book);
    if (closed != LXW_NO_ERROR) {
        *error = QString::fromUtf8(lxw_strerror(closed));
        return false;
    }
    return scratch.MoveTo(target, error);
}
