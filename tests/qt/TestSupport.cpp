#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QBuffer>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QUuid>

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

namespace {

// Runs fn on a private connection to path.
template <typename Fn> bool withDb(const QString& path, QString* error, Fn fn)
{
    const QString name = QUuid::createUuid().toString();
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        if (!db.open()) {
            if (error)
                *error = db.lastError().text();
        } else {
            ok = fn(db);
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

} // namespace

bool CreateDeviceDb(const QString& path, QString* error, const QString& icType)
{
    QFile script(QStringLiteral(IDCARD_SOURCE_DIR "/data/water_list.sql"));
    if (!script.open(QIODevice::ReadOnly)) {
        if (error)
            *error = script.errorString();
        return false;
    }
    QString sql = QString::fromUtf8(script.readAll());
    QStringList lines;
    for (const QString& line : sql.split(u'\n'))
        if (!line.trimmed().startsWith(QStringLiteral("--")))
            lines << line;
    sql = lines.join(u'\n');
    sql.replace(QRegularExpression(QStringLiteral("\\bic\\s+TEXT")), QStringLiteral("ic ") + icType);
    QFile::remove(path);
    return withDb(path, error, [&](QSqlDatabase& db) {
        for (const QString& statement : sql.split(u';', Qt::SkipEmptyParts)) {
            if (statement.trimmed().isEmpty())
                continue;
            QSqlQuery q(db);
            if (!q.exec(statement)) {
                if (error)
                    *error = q.lastError().text();
                return false;
            }
        }
        return true;
    });
}

bool AddDeviceRows(const QString& path, const QList<DeviceRow>& rows, QString* error)
{
    return withDb(path, error, [&](QSqlDatabase& db) {
        db.transaction();
        QSqlQuery q(db);
        q.prepare(QStringLiteral("insert into water_list(ic,name,sex,nation,birth,addr,issue,valid_begin,valid_End,photo,read_time) "
                                 "values(?,?,?,?,?,?,?,?,?,?,?)"));
        for (const DeviceRow& r : rows) {
            for (const QVariant& v : {QVariant(r.ic), QVariant(r.name), QVariant(r.sex), QVariant(r.nation), QVariant(r.birth),
                                      QVariant(r.addr), QVariant(r.issue), QVariant(r.validBegin), QVariant(r.validEnd),
                                      r.photo.isNull() ? QVariant(QMetaType(QMetaType::QByteArray)) : r.photo, QVariant(r.readTime)})
                q.addBindValue(v);
            if (!q.exec()) {
                if (error)
                    *error = q.lastError().text();
                db.rollback();
                return false;
            }
        }
        return db.commit();
    });
}

QByteArray SyntheticPng(int width, int height, QRgb colour)
{
    QImage image(width, height, QImage::Format_RGB888);
    image.fill(colour);
    for (int y = 0; y < height; y += 7)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x % 256, y % 256, 128));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

bool RunTool(const QString& program, const QStringList& args, QString* output, QString* error)
{
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        *error = program + QStringLiteral(": ") + process.errorString() + QLatin1Char(' ')
            + QString::fromUtf8(process.readAllStandardError());
        return false;
    }
    *output = QString::fromUtf8(process.readAllStandardOutput());
    return true;
}

void ScriptedView::RefreshList()
{
    ++refreshes;
    listed = store.isOpen() ? CountRows(store, QStringLiteral("idcardwater")) : -1;
}
