// The list on a PostgreSQL store: the same rows, order and total as on the file store under every
// filter; one snapshot while the rows stream; the store named by the settings, and a server that
// cannot be reached at start.
#include "PgStore.h"
#include "PgTestServer.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "Startup.h"
#include "TIdcardmainfrm.h"
#include "TestSupport.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

Q_DECLARE_METATYPE(ReadingLogFilter)

namespace {

constexpr int kBulk = 6000; // more than one batch of the cursor

QDateTime Day(int month, int day) { return QDateTime(QDate(2026, month, day), QTime()); }

// The same scene in either store: holders with a check digit X, ties in reading time, flagged
// readings, a watch list, and a bulk of readings.
bool FillScene(QSqlDatabase db, QString* error)
{
    QStringList ids;
    for (int seq = 1; ids.size() < 6; ++seq) {
        const QString id = SyntheticId(110101, QDate(1985, 3, seq % 28 + 1), seq);
        if (ids.size() != 0 || id.endsWith(u'X'))
            ids << id;
    }
    const QStringList names = {"测试甲", "测试乙", "王测试", "测试丙", "李四测", "测%"};
    for (int i = 0; i < ids.size(); ++i)
        if (!AddHolder(db, {ids[i], names[i]}, error))
            return false;
    if (!db.transaction())
        return false;
    for (int i = 0; i < kBulk; ++i) {
        // Every tenth time is shared by two holders.
        const QDateTime t = Day(1, 1).addSecs(qint64(i / 2) * 3037);
        if (!AddReading(db, ids[i % ids.size()], t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), error))
            return false;
    }
    QSqlQuery q(db);
    for (const QString& sql : {QStringLiteral("update idcardwater set checkflags = 4 where serialno % 7 = 0"),
                               QStringLiteral("insert into watchlist (idcardno, reason) values ('%1', 'r'), ('%2', 'r')").arg(ids[1], ids[4]),
                               QStringLiteral("update idcardinfo set blackflag = '是' where idcardno in (select idcardno from watchlist)")})
        if (!q.exec(sql)) {
            *error = q.lastError().text();
            return false;
        }
    return db.commit();
}

// The list as the grid shows it, with the total.
QStringList Listed(QSqlDatabase db, const ReadingLogFilter& filter, bool pg)
{
    ReadingLogModel model;
    QString error;
    if (!model.Run(db, BuildReadingLogQuery(filter, pg), &error) || !model.FetchAll(&error))
        return {QStringLiteral("failed: ") + error};
    QStringList rows{QString::number(model.rowCount())};
    for (int r = 0; r < model.rowCount(); ++r)
        rows << QStringList{model.IdcardnoAt(r), model.ReadtimeAt(r), model.NameAt(r), model.AddressAt(r), model.BlackflagAt(r),
                            model.CheckedAt(r) ? QStringLiteral("odd") : QString()}
                    .join(u'|');
    return rows;
}

} // namespace

class TestPgList : public QObject {
    Q_OBJECT

    TempProgramFolder m_folder;
    TDM_Main m_file;
    TDM_Main m_pg;
    QString m_db;

private slots:
    void initTestCase()
    {
        QVERIFY(m_folder.isValid());
        QString error;
        m_db = PgTestServer::CreateStore(&error);
        QVERIFY2(!m_db.isEmpty(), qPrintable(error));
        // Named by the settings, as at a station.
        QSettings ini(m_folder.path() + QStringLiteral("idcard.ini"), QSettings::IniFormat);
        ini.setValue(QStringLiteral("store/connection"), PgTestServer::ConnInfo(m_db));
        ini.sync();
        QVERIFY2(m_pg.Open(m_folder.path(), &error), qPrintable(error));
        QVERIFY(m_pg.Pg());
        QVERIFY2(m_file.OpenFile(m_folder.storePath(), &error), qPrintable(error));
        QVERIFY2(FillScene(m_file.con1(), &error), qPrintable(error));
        QVERIFY2(FillScene(m_pg.con1(), &error), qPrintable(error));
    }

    void sameRowsAndOrder_data()
    {
        QTest::addColumn<ReadingLogFilter>("filter");
        QTest::addColumn<int>("least"); // rows the file store lists at least
        const QString xId = PgTestServer::Rows(m_file.con1(), QStringLiteral("select idcardno from idcardinfo where idcardno like '%X'")).value(0);
        QTest::newRow("everything") << ReadingLogFilter{Day(1, 1), Day(12, 31)} << kBulk;
        QTest::newRow("one day") << ReadingLogFilter{Day(1, 20), Day(1, 20)} << 20;
        QTest::newRow("ID prefix in small letters") << ReadingLogFilter{Day(1, 1), Day(12, 31), xId.toLower()} << kBulk / 6;
        QTest::newRow("name prefix") << ReadingLogFilter{Day(1, 1), Day(12, 31), {}, QStringLiteral("测试")} << kBulk / 2;
        QTest::newRow("name with a wildcard") << ReadingLogFilter{Day(1, 1), Day(3, 1), {}, QStringLiteral("测_")} << 100;
        QTest::newRow("watch list") << ReadingLogFilter{Day(1, 1), Day(12, 31), {}, {}, true} << kBulk / 3;
        QTest::newRow("card checks") << ReadingLogFilter{Day(1, 1), Day(12, 31), {}, {}, false, true} << kBulk / 7;
        QTest::newRow("watch list and checks, one month") << ReadingLogFilter{Day(2, 1), Day(2, 28), {}, {}, true, true} << 20;
        QTest::newRow("begin after end") << ReadingLogFilter{Day(3, 5), Day(3, 1)} << 0;
    }

    void sameRowsAndOrder()
    {
        QFETCH(ReadingLogFilter, filter);
        QFETCH(int, least);
        const QStringList onFile = Listed(m_file.con1(), filter, false);
        QVERIFY2(onFile.first().toInt() >= least, qPrintable(onFile.first()));
        const QStringList onPg = Listed(m_pg.Listing(), filter, true);
        QCOMPARE(onPg.first(), onFile.first());
        QCOMPARE(onPg.size(), onFile.size());
        QCOMPARE(onPg, onFile);
    }

    void oneSnapshotWhileRowsStream()
    {
        const ReadingLogFilter all{Day(1, 1), Day(12, 31)};
        ReadingLogModel model;
        QString error;
        QVERIFY2(model.Run(m_pg.Listing(), BuildReadingLogQuery(all, true), &error), qPrintable(error));
        const int total = model.rowCount();
        QVERIFY(!model.FullyFetched());
        // Another station imports while the rows are still coming: not waited for, and not seen.
        PgStore other;
        QVERIFY2(other.Open(PgTestServer::ConnInfo(m_db), 5, &error), qPrintable(error));
        const QString id = PgTestServer::Rows(other, "select idcardno from idcardinfo limit 1").value(0);
        QVERIFY2(other.Exec("insert into idcardwater (idcardno, readtime) select $1, timestamp '2026-06-01' + n * interval '1 min' "
                            "from generate_series(1, 10) n",
                            {id}, &error)
                     .Ok(),
                 qPrintable(error));
        QVERIFY2(model.FetchAll(&error), qPrintable(error));
        QCOMPARE(model.rowCount(), total);
        QCOMPARE(model.FetchedCount(), total);
        // A list connection the server ended meanwhile is made again for the next listing.
        QSqlQuery pid(m_pg.Listing());
        QVERIFY(pid.exec(QStringLiteral("select pg_backend_pid()")) && pid.next());
        const QString listPid = pid.value(0).toString();
        pid = QSqlQuery();
        QVERIFY2(other.Exec("select pg_terminate_backend($1::int)", {listPid}, &error).Ok(), qPrintable(error));
        QTest::qWait(200);
        QVERIFY2(model.Run(m_pg.Listing(), BuildReadingLogQuery(all, true), &error), qPrintable(error));
        QCOMPARE(model.rowCount(), total + 10);
        QVERIFY2(other.Exec("delete from idcardwater where readtime between '2026-06-01 00:01' and '2026-06-01 00:10'", &error).Ok(), qPrintable(error));
    }

    void connectionLostAndNotMadeAgain()
    {
        QString error;
        const QString role = PgTestServer::StationRole(m_db, &error);
        QVERIFY2(!role.isEmpty(), qPrintable(error));
        TDM_Main station;
        QVERIFY2(station.OpenPg(PgTestServer::ConnInfo(m_db, role), &error), qPrintable(error));
        ScriptedMessages messages;
        TIdcardmainfrm window(&station, m_folder.path());
        window.SetClock([] { return Day(4, 30); });
        window.show();
        QCOMPARE(window.Model()->rowCount(), kBulk);
        QTRY_VERIFY(window.Model()->FullyFetched()); // else the cut shows as a listing cut short
        auto cut = [&](const char* login) {
            return PgTestServer::Psql(m_db, {QStringLiteral("-c"), QStringLiteral("alter role %1 %2").arg(role, QLatin1String(login)), QStringLiteral("-c"),
                                             QStringLiteral("select pg_terminate_backend(pid) from pg_stat_activity where usename = '%1'").arg(role)},
                                      &error);
        };
        QVERIFY2(cut("nologin"), qPrintable(error));
        QTest::qWait(200);
        window.RefreshQuery();
        QCOMPARE(messages.shown.size(), 1);
        QVERIFY2(messages.shown[0].text.startsWith(QStringLiteral("与记录库服务器的连接已断开，重新连接未成功：")) && messages.shown[0].text.contains(role),
                 qPrintable(messages.shown[0].text));
        // Once the server lets it in again, the next command reconnects.
        QVERIFY2(cut("login"), qPrintable(error));
        window.RefreshQuery();
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(window.Model()->rowCount(), kBulk);
    }

    void unreachableServerAtStart()
    {
        TempProgramFolder folder;
        QVERIFY(folder.isValid());
        QSettings ini(folder.path() + QStringLiteral("idcard.ini"), QSettings::IniFormat);
        ini.setValue(QStringLiteral("store/connection"), QStringLiteral("host=/nonexistent-idcard port=5499 dbname=idcard"));
        ini.sync();
        ScriptedMessages messages;
        TDM_Main dm;
        QVERIFY(!OpenStoreAtStart(dm, folder.path()));
        QVERIFY(!dm.IsOpen());
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].kind, MsgKind::Error);
        // libpq's own words name the socket it tried.
        QVERIFY2(messages.shown[0].text.startsWith(QStringLiteral("无法连接记录库服务器：")) && messages.shown[0].text.contains(QStringLiteral("/nonexistent-idcard")),
                 qPrintable(messages.shown[0].text));
        QCOMPARE(dm.LastOpenError(), messages.shown[0].text);
    }
};

QTEST_MAIN(TestPgList)
#include "test_pg_list.moc"
