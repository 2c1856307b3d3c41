// The import into a record store on PostgreSQL: the same result as the file store's import, each
// holder and reading once when two stations import at the same moment, and nothing of an import
// whose connection is cut.
#include "PgReadingImport.h"
#include "PgStore.h"
#include "PgTestServer.h"
#include "ReadingLogImport.h"
#include "RecordStore.h"
#include "TestSupport.h"

#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <libpq-fe.h>

#include <thread>

namespace {

constexpr int kVersion = 5;
const QString kDay = QStringLiteral("2026-03-01 ");

QString Id(int n) { return SyntheticId(110101, QDate(1980, 1, 1).addDays(n), n % 900); }

DeviceRow Reading(int holder, const QString& time)
{
    DeviceRow r;
    r.ic = Id(holder);
    r.readTime = kDay + time;
    r.name = QStringLiteral("测试%1").arg(holder);
    r.birth = QDate(1980, 1, 1).addDays(holder).toString(QStringLiteral("yyyy-MM-dd"));
    r.photo = SyntheticPng(102, 126, qRgb(holder * 20 % 255, 90, 140));
    return r;
}

// What the import writes, as texts, sorted: holders with their photos in hex, readings with their
// checks and station, audit rows. Each store is asked the same in its own words.
const char* const kWritten[][2] = {
    {"select idcardno, name, sex, nation_no, born, address, grantdept, UsefulLifeBegin, UsefulLifeEnd, blackflag, "
     "case when photo is null then null else lower(hex(photo)) end from idcardinfo",
     "select idcardno, name, sex, nation_no::text, born, address, grantdept, usefullifebegin, usefullifeend, blackflag, "
     "encode(photo, 'hex') from idcardinfo"},
    {"select idcardno, readtime, checkflags, station from idcardwater",
     "select idcardno, to_char(readtime, 'YYYY-MM-DD HH24:MI:SS'), checkflags, station from idcardwater"},
    {"select action, count, detail from audit_log", "select action, count, detail from audit_log"},
};

QStringList FileRows(QSqlDatabase db)
{
    QStringList rows;
    for (const auto& sql : kWritten)
        rows << PgTestServer::Rows(db, QString::fromUtf8(sql[0]));
    rows.sort();
    return rows;
}

QStringList PgRows(PgStore& store)
{
    QStringList rows;
    for (const auto& sql : kWritten)
        rows << PgTestServer::Rows(store, sql[1]);
    rows.sort();
    return rows;
}

QString OutcomeText(const ImportOutcome& o)
{
    const CardCheckCounts& c = o.checks;
    const int values[] = {o.count, o.alreadyStored, o.repeatsInFile, o.badTimes, o.withoutPhoto, o.listedCount, o.failedRow,
                          o.readFailed, c.expired, c.notYetValid, c.minor, c.idNumber, c.repeat, o.Complete()};
    QStringList texts;
    for (int v : values)
        texts << QString::number(v);
    return QStringLiteral("count/already/in file/bad times/no photo/listed/failed row/read failed/"
                          "expired/not yet/minor/ID number/repeat/complete: ")
           + texts.join(u'/');
}

} // namespace

class TestPgImport : public QObject {
    Q_OBJECT

private:
    // A fresh database with the store's layout, and a station's connection to it.
    bool freshStore(PgStore& store, QString* conninfo)
    {
        QString error;
        const QString db = PgTestServer::CreateStore(&error);
        if (db.isEmpty()) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        *conninfo = PgTestServer::ConnInfo(db);
        if (!store.Open(*conninfo, kVersion, &error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        return true;
    }
    QString device(const QList<DeviceRow>& rows)
    {
        const QString path = m_dir.filePath(QStringLiteral("device%1.db").arg(m_devices++));
        QString error;
        if (!CreateDeviceDb(path, &error) || !AddDeviceRows(path, rows, &error))
            qWarning("%s", qPrintable(error));
        return path;
    }

    QTemporaryDir m_dir;
    int m_devices = 0;

private slots:
    void sameResultAsTheFileStore()
    {
        // Before: five holders and their readings, one of them listed since.
        QList<DeviceRow> first;
        for (int h = 1; h <= 5; ++h)
            first << Reading(h, QStringLiteral("08:%1:00").arg(h * 7, 2, 10, QLatin1Char('0')));
        first[1].photo = QVariant();
        QList<DeviceRow> second = {
            Reading(1, QStringLiteral("08:12:00")),  // 5 minutes after the stored one: a repeat
            Reading(2, QStringLiteral("08:10:00")),  // 4 minutes before the stored one, which becomes a repeat
            Reading(3, QStringLiteral("08:21:00")),  // stored before
            Reading(4, QStringLiteral("11:00:00")),  // listed since the first import
            Reading(6, QStringLiteral("09:00:00")),  // new, listed, card expired
            Reading(7, QStringLiteral("09:30:00")),  // new, twice in the file
            Reading(7, QStringLiteral("09:30:00")),
            Reading(8, QStringLiteral("10:00:00")),  // new, a minor
            Reading(9, QStringLiteral("not a time")),
        };
        second[4].validEnd = QStringLiteral("2020.01.01");
        second[7].birth = QStringLiteral("2015-05-05");
        second[5].photo = QByteArray("not a picture");
        const QString firstFile = device(first);
        const QString secondFile = device(second);
        const QString listSql = QStringLiteral("insert into watchlist (idcardno, reason, addtime, station) values ('%1', '测试', "
                                               "'2026-02-01 10:00:00', 'S'), ('%2', '测试', '2026-02-01 10:00:00', 'S')")
                                    .arg(Id(4), Id(6));

        TempProgramFolder folder;
        QVERIFY(folder.isValid());
        TDM_Main file;
        QString error;
        QVERIFY2(file.OpenFile(folder.storePath(), &error), qPrintable(error));
        const QString fileScratch = m_dir.filePath(QStringLiteral("file-scratch"));
        QDir().mkpath(fileScratch);
        ReadingLogImporter fileImport(file.con1(), fileScratch);

        PgStore pg;
        QString conninfo;
        QVERIFY(freshStore(pg, &conninfo));
        const QString pgScratch = m_dir.filePath(QStringLiteral("pg-scratch"));
        QDir().mkpath(pgScratch);
        PgReadingImporter pgImport(pg, pgScratch);

        QCOMPARE(OutcomeText(pgImport.ImportDeviceDb(firstFile)), OutcomeText(fileImport.ImportDeviceDb(firstFile)));
        QSqlQuery list(file.con1());
        QVERIFY2(list.exec(listSql), qPrintable(list.lastError().text()));
        QVERIFY2(pg.Exec(listSql.toUtf8().constData(), &error).Ok(), qPrintable(error));

        const ImportOutcome onFile = fileImport.ImportDeviceDb(secondFile);
        const ImportOutcome onPg = pgImport.ImportDeviceDb(secondFile);
        QCOMPARE(OutcomeText(onPg), OutcomeText(onFile));
        // Every rule had a case to act on.
        QVERIFY2(onFile.checks.repeat == 1 && onFile.checks.expired == 1 && onFile.checks.minor == 1 && onFile.checks.idNumber == 1 && onFile.alreadyStored == 1
                     && onFile.repeatsInFile == 1 && onFile.badTimes == 1 && onFile.listedCount == 2 && onFile.withoutPhoto == 1,
                 qPrintable(OutcomeText(onFile)));
        QCOMPARE(PgRows(pg), FileRows(file.con1()));
        // The bitmap side file is the last new holder's, as the file store's import leaves it.
        QFile pgSide(QDir(pgScratch).filePath(QLatin1String(ReadingLogImporter::kSideFileName)));
        QFile fileSide(QDir(fileScratch).filePath(QLatin1String(ReadingLogImporter::kSideFileName)));
        QVERIFY(pgSide.open(QIODevice::ReadOnly) && fileSide.open(QIODevice::ReadOnly));
        QCOMPARE(pgSide.readAll(), fileSide.readAll());
        // Nothing of the scratch store stays behind.
        QCOMPARE(QDir(pgScratch).entryList(QDir::Files), QStringList{QString::fromLatin1(ReadingLogImporter::kSideFileName)});
        // One left by an import that never ended goes at the next; one in use (recent) stays.
        for (const char* name : {"pgimport-old.db", "pgimport-old.db-journal", "pgimport-busy.db"}) {
            QFile left(QDir(pgScratch).filePath(QLatin1String(name)));
            QVERIFY(left.open(QIODevice::WriteOnly));
            if (QByteArray(name).contains("old"))
                QVERIFY(left.setFileTime(QDateTime::currentDateTime().addDays(-1), QFileDevice::FileModificationTime));
        }
        pgImport.ImportDeviceDb(secondFile);
        QCOMPARE(QDir(pgScratch).entryList({QStringLiteral("pgimport-*")}, QDir::Files), QStringList{QStringLiteral("pgimport-busy.db")});

        QString why;
        QVERIFY2(pgImport.AllReadingsStored(firstFile, &why), qPrintable(why));
        QVERIFY(pg.Exec("delete from idcardwater where readtime = '2026-03-01 08:35:00'", &error).Ok());
        bool unknown = true;
        QVERIFY(!pgImport.AllReadingsStored(firstFile, &why, &unknown));
        QCOMPARE(why, QStringLiteral("row 5 is not in the store"));
        QVERIFY(!unknown);
    }

    void stationsImportingAtOnceStoreEachOnce()
    {
        PgStore setup;
        QString conninfo;
        QVERIFY(freshStore(setup, &conninfo));
        // Two handhelds read 200 holders each, 100 of them the same people, and 50 of those at the
        // very same second (a reading both handhelds kept).
        QList<DeviceRow> a, b;
        for (int h = 0; h < 200; ++h) {
            a << Reading(h, QStringLiteral("07:%1:%2").arg(h / 60, 2, 10, QLatin1Char('0')).arg(h % 60, 2, 10, QLatin1Char('0')));
            const int other = h + 100;
            b << Reading(other, QStringLiteral("%1:%2:%3")
                                    .arg(other < 150 ? 7 : 12)
                                    .arg(other / 60, 2, 10, QLatin1Char('0'))
                                    .arg(other % 60, 2, 10, QLatin1Char('0')));
        }
        const QStringList files = {device(a), device(b)};
        ImportOutcome outcomes[2];
        std::thread stations[2];
        for (int s = 0; s < 2; ++s)
            stations[s] = std::thread([&, s] {
                PgStore store;
                QString error;
                if (!store.Open(conninfo, kVersion, &error)) {
                    outcomes[s].error = error;
                    return;
                }
                const QString scratch = m_dir.filePath(QStringLiteral("race%1").arg(s));
                QDir().mkpath(scratch);
                outcomes[s] = PgReadingImporter(store, scratch).ImportDeviceDb(files[s]);
            });
        for (auto& t : stations)
            t.join();
        for (const ImportOutcome& o : outcomes)
            QVERIFY2(o.Complete(), qPrintable(o.error));
        QString error;
        PgResult counts = setup.Exec("select (select count(*) from idcardinfo), (select count(distinct idcardno) from idcardinfo), "
                                     "(select count(*) from idcardwater), (select count(distinct (idcardno, readtime)) from idcardwater)",
                                     &error);
        QVERIFY2(counts.Ok(), qPrintable(error));
        QCOMPARE(counts.Number(0, 0), 300);
        QCOMPARE(counts.Number(0, 1), 300);
        QCOMPARE(counts.Number(0, 2), 350);
        QCOMPARE(counts.Number(0, 3), 350);
        // What each station reports adds up to what the store holds.
        QCOMPARE(outcomes[0].count + outcomes[1].count, 350);
        QCOMPARE(outcomes[0].alreadyStored + outcomes[1].alreadyStored, 50);
    }

    void holderWrittenOutsideTheImportsTurnIsKept()
    {
        // A writer that does not wait for the import's turn (another tool) stores one of its holders
        // first: the import skips that holder and stores the rest.
        PgStore store;
        QString conninfo;
        QVERIFY(freshStore(store, &conninfo));
        PGconn* other = PQconnectdb(conninfo.toUtf8().constData());
        QVERIFY2(PQstatus(other) == CONNECTION_OK, PQerrorMessage(other));
        const QString scratch = m_dir.filePath(QStringLiteral("outside"));
        QDir().mkpath(scratch);
        PgReadingImporter importer(store, scratch);
        importer.beforeStep = [&](const char* at) {
            if (qstrcmp(at, "holders") == 0)
                PQclear(PQexec(other, QStringLiteral("insert into idcardinfo (idcardno, name) values ('%1', '其他')").arg(Id(3)).toUtf8().constData()));
        };
        QList<DeviceRow> rows;
        for (int h = 1; h <= 5; ++h)
            rows << Reading(h, QStringLiteral("10:0%1:00").arg(h));
        const ImportOutcome o = importer.ImportDeviceDb(device(rows));
        PQfinish(other);
        QVERIFY2(o.Complete() && o.count == 5, qPrintable(OutcomeText(o) + o.error));
        QString error;
        PgResult stored = store.Exec("select count(*), count(*) filter (where name = '其他'), (select count(*) from idcardwater) from idcardinfo", &error);
        QVERIFY2(stored.Ok(), qPrintable(error));
        QCOMPARE(stored.Number(0, 0), 5);
        QCOMPARE(stored.Number(0, 1), 1);
        QCOMPARE(stored.Number(0, 2), 5);
    }

    void holderDeletedMeanwhileStopsTheImport()
    {
        // Retention at another station removes a holder this import found stored: its readings
        // must not go in without it.
        PgStore store;
        QString conninfo;
        QVERIFY(freshStore(store, &conninfo));
        const QString scratch = m_dir.filePath(QStringLiteral("meanwhile"));
        QDir().mkpath(scratch);
        PgReadingImporter importer(store, scratch);
        QVERIFY(importer.ImportDeviceDb(device({Reading(1, QStringLiteral("07:00:00"))})).Complete());
        PgStore other;
        QString error;
        QVERIFY2(other.Open(conninfo, kVersion, &error), qPrintable(error));
        importer.beforeStep = [&](const char* at) {
            if (qstrcmp(at, "turn") == 0) {
                other.Exec("delete from idcardwater", &error);
                other.Exec("delete from idcardinfo", &error);
            }
        };
        const QString later = device({Reading(1, QStringLiteral("09:00:00")), Reading(2, QStringLiteral("09:01:00"))});
        const ImportOutcome stopped = importer.ImportDeviceDb(later);
        QVERIFY(stopped.readFailed && !stopped.Complete());
        QVERIFY2(stopped.error.contains(QStringLiteral("另一站点删除")), qPrintable(stopped.error));
        QCOMPARE(PgTestServer::Rows(store, "select count(*) from idcardinfo"), QStringList{QStringLiteral("0")});

        importer.beforeStep = nullptr;
        const ImportOutcome again = importer.ImportDeviceDb(later);
        QVERIFY2(again.Complete() && again.count == 2, qPrintable(OutcomeText(again) + again.error));
        QCOMPARE(PgTestServer::Rows(store, "select count(*) from idcardwater w join idcardinfo b using (idcardno)"), QStringList{QStringLiteral("2")});
    }

    void connectionCutLeavesNothing_data()
    {
        QTest::addColumn<QString>("step");
        QTest::newRow("before the holders") << "holders";
        QTest::newRow("before the readings") << "readings";
        QTest::newRow("before the commit") << "commit";
    }
    void connectionCutLeavesNothing()
    {
        QFETCH(QString, step);
        PgStore store;
        QString conninfo;
        QVERIFY(freshStore(store, &conninfo));
        PGconn* admin = PQconnectdb(conninfo.toUtf8().constData());
        QVERIFY2(PQstatus(admin) == CONNECTION_OK, PQerrorMessage(admin));
        const QString scratch = m_dir.filePath(QStringLiteral("cut-") + step);
        QDir().mkpath(scratch);
        PgReadingImporter importer(store, scratch);
        QList<DeviceRow> rows;
        for (int h = 0; h < 20; ++h)
            rows << Reading(h, QStringLiteral("10:%1:00").arg(h, 2, 10, QLatin1Char('0')));
        const QString file = device(rows);
        importer.beforeStep = [&](const char* at) {
            if (step == QLatin1String(at))
                PQclear(PQexec(admin, QStringLiteral("select pg_terminate_backend(%1, 5000)").arg(store.BackendPid()).toUtf8().constData()));
        };
        const ImportOutcome cut = importer.ImportDeviceDb(file);
        QVERIFY(!cut.Complete());
        QVERIFY(cut.readFailed);
        QVERIFY2(cut.error.contains(QStringLiteral("断开")), qPrintable(cut.error));
        QVERIFY2(ImportIncompleteText(cut).startsWith(QStringLiteral("导入失败，未导入任何记录")), qPrintable(ImportIncompleteText(cut)));
        PQfinish(admin);

        // The next import makes the connection again and stores everything.
        importer.beforeStep = nullptr;
        QString error;
        PgResult before = store.Exec("select count(*) from idcardinfo", &error);
        QVERIFY2(before.Ok(), qPrintable(error));
        QCOMPARE(before.Number(0, 0), 0);
        const ImportOutcome again = importer.ImportDeviceDb(file);
        QVERIFY2(again.Complete() && again.count == 20, qPrintable(OutcomeText(again) + again.error));
        QCOMPARE(store.Reconnects(), 1);
    }
};

QTEST_GUILESS_MAIN(TestPgImport)
#include "test_pg_import.moc"
