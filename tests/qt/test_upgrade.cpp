// The store's layout version at start-up: upgrade with a copy, refusal of a newer store, a failed
// step that changes nothing.

#include "ReadingLogQuery.h"
#include "RecordStore.h"
#include "Startup.h"
#include "StoreUpgrade.h"
#include "StoreWriter.h"
#include "TestSupport.h"

#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

#include <sys/stat.h>

using Steps = QList<UpgradeStep>;
Q_DECLARE_METATYPE(Steps)

namespace {

// A step 2 as a later issue would add one: a table, a column and C++ work on the rows.
const UpgradeStep kStep2{2, QStringLiteral("CREATE TABLE watch (idcardno TEXT); ALTER TABLE idcardwater ADD COLUMN station TEXT;"),
                         [](QSqlDatabase db, QString*) { return QSqlQuery(db).exec(QStringLiteral("update idcardwater set station = 'S1'")); }};
const QString kEarlierBuild = QStringLiteral("PRAGMA user_version = 0;DROP INDEX idcardinfo_listing;"
                                             "CREATE INDEX idcardinfo_listing ON idcardinfo (idcardno, nation_no, name, address)");

QByteArray FileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The rows of the queries; by default every row of the three tables (photos too) and the listing.
QList<QVariantList> Rows(QSqlDatabase db, QStringList queries = {})
{
    const ReadingLogQuery listing = BuildReadingLogQuery({QDateTime(QDate(2000, 1, 1), {}), QDateTime(QDate(2099, 1, 1), {}), {}, {}});
    if (queries.isEmpty())
        queries = QStringList{"select * from idcardinfo", "select serialno, idcardno, readtime from idcardwater", "select * from nation_mes", listing.ListingSql()};
    QList<QVariantList> rows;
    for (const QString& sql : queries) {
        QSqlQuery q(db);
        q.prepare(sql);
        for (int i = 0; sql == listing.ListingSql() && i < listing.storeParams.size(); ++i)
            q.bindValue(i, listing.storeParams[i]);
        q.exec();
        while (q.next()) {
            rows.append(QVariantList());
            for (int c = 0; c < q.record().count(); ++c)
                rows.last().append(q.value(c));
        }
    }
    return rows;
}
const QString kVersionAndIndex =
    QStringLiteral("select user_version, (select count(*) from pragma_index_info('idcardinfo_listing') where name = 'blackflag') from pragma_user_version");

} // namespace

class TestUpgrade : public QObject {
    Q_OBJECT

    // A program folder whose store make_db built at version 1, with two holders; then change.
    void makeStore(const QString& change)
    {
        QString output, error;
        m_folder.reset(new TempProgramFolder);
        QVERIFY(QFile::remove(m_folder->storePath()));
        QVERIFY2(RunTool(QStringLiteral(IDCARD_MAKE_DB), {"--version", "1", m_folder->storePath(), IDCARD_SOURCE_DIR "/data/KeepTrackLog.sql", IDCARD_SOURCE_DIR "/data/upgrades"},
                         &output, &error),
                 qPrintable(error));
        TDM_Main dm;
        QVERIFY2(dm.OpenFile(m_folder->storePath(), &error), qPrintable(error));
        for (int i = 0; i < 2; ++i) {
            const QString id = SyntheticId(110101, QDate(1980 + i, 5, 6), 10 + i);
            QVERIFY(AddHolder(dm.con1(), {id, QStringLiteral("测试%1").arg(i), 1, SyntheticPng(102, 126, qRgb(i * 90, 40, 200))}));
            QVERIFY(AddReading(dm.con1(), id, QStringLiteral("2014-03-0%1 08:00:00").arg(i + 1)));
        }
        for (const QString& sql : change.split(u';', Qt::SkipEmptyParts))
            QVERIFY(QSqlQuery(dm.con1()).exec(sql));
        m_before = Rows(dm.con1());
        QCOMPARE(m_before.size(), 2 + 2 + 59 + 2); // holders, readings, nations, listing
        m_original = FileBytes(m_folder->storePath());
    }
    QString copyPath() const { return m_folder->storePath() + QStringLiteral(".v1.bak"); }
    QString databaseFolder() const { return QDir(m_folder->path() + QStringLiteral("database")).entryList(QDir::Files | QDir::Hidden).join(u' '); }

    std::unique_ptr<TempProgramFolder> m_folder;
    QList<QVariantList> m_before;
    QByteArray m_original;

private slots:
    void start_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QString>("box"); // a part of the one box shown; empty: none
        QTest::addColumn<int>("version"); // after the start; 0: refused, the store closed and unchanged
        QTest::addColumn<bool>("copy");
        QTest::newRow("older: upgraded") << "" << Steps{kStep2} << "记录库已从版本 1 升级到版本 2。\n升级前的记录库副本保存在：" << 2 << true;
        QTest::newRow("current: no copy, no box") << "" << Steps() << "" << 1 << false;
        QTest::newRow("earlier build: listing index gains blackflag") << kEarlierBuild << Steps() << "" << 1 << false;
        QTest::newRow("newer store") << "PRAGMA user_version = 99" << Steps{kStep2} << "记录库版本 99 高于本程序支持的版本 2，请使用新版程序" << 0 << false;
        // A failed step: no half-made copy, the whole one stays as the fallback.
        QTest::newRow("statement fails") << "" << Steps{kStep2, {3, "CREATE TABLE t3 (x); INSERT INTO nosuch VALUES (1);", {}}} << "no such table: nosuch" << 0 << true;
        QTest::newRow("C++ work fails") << "" << Steps{kStep2, {3, "DELETE FROM idcardinfo;", [](QSqlDatabase, QString*) { return false; }}} << "升级到版本 3 失败" << 0 << true;
        QTest::newRow("step commits itself") << "" << Steps{kStep2, {3, "DELETE FROM idcardinfo; COMMIT;", {}}} << "not authorized" << 0 << true;
    }
    void start()
    {
        QFETCH(QString, change);
        QFETCH(Steps, steps);
        QFETCH(QString, box);
        QFETCH(int, version);
        QFETCH(bool, copy);
        makeStore(change);
        ScriptedMessages messages;
        TDM_Main dm;
        QCOMPARE(OpenStoreAtStart(dm, m_folder->path(), steps), version != 0);
        QCOMPARE(dm.IsOpen(), version != 0);
        QCOMPARE(messages.shown.size(), box.isEmpty() ? 0 : 1);
        if (!box.isEmpty()) {
            QCOMPARE(messages.shown[0].kind, version != 0 ? MsgKind::Info : MsgKind::Error);
            QVERIFY2(messages.shown[0].text.contains(box) && messages.shown[0].text.endsWith(copy ? copyPath() : QString()), qPrintable(messages.shown[0].text));
        }
        QCOMPARE(databaseFolder(), copy ? QStringLiteral("KeepTrackLog.db KeepTrackLog.db.v1.bak") : QStringLiteral("KeepTrackLog.db"));
        if (version == 0) {
            QCOMPARE(dm.LastOpenError(), messages.shown[0].text);
            QCOMPARE(FileBytes(m_folder->storePath()), m_original);
        } else {
            QCOMPARE(Rows(dm.con1()), m_before);
            QCOMPARE(Rows(dm.con1(), {kVersionAndIndex}), QList<QVariantList>({{version, 1}}));
        }
        if (version == 2) // the step's C++ work ran
            QCOMPARE(Rows(dm.con1(), {"select count(*) from idcardwater where station = 'S1'"}), QList<QVariantList>({{2}}));
        if (copy) { // the whole store as it was, and the owner's alone
            TDM_Main copyStore;
            QVERIFY(copyStore.OpenFile(copyPath(), nullptr));
            QCOMPARE(Rows(copyStore.con1()), m_before);
            QCOMPARE(Rows(copyStore.con1(), {kVersionAndIndex}), QList<QVariantList>({{1, 1}}));
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(copyPath()).constData(), &st), 0);
            QCOMPARE(st.st_mode & 0777, 0600u);
        }
    }

    // Version 5: one row per reading, and the station of each. A reading stored twice before keeps
    // its earliest row; afterwards the store refuses a second row and the import skips it.
    void stepFiveKeepsOneRowPerReading()
    {
        TempProgramFolder folder;
        QString output, error;
        QVERIFY(QFile::remove(folder.storePath()));
        QVERIFY2(RunTool(QStringLiteral(IDCARD_MAKE_DB), {"--version", "4", folder.storePath(), IDCARD_SOURCE_DIR "/data/KeepTrackLog.sql", IDCARD_SOURCE_DIR "/data/upgrades"},
                         &output, &error),
                 qPrintable(error));
        TDM_Main dm;
        QVERIFY2(dm.OpenFile(folder.storePath(), &error), qPrintable(error));
        const QString a = SyntheticId(110101, QDate(1980, 5, 6), 10), b = SyntheticId(110101, QDate(1981, 5, 6), 11);
        for (const QString& id : {a, b})
            QVERIFY(AddHolder(dm.con1(), {id, QStringLiteral("测试"), 1, {}}));
        for (const auto& [id, time] : {std::pair{a, "2014-03-01 08:00:00"}, {a, "2014-03-01 08:00:00"}, {a, "2014-03-01 09:00:00"},
                                       {b, "2014-03-01 08:00:00"}, {a, "2014-03-01 08:00:00"}})
            QVERIFY(AddReading(dm.con1(), id, QLatin1String(time)));

        const StoreUpgradeResult result = UpgradeStore(dm.con1(), ProgramUpgradeSteps());
        QVERIFY2(result.outcome == StoreUpgradeResult::Upgraded, qPrintable(result.error));
        QCOMPARE(Rows(dm.con1(), {"PRAGMA user_version", "select serialno, idcardno, readtime, station from idcardwater order by serialno"}),
                 QList<QVariantList>({{5}, {1, a, "2014-03-01 08:00:00", ""}, {3, a, "2014-03-01 09:00:00", ""}, {4, b, "2014-03-01 08:00:00", ""}}));
        QSqlQuery again(dm.con1());
        QVERIFY(!again.exec(QStringLiteral("insert into idcardwater (idcardno, readtime) values ('%1', '2014-03-01 08:00:00')").arg(a)));
        QVERIFY2(again.lastError().text().contains(QStringLiteral("UNIQUE")), qPrintable(again.lastError().text()));

        StoreWriter writer(dm.con1(), QStringLiteral("东门"));
        QCOMPARE(writer.StoreReading(a, QStringLiteral("2014-03-01 08:00:00"), false, &error), StoreWriter::ReadingResult::AlreadyStored);
        QCOMPARE(writer.StoreReading(a, QStringLiteral("2014-03-02 08:00:00"), false, &error), StoreWriter::ReadingResult::Stored);
        QCOMPARE(Rows(dm.con1(), {"select count(*), max(station) from idcardwater"}), QList<QVariantList>({{4, QStringLiteral("东门")}}));
    }

    void programHasEveryStepOfTheFolder()
    {
        // The compiled-in steps are the folder's, and the build's store is at their version.
        QStringList compiled;
        for (const UpgradeStep& step : ProgramUpgradeSteps())
            if (!step.sql.isEmpty())
                compiled << QStringLiteral("%1.sql").arg(step.version, 4, 10, QLatin1Char('0'));
        QCOMPARE(compiled, QDir(IDCARD_SOURCE_DIR "/data/upgrades").entryList({"[0-9][0-9][0-9][0-9].sql"}, QDir::Files, QDir::Name));
        TDM_Main dm;
        QVERIFY(dm.OpenFile(IDCARD_PROGRAM_DIR "/database/KeepTrackLog.db", nullptr));
        QCOMPARE(Rows(dm.con1(), {"PRAGMA user_version"}), QList<QVariantList>({{LatestStoreVersion(ProgramUpgradeSteps())}}));
    }
};

QTEST_GUILESS_MAIN(TestUpgrade)
#include "test_upgrade.moc"
