// The administrator's scripts: the store's layout on PostgreSQL and the stations' login role.
#include "PgStore.h"
#include "PgTestServer.h"
#include "RecordStore.h"
#include "StoreUpgrade.h"
#include "TestSupport.h"

#include <QSqlQuery>
#include <QtTest>

class TestPgSchema : public QObject {
    Q_OBJECT

private:
    QString m_db;
    const QString m_role = QStringLiteral("station_%1").arg(QCoreApplication::applicationPid());
    PgStore m_owner;
    PgStore m_station;

private slots:
    void initTestCase()
    {
        QString error;
        m_db = PgTestServer::CreateStore(&error);
        QVERIFY2(!m_db.isEmpty(), qPrintable(error));
        QVERIFY2(PgTestServer::Psql(m_db, {QStringLiteral("-v"), QStringLiteral("station_role=") + m_role, QStringLiteral("-f"),
                                           QStringLiteral(IDCARD_SOURCE_DIR "/data/postgres/create_station_role.sql")},
                                    &error),
                 qPrintable(error));
        const int version = LatestStoreVersion(ProgramUpgradeSteps());
        QVERIFY2(m_owner.Open(PgTestServer::ConnInfo(m_db), version, &error), qPrintable(error));
        QVERIFY2(m_station.Open(PgTestServer::ConnInfo(m_db, m_role), version, &error), qPrintable(error));
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
            QCOMPARE(result.SqlState(), QStringLiteral("42501"));
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
        TempProgramFolder folder;
        QVERIFY(folder.isValid());
        TDM_Main file;
        QString error;
        QVERIFY2(file.OpenFile(folder.storePath(), &error), qPrintable(error));
        QStringList inFile;
        QSqlQuery q(file.con1());
        QVERIFY(q.exec(QStringLiteral("select nation_no, nation from nation_mes order by nation_no")));
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

    void secondRunChangesNothing()
    {
        QString error;
        QVERIFY2(m_owner.Exec("insert into watchlist (idcardno, reason) values ('K1', 'kept')", &error).Ok(), qPrintable(error));
        QVERIFY(!PgTestServer::Psql(m_db, {QStringLiteral("-f"), QStringLiteral(IDCARD_SOURCE_DIR "/data/postgres/create_store.sql")}, &error));
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
