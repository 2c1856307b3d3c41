#include "WorkbookExport.h"

#include "DateText.h"
#include "ScratchWorkbook.h"

#include <QFile>
#include <QFileInfo>

#include <xlsxwriter.h>

#include <algorithm>

QString ExportFileName(const QString& chosen, bool excel2007)
{
    const QString wanted = excel2007 ? QStringLiteral(".xlsx") : QStringLiteral(".xls");
    const qsizetype componentStart = std::max(chosen.lastIndexOf(u'/'), chosen.lastIndexOf(u'\\')) + 1;
    const qsizetype dot = chosen.lastIndexOf(u'.');
    const qsizetype extensionStart = dot >= componentStart ? dot : chosen.size();
    if (QStringView(chosen).mid(extensionStart) == wanted)
        return chosen;
    return chosen.left(extensionStart) + wanted;
}

QString ExportTimeText(const QString& stored)
{
    // The store's own form is already the export's; only other texts need converting.
    static const char shape[] = "0000-00-00 00:00:00";
    bool same = stored.size() == 19;
    for (int i = 0; same && i < 19; ++i)
        same = shape[i] == '0' ? stored[i].isDigit() && stored[i].unicode() < 128 : stored[i] == QLatin1Char(shape[i]);
    if (same)
        return stored;
    const auto parsed = ParseDateTimeText(stored);
    return parsed ? DateTimeText(*parsed) : stored;
}

namespace {

const char* const kHeaders[] = {"身份证号", "姓名", "刷卡时间", "黑名单"};
const double kWidths[] = {24, 24, 24, 8};

WorkbookResult failure(WorkbookResult::Status status, const QString& error)
{
    WorkbookResult result;
    result.status = status;
    result.error = error;
    return result;
}

} // namespace

WorkbookResult WorkbookExport::Write(int count, const RowAt& rowAt) const
{
    const QFileInfo target(m_fileName);
    ScratchWorkbook scratch;
    QString error;
    if (!scratch.Create(target, &error))
        return failure(WorkbookResult::Status::WriteFailed, error);

    // Constant-memory mode: each row goes to the writer's own temporary files, kept in the target
    // folder too, so a large export neither grows the process nor fills a small /tmp.
    QByteArray tmpdir = QFile::encodeName(target.absolutePath());
    lxw_workbook_options options = {};
    options.constant_memory = LXW_TRUE;
    options.tmpdir = tmpdir.data();
    lxw_workbook* workbook = workbook_new_opt(QFile::encodeName(scratch.Path()).constData(), &options);
    if (!workbook)
        return failure(WorkbookResult::Status::WriterUnavailable, QStringLiteral("the workbook writer could not be created"));
    lxw_worksheet* sheet = workbook_add_worksheet(workbook, nullptr);
    if (!sheet) {
        workbook_close(workbook); // frees it; the file it leaves is the scratch one
        return failure(WorkbookResult::Status::WriterUnavailable, QStringLiteral("the worksheet could not be created"));
    }

    lxw_format* header = workbook_add_format(workbook);
    format_set_bold(header);
    format_set_align(header, LXW_ALIGN_CENTER);
    lxw_format* headerText = workbook_add_format(workbook);
    format_set_bold(headerText);
    format_set_align(headerText, LXW_ALIGN_CENTER);
    format_set_num_format(headerText, "@");
    // Column 1 is text, so 18-digit ID numbers (and those ending in X) stay as typed.
    lxw_format* text = workbook_add_format(workbook);
    format_set_num_format(text, "@");

    lxw_error failed = worksheet_set_row(sheet, 0, LXW_DEF_ROW_HEIGHT, header);
    for (lxw_col_t c = 0; c < 4 && !failed; ++c)
        failed = worksheet_set_column(sheet, c, c, kWidths[c], c == 0 ? text : nullptr);
    for (lxw_col_t c = 0; c < 4 && !failed; ++c)
        failed = worksheet_write_string(sheet, 0, c, kHeaders[c], c == 0 ? headerText : header);

    int written = 0;
    for (; written < count && !failed; ++written) {
        const ExportRow row = rowAt(written);
        const lxw_row_t r = static_cast<lxw_row_t>(written) + 1;
        const QByteArray values[] = {row.idcardno.toUtf8(), row.name.toUtf8(), row.readtime.toUtf8(), row.blackflag.toUtf8()};
        for (lxw_col_t c = 0; c < 4 && !failed; ++c)
            failed = worksheet_write_string(sheet, r, c, values[c].constData(), c == 0 ? text : nullptr);
    }

    // Closing frees the writer on every path; only a complete workbook is kept.
    const lxw_error closed = workbook_close(workbook);
    if (failed)
        return failure(WorkbookResult::Status::WriteFailed,
                       QStringLiteral("row %1: %2").arg(written + 1).arg(QString::fromUtf8(lxw_strerror(failed))));
    if (closed)
        return failure(WorkbookResult::Status::WriteFailed, QString::fromUtf8(lxw_strerror(closed)));
    if (!scratch.MoveTo(target, &error))
        return failure(WorkbookResult::Status::WriteFailed, error);

    WorkbookResult result;
    result.status = WorkbookResult::Status::Written;
    result.count = written;
    return result;
}
