#include "PgTestServer.h"

#include "RecordStore.h"

#include "PgStore.h"

#include <QFile>
#include <QHash>
#include <QProcess>
#include <QCoreApplication>
#include <QSqlQuery>
#include <QSqlError>
#include <QSqlRecord>

#include <libpq-fe.h>

#include <atomic>
#include <unistd.h>

namespace PgTestServer {
namespace {

QHash<QString, QString> State(QString* error)
{
    QHash<QString, QString> values;
    QFile file(QStringLiteral(IDCARD_PG_STATE));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("no PostgreSQL test server: %1 is missing (run the tests through ctest, which starts "
                                "the server with scripts/pg_test_server.sh)")
                     .arg(file.fileName());
        return values;
    }
    for (const QByteArray& line : file.readAll().split('\n')) {
        const qsizetype eq = line.indexOf('=');
        if (eq > 0)
            values.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    return values;
}

} // namespace

QString ConnInfo(const QString& db, const QString& user)
{
    QString error;
    const auto state = State(&error);
    return QStringLiteral("host=%1 port=%2 dbname=%3 user=%4")
        .arg(state.value(QStringLiteral("PGHOST")), state.value(QStringLiteral("PGPORT")), db,
             user.isEmpty() ? state.value(QStringLiteral("PGUSER")) : user);
}

QString CreateDatabase(QString* error, const QString& owner)
{
    if (State(error).isEmpty())
        return QString();
    static std::atomic<int> counter{0};
    const QString name = QStringLiteral("t%1_%2").arg(getpid()).arg(counter++);
    PGconn* conn = PQconnectdb(ConnInfo(QStringLiteral("postgres")).toUtf8().constData());
    bool ok = PQstatus(conn) == CONNECTION_OK;
    if (ok) {
        QByteArray sql = "create database " + name.toUtf8();
        if (!owner.isEmpty()) {
            const QByteArray o = owner.toUtf8();
            char* quoted = PQescapeIdentifier(conn, o.constData(), size_t(o.size()));
            sql += QByteArray(" owner ") + quoted;
            PQfreemem(quoted);
        }
        PGresult* r = PQexec(conn, sql.constData());
        ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!ok)
            *error = QString::fromUtf8(PQresultErrorMessage(r));
        PQclear(r);
    } else {
        *error = QString::fromUtf8(PQerrorMessage(conn));
    }
    PQfinish(conn);
    return ok ? name : QString();
}

bool Psql(const QString& db, const QStringList& args, QString* error, const QString& user)
{
    if (State(error).isEmpty())
        return false;
    QProcess psql;
    psql.setProcessChannelMode(QProcess::MergedChannels);
    psql.start(QStringLiteral("psql"), QStringList{QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("-v"),
                                                   QStringLiteral("ON_ERROR_STOP=1"), QStringLiteral("-d"), ConnInfo(db, user)}
                                           + args);
    const bool finished = psql.waitForFinished(120000);
    const QString output = QString::fromUtf8(psql.readAll()).trimmed();
    if (finished && psql.exitStatus() == QProcess::NormalExit && psql.exitCode() == 0)
        return true;
    if (!finished)
        psql.kill();
    *error = QStringLiteral("psql %1 failed (%2): %3")
                 .arg(args.join(u' '), finished ? QString::number(psql.exitCode()) : psql.errorString(), output);
    return false;
}

QString CreateStore(QString* error)
{
    const QString db = CreateDatabase(error);
    if (db.isEmpty() || !Psql(db, {QStringLiteral("-f"), QStringLiteral(IDCARD_SOURCE_DIR "/data/postgres/create_store.sql")}, error))
        return QString();
    return db;
}

QStringList Rows(PgStore& store, const char* sql)
{
    QStringList rows;
    QString error;
    const PgResult r = store.Exec(sql, &error);
    if (!r.Ok())
        return {QStringLiteral("<failed> ") + error};
    for (int i = 0; i < r.Rows(); ++i) {
        QStringList f;
        for (int c = 0; c < PQnfields(r.handle()); ++c)
            f << (r.IsNull(i, c) ? QStringLiteral("<null>") : r.Text(i, c));
        rows << f.join(u'|');
    }
    return rows;
}

QString StationRole(const QString& db, QString* error, const QStringList& then)
{
    static int roles = 0;
    const QString role = QStringLiteral("station_%1_%2").arg(QCoreApplication::applicationPid()).arg(roles++);
    QStringList args{QStringLiteral("-v"), QStringLiteral("station_role=") + role, QStringLiteral("-f"),
                     QStringLiteral(IDCARD_SOURCE_DIR "/data/postgres/create_station_role.sql")};
    for (const QString& sql : then)
        args << QStringLiteral("-c") << sql.arg(role);
    return Psql(db, args, error) ? role : QString();
}

QStringList Rows(QSqlDatabase db, const QString& sql)
{
    QStringList rows;
    QSqlQuery q(db);
    if (!q.exec(sql))
        return {QStringLiteral("<failed> ") + q.lastError().text()};
    while (q.next()) {
        QStringList f;
        for (int c = 0; c < q.record().count(); ++c)
            f << (q.value(c).isNull() ? QStringLiteral("<null>") : StoredTimeText(q.value(c)));
        rows << f.join(u'|');
    }
    return rows;
}

} // namespace PgTestServer
