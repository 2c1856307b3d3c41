#include "StoreWriter.h"

#include "CodeTable.h"
#include "DateText.h"

#include <QSqlError>
#include <QVariant>

namespace {

const char* const kPersonExistsSql = "select name from idcardinfo where idcardno=:p1";
const char* const kSave1Sql =
    "insert into idcardinfo(idcardno,name,sex,nation_no,born,address,grantdept,usefulLifeBegin,usefulLifeEnd,blackflag,Photo) "
    " values(:p1,:p2,:p3,:p4,:p5,:p6,:p7,:p8,:p9,:p10,:p11)";
const char* const kSave2Sql = "insert into idcardwater(idcardno,readtime) values(:p1,:p2)";
const char* const kReadingExistsSql = "select serialno from idcardwater where idcardno=:p1 and readtime=:p2";
const char* const kRemoveSql = "delete from idcardinfo where idcardno=:p1";
const char* const kAnyReadingSql = "select serialno from idcardwater where idcardno=:p1";

} // namespace

StoreWriter::StoreWriter(QSqlDatabase db)
    : m_exists(db, kPersonExistsSql), m_save1(db, kSave1Sql), m_save2(db, kSave2Sql), m_readingExists(db, kReadingExistsSql)
    , m_remove(db, kRemoveSql), m_anyReading(db, kAnyReadingSql)
{
}

// Statements are prepared once per writer; the text and parameter order stay as written above.
bool StoreWriter::run(Statement& s, const QVariantList& values, QString* error)
{
    if (!s.ready)
        s.ready = s.query.prepare(QString::fromUtf8(s.sql));
    if (s.ready) {
        for (int i = 0; i < values.size(); ++i)
            s.query.bindValue(i, values[i]);
        if (s.query.exec())
            return true;
    }
    if (error)
        *error = s.query.lastError().text();
    return false;
}

QString StoreWriter::CutBirth(const QString& birthText)
{
    return birthText.mid(0, 4) + birthText.mid(5, 2) + birthText.mid(8, 2);
}

bool StoreWriter::PersonExists(const QString& idcardno, QString* error)
{
    if (error)
        error->clear();
    if (!run(m_exists, {idcardno}, error))
        return false;
    const bool found = m_exists.query.next();
    m_exists.query.finish();
    return found;
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
                                                     qint64* existing)
{
    if (checkFirst) {
        if (!run(m_readingExists, {idcardno, time}, error))
            return ReadingResult::Failed;
        const bool already = m_readingExists.query.next();
        if (already && existing)
            *existing = m_readingExists.query.value(0).toLongLong();
        m_readingExists.query.finish();
        if (already)
            return ReadingResult::AlreadyStored;
    }
    if (!run(m_save2, {idcardno, time}, error))
        return ReadingResult::Failed;
    m_save2.query.finish();
    return ReadingResult::Stored;
}

bool StoreWriter::HasReadings(const QString& idcardno, QString* error)
{
    if (error)
        error->clear();
    if (!run(m_anyReading, {idcardno}, error))
        return false;
    const bool found = m_anyReading.query.next();
    m_anyReading.query.finish();
    return found;
}

bool StoreWriter::SaveReading(const QString& idcardno, const QString& readTimeText)
{
    QString ignored;
    return SaveReadingChecked(idcardno, readTimeText, &ignored) == ReadingResult::Stored;
}

bool StoreWriter::InsertPerson(const PersonRecord& p, const QByteArray& photo, QString* error)
{
    const QVariantList values = {p.idcardno, p.name, p.sex, NationNameToCode(p.nationName), CutBirth(p.birthText), p.address,
                                 p.issuer, p.validBegin, p.validEnd, QStringLiteral("否"),
                                 photo.isNull() ? QVariant(QMetaType(QMetaType::QByteArray)) : QVariant(photo)};
    if (!run(m_save1, values, error))
        return false;
    m_save1.query.finish();
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
    m_remove.query.finish();
    return true;
}
