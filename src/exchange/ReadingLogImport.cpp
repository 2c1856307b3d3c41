#include "ReadingLogImport.h"

#include "DateText.h"
#include "PhotoConvert.h"
#include "PhotoPipeline.h"
#include "ScratchFolder.h"
#include "SQLiteTable.h"
#include "StoreWriter.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>

#include <memory>

namespace {

// A row that cannot be taken: ends the import at that row.
struct RowFailure {
    QString message;
};

class Row {
public:
    explicit Row(TSQLiteTable& table) : m_table(table) {}

    // Column looked up by name on first use, so a missing column fails the row that needs it.
    int index(const char* name)
    {
        auto it = m_index.constFind(name);
        if (it != m_index.constEnd())
            return it.value();
        const int i = m_table.IndexOfField(name);
        m_index.insert(name, i);
        return i;
    }
    QString text(const char* name) { return TrimBlanks(QString::fromUtf8(m_table.FieldTextOrEmpty(index(name)).c_str())); }

    TSQLiteTable& table() { return m_table; }

private:
    TSQLiteTable& m_table;
    QHash<QByteArray, int> m_index;
};

bool exec(QSqlDatabase& db, const char* sql, QString* error = nullptr)
{
    QSqlQuery q(db);
    if (q.exec(QString::fromLatin1(sql)))
        return true;
    if (error)
        *error = q.lastError().text();
    return false;
}

} // namespace

namespace {

// The photo of the current row; none when the column does not hold BLOBs, which makes it
// unreadable like any other bad photo.
const TMemoryStream* photoOf(TSQLiteTable& table, int column)
{
    try {
        return table.FieldBlob(column);
    } catch (const ESQLiteException&) {
        return nullptr;
    }
}

// First pass over the rows: which holders are new, and so whose photos the import will need.
// Their decoding starts at once on another core. The pass stops quietly at anything unusual; the
// import proper meets the same row and deals with it.
std::unique_ptr<PhotoPipeline> planPhotos(TSQLiteTable& table, StoreWriter& writer, QHash<QString, bool>& storedBefore)
{
    std::vector<PhotoPipeline::Job> jobs;
    try {
        Row row(table);
        QSet<QString> planned;
        for (; !table.AtEnd(); table.MoveNext()) {
            const QString ic = row.text("ic");
            if (planned.contains(ic))
                continue;
            auto it = storedBefore.constFind(ic);
            if (it == storedBefore.constEnd()) {
                QString error;
                const bool exists = writer.PersonExists(ic, &error);
                if (!error.isEmpty())
                    break;
                it = storedBefore.insert(ic, exists);
            }
            if (it.value())
                continue;
            planned.insert(ic);
            jobs.push_back({table.CurrentRow(), photoOf(table, row.index("photo"))});
        }
    } catch (const std::exception&) {
    }
    table.Rewind();
    if (jobs.empty())
        return nullptr;
    return std::make_unique<PhotoPipeline>(std::move(jobs));
}

} // namespace

bool ConvertPhoto(const TMemoryStream* source, QByteArray& target, QString* why)
{
    target = QByteArray();
    if (!source || source->Size() == 0) {
        if (why)
            *why = QStringLiteral("no photo");
        return false;
    }
    std::vector<unsigned char> bmp;
    const photo::PhotoResult r =
        photo::PngToBmp(reinterpret_cast<const unsigned char*>(source->Data()), static_cast<size_t>(source->Size()), bmp);
    if (!r.ok) {
        if (why)
            *why = QString::fromStdString(r.error);
        return false;
    }
    target = QByteArray(reinterpret_cast<const char*>(bmp.data()), static_cast<qsizetype>(bmp.size()));
    return true;
}

ReadingLogImporter::ReadingLogImporter(QSqlDatabase store, QString scratchFolder)
    : m_store(store), m_scratch(std::move(scratchFolder))
{
}

ImportOutcome::Validation ReadingLogImporter::ValidateDeviceDb(const QString& path) const
{
    try {
        TSQLiteDatabase db(QFile::encodeName(path).toStdString());
        return db.HasTable("water_list") ? ImportOutcome::Validation::Ok : ImportOutcome::Validation::NoTable;
    } catch (const std::exception&) {
        return ImportOutcome::Validation::OpenFailed;
    }
}

ImportOutcome ReadingLogImporter::ImportDeviceDb(const QString& path)
{
    ImportOutcome out;
    out.validation = ValidateDeviceDb(path);
    if (out.validation != ImportOutcome::Validation::Ok)
        return out;

    std::unique_ptr<TSQLiteDatabase> device;
    std::unique_ptr<TSQLiteTable> table;
    try {
        device = std::make_unique<TSQLiteDatabase>(QFile::encodeName(path).toStdString());
        table = device->QueryTable("SELECT * FROM water_list");
    } catch (const std::exception& e) {
        out.readFailed = true;
        out.error = QString::fromUtf8(e.what());
        return out;
    }
    out.rowsInDevice = table->RowCount();
    if (out.rowsInDevice == 0)
        return out;

    // One transaction for the whole import: a crash leaves the store as it was before. Each row
    // is a savepoint, so a failing row leaves nothing of itself behind.
    if (!m_store.transaction()) {
        out.readFailed = true;
        out.error = m_store.lastError().text();
        return out;
    }
    StoreWriter writer(m_store);
    QSet<QString> knownHolders;
    QHash<QString, bool> storedBefore; // PersonExists answers of the first pass
    std::unique_ptr<PhotoPipeline> photos = planPhotos(*table, writer, storedBefore);
    QByteArray lastBitmap;
    Row row(*table);
    int rowNumber = 0;
    int count = 0;
    while (!table->AtEnd()) {
        ++rowNumber;
        QString savepointError;
        if (!exec(m_store, "SAVEPOINT import_row", &savepointError)) {
            out.failedRow = rowNumber;
            out.error = savepointError;
            break;
        }
        try {
            const QString ic = row.text("ic");
            const QString readTime = row.text("read_time");
            bool known = knownHolders.contains(ic) || storedBefore.value(ic, false);
            if (!known && !storedBefore.contains(ic)) {
                QString error;
                known = writer.PersonExists(ic, &error);
                if (!error.isEmpty())
                    throw RowFailure{error};
            }
            if (!known) {
                PersonRecord person;
                person.idcardno = ic;
                person.name = row.text("name");
                person.sex = row.text("sex");
                person.nationName = row.text("nation");
                person.address = row.text("addr");
                person.birthText = row.text("birth");
                person.validBegin = row.text("valid_begin");
                person.validEnd = row.text("valid_End");
                person.issuer = row.text("issue");
                // A photo that cannot be read costs the photo, not the reading.
                const int photoColumn = row.index("photo"); // a missing column fails the row
                QByteArray bitmap;
                if (!photos || !photos->Take(table->CurrentRow(), bitmap))
                    ConvertPhoto(photoOf(*table, photoColumn), bitmap, nullptr);
                if (bitmap.isNull())
                    ++out.withoutPhoto;
                QString error;
                if (!writer.InsertPerson(person, bitmap, &error))
                    throw RowFailure{error};
                if (!bitmap.isNull())
                    lastBitmap = bitmap;
            }
            QString error;
            switch (writer.SaveReadingChecked(ic, readTime, &error)) {
            case StoreWriter::ReadingResult::Stored: ++count; break;
            case StoreWriter::ReadingResult::AlreadyStored: ++out.alreadyStored; break;
            case StoreWriter::ReadingResult::BadTime: ++out.badTimes; ++count; break;
            case StoreWriter::ReadingResult::Failed: throw RowFailure{error};
            }
            knownHolders.insert(ic);
            exec(m_store, "RELEASE import_row");
        } catch (const std::exception& e) {
            out.failedRow = rowNumber;
            out.error = QString::fromUtf8(e.what());
        } catch (const RowFailure& f) {
            out.failedRow = rowNumber;
            out.error = f.message;
        }
        if (out.failedRow) {
            exec(m_store, "ROLLBACK TO import_row");
            exec(m_store, "RELEASE import_row");
            break;
        }
        table->MoveNext();
    }

    if (!m_store.commit()) {
        const QString error = m_store.lastError().text();
        m_store.rollback();
        out = ImportOutcome();
        out.rowsInDevice = table->RowCount();
        out.readFailed = true;
        out.error = error;
        return out;
    }
    out.count = count;

    // The side file of the last new holder's bitmap; failing to write it costs nothing else.
    if (!lastBitmap.isNull() && !m_scratch.isEmpty())
        WritePrivateFile(QDir(m_scratch).filePath(QLatin1String(kSideFileName)), lastBitmap);
    return out;
}

bool ReadingLogImporter::AllReadingsStored(const QString& path, QString* why) const
{
    auto fail = [&](const QString& reason) {
        if (why)
            *why = reason;
        return false;
    };
    std::unique_ptr<TSQLiteTable> table;
    try {
        TSQLiteDatabase device(QFile::encodeName(path).toStdString());
        if (!device.HasTable("water_list"))
            return fail(QStringLiteral("no reading log"));
        table = device.QueryTable("SELECT * FROM water_list");
    } catch (const std::exception& e) {
        return fail(QString::fromUtf8(e.what()));
    }
    QSqlQuery stored(m_store);
    stored.setForwardOnly(true);
    if (!stored.prepare(QStringLiteral("select a.serialno from idcardwater a,idcardinfo b "
                                       "where a.idcardno=:p1 and a.readtime=:p2 and b.idcardno=a.idcardno")))
        return fail(stored.lastError().text());
    Row row(*table);
    int rowNumber = 0;
    try {
        for (; !table->AtEnd(); table->MoveNext()) {
            ++rowNumber;
            const QString time = StoreTimeParam(row.text("read_time"));
            if (time.isEmpty())
                return fail(QStringLiteral("row %1: reading time not understood").arg(rowNumber));
            stored.bindValue(0, row.text("ic"));
            stored.bindValue(1, time);
            if (!stored.exec())
                return fail(stored.lastError().text());
            const bool found = stored.next();
            stored.finish();
            if (!found)
                return fail(QStringLiteral("row %1 is not in the store").arg(rowNumber));
        }
    } catch (const std::exception& e) {
        return fail(QString::fromUtf8(e.what()));
    }
    return true;
}

QString ImportSummaryText(const ImportOutcome& o)
{
    QString text = o.count > 0 || o.alreadyStored > 0 ? QStringLiteral("成功导入记录 %1 条").arg(o.count)
                                                       : QStringLiteral("设备中没有数据记录");
    if (o.withoutPhoto > 0)
        text += QStringLiteral("\n其中 %1 位新登记人员的照片无法读取，已按无照片保存").arg(o.withoutPhoto);
    if (o.alreadyStored > 0)
        text += QStringLiteral("\n另有 %1 条记录此前已经导入，未重复保存").arg(o.alreadyStored);
    return text;
}

QString ImportIncompleteText(const ImportOutcome& o)
{
    if (o.validation != ImportOutcome::Validation::Ok || o.Complete())
        return QString();
    if (o.readFailed)
        return QStringLiteral("导入未完成，未导入任何记录：%1").arg(o.error);
    QStringList lines;
    if (o.badTimes > 0)
        lines << QStringLiteral("有 %1 条记录的刷卡时间无法识别，其刷卡记录未能保存").arg(o.badTimes);
    if (o.failedRow > 0)
        lines << QStringLiteral("第 %1 条记录导入失败，其后的记录未导入：%2").arg(o.failedRow).arg(o.error);
    return QStringLiteral("导入未完成：\n") + lines.join(u'\n');
}
