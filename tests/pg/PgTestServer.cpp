#include "PgTestServer.h"

#include "PgStore.h"

#include <QFile>
#include <QHash>
#include <QSqlQuery>
#include <QSqlError>
#include <QSqlRecord>

#include <libpq-fe.h>

#include <atomic>
#include <cstdlib>
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

QString Quoted(const QString& arg)
{
    QString q = arg;
    q.replace(QLatin1String("'"), QLatin1String("'\\''"));
    return u'\'' + q + u'\'';
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

QString CreateDatabase(QString* error)
{
    if (State(error).isEmpty())
        return QString();
    static std::atomic<int> counter{0};
    const QString name = QStringLiteral("t%1_%2").arg(getpid()).arg(counter++);
    PGconn* conn = PQconnectdb(ConnInfo(QStringLiteral("postgres")).toUtf8().constData());
    bool ok = PQstatus(conn) == CONNECTION_OK;
    if (ok) {
        PGresult* r = PQexec(conn, QStringLiteral("create database %1").arg(name).toUtf8().constData());
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

bool Psql(const QString& db, const QStringList& args, QString* error)
{
    QString command = QStringLiteral("psql -q -X -v ON_ERROR_STOP=1 %1").arg(Quoted(ConnInfo(db)));
    for (const QString& arg : args)
        command += u' ' + Quoted(arg);
    command += QStringLiteral(" >/dev/null 2>&1");
    const int rc = std::system(command.toUtf8().constData());
    if (rc != 0)
        *error = QStringLiteral("psql %1 failed (%2)").arg(args.join(u' ')).arg(rc);
    return rc == 0;
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

QStringList Rows(QSqlDatabase db, const QString& sql)
{
    QStringList rows;
    QSqlQuery q(db);
    if (!q.exec(sql))
        return {QStringLiteral("<failed> ") + q.lastError().text()};
    while (q.next()) {
        QStringList f;
        for (int c = 0; c < q.record().count(); ++c)
            f << (q.value(c).isNull() ? QStringLiteral("<null>") : q.value(c).toString());
        rows << f.join(u'|');
    }
    return rows;
}

} // namespace PgTestServer
