#include "WatchListExport.h"

#include "ScratchWorkbook.h"

#include <QFile>
#include <QFileInfo>

#include <xlsxwriter.h>

bool ExportWatchList(const QString& fileName, const QList<WatchEntry>& entries, QString* error)
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
    lxw_worksheet* sheet = workbook_add_worksheet(book, "黑名单");
    lxw_format* text = workbook_add_format(book);
    format_set_num_format(text, "@");
    lxw_format* head = workbook_add_format(book);
    format_set_bold(head);
    // ID number and reason first, as a list file is read: the export can be imported again.
    static const char* const headers[] = {"身份证号", "原因", "姓名", "加入时间", "登记站点"};
    static const double widths[] = {22, 40, 12, 20, 16};
    for (int c = 0; c < 5; ++c) {
        worksheet_set_column(sheet, lxw_col_t(c), lxw_col_t(c), widths[c], c == 0 ? text : nullptr);
        worksheet_write_string(sheet, 0, lxw_col_t(c), headers[c], head);
    }
    lxw_row_t row = 1;
    for (const WatchEntry& e : entries) {
        const QString values[] = {e.idcardno, e.reason, e.name, e.addtime, e.station};
        for (int c = 0; c < 5; ++c)
            if (!values[c].isEmpty())
                worksheet_write_string(sheet, row, lxw_col_t(c), values[c].toUtf8().constData(), c == 0 ? text : nullptr);
        ++row;
    }
    const lxw_error closed = workbook_close(book);
    if (closed != LXW_NO_ERROR) {
        *error = QString::fromUtf8(lxw_strerror(closed));
        return false;
    }
    return scratch.MoveTo(target, error);
}
