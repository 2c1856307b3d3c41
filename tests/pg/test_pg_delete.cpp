// Deleting readings and retention on a PostgreSQL store: the same as on the file store, and a login
// role that may not delete is told so.
#include "PgReadingDeletion.h"
#include "PgRetention.h"
#include "PgStore.h"
#include "PgTestServer.h"
#include "ReadingDeletion.h"
#include "RecordStore.h"
#include "TestSupport.h"

#include <QSqlError>
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

    void retentionSameAsTheFileStore()
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
        // Holder 1 read only before the cut goes; 2 read on both sides stays; 3, read only before
        // but listed, stays; a reading at the cut itself stays.
        const QString cut = RetentionCut(QDate(2026, 6, 30), 30);
        const QList<QPair<int, QString>> readings = {{1, "2026-05-30 23:59:59"}, {2, "2026-05-01 10:00:00"}, {2, cut}, {3, "2026-04-01 10:00:00"}};
        for (int h = 1; h <= 3; ++h) {
            const QString id = SyntheticId(110101, QDate(1990, 1, h), h);
            QVERIFY2(AddHolder(file.con1(), {id, QStringLiteral("测试%1").arg(h)}, &error), qPrintable(error));
            QVERIFY2(pg.Exec("insert into idcardinfo (idcardno, name, nation_no) values ($1, $2, 1)", {id, QStringLiteral("测试%1").arg(h)}, &error).Ok(),
                     qPrintable(error));
            for (const auto& r : readings)
                if (r.first == h) {
                    QVERIFY2(AddReading(file.con1(), id, r.second, &error), qPrintable(error));
                    QVERIFY2(pg.Exec("insert into idcardwater (idcardno, readtime) values ($1, $2)", {id, r.second}, &error).Ok(), qPrintable(error));
                }
        }
        const QString list = QStringLiteral("insert into watchlist (idcardno, reason) values ('%1', 'r')").arg(SyntheticId(110101, QDate(1990, 1, 3), 3));
        QSqlQuery q(file.con1());
        QVERIFY2(q.exec(list), qPrintable(q.lastError().text()));
        QVERIFY2(pg.Exec(list.toUtf8().constData(), &error).Ok(), qPrintable(error));

        int fileCount = 0, pgCount = 0;
        QVERIFY2(CountExpired(file.con1(), cut, &fileCount, &error) && CountExpired(pg, cut, &pgCount, &error), qPrintable(error));
        QCOMPARE(pgCount, fileCount);
        QCOMPARE(fileCount, 3);
        const RetentionResult onFile = DeleteExpired(file.con1(), cut, 30);
        const RetentionResult onPg = DeleteExpired(pg, cut, 30);
        QVERIFY2(onFile.ok && onPg.ok, qPrintable(onFile.error + onPg.error));
        QCOMPARE(QList<int>({onPg.readings, onPg.holders}), QList<int>({3, 1}));
        QCOMPARE(QList<int>({onFile.readings, onFile.holders}), QList<int>({3, 1}));
        const QString holders = QStringLiteral("select idcardno from idcardinfo order by idcardno");
        QCOMPARE(PgTestServer::Rows(pg, holders.toUtf8().constData()), PgTestServer::Rows(file.con1(), holders));
        QCOMPARE(Left(pg), Left(file.con1()));
    }

    void roleWithoutTheRightIsToldAndNothingChanges()
    {
        QString error;
        const QString db = PgTestServer::CreateStore(&error);
        QVERIFY2(!db.isEmpty(), qPrintable(error));
        const QString role = PgTestServer::StationRole(db, &error, {QStringLiteral("revoke delete on idcardwater from %1")});
        QVERIFY2(!role.isEmpty(), qPrintable(error));
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
