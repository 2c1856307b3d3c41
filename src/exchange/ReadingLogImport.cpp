#include "ReadingLogImport.h"

#include "ConvertPhoto.h"
#include "DateText.h"
#include "PhotoConvert.h"
#include "PhotoPipeline.h"
#include "ReadAheadVfs.h"
#include "RecordStore.h"
#include "ScratchFolder.h"
#include "SQLiteTable.h"
#include "AuditLog.h"
#include "StoreWriter.h"
#include "WatchList.h"
#include "Writeback.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr int kRowsAhead = 256;  // rows read ahead of the one being written
constexpr int kPhotosAhead = 64; // photos read ahead for decoding, at most
constexpr qsizetype kWrittenKept = 200000; // readings remembered instead of looked up
constexpr qint64 kWritebackBytes = 8 << 20; // written to the store between two writeback hints

// Columns looked up by name on first use, so a missing column fails the row that needs it.
// Names are the literals below, so they are told apart by address.
class Row {
public:
    explicit Row(const TSQLiteCursor& source) : m_source(source) {}

    int index(const char* name)
    {
        for (const auto& known : m_index)
            if (known.first == name)
                return known.second;
        const int i = m_source.IndexOfField(name);
        m_index.emplace_back(name, i);
        return i;
    }
    // The text as the handheld stored it, whatever type its column is declared with: read by
    // declared type, an ID number ending in X in an INTEGER column would lose the X, and one in a
    // NUMERIC column would become a rounded number. A number stored as floating point has no one
    // text, so the row is refused rather than guessed at.
    QString text(const char* name)
    {
        std::string raw;
        if (!m_source.FieldStoredText(index(name), raw))
            throw ESQLiteException(QStringLiteral("手持机数据库的“%1”栏存的是数值而不是文字，无法保证原样导入")
                                       .arg(QLatin1String(name))
                                       .toStdString());
        return TrimBlanks(QString::fromUtf8(raw.c_str()));
    }

private:
    const TSQLiteCursor& m_source;
    std::vector<std::pair<const char*, int>> m_index;
};

std::string quoted(const std::string& name)
{
    std::string out = "\"";
    for (char c : name) {
        out += c;
        if (c == '"')
            out += '"';
    }
    return out + '"';
}

std::string upper(std::string s)
{
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The columns of a new holder, in the order they are read.
const char* const kPersonColumns[] = {"name", "sex", "nation", "addr", "birth", "valid_begin", "valid_End", "issue"};

// One row of water_list as the reading thread hands it over.
struct DeviceRow {
    int number = 0;     // 1-based
    qint64 rowid = -1;  // for the photo; -1 when it came with the row
    QString ic;
    QString readTime;
    QString person[std::size(kPersonColumns)];
    QString personError; // why the holder's columns could not be read (a missing column)
    QByteArray photo;
    QString photoError;
    QString failure; // the row cannot be read at all: the import ends here
    bool repeat = false; // the ID number came earlier in the file: nothing but the reading is read
};

// Steps through water_list without its photos, which are read by row id and only for a row that
// brings a new holder. A table without row ids is read whole, photos included.
class DeviceRows {
public:
    explicit DeviceRows(TSQLiteDatabase& device)
    {
        std::vector<std::string> columns;
        {
            auto info = device.QueryTable("PRAGMA table_info(water_list)");
            const int name = info->IndexOfField("name");
            for (; !info->AtEnd(); info->MoveNext())
                columns.push_back(info->FieldText(name));
        }
        std::string select;
        for (const std::string& column : columns)
            if (upper(column) != "PHOTO")
                select += ", " + quoted(column);
        for (const char* alias : {"_rowid_", "rowid", "oid"}) {
            bool taken = false;
            for (const std::string& column : columns)
                taken = taken || upper(column) == upper(alias);
            if (taken)
                continue;
            try {
                m_cursor = std::make_unique<TSQLiteCursor>(device, std::string("SELECT ") + alias + select + " FROM water_list");
                m_rowid = alias;
            } catch (const ESQLiteException&) {
                // no row ids
            }
            break;
        }
        if (!m_cursor)
            m_cursor = std::make_unique<TSQLiteCursor>(device, "SELECT * FROM water_list");
        m_row = std::make_unique<Row>(*m_cursor);
    }

    bool AtEnd() const { return m_cursor->AtEnd() && m_stepError.isEmpty(); }
    // What the row id is called; empty when photos come with the rows.
    const std::string& RowidName() const { return m_rowid; }

    // The current row, then a step past it. A failing step becomes the failure of the next row.
    DeviceRow Read()
    {
        DeviceRow r;
        r.number = ++m_read;
        if (!m_stepError.isEmpty()) {
            std::swap(r.failure, m_stepError);
            return r;
        }
        try {
            r.ic = m_row->text("ic");
            r.readTime = m_row->text("read_time");
            // The holder's columns matter only for the first row of an ID number that is new to the
            // store, which this thread cannot tell: they are read for every first row, and a
            // missing one is kept for that row to fail on.
            if (m_seen.size() < kSeenKept) {
                r.repeat = m_seen.contains(r.ic);
                m_seen.insert(r.ic);
            }
            if (!r.repeat)
                readHolder(r);
        } catch (const std::exception& e) {
            r.failure = QString::fromUtf8(e.what());
            return r;
        }
        try {
            m_cursor->MoveNext();
        } catch (const std::exception& e) {
            m_stepError = QString::fromUtf8(e.what());
        }
        return r;
    }

    // A photo's bytes: null when there is none or it is not in a BLOB column, which makes it
    // unreadable like any other bad photo.
    static QByteArray PhotoBytes(const TSQLiteRow& row, int column)
    {
        const TMemoryStream* stream = nullptr;
        try {
            stream = row.FieldBlob(column);
        } catch (const ESQLiteException&) {
            return QByteArray();
        }
        if (!stream || stream->Size() == 0)
            return QByteArray();
        return QByteArray(stream->Data(), static_cast<qsizetype>(stream->Size()));
    }

private:
    // The holder's columns and the photo (or where to find it) of the current row.
    void readHolder(DeviceRow& r)
    {
        for (size_t k = 0; k < std::size(kPersonColumns) && r.personError.isEmpty(); ++k) {
            try {
                r.person[k] = m_row->text(kPersonColumns[k]);
            } catch (const ESQLiteException& e) {
                r.personError = QString::fromUtf8(e.what());
            }
        }
        if (!m_rowid.empty()) {
            // As text: a row id column declared in lower case does not read as an integer.
            r.rowid = std::stoll(m_cursor->FieldText(0));
            return;
        }
        try {
            r.photo = PhotoBytes(*m_cursor, m_row->index("photo"));
        } catch (const ESQLiteException& e) {
            r.photoError = QString::fromUtf8(e.what());
        }
    }

    std::unique_ptr<TSQLiteCursor> m_cursor;
    std::unique_ptr<Row> m_row;
    static constexpr qsizetype kSeenKept = 200000;

    std::string m_rowid;
    int m_read = 0;
    QString m_stepError;
    QSet<QString> m_seen; // ID numbers read so far
};

// Photos of water_list by row id, for the decoding threads. Scattered lookups: read page by page,
// as a read-ahead would copy several times the bytes of each photo.
class DevicePhotos : public PhotoSource {
public:
    DevicePhotos(const std::string& path, std::string rowidName) : m_db(path), m_rowid(std::move(rowidName)) {}

    QByteArray Photo(qint64 rowid) override
    {
        const SQLiteArgs id{SQLiteArg::Int64(rowid)};
        if (!m_photo)
            m_photo = std::make_unique<TSQLiteCursor>(m_db, "SELECT photo FROM water_list WHERE " + m_rowid + "=?", id);
        else
            m_photo->Restart(id);
        if (m_photo->AtEnd())
            return QByteArray();
        return DeviceRows::PhotoBytes(*m_photo, m_photo->IndexOfField("photo"));
    }

private:
    TSQLiteDatabase m_db;
    std::string m_rowid;
    std::unique_ptr<TSQLiteCursor> m_photo;
};

// Reads the rows on a thread of its own, a bounded number ahead of the import, so that stepping
// through the device file overlaps with writing the store.
class DeviceReader {
public:
    // Opens the file for the rows, read by the thread alone; raises when the file or its table
    // cannot be read.
    explicit DeviceReader(const std::string& path) : m_path(path), m_rowsDb(path, ReadAheadVfs()), m_rows(m_rowsDb)
    {
        m_thread = std::thread([this] { run(); });
    }
    ~DeviceReader()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }

    // The next row; false when there are no more.
    bool Take(DeviceRow& row)
    {
        if (m_taking.empty()) {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [&] { return !m_queue.empty() || m_done; });
            if (m_queue.empty())
                return false;
            std::swap(m_taking, m_queue);
            m_changed.notify_all();
        }
        row = std::move(m_taking.front());
        m_taking.pop_front();
        return true;
    }
    int RowsRead() const { return m_taken; }

    // Readers of photos by row id, each with a connection of its own.
    PhotoSources Sources() const
    {
        return [path = m_path, rowid = m_rows.RowidName()] { return std::make_unique<DevicePhotos>(path, rowid); };
    }

private:
    static constexpr size_t kQueued = 512;
    static constexpr size_t kBatch = 64;

    void run()
    {
        QString failure;
        // Rows go over in batches: a hand-over per row costs a wake-up of the other thread each.
        std::deque<DeviceRow> batch;
        try {
            bool more = !m_rows.AtEnd();
            while (more) {
                batch.push_back(m_rows.Read());
                more = batch.back().failure.isEmpty() && !m_rows.AtEnd();
                if (batch.size() < kBatch && more)
                    continue;
                std::unique_lock<std::mutex> lock(m_mutex);
                m_changed.wait(lock, [&] { return m_stop || m_queue.size() < kQueued; });
                if (m_stop)
                    break;
                m_taken += int(batch.size());
                std::move(batch.begin(), batch.end(), std::back_inserter(m_queue));
                batch.clear();
                m_changed.notify_all();
            }
        } catch (const std::exception& e) {
            failure = QString::fromUtf8(e.what()); // out of memory: the next row cannot be read
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!failure.isEmpty()) {
            // Rows read before the failure go first.
            m_taken += int(batch.size());
            std::move(batch.begin(), batch.end(), std::back_inserter(m_queue));
            DeviceRow row;
            row.number = m_taken + 1;
            row.failure = failure;
            m_queue.push_back(std::move(row));
        }
        m_done = true;
        m_changed.notify_all();
    }

    std::string m_path;
    TSQLiteDatabase m_rowsDb;
    DeviceRows m_rows;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<DeviceRow> m_queue;
    std::deque<DeviceRow> m_taking; // taken from the queue at once, used by the caller alone
    std::atomic<int> m_taken{0};
    bool m_done = false;
    bool m_stop = false;
    std::thread m_thread;
};

// A row of water_list as read, waiting to be written.
struct PendingRow {
    int number = 0; // 1-based
    QString ic;
    QString readTime;
    bool newHolder = false; // this row stores the holder
    PersonRecord person;
    QString failure; // the row cannot be taken: the import ends here
};

} // namespace

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

    std::unique_ptr<DeviceReader> rows;
    try {
        rows = std::make_unique<DeviceReader>(QFile::encodeName(path).toStdString());
    } catch (const std::exception& e) {
        out.readFailed = true;
        out.error = QString::fromUtf8(e.what());
        return out;
    }
    DeviceRow first;
    if (!rows->Take(first))
        return out;

    auto failEarly = [&](const QString& error, bool busy) {
        out.readFailed = true;
        out.storeBusy = busy;
        out.error = error;
        return out;
    };
    if (!m_store.isOpen())
        return failEarly(QStringLiteral("记录库未打开"), false);
    // A store file removed while the program runs would take the readings with it when the
    // program ends, though every write succeeds; the disk also takes its pages while the import
    // goes on instead of all at the commit.
    const QString storeFile = StoreFileOf(m_store);
    if (storeFile.isEmpty() || !QFileInfo::exists(storeFile))
        return failEarly(QStringLiteral("记录库文件不存在：%1").arg(QDir::toNativeSeparators(storeFile)), false);

    // One transaction for the whole import, the store held from the start: a crash leaves the
    // store as it was before. A row is read completely before anything of it is written, so a
    // write that fails is a store failure: the row's own earlier write is undone and the import
    // ends there.
    const QSqlError notBegun = BeginExclusive(m_store);
    if (notBegun.isValid())
        return failEarly(notBegun.text(), IsStoreBusy(notBegun));
    // Held by pointer so that its statements can be let go before the store is closed and
    // opened again after a failed write.
    auto writerHeld = std::make_unique<StoreWriter>(m_store, LocalStationName());
    StoreWriter& writer = *writerHeld;
    // Stores made before the watch list have no table: nobody is listed there.
    const bool hasList = m_store.tables().contains(QStringLiteral("watchlist"), Qt::CaseInsensitive);
    // Listed ID numbers read by this import: the holder's name (empty for a new holder) and reason.
    QHash<QString, QPair<QString, QString>> listed;
    // Readings after this serial number were written by this import: finding one again is a
    // repeat within the file, not a reading imported before.
    qint64 lastBefore = 0;
    {
        QSqlQuery last(m_store);
        if (last.exec(QStringLiteral("select max(serialno) from idcardwater")) && last.next())
            lastBefore = last.value(0).toLongLong();
    }
    qint64 unsynced = 0;
    // ID number -> stored already, or stored by an earlier row of this import.
    QHash<QString, bool> known;
    // Holders new in this import without a stored reading: their readings need no lookup in the
    // store, only among the readings this import wrote (ID number and time).
    QSet<QString> fresh;
    QSet<QString> written;
    // The decoding threads read the photos too, each with a connection of its own.
    PhotoPipeline photos(kPhotosAhead, 0, rows->Sources());
    std::deque<PendingRow> window;
    // Card checks, kept per ID number: the holder's part, judged once, and for holders new in this
    // import (below) the readings it stored of them, by time in seconds: the store holds no
    // others of theirs, so their neighbours are found here instead of by two lookups each.
    const bool keepsChecks = writer.KeepsChecks();
    struct StoredReading {
        qint64 serial;
        int checks;
    };
    struct HolderState {
        HolderChecks checks;
        std::map<qint64, StoredReading> stored; // fresh holders only
    };
    QHash<QString, HolderState> holders;
    // The checks of a reading about to be stored, the repeat judged against the store's readings of
    // the ID number (this import's included); a later reading it makes a repeat is marked after
    // the store. false with error when a lookup fails.
    int checks = 0;
    qint64 repeatedSerial = -1;
    qint64 repeatedSeconds = -1;
    auto judge = [&](const QString& ic, const QString& time, QString* error) {
        checks = 0;
        repeatedSerial = -1;
        if (!keepsChecks)
            return true;
        const HolderState& holder = holders[ic];
        const qint64 at = ReadingSeconds(time);
        checks = JudgeReading(holder.checks, ReadingDate(time));
        qint64 previous = -1, next = -1;
        qint64 nextSerial = -1;
        int nextChecks = 0;
        if (fresh.contains(ic)) {
            auto after = holder.stored.upper_bound(at);
            if (after != holder.stored.end()) {
                next = after->first;
                nextSerial = after->second.serial;
                nextChecks = after->second.checks;
            }
            if (after != holder.stored.begin() && (--after)->first < at)
                previous = after->first;
        } else {
            QString previousTime, nextTime;
            if (!writer.Neighbours(ic, time, &previousTime, &nextTime, &nextSerial, &nextChecks, error))
                return false;
            previous = ReadingSeconds(previousTime);
            next = ReadingSeconds(nextTime);
        }
        if (IsRepeatAfter(previous, at))
            checks |= CheckRepeat;
        if (IsRepeatAfter(at, next) && !(nextChecks & CheckRepeat)) {
            repeatedSerial = nextSerial;
            repeatedSeconds = next;
        }
        return true;
    };
    int photosPending = 0;
    bool readingDone = false;

    bool firstTaken = false;
    auto readRow = [&](PendingRow& r) {
        DeviceRow d;
        if (!firstTaken) {
            d = std::move(first);
            firstTaken = true;
        } else if (!rows->Take(d)) {
            return false;
        }
        r.number = d.number;
        r.failure = d.failure;
        if (!r.failure.isEmpty())
            return true;
        r.ic = d.ic;
        r.readTime = d.readTime;
        auto it = known.constFind(r.ic);
        if (it == known.constEnd()) {
            QString error;
            const bool exists = writer.PersonExists(r.ic, &error);
            // The list is judged by its table, so an entry added outside the program counts too.
            QString reason, name;
            if (error.isEmpty() && hasList && writer.Listed(r.ic, &reason, &name, &error)) {
                listed.insert(r.ic, {name, reason});
                if (exists)
                    writer.FlagListed(r.ic, &error);
            }
            if (!error.isEmpty()) {
                r.failure = error;
                return true;
            }
            if (exists && keepsChecks) {
                QString born, begin, end;
                writer.HolderDates(r.ic, &born, &begin, &end, &error);
                if (!error.isEmpty()) {
                    r.failure = error;
                    return true;
                }
                holders[r.ic].checks = PrepareHolder(r.ic, born, begin, end);
            }
            it = known.insert(r.ic, exists);
        }
        if (it.value())
            return true;
        if (d.repeat) {
            // An earlier row of this ID number was new to the store and so stored the holder
            // before this one, or failed and ended the import.
            r.failure = QStringLiteral("holder of row %1 not read").arg(d.number);
            return true;
        }
        if (!d.personError.isEmpty()) {
            r.failure = d.personError; // a missing column fails the first row that needs it
            return true;
        }
        PersonRecord& p = r.person;
        p.idcardno = r.ic;
        p.name = d.person[0];
        p.sex = d.person[1];
        p.nationName = d.person[2];
        p.address = d.person[3];
        p.birthText = d.person[4];
        p.validBegin = d.person[5];
        p.validEnd = d.person[6];
        p.issuer = d.person[7];
        if (d.rowid >= 0) {
            photos.Add(r.number, d.rowid);
        } else if (!d.photoError.isEmpty()) {
            r.failure = d.photoError; // no photo column
            return true;
        } else {
            photos.Add(r.number, d.photo);
        }
        ++photosPending;
        r.newHolder = true;
        if (keepsChecks) // judged by what the store will hold
            holders[r.ic].checks = PrepareHolder(r.ic, StoreWriter::CutBirth(p.birthText), p.validBegin, p.validEnd);
        known[r.ic] = true;
        return true;
    };

    QByteArray lastBitmap;
    int count = 0;
    bool storeBroken = false;
    try {
        for (;;) {
            while (!readingDone && window.size() < size_t(kRowsAhead) && photosPending < kPhotosAhead) {
                PendingRow r;
                readingDone = !readRow(r);
                if (readingDone)
                    break;
                readingDone = !r.failure.isEmpty();
                window.push_back(std::move(r));
            }
            if (window.empty())
                break;
            PendingRow r = std::move(window.front());
            window.pop_front();
            if (!r.failure.isEmpty()) {
                out.failedRow = r.number;
                out.error = r.failure;
                break;
            }
            QString error;
            QByteArray bitmap;
            if (r.newHolder) {
                --photosPending;
                photos.Take(r.number, bitmap, &error);
                if (!error.isEmpty() || !writer.InsertPerson(r.person, bitmap, &error, listed.contains(r.ic))) {
                    out.failedRow = r.number;
                    out.error = error;
                    break;
                }
                if (const auto entry = listed.find(r.ic); entry != listed.end())
                    entry->first = r.person.name;
            }
            StoreWriter::ReadingResult result = StoreWriter::ReadingResult::BadTime;
            bool repeat = false; // of an earlier row of this file
            const QString time = StoreWriter::ReadingTime(r.readTime);
            if (!time.isEmpty()) {
                if (r.newHolder) {
                    const bool none = !writer.HasReadings(r.ic, &error) && error.isEmpty();
                    if (none)
                        fresh.insert(r.ic);
                }
                if (!error.isEmpty()) {
                    result = StoreWriter::ReadingResult::Failed;
                } else if (fresh.contains(r.ic)) {
                    const QString key = r.ic + u'|' + time;
                    if (written.contains(key)) {
                        result = StoreWriter::ReadingResult::AlreadyStored;
                        repeat = true;
                    } else if (!judge(r.ic, time, &error)) {
                        result = StoreWriter::ReadingResult::Failed;
                    } else {
                        result = writer.StoreReading(r.ic, time, false, &error, nullptr, checks);
                    }
                    if (result == StoreWriter::ReadingResult::Stored) {
                        written.insert(key);
                        if (keepsChecks)
                            holders[r.ic].stored[ReadingSeconds(time)] = {writer.LastSerial(), checks};
                    }
                    if (written.size() > kWrittenKept) {
                        // Enough kept for a busy year; later rows ask the store as for anyone else.
                        fresh.clear();
                        written.clear();
                        for (HolderState& holder : holders)
                            holder.stored.clear();
                    }
                } else {
                    // Asked first, so that a reading stored before costs no judging.
                    qint64 existing = 0;
                    const bool stored = writer.ReadingStored(r.ic, time, &existing, &error);
                    if (!error.isEmpty())
                        result = StoreWriter::ReadingResult::Failed;
                    else if (stored)
                        result = StoreWriter::ReadingResult::AlreadyStored;
                    else if (!judge(r.ic, time, &error))
                        result = StoreWriter::ReadingResult::Failed;
                    else
                        result = writer.StoreReading(r.ic, time, false, &error, nullptr, checks);
                    repeat = result == StoreWriter::ReadingResult::AlreadyStored && existing > lastBefore;
                }
            }
            if (result == StoreWriter::ReadingResult::Stored && repeatedSerial >= 0) {
                if (!writer.AddChecks(repeatedSerial, CheckRepeat, &error)) {
                    result = StoreWriter::ReadingResult::Failed;
                } else {
                    if (repeatedSerial > lastBefore) // counted by this import without the repeat
                        ++out.checks.repeat;
                    auto& stored = holders[r.ic].stored;
                    if (const auto later = stored.find(repeatedSeconds); later != stored.end())
                        later->second.checks |= CheckRepeat;
                }
            }
            if (result == StoreWriter::ReadingResult::Failed) {
                out.failedRow = r.number;
                out.error = error;
                QString undoError;
                if (r.newHolder && !writer.RemovePerson(r.ic, &undoError))
                    storeBroken = true;
                break;
            }
            switch (result) {
            case StoreWriter::ReadingResult::Stored:
                ++count;
                out.checks.Add(checks);
                if (const auto entry = listed.constFind(r.ic); entry != listed.constEnd()) {
                    if (out.listed.size() < ImportOutcome::kListedKept)
                        out.listed.append({entry->first, r.ic, time, entry->second});
                    ++out.listedCount;
                }
                break;
            case StoreWriter::ReadingResult::AlreadyStored: ++(repeat ? out.repeatsInFile : out.alreadyStored); break;
            case StoreWriter::ReadingResult::BadTime: ++out.badTimes; ++count; break;
            case StoreWriter::ReadingResult::Failed: break;
            }
            if (r.newHolder) {
                if (bitmap.isNull())
                    ++out.withoutPhoto;
                else
                    lastBitmap = bitmap;
            }
            unsynced += bitmap.size() + 100;
            if (unsynced > kWritebackBytes && !storeFile.isEmpty()) {
                StartWriteback(storeFile);
                unsynced = 0;
            }
        }
    } catch (const std::exception& e) {
        // Out of memory somewhere in a row: what it wrote cannot be told apart, so none of the
        // import stays.
        out.error = QString::fromUtf8(e.what());
        storeBroken = true;
    }
    out.rowsInDevice = std::max(rows->RowsRead(), out.failedRow);

    // A write that failed may have ended the transaction itself (a full disk does): then nothing
    // of the import is in the store, and that write's error, not the commit's, is the cause.
    // The import's row of the audit trail goes in with its readings or not at all. Whether the
    // handheld is cleared is known only after the commit: that is a row of its own.
    if (!storeBroken && !TransactionEnded(m_store)) {
        const QString detail = QStringLiteral("%1：新增 %2 条，已有 %3 条")
                                   .arg(QFileInfo(path).fileName())
                                   .arg(count)
                                   .arg(out.alreadyStored + out.repeatsInFile);
        storeBroken = !WriteAudit(m_store, QString::fromUtf8(AuditAction::kImport), count, detail, &out.error);
    }
    const bool rolledBack = TransactionEnded(m_store);
    if (storeBroken || rolledBack || !m_store.commit()) {
        const QString error = storeBroken || (rolledBack && !out.error.isEmpty()) ? out.error : m_store.lastError().text();
        writerHeld.reset();
        EndFailedWrite(m_store, storeFile);
        const int rowsInDevice = out.rowsInDevice;
        out = ImportOutcome();
        out.rowsInDevice = rowsInDevice;
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

bool ReadingLogImporter::AllReadingsStored(const QString& path, QString* why, bool* unknown) const
{
    if (unknown)
        *unknown = false;
    auto fail = [&](const QString& reason, bool couldNotTell) {
        if (why)
            *why = reason;
        if (unknown)
            *unknown = couldNotTell;
        return false;
    };
    std::unique_ptr<TSQLiteDatabase> device;
    std::unique_ptr<TSQLiteCursor> rows;
    try {
        device = std::make_unique<TSQLiteDatabase>(QFile::encodeName(path).toStdString(), ReadAheadVfs());
        if (!device->HasTable("water_list"))
            return fail(QStringLiteral("no reading log"), true);
        // The two columns that make a reading; the photos are never read here.
        rows = std::make_unique<TSQLiteCursor>(*device, "SELECT ic, read_time FROM water_list");
    } catch (const std::exception& e) {
        return fail(QString::fromUtf8(e.what()), true);
    }
    QSqlQuery stored(m_store);
    stored.setForwardOnly(true);
    if (!stored.prepare(QStringLiteral("select a.serialno from idcardwater a,idcardinfo b "
                                       "where a.idcardno=:p1 and a.readtime=:p2 and b.idcardno=a.idcardno")))
        return fail(stored.lastError().text(), true);
    Row row(*rows);
    int rowNumber = 0;
    try {
        for (; !rows->AtEnd(); rows->MoveNext()) {
            ++rowNumber;
            const QString time = StoreWriter::ReadingTime(row.text("read_time"));
            if (time.isEmpty())
                return fail(QStringLiteral("row %1: reading time not understood").arg(rowNumber), false);
            stored.bindValue(0, row.text("ic"));
            stored.bindValue(1, time);
            if (!stored.exec())
                return fail(stored.lastError().text(), true);
            const bool found = stored.next();
            if (!found && stored.lastError().isValid())
                return fail(stored.lastError().text(), true);
            stored.finish();
            if (!found)
                return fail(QStringLiteral("row %1 is not in the store").arg(rowNumber), false);
        }
    } catch (const std::exception& e) {
        return fail(QString::fromUtf8(e.what()), true);
    }
    return true;
}

namespace {
// Nothing of the device file went into the store because the import failed.
bool failedBeforeAnything(const ImportOutcome& o)
{
    return o.readFailed || (o.failedRow > 0 && o.count == 0 && o.alreadyStored == 0 && o.repeatsInFile == 0);
}
} // namespace

QString ImportSummaryText(const ImportOutcome& o)
{
    // After a failure that took nothing, "no records on the device" would be untrue: the warning
    // alone says what happened.
    if (failedBeforeAnything(o))
        return QString();
    QString text = o.count > 0 || o.alreadyStored > 0 || o.repeatsInFile > 0 ? QStringLiteral("成功导入记录 %1 条").arg(o.count)
                                                                             : QStringLiteral("设备中没有数据记录");
    if (o.withoutPhoto > 0)
        text += QStringLiteral("\n其中 %1 位新登记人员的照片无法读取，已按无照片保存").arg(o.withoutPhoto);
    if (o.alreadyStored > 0)
        text += QStringLiteral("\n另有 %1 条记录此前已经导入，未重复保存").arg(o.alreadyStored);
    if (o.repeatsInFile > 0)
        text += QStringLiteral("\n另有 %1 条记录与本次导入的另一条是同一次刷卡（身份证号与刷卡时间相同），只保存一次").arg(o.repeatsInFile);
    return text;
}

QString ImportIncompleteText(const ImportOutcome& o)
{
    if (o.validation != ImportOutcome::Validation::Ok || o.Complete())
        return QString();
    if (o.storeBusy)
        return QStringLiteral("导入失败，未导入任何记录：记录库正被其他程序使用（例如另一个查询程序或备份程序）。"
                              "手持机内的记录保持不变，请关闭该程序后重新联接设备。\n原因：%1")
            .arg(o.error);
    if (o.readFailed)
        return QStringLiteral("导入失败，未导入任何记录：%1").arg(o.error);
    if (failedBeforeAnything(o))
        return QStringLiteral("导入失败，未导入任何记录：第 %1 条记录无法导入：%2").arg(o.failedRow).arg(o.error);
    QStringList lines;
    if (o.badTimes > 0)
        lines << QStringLiteral("有 %1 条记录的刷卡时间无法识别，其刷卡记录未能保存").arg(o.badTimes);
    if (o.failedRow > 0)
        lines << QStringLiteral("第 %1 条记录导入失败，其后的记录未导入：%2").arg(o.failedRow).arg(o.error);
    return QStringLiteral("导入未完成：\n") + lines.join(u'\n');
}
