#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

TempProgramFolder::TempProgramFolder()
{
    if (!m_dir.isValid())
        return;
    QDir root(m_dir.path());
    m_ok = root.mkpath(QStringLiteral("database")) && root.mkpath(QStringLiteral("input")) && root.mkpath(QStringLiteral("output"))
        && QFile::copy(QStringLiteral(IDCARD_PROGRAM_DIR "/database/KeepTrackLog.db"), storePath())
        && QFile::copy(QStringLiteral(IDCARD_PROGRAM_DIR "/input/empty.db"), path() + QStringLiteral("input/empty.db"));
    QFile::setPermissions(storePath(), QFile::ReadOwner | QFile::WriteOwner);
}

bool AddHolder(QSqlDatabase db, const SceneHolder& h, QString* error)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("insert into idcardinfo(idcardno,name,sex,nation_no,born,address,grantdept,UsefulLifeBegin,"
                             "UsefulLifeEnd,blackflag,photo) values(?,?,?,?,?,?,?,?,?,?,?)"));
    q.addBindValue(h.idcardno);
    q.addBindValue(h.name);
    q.addBindValue(QStringLiteral("男"));
    q.addBindValue(h.nation);
    q.addBindValue(QStringLiteral("19800101"));
    q.addBindValue(QStringLiteral("测试省测试市测试路%1号").arg(h.idcardno.right(3)));
    q.addBindValue(QStringLiteral("测试市公安局"));
    q.addBindValue(QStringLiteral("2010.01.01"));
    q.addBindValue(QStringLiteral("2030.01.01"));
    q.addBindValue(QStringLiteral("否"));
    q.addBindValue(h.photo.isNull() ? QVariant(QMetaType(QMetaType::QByteArray)) : QVariant(h.photo));
    const bool ok = q.exec();
    if (!ok && error)
        *error = q.lastError().text();
    return ok;
}

bool AddReading(QSqlDatabase db, const QString& idcardno, const QString& storeTime, QString* error)
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("insert into idcardwater(idcardno,readtime) values(?,?)"));
    q.addBindValue(idcardno);
    q.addBindValue(storeTime);
    const bool ok = q.exec();
    if (!ok && error)
        *error = q.lastError().text();
    return ok;
}

int CountRows(QSqlDatabase db, const QString& table)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("select count(*) from ") + table) || !q.next())
        return -1;
    return q.value(0).toInt();
}

QString SyntheticId(int region, const QDate& birth, int sequence)
{
    QString body = QStringLiteral("%1%2%3").arg(region, 6, 10, QLatin1Char('0')).arg(birth.toString(QStringLiteral("yyyyMMdd"))).arg(sequence, 3, 10, QLatin1Char('0'));
    static const int weights[17] = {7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2};
    int sum = 0;
    for (int i = 0; i < 17; ++i)
        sum += (body[i].unicode() - u'0') * weights[i];
    return body + QLatin1Char("10X98765432"[sum % 11]);
}
