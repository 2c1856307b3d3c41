// Deleting readings from a PostgreSQL store: the same as from the file store, and a login role that
// may not delete is told so.
#include "PgReadingDeletion.h"
#include "PgStore.h"
#include "PgTestServer.h"
#include "ReadingDeletion.h"
#include "RecordStore.h"
#include "TestSupport.h"

#include <QSqlQuery>
#include <QtTest>

namespace {
constexpr int kVersion = 5;
constexpr int kReadings = 30;

// The readings left and the audit rows, as texts.
QStringList Left(QSqlDatabase db)
{
    return PgTestServer::Rows(db, QStringLiteral("select serialno, idcardno, readtime from idcardwater order by serialno"))
           + PgTestServer::Rows(db, QStringLiteral("select action, count, detail from audit_log"));
}

QStringList Left(PgStore& store)
{
    return PgTestServer::Rows(store, "select serialno, idcardno, to_char(readtime, 'YYYY-MM-DD HH24:MI:SS') from idcardwater order by serialno")
           + PgTestServer::Rows(store, "select action, count, detail from audit_log");
}

QString ReadingTime(int i) { return QStringLiteral("2026-05-01 08:%1:00").arg(i, 2, 10, QLatin1Char('0')); }
} // namespace

class TestPgDelete : public QObject {
    Q_OBJECT

private slots:
    void sameAsTheFileStore()
    {
        TempProgramFolder folder;
        QVERIFY(folder.isValid());
        TDM_Main file;
        QString error;
        QVERIFY2(file.OpenFile(folder.storePath(), &error), qPrintable(error));
        const QString db = PgTestServer::CreateStore(&error);
        QVERIFY2(!db.isEmpty(), qPrintable(error));
        PgStore pg;
        QVERIFY2(pg.Open(PgTestServer::ConnInfo(db), kVersion, &error), qPrintable(error));
        for (int i = 0; i < kReadings; ++i) {
            const QString id = SyntheticId(110101, QDate(1990, 1, 1).addDays(i % 3), i % 3);
            QVERIFY2(AddReading(file.con1(), id, ReadingTime(i), &error), qPrintable(error));
            QVERIFY2(pg.Exec("insert into idcardwater (idcardno, readtime) values ($1, $2)", {id, ReadingTime(i)}, &error).Ok(),
                     qPrintable(error));
        }
        // Every third reading, and one that is no longer there.
        std::vector<qint64> chosen;
        for (qint64 s = 1; s <= kReadings; s += 3)
            chosen.push_back(s);
        chosen.push_back(kReadings + 5);
        QVERIFY2(DeleteReadings(file.con1(), chosen, &error, QStringLiteral("测试筛选")), qPrintable(error));
        QVERIFY2(DeleteReadings(pg, chosen, &error, QStringLiteral("测试筛选")), qPrintable(error));
        const QStringList left = Left(file.con1());
        QCOMPARE(left.size(), kReadings - kReadings / 3 + 1);
        QVERIFY2(left.last().endsWith(QStringLiteral("测试筛选；删除 10 条")), qPrintable(left.last()));
        QCOMPARE(Left(pg), left);
    }

    void roleWithoutTheRightIsToldAndNothingChanges()
    {
        QString error;
        const QString db = PgTestServer::CreateStore(&error);
        QVERIFY2(!db.isEmpty(), qPrintable(error));
        const QString role = QStringLiteral("nodelete_%1").arg(QCoreApplication::applicationPid());
        QVERIFY2(PgTestServer::Psql(db, {QStringLiteral("-v"), QStringLiteral("station_role=") + role, QStringLiteral("-f"),
                                         QStringLiteral(IDCARD_SOURCE_DIR "/data/postgres/create_station_role.sql"), QStringLiteral("-c"),
                                         QStringLiteral("revoke delete on idcardwater from ") + role},
                                     &error),
                 qPrintable(error));
        PgStore station;
        QVERIFY2(station.Open(PgTestServer::ConnInfo(db, role), kVersion, &error), qPrintable(error));
        QVERIFY2(station.Exec("insert into idcardwater (idcardno, readtime) values ('N1', '2026-05-01 08:00:00')", &error).Ok(), qPrintable(error));
        QVERIFY(!DeleteReadings(station, {1}, &error));
        QVERIFY2(error.contains(QStringLiteral("没有删除刷卡记录的权限")), qPrintable(error));
        QCOMPARE(Left(station), QStringList{QStringLiteral("1|N1|2026-05-01 08:00:00")});
        QVERIFY(!station.InTransaction());
    }
};

QTEST_GUILESS_MAIN(TestPgDelete)
#include "test_pg_delete.moc"
