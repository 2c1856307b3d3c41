#include "WatchListFile.h"

#include "GbkText.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringDecoder>
#include <QXmlStreamReader>

#include <zip.h>

#include <memory>

namespace {

WatchListFile failed(const QString& error)
{
    WatchListFile f;
    f.error = error;
    return f;
}

QString damaged(const QString& why) { return QStringLiteral("黑名单文件已损坏或格式不对，无法读取：%1").arg(why); }

// A header names its columns: its first cell holds no digit ("身份证号", "ID").
bool isHeader(const QString& first)
{
    for (QChar c : first)
        if (c.isDigit())
            return false;
    return !first.trimmed().isEmpty();
}

// Adds a row of cells as a line; blank rows are left out, the first filled row may be a header.
void addRow(WatchListFile& f, int line, const QString& id, const QString& reason, bool& firstRow)
{
    if (id.trimmed().isEmpty() && reason.trimmed().isEmpty())
        return;
    const bool header = firstRow && isHeader(id);
    firstRow = false;
    if (!header)
        f.lines.append({line, id, reason});
}

// The text of CSV bytes: UTF-8 when they are valid UTF-8 (a BOM is dropped), else GBK.
bool decodeCsv(QByteArray bytes, QString* text)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    *text = utf8.decode(bytes);
    if (!utf8.hasError())
        return true;
    if (bytes.contains('\0'))
        return false; // not a text file
    *text = FromGbk(bytes.constData(), size_t(bytes.size()));
    return true;
}

} // namespace

WatchListFile ReadWatchListCsv(const QByteArray& bytes)
{
    QString text;
    if (!decodeCsv(bytes, &text))
        return failed(damaged(QStringLiteral("不是文本文件")));
    WatchListFile f;
    bool firstRow = true;
    int line = 1;       // of the character being read
    int recordLine = 1; // where the current record began
    QStringList fields;
    QString field;
    bool quoted = false;
    bool any = false; // the record has something, a separator at least
    auto endRecord = [&] {
        if (any) {
            fields << field;
            addRow(f, recordLine, fields.value(0), fields.value(1), firstRow);
        }
        fields.clear();
        field.clear();
        any = false;
    };
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text[i];
        if (quoted) {
            if (c == u'"') {
                if (i + 1 < n && text[i + 1] == u'"') {
                    field += u'"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                if (c == u'\n')
                    ++line;
                field += c;
            }
            continue;
        }
        if (c == u'"' && field.trimmed().isEmpty()) {
            field.clear();
            quoted = true;
            any = true;
        } else if (c == u',') {
            fields << field;
            field.clear();
            any = true;
        } else if (c == u'\n' || c == u'\r') {
            if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n')
                ++i;
            endRecord();
            if (f.lines.size() > kWatchFileMaxLines)
                return failed(QStringLiteral("黑名单文件超过 %1 行，未读取").arg(kWatchFileMaxLines));
            recordLine = ++line;
        } else {
            field += c;
            any = true;
        }
    }
    if (quoted)
        return failed(damaged(QStringLiteral("第 %1 行的引号没有结束").arg(recordLine)));
    endRecord();
    if (f.lines.isEmpty() && firstRow)
        return failed(QStringLiteral("黑名单文件是空的"));
    f.ok = true;
    return f;
}

namespace {

// The workbook as a zip archive; every part read is capped in size.
class Zip {
public:
    explicit Zip(const QString& path)
    {
        int err = 0;
        m_zip = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, &err);
        if (!m_zip) {
            zip_error_t e;
            zip_error_init_with_code(&e, err);
            m_error = QString::fromUtf8(zip_error_strerror(&e));
            zip_error_fini(&e);
        }
    }
    ~Zip()
    {
        if (m_zip)
            zip_discard(m_zip);
    }
    bool IsOpen() const { return m_zip; }
    QString Error() const { return m_error; }
    bool Has(const QString& name) const { return m_zip && zip_name_locate(m_zip, name.toUtf8().constData(), 0) >= 0; }

    // The part's bytes; false with error when it is missing, too large or damaged.
    bool Read(const QString& name, QByteArray* out, QString* error)
    {
        zip_stat_t st;
        if (zip_stat(m_zip, name.toUtf8().constData(), 0, &st) != 0) {
            *error = QStringLiteral("缺少 %1").arg(name);
            return false;
        }
        if ((st.valid & ZIP_STAT_SIZE) && st.size > quint64(kWatchXmlMaxBytes)) {
            *error = QStringLiteral("%1 解压后过大").arg(name);
            return false;
        }
        std::unique_ptr<zip_file_t, int (*)(zip_file_t*)> file(zip_fopen_index(m_zip, st.index, 0), zip_fclose);
        if (!file) {
            *error = QString::fromUtf8(zip_strerror(m_zip));
            return false;
        }
        out->clear();
        // The size in the directory may lie: the bytes that come out are counted too.
        char buffer[1 << 16];
        for (;;) {
            const zip_int64_t got = zip_fread(file.get(), buffer, sizeof buffer);
            if (got < 0) {
                *error = QString::fromUtf8(zip_file_strerror(file.get()));
                return false;
            }
            if (got == 0)
                return true;
            if (out->size() + got > kWatchXmlMaxBytes) {
                *error = QStringLiteral("%1 解压后过大").arg(name);
                return false;
            }
            out->append(buffer, qsizetype(got));
        }
    }

private:
    zip_t* m_zip = nullptr;
    QString m_error;
};

// Target of a relationship, as a name in the archive.
QString partName(const QString& base, const QString& target)
{
    if (target.startsWith(u'/'))
        return target.mid(1);
    QStringList parts = base.split(u'/', Qt::SkipEmptyParts);
    for (const QString& p : target.split(u'/', Qt::SkipEmptyParts)) {
        if (p == QLatin1String(".."))
            parts.removeLast();
        else if (p != QLatin1String("."))
            parts << p;
    }
    return parts.join(u'/');
}

// The relationships of a part: id -> (type, target).
QHash<QString, QPair<QString, QString>> relationships(const QByteArray& xml)
{
    QHash<QString, QPair<QString, QString>> out;
    QXmlStreamReader r(xml);
    while (!r.atEnd()) {
        if (r.readNext() == QXmlStreamReader::StartElement && r.name() == QLatin1String("Relationship")) {
            const auto a = r.attributes();
            out.insert(a.value(QLatin1String("Id")).toString(),
                       {a.value(QLatin1String("Type")).toString(), a.value(QLatin1String("Target")).toString()});
        }
    }
    return out;
}

// The text of an <si> or <is> element: its <t> elements, phonetic runs left out.
QString richText(QXmlStreamReader& r)
{
    QString text;
    const QString end = r.name().toString();
    int phonetic = 0;
    while (!r.atEnd()) {
        r.readNext();
        if (r.isStartElement()) {
            if (r.name() == QLatin1String("rPh"))
                ++phonetic;
            else if (r.name() == QLatin1String("t") && !phonetic)
                text += r.readElementText();
        } else if (r.isEndElement()) {
            if (r.name() == QLatin1String("rPh"))
                --phonetic;
            else if (r.name() == end)
                break;
        }
    }
    return text;
}

// Column number (0-based) of a cell reference such as "B12"; -1 when there is none.
int columnOf(QStringView ref)
{
    int column = 0;
    qsizetype i = 0;
    for (; i < ref.size() && ref[i].isLetter(); ++i)
        column = column * 26 + (ref[i].toUpper().unicode() - u'A' + 1);
    return i == 0 || column > 16384 ? -1 : column - 1;
}

} // namespace

WatchListFile ReadWatchListXlsx(const QString& path)
{
    if (QFileInfo(path).size() > kWatchFileMaxBytes)
        return failed(QStringLiteral("黑名单文件过大（超过 %1 MB），未读取").arg(kWatchFileMaxBytes >> 20));
    Zip zip(path);
    if (!zip.IsOpen())
        return failed(damaged(zip.Error()));
    QString error;
    QByteArray workbook, rels;
    if (!zip.Read(QStringLiteral("xl/workbook.xml"), &workbook, &error)
        || !zip.Read(QStringLiteral("xl/_rels/workbook.xml.rels"), &rels, &error))
        return failed(damaged(error));

    // The first sheet of the workbook, through its relationship.
    QString sheetId;
    {
        QXmlStreamReader r(workbook);
        while (!r.atEnd() && sheetId.isEmpty()) {
            if (r.readNext() == QXmlStreamReader::StartElement && r.name() == QLatin1String("sheet")) {
                for (const QXmlStreamAttribute& a : r.attributes())
                    if (a.name() == QLatin1String("id") && !a.namespaceUri().isEmpty())
                        sheetId = a.value().toString();
            }
        }
        if (r.hasError())
            return failed(damaged(r.errorString()));
    }
    const auto links = relationships(rels);
    if (sheetId.isEmpty() || !links.contains(sheetId))
        return failed(damaged(QStringLiteral("找不到第一张工作表")));
    const QString sheetName = partName(QStringLiteral("xl"), links.value(sheetId).second);
    QString sharedName;
    for (const auto& link : links)
        if (link.first.endsWith(QLatin1String("/sharedStrings")))
            sharedName = partName(QStringLiteral("xl"), link.second);

    QStringList shared;
    if (!sharedName.isEmpty() && zip.Has(sharedName)) {
        QByteArray xml;
        if (!zip.Read(sharedName, &xml, &error))
            return failed(damaged(error));
        QXmlStreamReader r(xml);
        while (!r.atEnd()) {
            if (r.readNext() == QXmlStreamReader::StartElement && r.name() == QLatin1String("si"))
                shared << richText(r);
        }
        if (r.hasError())
            return failed(damaged(r.errorString()));
    }

    QByteArray sheet;
    if (!zip.Read(sheetName, &sheet, &error))
        return failed(damaged(error));
    WatchListFile f;
    bool firstRow = true;
    QXmlStreamReader r(sheet);
    int rowNumber = 0;
    QString cells[2];
    bool idIsNumber = false;
    while (!r.atEnd()) {
        r.readNext();
        if (r.isStartElement() && r.name() == QLatin1String("row")) {
            const int given = r.attributes().value(QLatin1String("r")).toInt();
            rowNumber = given > 0 ? given : rowNumber + 1;
            cells[0].clear();
            cells[1].clear();
            idIsNumber = false;
            int nextColumn = 0;
            while (!r.atEnd()) {
                r.readNext();
                if (r.isEndElement() && r.name() == QLatin1String("row"))
                    break;
                if (!r.isStartElement() || r.name() != QLatin1String("c"))
                    continue;
                const auto a = r.attributes();
                const QString type = a.value(QLatin1String("t")).toString();
                const QStringView ref = a.value(QLatin1String("r"));
                const int column = ref.isEmpty() ? nextColumn : columnOf(ref);
                nextColumn = column + 1;
                QString value, inlineText;
                bool hasValue = false;
                while (!r.atEnd()) {
                    r.readNext();
                    if (r.isEndElement() && r.name() == QLatin1String("c"))
                        break;
                    if (!r.isStartElement())
                        continue;
                    if (r.name() == QLatin1String("v")) {
                        value = r.readElementText();
                        hasValue = true;
                    } else if (r.name() == QLatin1String("is")) {
                        inlineText = richText(r);
                    } else if (r.name() == QLatin1String("f")) {
                        r.skipCurrentElement(); // never evaluated: only a cached value counts
                    }
                }
                if (column < 0 || column > 1)
                    continue;
                QString text;
                if (type == QLatin1String("s")) {
                    bool ok = false;
                    const int index = value.toInt(&ok);
                    if (!ok || index < 0 || index >= shared.size())
                        return failed(damaged(QStringLiteral("第 %1 行引用了不存在的共享字符串").arg(rowNumber)));
                    text = shared[index];
                } else if (type == QLatin1String("inlineStr")) {
                    text = inlineText;
                } else if (type == QLatin1String("str") || type == QLatin1String("b") || type == QLatin1String("e")) {
                    text = value; // a formula's cached text; nothing when the writer left none
                } else if (hasValue) {
                    text = value; // a number, as its stored text
                    if (column == 0)
                        idIsNumber = true;
                }
                cells[column] = text;
            }
            // A number cannot hold 18 digits (it shows as 1.10101199003071E+17): such an ID
            // number is reported as bad, never guessed at.
            if (idIsNumber && !(firstRow && isHeader(cells[0])))
                cells[0] = QStringLiteral("#") + cells[0];
            addRow(f, rowNumber, cells[0], cells[1], firstRow);
            if (f.lines.size() > kWatchFileMaxLines)
                return failed(QStringLiteral("黑名单文件超过 %1 行，未读取").arg(kWatchFileMaxLines));
        }
    }
    if (r.hasError())
        return failed(damaged(r.errorString()));
    if (f.lines.isEmpty() && firstRow)
        return failed(QStringLiteral("黑名单文件是空的"));
    f.ok = true;
    return f;
}

WatchListFile ReadWatchListFile(const QString& path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("xlsx"))
        return ReadWatchListXlsx(path);
    if (suffix != QLatin1String("csv"))
        return failed(QStringLiteral("黑名单文件只能是 .csv 或 .xlsx 格式"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failed(QStringLiteral("无法打开黑名单文件：%1").arg(file.errorString()));
    if (file.size() > kWatchFileMaxBytes)
        return failed(QStringLiteral("黑名单文件过大（超过 %1 MB），未读取").arg(kWatchFileMaxBytes >> 20));
    return ReadWatchListCsv(file.readAll());
}
