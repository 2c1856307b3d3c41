#include "WorkbookExport.h"

#include "DateText.h"
#include "ScratchFiles.h"
#include "ScratchWorkbook.h"

#include <QFile>
#include <QFileInfo>

#include <xlsxwriter.h>
#include <zip.h>

#include <cstring>

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

// Reads the written workbook back: the writer does not notice when its own temporary files could
// not be written (a full disk) and then packs a cut sheet without a word. Every part must read
// whole (the archive's checksums) and end as XML does, and the sheet must hold every row.
bool checkWorkbook(const QString& path, int rows, QString* error)
{
    int code = 0;
    zip_t* archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY | ZIP_CHECKCONS, &code);
    if (!archive) {
        zip_error_t e;
        zip_error_init_with_code(&e, code);
        *error = QString::fromUtf8(zip_error_strerror(&e));
        zip_error_fini(&e);
        return false;
    }
    const zip_int64_t entries = zip_get_num_entries(archive, 0);
    bool ok = entries > 0;
    for (zip_int64_t i = 0; i < entries && ok; ++i) {
        const bool sheet = std::strcmp(zip_get_name(archive, static_cast<zip_uint64_t>(i), 0), "xl/worksheets/sheet1.xml") == 0;
        zip_file_t* part = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
        ok = part != nullptr;
        // The rows are counted by their start tags; the tail of each read is kept for a tag
        // that spans two reads and for the part's end.
        static const char kRow[] = "<row ";
        QByteArray carry;
        char buffer[65536];
        qint64 found = 0;
        for (zip_int64_t n; ok && (n = zip_fread(part, buffer, sizeof buffer)) != 0;) {
            ok = n > 0;
            if (!ok)
                break;
            QByteArray chunk = carry + QByteArray::fromRawData(buffer, static_cast<int>(n));
            if (sheet)
                found += chunk.count(kRow);
            carry = chunk.right(std::min<qsizetype>(chunk.size(), 16));
            if (sheet)
                found -= carry.count(kRow); // counted again with the next read
        }
        if (sheet)
            found += carry.count(kRow);
        if (part && ok)
            ok = zip_fclose(part) == 0;
        else if (part)
            zip_fclose(part);
        ok = ok && carry.trimmed().endsWith('>') && (!sheet || (carry.contains("</worksheet>") && found == rows + 1));
    }
    if (!ok)
        *error = QStringLiteral("the written workbook is incomplete (%1)").arg(QString::fromUtf8(zip_strerror(archive)));
    zip_discard(archive);
    return ok;
}

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
    ScratchWorkbook::RemoveLeftovers(target.absolutePath());
    ScratchWorkbook scratch;
    QString error;
    if (!scratch.Create(target, &error))
        return failure(WorkbookResult::Status::WriteFailed, error);
    // What the writer opens in the folder and leaves open after a failure is closed here.
    const std::vector<OpenDescriptor> openBefore = OpenDescriptors();
    struct Release {
        const std::vector<OpenDescriptor>& before;
        QString folder;
        bool done = false;
        ~Release()
        {
            if (!done)
                CloseFilesLeftOpen(before, folder);
        }
    } release{openBefore, target.absolutePath()};

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
    release.done = true; // the writer closed everything it opened
    if (!checkWorkbook(scratch.Path(), count, &error) || !scratch.MoveTo(target, &error))
        return failure(WorkbookResult::Status::WriteFailed, error);

    WorkbookResult result;
    result.status = WorkbookResult::Status::Written;
    result.count = written;
    return result;
}
