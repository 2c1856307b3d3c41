// The watch list on a PostgreSQL store: the same changes as on the file store, and an import at
// another station flags its new holders by the list as it is when the import writes.
#include "PgReadingImport.h"
#include "PgStore.h"
#include "PgTestServer.h"
#include "PgWatchList.h"
#include "RecordStore.h"
#include "TestSupport.h"
#include "WatchList.h"

#include <QSqlQuery>
#include <QtTest>

namespace {
constexpr int kVersion = 5;
QString Id(int n) { return SyntheticId(110101, QDate(1985, 3, 1).addDays(n), n); }

// Asked of both stores in the same words.
const char* const kCompared[] = {
    "select w.idcardno, b.name, w.reason, w.station from watchlist w left join idcardinfo b on b.idcardno = w.idcardno order by w.idcardno",
    "select idcardno, blackflag from idcardinfo order by idcardno",
    "select action, count, detail, station from audit_log order by id",
};
} // namespace

class TestPgWatchList : public QObject {
    Q_OBJECT

private slots:
    void sameChangesAsTheFileStore()
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
        // Two stored holders; the list also names people never read.
        for (int h = 1; h <= 2; ++h) {
            QVERIFY2(AddHolder(file.con1(), {Id(h), QStringLiteral("测试%1").arg(h)}, &error), qPrintable(error));
            QVERIFY2(pg.Exec("insert into idcardinfo (idcardno, name, nation_no, blackflag) values ($1, $2, 1, '否')",
                             {Id(h), QStringLiteral("测试%1").arg(h)}, &error)
                         .Ok(),
                     qPrintable(error));
        }
        QSqlQuery unflag(file.con1());
        QVERIFY(unflag.exec(QStringLiteral("update idcardinfo set blackflag = '否'")));
        WatchList onFile(file.con1(), QStringLiteral("S1"));
        PgWatchList onPg(pg, QStringLiteral("S1"));
        QString fileError, pgError;
        // An invalid number refuses the whole addition on both.
        QCOMPARE(onPg.Add({Id(1), QStringLiteral("123")}, QStringLiteral("r"), &pgError),
                 onFile.Add({Id(1), QStringLiteral("123")}, QStringLiteral("r"), &fileError));
        QCOMPARE(pgError, fileError);
        QVERIFY2(onFile.Add({Id(1), Id(3), Id(1)}, QStringLiteral("在逃"), &error), qPrintable(error));
        QVERIFY2(onPg.Add({Id(1), Id(3), Id(1)}, QStringLiteral("在逃"), &error), qPrintable(error));
        const QList<WatchListLine> lines = {{2, Id(2), QStringLiteral("可疑")}, {3, QStringLiteral("bad"), QString()},
                                            {4, Id(1), QString()},                 {5, Id(2), QStringLiteral("again")},
                                            {6, Id(4).toLower(), QStringLiteral("新")}};
        const WatchListImportResult fileImport = onFile.Import(lines);
        const WatchListImportResult pgImport = onPg.Import(lines);
        QVERIFY2(pgImport.ok, qPrintable(pgImport.error));
        QCOMPARE(QList<int>({pgImport.added, pgImport.updated, pgImport.skipped}), QList<int>({fileImport.added, fileImport.updated, fileImport.skipped}));
        QCOMPARE(pgImport.badLines, fileImport.badLines);
        QVERIFY2(onFile.Remove({Id(3)}, &error) && onPg.Remove({Id(3)}, &error), qPrintable(error));
        for (const char* sql : kCompared)
            QCOMPARE(PgTestServer::Rows(pg, sql), PgTestServer::Rows(file.con1(), QString::fromUtf8(sql)));
        QString reason;
        QVERIFY(onPg.Reason(Id(2), &reason, &error));
        QCOMPARE(reason, QStringLiteral("可疑"));
        QList<WatchEntry> entries;
        QVERIFY2(onPg.Entries(&entries, &error), qPrintable(error));
        QCOMPARE(entries.size(), 3);
    }

    void importFlagsNewHoldersByTheListWhenItWrites()
    {
        QString error;
        const QString db = PgTestServer::CreateStore(&error);
        QVERIFY2(!db.isEmpty(), qPrintable(error));
        PgStore store, other;
        QVERIFY2(store.Open(PgTestServer::ConnInfo(db), kVersion, &error) && other.Open(PgTestServer::ConnInfo(db), kVersion, &error), qPrintable(error));
        QTemporaryDir dir;
        const QString device = dir.filePath(QStringLiteral("device.db"));
        DeviceRow row;
        row.ic = Id(7);
        row.readTime = QStringLiteral("2026-05-01 09:00:00");
        row.photo = SyntheticPng();
        QVERIFY2(CreateDeviceDb(device, &error) && AddDeviceRows(device, {row}, &error), qPrintable(error));
        PgReadingImporter importer(store, dir.path());
        // Another station lists the holder after this import read the list.
        importer.beforeStep = [&](const char* step) {
            if (qstrcmp(step, "turn") == 0)
                PgWatchList(other, QStringLiteral("S2")).Add({Id(7)}, QStringLiteral("刚列入"), &error);
        };
        const ImportOutcome o = importer.ImportDeviceDb(device);
        QVERIFY2(o.Complete(), qPrintable(o.error));
        QCOMPARE(PgTestServer::Rows(store, "select blackflag from idcardinfo"), QStringList{QString::fromUtf8(kFlagListed)});
    }
};

QTEST_GUILESS_MAIN(TestPgWatchList)
#include "test_pg_watchlist.moc"
