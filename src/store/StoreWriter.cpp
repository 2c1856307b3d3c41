#include "StoreWriter.h"

#include "CodeTable.h"
#include "DateText.h"

#include <QSqlDriver>
#include <QSqlRecord>
#include <QVariant>

#include <sqlite3.h>

namespace {

const char* const kPersonExistsSql = "select name from idcardinfo where idcardno=:p1";
const char* const kSave1Sql =
    "insert into idcardinfo(idcardno,name,sex,nation_no,born,address,grantdept,usefulLifeBegin,usefulLifeEnd,blackflag,Photo) "
    " values(:p1,:p2,:p3,:p4,:p5,:p6,:p7,:p8,:p9,:p10,:p11)";
// A reading stored already (by another station meanwhile, on a shared store) is skipped, not an
// error: the store keeps each ID number and time once.
const char* const kSave2Sql = "insert into idcardwater(idcardno,readtime) values(:p1,:p2) on conflict do nothing";
const char* const kSave2ChecksSql = "insert into idcardwater(idcardno,readtime,checkflags) values(:p1,:p2,:p3) on conflict do nothing";
const char* const kSave2StationSql = "insert into idcardwater(idcardno,readtime,station) values(:p1,:p2,:p3) on conflict do nothing";
const char* const kSave2ChecksStationSql =
    "insert into idcardwater(idcardno,readtime,checkflags,station) values(:p1,:p2,:p3,:p4) on conflict do nothing";
const char* const kHolderDatesSql = "select born,UsefulLifeBegin,UsefulLifeEnd from idcardinfo where idcardno=:p1";
const char* const kPreviousSql = "select max(readtime) from idcardwater where idcardno=:p1 and readtime<:p2";
const char* const kNextSql =
    "select readtime,serialno,checkflags from idcardwater where idcardno=:p1 and readtime>:p2 order by readtime limit 1";
const char* const kAddChecksSql = "update idcardwater set checkflags=checkflags|:p1 where serialno=:p2";
const char* const kReadingExistsSql = "select serialno from idcardwater where idcardno=:p1 and readtime=:p2";
const char* const kRemoveSql = "delete from idcardinfo where idcardno=:p1";
const char* const kAnyReadingSql = "select serialno from idcardwater where idcardno=:p1";
const char* const kListedSql =
    "select w.reason,b.name from watchlist w left join idcardinfo b on b.idcardno=w.idcardno where w.idcardno=:p1";
const char* const kFlagListedSql = "update idcardinfo set blackflag='是' where idcardno=:p1 and coalesce(blackflag,'')<>'是'";

} // namespace

StoreWriter::StoreWriter(QSqlDatabase db, QString station)
    : m_db(db), m_exists(kPersonExistsSql), m_save1(kSave1Sql), m_save2(kSave2Sql), m_readingExists(kReadingExistsSql)
    , m_remove(kRemoveSql), m_anyReading(kAnyReadingSql), m_listed(kListedSql), m_flag(kFlagListedSql)
    , m_holderDates(kHolderDatesSql), m_previous(kPreviousSql), m_next(kNextSql), m_addChecks(kAddChecksSql)
{
    const QSqlRecord readings = db.record(QStringLiteral("idcardwater"));
    m_keepsChecks = readings.contains(QStringLiteral("checkflags"));
    m_keepsStation = readings.contains(QStringLiteral("station"));
    // Never NULL: the column is NOT NULL, empty when the station is not known.
    m_station = station.isNull() ? QStringLiteral("") : station.left(64);
    m_save2.sql = m_keepsChecks ? (m_keepsStation ? kSave2ChecksStationSql : kSave2ChecksSql) : (m_keepsStation ? kSave2StationSql : kSave2Sql);
}

StoreWriter::~StoreWriter() { follow(); finalize(); }

void StoreWriter::follow()
{
    const QVariant handle = m_db.isOpen() ? m_db.driver()->handle() : QVariant();
    sqlite3* connection = handle.isValid() && qstrcmp(handle.typeName(), "sqlite3*") == 0 ? *static_cast<sqlite3* const*>(handle.data())
                                                                                          : nullptr;
    if (connection == m_connection)
        return;
    // The store was closed since the last statement, and maybe opened again. Its connection could
    // not close while statements of this writer were open on it: it is told to close, and does
    // so with the last of them. (Where it is gone already, only a refusal comes back.)
    bool prepared = false;
    for (const Statement* st : {&m_exists, &m_save1, &m_save2, &m_readingExists, &m_remove, &m_anyReading, &m_listed, &m_flag, &m_holderDates,
                          &m_previous, &m_next, &m_addChecks})
        prepared = prepared || st->handle;
    if (m_connection && prepared)
        sqlite3_close_v2(m_connection);
    finalize();
    m_connection = connection;
}

void StoreWriter::finalize()
{
    for (Statement* s : {&m_exists, &m_save1, &m_save2, &m_readingExists, &m_remove, &m_anyReading, &m_listed, &m_flag, &m_holderDates,
                          &m_previous, &m_next, &m_addChecks}) {
        sqlite3_finalize(s->handle);
        s->handle = nullptr;
    }
}

// Statements are prepared once per writer; the text and parameter order stay as written above.
int StoreWriter::run(Statement& s, std::initializer_list<Value> values, QString* error)
{
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        if (s.handle)
            release(s);
        return 0;
    };
    // Statements of a closed connection would go on reading it.
    follow();
    if (!m_connection)
        return fail(QStringLiteral("记录库未打开"));
    if (!s.handle && sqlite3_prepare_v3(m_connection, s.sql, -1, SQLITE_PREPARE_PERSISTENT, &s.handle, nullptr) != SQLITE_OK)
        return fail(QString::fromUtf8(sqlite3_errmsg(m_connection)));
    sqlite3_reset(s.handle);
    int i = 0;
    for (const Value& v : values) {
        ++i;
        int rc = SQLITE_OK;
        // Null texts and bytes go in as NULL, as QSqlQuery binds them.
        // The values outlive the step and are unbound right after it: SQLite need not copy them.
        if (v.text && !v.text->isNull())
            rc = sqlite3_bind_text16(s.handle, i, v.text->utf16(), int(v.text->size() * 2), SQLITE_STATIC);
        else if (v.blob && !v.blob->isNull())
            rc = sqlite3_bind_blob(s.handle, i, v.blob->constData(), int(v.blob->size()), SQLITE_STATIC);
        else if (v.text || v.blob)
            rc = sqlite3_bind_null(s.handle, i);
        else
            rc = sqlite3_bind_int64(s.handle, i, v.number);
        if (rc != SQLITE_OK)
            return fail(QString::fromUtf8(sqlite3_errmsg(m_connection)));
    }
    const int rc = sqlite3_step(s.handle);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE)
        return fail(QString::fromUtf8(sqlite3_errmsg(m_connection)));
    return rc;
}

void StoreWriter::release(Statement& s)
{
    sqlite3_reset(s.handle);
    sqlite3_clear_bindings(s.handle);
}

bool StoreWriter::found(Statement& s, std::initializer_list<Value> values, QString* error, qint64* first)
{
    if (error)
        error->clear();
    const int rc = run(s, values, error);
    const bool row = rc == SQLITE_ROW;
    if (row && first)
        *first = sqlite3_column_int64(s.handle, 0);
    if (rc)
        release(s);
    return row;
}

QString StoreWriter::CutBirth(const QString& birthText)
{
    return birthText.mid(0, 4) + birthText.mid(5, 2) + birthText.mid(8, 2);
}

bool StoreWriter::PersonExists(const QString& idcardno, QString* error)
{
    return found(m_exists, {idcardno}, error);
}

QString StoreWriter::ReadingTime(const QString& text)
{
    // "YYYY-MM-DD HH:MM:SS" with a real date and time of day.
    static const int digits[] = {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18};
    bool canonical = text.size() == 19 && text[4] == u'-' && text[7] == u'-' && text[10] == u' ' && text[13] == u':'
        && text[16] == u':';
    int n[14] = {};
    for (int i = 0; canonical && i < 14; ++i) {
        const char16_t c = text[digits[i]].unicode();
        canonical = c >= u'0' && c <= u'9';
        n[i] = c - u'0';
    }
    if (canonical) {
        const QDate date(n[0] * 1000 + n[1] * 100 + n[2] * 10 + n[3], n[4] * 10 + n[5], n[6] * 10 + n[7]);
        const QTime time(n[8] * 10 + n[9], n[10] * 10 + n[11], n[12] * 10 + n[13]);
        if (date.isValid() && time.isValid())
            return text;
    }
    return StoreTimeParam(text);
}

StoreWriter::ReadingResult StoreWriter::SaveReadingChecked(const QString& idcardno, const QString& readTimeText, QString* error)
{
    const QString time = ReadingTime(readTimeText);
    if (time.isEmpty()) {
        if (error)
            *error = QStringLiteral("刷卡时间无法识别");
        return ReadingResult::BadTime;
    }
    return StoreReading(idcardno, time, true, error);
}

StoreWriter::ReadingResult StoreWriter::StoreReading(const QString& idcardno, const QString& time, bool checkFirst, QString* error,
                                                     qint64* existing, int checks)
{
    if (checkFirst) {
        QString lookupError;
        const bool already = ReadingStored(idcardno, time, existing, &lookupError);
        if (!lookupError.isEmpty()) {
            if (error)
                *error = lookupError;
            return ReadingResult::Failed;
        }
        if (already)
            return ReadingResult::AlreadyStored;
    }
    const bool ran = m_keepsChecks ? (m_keepsStation ? run(m_save2, {idcardno, time, checks, m_station}, error)
                                                     : run(m_save2, {idcardno, time, checks}, error))
                                   : (m_keepsStation ? run(m_save2, {idcardno, time, m_station}, error) : run(m_save2, {idcardno, time}, error));
    if (!ran)
        return ReadingResult::Failed;
    release(m_save2);
    return sqlite3_changes(m_connection) > 0 ? ReadingResult::Stored : ReadingResult::AlreadyStored;
}

bool StoreWriter::ReadingStored(const QString& idcardno, const QString& time, qint64* existing, QString* error)
{
    return found(m_readingExists, {idcardno, time}, error, existing);
}

qint64 StoreWriter::LastSerial() const { return m_connection ? sqlite3_last_insert_rowid(m_connection) : -1; }

bool StoreWriter::HasReadings(const QString& idcardno, QString* error)
{
    return found(m_anyReading, {idcardno}, error);
}

bool StoreWriter::SaveReading(const QString& idcardno, const QString& readTimeText)
{
    QString ignored;
    return SaveReadingChecked(idcardno, readTimeText, &ignored) == ReadingResult::Stored;
}

bool StoreWriter::InsertPerson(const PersonRecord& p, const QByteArray& photo, QString* error, bool listed)
{
    static const QString yes = QStringLiteral("是"), no = QStringLiteral("否");
    if (!run(m_save1,
             {p.idcardno, p.name, p.sex, NationNameToCode(p.nationName), CutBirth(p.birthText), p.address, p.issuer, p.validBegin,
              p.validEnd, listed ? yes : no, photo},
             error))
        return false;
    release(m_save1);
    return true;
}

bool StoreWriter::SavePerson(const PersonRecord& person, const QString& readTimeText, const QByteArray& photo)
{
    QString ignored;
    if (!InsertPerson(person, photo, &ignored))
        return false;
    SaveReading(person.idcardno, readTimeText);
    return true;
}

bool StoreWriter::RemovePerson(const QString& idcardno, QString* error)
{
    if (!run(m_remove, {idcardno}, error))
        return false;
    release(m_remove);
    return true;
}

namespace {
QString columnText(sqlite3_stmt* s, int column)
{
    const void* text = sqlite3_column_text16(s, column);
    return text ? QString::fromUtf16(static_cast<const char16_t*>(text), sqlite3_column_bytes16(s, column) / 2) : QString();
}
} // namespace

bool StoreWriter::Listed(const QString& idcardno, QString* reason, QString* name, QString* error)
{
    if (error)
        error->clear();
    const int rc = run(m_listed, {idcardno}, error);
    if (rc == SQLITE_ROW) {
        *reason = columnText(m_listed.handle, 0);
        *name = columnText(m_listed.handle, 1);
    }
    if (rc)
        release(m_listed);
    return rc == SQLITE_ROW;
}

bool StoreWriter::FlagListed(const QString& idcardno, QString* error)
{
    if (!run(m_flag, {idcardno}, error))
        return false;
    release(m_flag);
    return true;
}

bool StoreWriter::HolderDates(const QString& idcardno, QString* born, QString* begin, QString* end, QString* error)
{
    if (error)
        error->clear();
    const int rc = run(m_holderDates, {idcardno}, error);
    if (rc == SQLITE_ROW) {
        *born = columnText(m_holderDates.handle, 0);
        *begin = columnText(m_holderDates.handle, 1);
        *end = columnText(m_holderDates.handle, 2);
    }
    if (rc)
        release(m_holderDates);
    return rc == SQLITE_ROW;
}

bool StoreWriter::Neighbours(const QString& idcardno, const QString& time, QString* previous, QString* next, qint64* nextSerial,
                             int* nextChecks, QString* error)
{
    previous->clear();
    next->clear();
    int rc = run(m_previous, {idcardno, time}, error);
    if (!rc)
        return false;
    if (rc == SQLITE_ROW)
        *previous = columnText(m_previous.handle, 0);
    release(m_previous);
    rc = run(m_next, {idcardno, time}, error);
    if (!rc)
        return false;
    if (rc == SQLITE_ROW) {
        *next = columnText(m_next.handle, 0);
        *nextSerial = sqlite3_column_int64(m_next.handle, 1);
        *nextChecks = sqlite3_column_int(m_next.handle, 2);
    }
    release(m_next);
    return true;
}

bool StoreWriter::AddChecks(qint64 serialno, int checks, QString* error)
{
    if (!run(m_addChecks, {checks, serialno}, error))
        return false;
    release(m_addChecks);
    return true;
}
