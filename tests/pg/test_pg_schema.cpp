// The administrator's scripts: the store's layout on PostgreSQL and the stations' login role.
#include "PgStore.h"
#include "PgTestServer.h"
#include "RecordStore.h"
#include "StoreUpgrade.h"
#include "TestSupport.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <libpq-fe.h>

#include <memory>

namespace {

// The type a file store column has on PostgreSQL; the file store's autoincrement keys widen to
// 64-bit identities.
QString ServerType(const QString& fileType, bool identity)
{
    const QString t = fileType.toUpper();
    if (t.startsWith(QLatin1String("VARCHAR")))
        return QStringLiteral("character varying") + t.mid(7);
    if (t == QLatin1String("INTEGER"))
        return identity ? QStringLiteral("bigint") : QStringLiteral("integer");
    if (t == QLatin1String("DATETIME"))
        return QStringLiteral("timestamp(0) without time zone");
    if (t == QLatin1String("BLOB"))
        return QStringLiteral("bytea");
    return t.toLower();
}

} // namespace

class TestPgSchema : public QObject {
    Q_OBJECT

private:
    QString m_db;
    const QString m_ownerRole = QStringLiteral("store_owner_%1").arg(QCoreApplication::applicationPid());
    const QString m_role = QStringLiteral("station_%1").arg(QCoreApplication::applicationPid());
    PgStore m_owner;
    PgStore m_station;
    std::unique_ptr<TempProgramFolder> m_folder;
    TDM_Main m_file;

    QString CreateStoreScript() const { return QStringLiteral(IDCARD_SOURCE_DIR "/data/postgres/create_store.sql"); }

private slots:
    void initTestCase()
    {
        QString error;
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        QVERIFY2(m_file.OpenFile(m_folder->storePath(), &error), qPrintable(error));

        // As the README has the administrator do it: an owner role, its database, the layout made
        // by the owner, the stations' role made by the superuser.
        QVERIFY2(PgTestServer::Psql(QStringLiteral("postgres"), {QStringLiteral("-c"), QStringLiteral("create role %1 login").arg(m_ownerRole)}, &error),
                 qPrintable(error));
        m_db = PgTestServer::CreateDatabase(&error, m_ownerRole);
        QVERIFY2(!m_db.isEmpty(), qPrintable(error));
        // Servers before version 15 let everyone create in the public schema; the stations must not.
        QVERIFY2(PgTestServer::Psql(m_db, {QStringLiteral("-c"), QStringLiteral("grant create on schema public to public")}, &error),
                 qPrintable(error));
        QVERIFY2(PgTestServer::Psql(m_db, {QStringLiteral("-f"), CreateStoreScript()}, &error, m_ownerRole), qPrintable(error));
        QVERIFY2(PgTestServer::Psql(m_db, {QStringLiteral("-v"), QStringLiteral("station_role=") + m_role, QStringLiteral("-f"),
                                           QStringLiteral(IDCARD_SOURCE_DIR "/data/postgres/create_station_role.sql")},
                                    &error),
                 qPrintable(error));
        const int version = LatestStoreVersion(ProgramUpgradeSteps());
        QVERIFY2(m_owner.Open(PgTestServer::ConnInfo(m_db, m_ownerRole), version, &error), qPrintable(error));
        QVERIFY2(m_station.Open(PgTestServer::ConnInfo(m_db, m_role), version, &error), qPrintable(error));
    }

    void columnsAsTheFileStore_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QStringList>("identities");
        QTest::newRow("holders") << QStringLiteral("idcardinfo") << QStringList();
        QTest::newRow("readings") << QStringLiteral("idcardwater") << QStringList{QStringLiteral("serialno")};
        QTest::newRow("nations") << QStringLiteral("nation_mes") << QStringList();
        QTest::newRow("watch list") << QStringLiteral("watchlist") << QStringList();
        QTest::newRow("audit trail") << QStringLiteral("audit_log") << QStringList{QStringLiteral("id")};
    }
    void columnsAsTheFileStore()
    {
        QFETCH(QString, table);
        QFETCH(QStringList, identities);
        QSqlQuery q(m_file.con1());
        QVERIFY2(q.exec(QStringLiteral("pragma table_info(%1)").arg(table)), qPrintable(q.lastError().text()));
        QStringList inFile;
        while (q.next()) {
            const QString name = q.value(1).toString().toLower();
            const bool identity = identities.contains(name);
            const bool notNull = q.value(3).toBool() || q.value(5).toInt() > 0;
            inFile << QStringLiteral("%1 %2%3%4").arg(name, ServerType(q.value(2).toString(), identity),
                                                       notNull ? QStringLiteral(" not null") : QString(),
                                                       identity ? QStringLiteral(" identity") : QString());
        }
        QVERIFY2(!inFile.isEmpty(), qPrintable(table));
        QString error;
        const PgResult r = m_owner.Exec("select attname || ' ' || format_type(atttypid, atttypmod) "
                                        "|| case when attnotnull then ' not null' else '' end "
                                        "|| case when attidentity = 'a' then ' identity' else '' end "
                                        "from pg_attribute where attrelid = $1::regclass and attnum > 0 and not attisdropped order by attnum",
                                        {PgParam(table)}, &error);
        QVERIFY2(r.Ok(), qPrintable(error));
        QStringList inServer;
        for (int i = 0; i < r.Rows(); ++i)
            inServer << r.Text(i, 0);
        QCOMPARE(inServer, inFile);
    }

    // The file store's indexes by name, columns, uniqueness and condition. Its unique indexes are
    // constraints here, so that "on conflict" and the error name them.
    void indexesAsTheFileStore()
    {
        QStringList inFile;
        QSqlQuery q(m_file.con1());
        QVERIFY2(q.exec(QStringLiteral("select name, tbl_name, sql from sqlite_master where type = 'index' and sql is not null order by name")),
                 qPrintable(q.lastError().text()));
        while (q.next()) {
            const QString name = q.value(0).toString();
            const QString sql = q.value(2).toString();
            QSqlQuery cols(m_file.con1());
            QVERIFY2(cols.exec(QStringLiteral("select name from pragma_index_info('%1') order by seqno").arg(name)),
                     qPrintable(cols.lastError().text()));
            QStringList columns;
            while (cols.next())
                columns << cols.value(0).toString().toLower();
            const qsizetype where = sql.indexOf(QLatin1String(" WHERE "), 0, Qt::CaseInsensitive);
            inFile << QStringLiteral("%1 on %2 (%3)%4%5")
                          .arg(name, q.value(1).toString(), columns.join(u','),
                               sql.startsWith(QLatin1String("CREATE UNIQUE"), Qt::CaseInsensitive) ? QStringLiteral(" unique") : QString(),
                               where < 0 ? QString() : QStringLiteral(" where ") + sql.mid(where + 7).trimmed());
        }
        QString error;
        const PgResult r = m_owner.Exec(
            "select i.relname || ' on ' || t.relname || ' ('"
            " || (select string_agg(a.attname, ',' order by k.n) from unnest(x.indkey::int2[]) with ordinality k(attnum, n)"
            "     join pg_attribute a on a.attrelid = t.oid and a.attnum = k.attnum) || ')'"
            " || case when exists (select 1 from pg_constraint c where c.conindid = x.indexrelid and c.contype = 'u'"
            "                      and c.conname = i.relname) then ' unique'"
            "         when x.indisunique then ' unique index' else '' end"
            " || coalesce(' where ' || trim(both '()' from pg_get_expr(x.indpred, x.indrelid)), '') "
            "from pg_index x join pg_class i on i.oid = x.indexrelid join pg_class t on t.oid = x.indrelid "
            "where t.relnamespace = current_schema()::regnamespace and not x.indisprimary order by i.relname",
            &error);
        QVERIFY2(r.Ok(), qPrintable(error));
        QStringList inServer;
        for (int i = 0; i < r.Rows(); ++i)
            inServer << r.Text(i, 0);
        QVERIFY(inFile.size() >= 7);
        QCOMPARE(inServer, inFile);
    }

    void stationRights_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<bool>("allowed");
        const auto row = [](const char* name, const char* sql, bool allowed) { QTest::newRow(name) << QString::fromUtf8(sql) << allowed; };
        row("list", "select count(*) from idcardwater a join idcardinfo b using (idcardno) join nation_mes c using (nation_no)", true);
        row("add holder", "insert into idcardinfo (idcardno, name) values ('X1', 'n')", true);
        row("add reading", "insert into idcardwater (idcardno, readtime, station) values ('X1', now(), 's')", true);
        row("delete readings", "delete from idcardwater", true);
        row("delete holders", "delete from idcardinfo", true);
        row("flag holder", "update idcardinfo set blackflag = '是'", true);
        row("mark checks", "update idcardwater set checkflags = checkflags | 16", true);
        row("list upsert", "insert into watchlist (idcardno, reason, addtime, station) values ('X1', 'r', now(), 's') "
                           "on conflict (idcardno) do update set reason = excluded.reason, station = excluded.station", true);
        row("unlist", "delete from watchlist", true);
        row("audit row", "insert into audit_log (logtime, action) values (now(), 'import')", true);
        row("read version", "select version from store_version", true);
        row("scratch table", "create temp table t (a int)", true);
        row("create table", "create table t (a int)", false);
        row("create schema", "create schema s", false);
        row("drop table", "drop table idcardwater", false);
        row("alter table", "alter table idcardinfo add column x int", false);
        row("change photo", "update idcardinfo set photo = null", false);
        row("change ID number", "update idcardinfo set idcardno = 'Y'", false);
        row("change reading time", "update idcardwater set readtime = now()", false);
        row("remove audit", "delete from audit_log", false);
        row("change audit", "update audit_log set detail = ''", false);
        row("empty table", "truncate idcardwater", false);
        row("change nations", "insert into nation_mes values (99, 'x')", false);
        row("change version", "update store_version set version = 6", false);
    }
    void stationRights()
    {
        QFETCH(QString, sql);
        QFETCH(bool, allowed);
        QString error;
        QVERIFY2(m_station.Begin(&error), qPrintable(error));
        const PgResult result = m_station.Exec(sql.toUtf8().constData(), &error);
        m_station.Rollback();
        if (allowed)
            QVERIFY2(result.Ok(), qPrintable(error));
        else
            QVERIFY2(result.SqlState() == QLatin1String("42501"),
                     qPrintable(result.Ok() ? QStringLiteral("allowed") : result.SqlState() + u' ' + error));
    }

    void typesAndConstraints()
    {
        QString error;
        QByteArray bytes;
        for (int b = 0; b < 256; ++b)
            bytes.append(char(b));
        QVERIFY2(m_station.Exec("insert into idcardinfo (idcardno, photo) values ('T1', $1)", {PgParam::Bytes(bytes)}, &error).Ok(),
                 qPrintable(error));
        PgResult photo = m_station.Exec("select encode(photo, 'hex') from idcardinfo where idcardno = 'T1'", &error);
        QVERIFY2(photo.Ok() && photo.Rows() == 1, qPrintable(error));
        QCOMPARE(photo.Text(0, 0).toLatin1(), bytes.toHex());

        // Reading times keep whole seconds.
        QVERIFY2(m_station.Exec("insert into idcardwater (idcardno, readtime) values ('T1', '2026-02-28 23:59:59.4')", &error).Ok(),
                 qPrintable(error));
        PgResult time = m_station.Exec("select to_char(readtime, 'YYYY-MM-DD HH24:MI:SS.US') from idcardwater where idcardno = 'T1'", &error);
        QVERIFY2(time.Ok(), qPrintable(error));
        QCOMPARE(time.Text(0, 0), QStringLiteral("2026-02-28 23:59:59.000000"));

        // One holder per ID number and one reading per ID number and time, whoever writes it.
        PgResult holder = m_station.Exec("insert into idcardinfo (idcardno) values ('T1')", &error);
        QCOMPARE(holder.SqlState(), QStringLiteral("23505"));
        PgResult reading = m_station.Exec("insert into idcardwater (idcardno, readtime) values ('T1', '2026-02-28 23:59:59')", &error);
        QCOMPARE(reading.SqlState(), QStringLiteral("23505"));
        PgResult skipped = m_station.Exec("insert into idcardwater (idcardno, readtime) values ('T1', '2026-02-28 23:59:59') "
                                          "on conflict (idcardno, readtime) do nothing",
                                          &error);
        QVERIFY2(skipped.Ok(), qPrintable(error));
        QCOMPARE(skipped.Affected(), 0);

        // Serial numbers beyond 32 bits.
        QVERIFY2(m_owner.Exec("insert into idcardwater (serialno, idcardno, readtime) overriding system value "
                              "values (5000000000, 'T2', '2026-01-01 00:00:00')",
                              &error)
                     .Ok(),
                 qPrintable(error));
        PgResult big = m_station.Exec("select serialno from idcardwater where idcardno = 'T2'", &error);
        QVERIFY2(big.Ok() && big.Rows() == 1, qPrintable(error));
        QCOMPARE(big.Number(0, 0), Q_INT64_C(5000000000));
    }

    void nationNamesAsTheFileStore()
    {
        QString error;
        QStringList inFile;
        QSqlQuery q(m_file.con1());
        QVERIFY2(q.exec(QStringLiteral("select nation_no, nation from nation_mes order by nation_no")), qPrintable(q.lastError().text()));
        while (q.next())
            inFile << q.value(0).toString() + u' ' + q.value(1).toString();
        PgResult rows = m_station.Exec("select nation_no, nation from nation_mes order by nation_no", &error);
        QVERIFY2(rows.Ok(), qPrintable(error));
        QStringList inServer;
        for (int i = 0; i < rows.Rows(); ++i)
            inServer << rows.Text(i, 0) + u' ' + rows.Text(i, 1);
        QVERIFY(inFile.size() > 50);
        QCOMPARE(inServer, inFile);
    }

    // A clash late in the script leaves none of the tables made before it.
    void failingRunLeavesNothing()
    {
        QString error;
        const QString db = PgTestServer::CreateDatabase(&error, m_ownerRole);
        QVERIFY2(!db.isEmpty(), qPrintable(error));
        QVERIFY2(PgTestServer::Psql(db, {QStringLiteral("-c"), QStringLiteral("create table store_version (version integer)")}, &error, m_ownerRole),
                 qPrintable(error));
        QVERIFY(!PgTestServer::Psql(db, {QStringLiteral("-f"), CreateStoreScript()}, &error, m_ownerRole));
        QVERIFY2(error.contains(QLatin1String("store_version")), qPrintable(error));
        // Not through PgStore: it refuses a database without a store.
        std::unique_ptr<PGconn, decltype(&PQfinish)> conn(PQconnectdb(PgTestServer::ConnInfo(db, m_ownerRole).toUtf8().constData()), PQfinish);
        QVERIFY2(PQstatus(conn.get()) == CONNECTION_OK, PQerrorMessage(conn.get()));
        std::unique_ptr<PGresult, decltype(&PQclear)> tables(
            PQexec(conn.get(), "select string_agg(tablename, ',' order by tablename) from pg_tables where schemaname = current_schema()"), PQclear);
        QVERIFY2(PQresultStatus(tables.get()) == PGRES_TUPLES_OK, PQresultErrorMessage(tables.get()));
        QCOMPARE(QString::fromUtf8(PQgetvalue(tables.get(), 0, 0)), QStringLiteral("store_version"));
    }

    void secondRunChangesNothing()
    {
        QString error;
        QVERIFY2(m_owner.Exec("insert into watchlist (idcardno, reason) values ('K1', 'kept')", &error).Ok(), qPrintable(error));
        QVERIFY(!PgTestServer::Psql(m_db, {QStringLiteral("-f"), CreateStoreScript()}, &error, m_ownerRole));
        QVERIFY2(error.contains(QLatin1String("already exists")), qPrintable(error));
        PgResult after = m_owner.Exec("select (select count(*) from watchlist where idcardno = 'K1'), (select count(*) from store_version), "
                                      "(select version from store_version)",
                                      &error);
        QVERIFY2(after.Ok(), qPrintable(error));
        QCOMPARE(after.Number(0, 0), 1);
        QCOMPARE(after.Number(0, 1), 1);
        QCOMPARE(after.Number(0, 2), qint64(LatestStoreVersion(ProgramUpgradeSteps())));
    }
};

QTEST_GUILESS_MAIN(TestPgSchema)
#include "test_pg_schema.moc"
