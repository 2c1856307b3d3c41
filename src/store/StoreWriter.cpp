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

} // namespace

StoreWriter::StoreWriter(QSqlDatabase db)
    : m_db(db), m_exists(db), m_save1(db), m_save2(db), m_readingExists(db)
{
}

// Statements are prepared once per writer; the text and parameter order stay as written above.
QSqlQuery& StoreWriter::prepared(QSqlQuery& query, bool& ready, const char* sql, QString* error)
{
    if (!ready) {
        ready = query.prepare(QString::fromUtf8(sql));
        if (!ready && error)
            *error = query.lastError().text();
    }
    return query;
}

QString StoreWriter::CutBirth(const QString& birthText)
{
    return birthText.mid(0, 4) + birthText.mid(5, 2) + birthText.mid(8, 2);
}

bool StoreWriter::PersonExists(const QString& idcardno, QString* error)
{
    QString failure;
    QSqlQuery& q = prepared(m_exists, m_existsReady, kPersonExistsSql, &failure);
    if (!m_existsReady) {
        if (error)
            *error = failure;
        return false;
    }
    q.bindValue(0, idcardno);
    if (!q.exec()) {
        if (error)
            *error = q.lastError().text();
        return false;
    }
    const bool found = q.next();
    q.finish();
    if (error)
        error->clear();
    return found;
}

StoreWriter::ReadingResult StoreWriter::SaveReadingChecked(const QString& idcardno, const QString& readTimeText, QString* error)
{
    const QString time = StoreTimeParam(readTimeText);
    if (time.isEmpty()) {
        if (error)
            *error = QStringLiteral("刷卡时间无法识别");
        return ReadingResult::BadTime;
    }
    QSqlQuery& seen = prepared(m_readingExists, m_readingExistsReady, kReadingExistsSql, error);
    if (!m_readingExistsReady)
        return ReadingResult::Failed;
    seen.bindValue(0, idcardno);
    seen.bindValue(1, time);
    if (!seen.exec()) {
        if (error)
            *error = seen.lastError().text();
        return ReadingResult::Failed;
    }
    const bool already = seen.next();
    seen.finish();
    if (already)
        return ReadingResult::AlreadyStored;

    QSqlQuery& q = prepared(m_save2, m_save2Ready, kSave2Sql, error);
    if (!m_save2Ready)
        return ReadingResult::Failed;
    q.bindValue(0, idcardno);
    q.bindValue(1, time);
    if (!q.exec()) {
        if (error)
            *error = q.lastError().text();
        return ReadingResult::Failed;
    }
    q.finish();
    return ReadingResult::Stored;
}

bool StoreWriter::SaveReading(const QString& idcardno, const QString& readTimeText)
{
    QString ignored;
    return SaveReadingChecked(idcardno, readTimeText, &ignored) == ReadingResult::Stored;
}

bool StoreWriter::InsertPerson(const PersonRecord& p, const QByteArray& photo, QString* error)
{
    QSqlQuery& q = prepared(m_save1, m_save1Ready, kSave1Sql, error);
    if (!m_save1Ready)
        return false;
    q.bindValue(0, p.idcardno);
    q.bindValue(1, p.name);
    q.bindValue(2, p.sex);
    q.bindValue(3, NationNameToCode(p.nationName));
    q.bindValue(4, CutBirth(p.birthText));
    q.bindValue(5, p.address);
    q.bindValue(6, p.issuer);
    q.bindValue(7, p.validBegin);
    q.bindValue(8, p.validEnd);
    q.bindValue(9, QStringLiteral("否"));
    q.bindValue(10, photo.isNull() ? QVariant(QMetaType(QMetaType::QByteArray)) : QVariant(photo));
    if (!q.exec()) {
        if (error)
            *error = q.lastError().text();
        return false;
    }
    q.finish();
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
