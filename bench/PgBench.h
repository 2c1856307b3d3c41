#pragma once
// A private PostgreSQL server for a benchmark (scripts/pg_test_server.sh: a fresh cluster on a Unix
// socket, default settings), started by the constructor and stopped by the destructor, and fresh
// stores on it made as an administrator makes them.

#include "PgStore.h"
#include "RecordStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlQuery>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <cstdio>
#include <unistd.h>

inline bool Run(const QString& program, const QStringList& args)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(program, args);
    if (!p.waitForFinished(600000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        std::fprintf(stderr, "%s failed\n", qPrintable(program));
        return false;
    }
    return true;
}

inline QString g_host, g_port, g_user;
inline int g_databases = 0;

inline QString ConnInfo(const QString& db) { return QStringLiteral("host=%1 port=%2 user=%3 dbname=%4").arg(g_host, g_port, g_user, db); }

inline bool Psql(const QString& db, const QStringList& args)
{
    return Run(QStringLiteral("psql"), QStringList{QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("-v"),
                                                   QStringLiteral("ON_ERROR_STOP=1"), ConnInfo(db)}
                                           + args);
}

// A fresh database with the store's layout; empty when it could not be made.
inline QString FreshPgStore()
{
    const QString db = QStringLiteral("bench%1").arg(g_databases++);
    if (!Psql(QStringLiteral("postgres"), {QStringLiteral("-c"), QStringLiteral("create database ") + db})
        || !Psql(db, {QStringLiteral("-f"), QStringLiteral(IDCARD_SOURCE_DIR "/data/postgres/create_store.sql")}))
        return QString();
    return db;
}

// Each timed step starts with nothing left for the disk to write from the one before: the server's
// checkpoint written, the file system synced.
inline void Quiesce()
{
    Psql(QStringLiteral("postgres"), {QStringLiteral("-c"), QStringLiteral("checkpoint")});
    ::sync();
}

// Copies the holders (with their photos unless told otherwise) and the readings of a file store
// into an empty store on PostgreSQL, keeping the serial numbers; false with error.
inline bool CopyToPg(QSqlDatabase file, PgStore& pg, QString* error, bool photos = true)
{
    if (!pg.Begin(error))
        return false;
    {
        QSqlQuery h(file);
        h.setForwardOnly(true);
        h.exec(QStringLiteral("select idcardno, name, sex, nation_no, born, address, grantdept, UsefulLifeBegin, UsefulLifeEnd, blackflag, %1 "
                              "from idcardinfo")
                   .arg(photos ? QStringLiteral("photo") : QStringLiteral("null")));
        PgCopyIn copy(pg, "copy idcardinfo (idcardno, name, sex, nation_no, born, address, grantdept, usefullifebegin, usefullifeend, "
                          "blackflag, photo) from stdin (format binary)");
        while (h.next()) {
            copy.Row(11);
            for (int c = 0; c < 10; ++c)
                c == 3 ? copy.Int16(qint16(h.value(c).toInt())) : copy.Text(h.value(c).toString());
            copy.Bytes(h.value(10).toByteArray());
        }
        if (!copy.Finish(error))
            return false;
    }
    if (!pg.Exec("create temp table r (serialno text, idcardno text, readtime text, checkflags int, station text)", error).Ok())
        return false;
    {
        QSqlQuery r(file);
        r.setForwardOnly(true);
        r.exec(QStringLiteral("select serialno, idcardno, readtime, checkflags, station from idcardwater"));
        PgCopyIn copy(pg, "copy r (idcardno, readtime, checkflags, station, serialno) from stdin (format binary)");
        while (r.next()) {
            copy.Row(5);
            copy.Text(r.value(1).toString());
            copy.Text(r.value(2).toString());
            copy.Int(r.value(3).toInt());
            copy.Text(r.value(4).toString());
            copy.Text(r.value(0).toString()); // cast on the server: the copy sends no 64-bit integers
        }
        if (!copy.Finish(error))
            return false;
    }
    return pg.Exec("insert into idcardwater (serialno, idcardno, readtime, checkflags, station) overriding system value "
                   "select serialno::bigint, idcardno, readtime::timestamp, checkflags, station from r",
                   error)
               .Ok()
           && pg.Commit(error) && pg.Exec("vacuum analyze", error).Ok();
}

class PgBenchServer {
public:
    explicit PgBenchServer(const QString& folder)
        : m_script(QStringLiteral(IDCARD_SOURCE_DIR "/scripts/pg_test_server.sh")), m_state(folder + QStringLiteral("/server.state"))
    {
        if (!Run(m_script, {QStringLiteral("start"), m_state}))
            return;
        QFile file(m_state);
        file.open(QIODevice::ReadOnly);
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QString value = QString::fromUtf8(line.mid(line.indexOf('=') + 1));
            if (line.startsWith("PGHOST="))
                g_host = value;
            else if (line.startsWith("PGPORT="))
                g_port = value;
            else if (line.startsWith("PGUSER="))
                g_user = value;
        }
        m_started = !g_host.isEmpty();
    }
    ~PgBenchServer()
    {
        if (m_started)
            Run(m_script, {QStringLiteral("stop"), m_state});
    }
    bool Started() const { return m_started; }

private:
    QString m_script;
    QString m_state;
    bool m_started = false;
};

// With --pg on the command line: runs fn on a store on a fresh private server holding a copy of
// the file store (photos too unless told otherwise). false when that failed; true without --pg.
template <typename Fn> bool AlsoOnPg(QSqlDatabase file, bool photos, Fn fn)
{
    if (!QCoreApplication::arguments().contains(QStringLiteral("--pg")))
        return true;
    QTemporaryDir work;
    PgBenchServer server(work.path());
    const QString db = server.Started() ? FreshPgStore() : QString();
    TDM_Main pg;
    QString error;
    if (db.isEmpty() || !pg.OpenPg(ConnInfo(db), &error) || !CopyToPg(file, *pg.Pg(), &error, photos)) {
        std::fprintf(stderr, "PostgreSQL store: %s\n", qPrintable(error));
        return false;
    }
    Quiesce();
    return fn(pg);
}
