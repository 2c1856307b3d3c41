#pragma once
// Export of readings to an .xlsx workbook, written by the program itself (libxlsxwriter), so no
// office suite is needed.

#include <QString>

#include <functional>

// One reading as it goes into the sheet; every value is written as text.
struct ExportRow {
    QString idcardno;
    QString name;
    QString readtime; // "yyyy-mm-dd hh:mm:ss"
    QString blackflag;
};

struct WorkbookResult {
    enum class Status { Written, WriterUnavailable, WriteFailed };
    Status status = Status::WriteFailed;
    int count = 0; // readings written; 0 unless Written
    QString error; // why not, for tests and diagnostics
};

// The export file name with its extension fixed: ".xlsx" when Excel 2007 or later is there, else
// ".xls". The extension is the last path component from its last '.' on; it must match exactly
// (case too), else it is replaced, or added when there is none.
QString ExportFileName(const QString& chosen, bool excel2007);

// A stored reading time in the export's form; a text that is no date-time is kept as it is.
QString ExportTimeText(const QString& stored);

// Writes the reading-log sheet: headers in bold, centred row 1, the readings from row 2 in the
// order given. The workbook goes to a temporary file beside fileName that replaces it only once
// complete; after a failure fileName is as it was and no temporary file is left.
class WorkbookExport {
public:
    using RowAt = std::function<ExportRow(int index)>;

    explicit WorkbookExport(QString fileName) : m_fileName(std::move(fileName)) {}
    WorkbookResult Write(int count, const RowAt& rowAt) const;

private:
    QString m_fileName;
};
