#include "RecordStore.h"

#include "PgStore.h"
#include "Settings.h"
#include "StoreUpgrade.h"

#include <libpq-fe.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlDriver>
#include <QUrl>

#include <sqlite3.h>

#include <atomic>

TDM_Main::TDM_Main() = default;
TDM_Main::~TDM_Main() { Close(); }

QString TDM_Main::StorePath(const QString& programFolder)
{
    return programFolder + QStringLiteral("database/KeepTrackLog.db");
}

QString ProgramFolder()
{
    QString folder = QCoreApplication::applicationDirPath();
    if (!folder.endsWith(u'/'))
        folder += u'/';
    return folder;
}

bool TDM_Main::Open(const QString& programFolder, QString* error)
{
    const QString connection = Settings(programFolder).StoreConnection();
    if (!connection.isEmpty())
        return OpenPg(connection, error);
    return OpenFile(StorePath(programFolder), error);
}

bool TDM_Main::OpenPg(const QString& connection, QString* error)
{
    Close();
    m_openError.clear();
    QString failed;
    if (!error)
        error = &failed;
    const bool opened = openPg(connection, error);
    if (!opened) {
        m_openError = *error;
        Close();
    }
    return opened;
}

namespace {

std::atomic<int> connectionCounter{0};

// The first store keeps the name con1; further ones (tests) get their own.
QString nextConnectionName()
{
    const int n = connectionCounter++;
    return n == 0 ? QString::fromLatin1(TDM_Main::kConnectionName) : QStringLiteral("con1_%1").arg(n);
}

pg_conn* pgHandle(const QSqlDatabase& db)
{
    const QVariant handle = db.isOpen() ? db.driver()->handle() : QVariant();
    // The driver names the type by its struct.
    if (!handle.isValid() || (qstrcmp(handle.typeName(), "PGconn*") != 0 && qstrcmp(handle.typeName(), "pg_conn*") != 0))
        return nullptr;
    return *static_cast<PGconn* const*>(handle.data());
}

// false with libpq's words when the connection could not be made.
bool openQtPg(QSqlDatabase db, QString* reason)
{
    if (!db.open()) {
        *reason = db.lastError().databaseText().trimmed();
        return false;
    }
    if (pg_conn* conn = pgHandle(db)) {
        PQsetNoticeProcessor(conn, [](void*, const char*) {}, nullptr);
        PQclear(PQexec(conn, "set lock_timeout = 5000"));
    }
    return true;
}

} // namespace

bool TDM_Main::openPg(const QString& connection, QString* error)
{
    m_pg = std::make_unique<PgStore>();
    if (!m_pg->Open(connection, LatestStoreVersion(ProgramUpgradeSteps()), error))
        return false;
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
        *error = QStringLiteral("缺少 Qt 的 PostgreSQL 驱动（Debian 软件包 libqt6sql6-psql），无法读取记录库");
        return false;
    }
    m_connectionName = nextConnectionName();
    m_listingName = m_connectionName + QStringLiteral("_list");
    const QString options = PgStore::KeywordConnectionText(connection)
                            + QStringLiteral(" connect_timeout=10 fallback_application_name=idcard");
    for (const QString& name : {m_connectionName, m_listingName}) {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), name);
        db.setConnectOptions(options);
        QString reason;
        if (!openQtPg(db, &reason)) {
            *error = QStringLiteral("无法连接记录库服务器：%1").arg(reason);
            return false;
        }
    }
    return true;
}

bool TDM_Main::OpenFile(const QString& path, QString* error)
{
    Close();
    m_openError.clear();
    // The reason is kept for later commands that find the store closed.
    QString failed;
    if (!error)
        error = &failed;
    const bool opened = openFile(path, error);
    if (!opened)
        m_openError = *error;
    return opened;
}

bool TDM_Main::openFile(const QString& path, QString* error)
{
    const QFileInfo info(path);
    if (!info.isFile()) {
        if (error)
            *error = QStringLiteral("无法打开数据库文件 \"%1\"：文件不存在").arg(QDir::toNativeSeparators(path));
        return false;
    }
    m_connectionName = nextConnectionName();
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    // mode=rw: a missing or vanished file is an error, never silently replaced by an empty store.
    db.setDatabaseName(QUrl::fromLocalFile(info.absoluteFilePath()).toString(QUrl::FullyEncoded) + QStringLiteral("?mode=rw"));
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=5000"));
    QString failure;
    if (!db.open()) {
        failure = db.lastError().text();
    } else {
        QSqlQuery check(db); // gone before Close() below
        // A big deletion or import touches thousands of index pages; with the default 2 MB cache
        // they spill to the file mid-transaction, which costs many times the work itself.
        check.exec(QStringLiteral("PRAGMA cache_size=-65536"));
        // Deleted readings and photos are overwritten with zeros, whatever the SQLite build's
        // default: personal data must not stay readable in the file's free pages.
        if (!check.exec(QStringLiteral("PRAGMA secure_delete=ON")) || !check.next() || check.value(0).toInt() != 1)
            failure = QStringLiteral("无法为记录库开启安全删除：%1").arg(StoreErrorText(check.lastError()));
        else if (!check.exec(QStringLiteral("select count(*) from sqlite_master where type='table' and lower(name) in ('idcardinfo','idcardwater','nation_mes')"))
            || !check.next()) {
            failure = check.lastError().text();
        } else if (check.value(0).toInt() != 3) {
            failure = QStringLiteral("数据库 \"%1\" 缺少数据表").arg(QDir::toNativeSeparators(path));
        }
    }
    db = QSqlDatabase();
    if (!failure.isEmpty()) {
        if (error)
            *error = failure;
        Close();
        return false;
    }
    return true;
}

void TDM_Main::Close()
{
    for (QString* name : {&m_connectionName, &m_listingName}) {
        if (name->isEmpty())
            continue;
        {
            QSqlDatabase db = QSqlDatabase::database(*name, false);
            if (db.isOpen())
                db.close();
        }
        QSqlDatabase::removeDatabase(*name);
        name->clear();
    }
    m_pg.reset();
}

bool TDM_Main::IsOpen() const
{
    return !m_connectionName.isEmpty() && QSqlDatabase::database(m_connectionName, false).isOpen();
}

QSqlDatabase TDM_Main::pgConnection(const QString& name) const
{
    QSqlDatabase db = QSqlDatabase::database(name, false);
    // Lost while idle, or not made again last time: made again once per command. Should that
    // fail, the connection stays closed and LastOpenError says why.
    if (!db.isOpen() || PgStore::ConnectionLost(pgHandle(db))) {
        db.close();
        QString reason;
        if (openQtPg(db, &reason))
            m_openError.clear();
        else
            m_openError = QStringLiteral("与记录库服务器的连接已断开，重新连接未成功：%1").arg(reason);
    }
    return db;
}

QSqlDatabase TDM_Main::con1() const
{
    if (m_connectionName.isEmpty())
        return QSqlDatabase();
    if (m_pg)
        return pgConnection(m_connectionName);
    return QSqlDatabase::database(m_connectionName, false);
}

QSqlDatabase TDM_Main::Listing() const
{
    if (m_listingName.isEmpty())
        return con1();
    return pgConnection(m_listingName);
}

bool IsPgStore(const QSqlDatabase& db) { return db.driverName() == QLatin1String("QPSQL"); }

QString StoredTimeText(const QVariant& value)
{
    if (value.typeId() == QMetaType::QDateTime)
        return value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return value.toString();
}

QSqlError BeginExclusive(QSqlDatabase db)
{
    if (!db.isOpen())
        return QSqlError(QStringLiteral("数据库未打开"), QString(), QSqlError::ConnectionError);
    QSqlQuery begin(db);
    if (begin.exec(QStringLiteral("BEGIN EXCLUSIVE")))
        return QSqlError();
    return begin.lastError();
}

QString StoreErrorText(const QSqlError& error)
{
    const QString store = error.databaseText().trimmed();
    const QString driver = error.driverText().trimmed();
    // The driver's words for a failed step, in English and as translated for the operator.
    const bool says = !driver.isEmpty() && driver != QLatin1String("Unable to fetch row")
        && driver != QCoreApplication::translate("QSQLiteResult", "Unable to fetch row");
    if (store.isEmpty())
        return driver;
    return says ? store + u' ' + driver : store;
}

bool IsStoreBusy(const QSqlError& error)
{
    // SQLITE_BUSY and SQLITE_LOCKED, also in their extended forms.
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok && ((code & 0xff) == SQLITE_BUSY || (code & 0xff) == SQLITE_LOCKED);
}

bool TransactionEnded(QSqlDatabase db)
{
    const QVariant handle = db.isOpen() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return false;
    sqlite3* connection = *static_cast<sqlite3* const*>(handle.data());
    return connection && sqlite3_get_autocommit(connection);
}

bool EndFailedWrite(QSqlDatabase db, const QString& storeFile, QString* error)
{
    if (!db.isOpen())
        return true;
    if (!TransactionEnded(db))
        db.rollback();
    const QString journal = storeFile + QStringLiteral("-journal");
    auto readOnce = [&] {
        QSqlQuery read(db);
        return read.exec(QStringLiteral("select count(*) from sqlite_master")) && read.next();
    };
    readOnce();
    if (storeFile.isEmpty() || !QFileInfo::exists(journal))
        return true;
    // The connection could not let go of the failed write: a new one plays the journal back.
    db.close();
    if (db.open()) {
        QSqlQuery cache(db);
        cache.exec(QStringLiteral("PRAGMA cache_size=-65536"));
    }
    if (readOnce() && !QFileInfo::exists(journal))
        return true;
    if (error)
        *error = QStringLiteral("记录库的回滚日志未能恢复：%1").arg(StoreErrorText(db.lastError()));
    return false;
}

QString StoreFileOf(QSqlDatabase db)
{
    QSqlQuery list(db);
    if (list.exec(QStringLiteral("pragma database_list")))
        while (list.next())
            if (list.value(1).toString() == QLatin1String("main"))
                return list.value(2).toString();
    return QString();
}
