// The store's layout version at start-up: upgrade with a copy, refusal of a newer store, a failed
// step that changes nothing.

#include "ReadingLogQuery.h"
#include "RecordStore.h"
#include "Startup.h"
#include "StoreUpgrade.h"
#include "TestSupport.h"

#include <QDir>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

#include <sys/stat.h>

Q_DECLARE_METATYPE(UpgradeStep)

namespace {

bool Work(QSqlDatabase db, QString* error)
{
    QSqlQuery q(db);
    if (q.exec(QStringLiteral("update idcardwater set station = 'S1'")))
        return true;
    *error = q.lastError().text();
    return false;
}
// A step 2 as a later issue would add one: a table, a column and C++ work on the rows.
const UpgradeStep kStep2{2, QStringLiteral("CREATE TABLE watch (idcardno VARCHAR(20)); ALTER TABLE idcardwater ADD COLUMN station VARCHAR(20);"), Work};

QByteArray FileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Every row of the three tables, photos included, and the listing of all dates.
QList<QVariantList> Contents(QSqlDatabase db)
{
    QList<QVariantList> rows;
    const ReadingLogQuery listing = BuildReadingLogQuery({QDateTime(QDate(2000, 1, 1), QTime()), QDateTime(QDate(2099, 1, 1), QTime()), {}, {}});
    for (const QString& sql : {QStringLiteral("select * from idcardinfo order by rowid"), QStringLiteral("select serialno, idcardno, readtime from idcardwater order by rowid"),
                               QStringLiteral("select * from nation_mes order by rowid"), listing.ListingSql()}) {
        QSqlQuery q(db);
        q.prepare(sql);
        for (int i = 0; i < listing.storeParams.size() && sql == listing.ListingSql(); ++i)
            q.bindValue(i, listing.storeParams[i]);
        if (!q.exec())
            qWarning("%s", qPrintable(q.lastError().text()));
        while (q.next()) {
            rows.append(QVariantList());
            for (int c = 0; c < q.record().count(); ++c)
                rows.last().append(q.value(c));
        }
    }
    return rows;
}

// The contents of a copy, which must still be a store of version 1.
QList<QVariantList> CopyContents(const QString& path)
{
    TDM_Main copy;
    QString error;
    if (!copy.OpenFile(path, &error))
        qWarning("%s", qPrintable(error));
    QSqlQuery q(copy.con1());
    if (!q.exec(QStringLiteral("PRAGMA user_version")) || !q.next() || q.value(0).toInt() != 1)
        return {};
    return Contents(copy.con1());
}

} // namespace

class TestUpgrade : public QObject {
    Q_OBJECT

    // A program folder whose store make_db built at the given version, with two holders.
    void makeStore(int version)
    {
        QString output, error;
        m_folder.reset(new TempProgramFolder);
        QVERIFY(QFile::remove(m_folder->storePath()));
        QVERIFY2(RunTool(QStringLiteral(IDCARD_MAKE_DB), {QStringLiteral("--private"), QStringLiteral("--version"), QString::number(version), m_folder->storePath(),
                                                          QStringLiteral(IDCARD_SOURCE_DIR "/data/KeepTrackLog.sql"), QStringLiteral(IDCARD_SOURCE_DIR "/data/upgrades")},
                         &output, &error),
                 qPrintable(error));
        TDM_Main dm;
        QVERIFY2(dm.OpenFile(m_folder->storePath(), &error), qPrintable(error));
        for (int i = 0; i < 2; ++i) {
            const QString id = SyntheticId(110101, QDate(1980 + i, 5, 6), 10 + i);
            QVERIFY2(AddHolder(dm.con1(), {id, QStringLiteral("测试%1").arg(i), 1, SyntheticPng(102, 126, qRgb(i * 90, 40, 200))}, &error), qPrintable(error));
            QVERIFY2(AddReading(dm.con1(), id, QStringLiteral("2014-03-0%1 08:00:00").arg(i + 1), &error), qPrintable(error));
        }
        m_before = Contents(dm.con1());
        QCOMPARE(m_before.size(), 2 + 2 + 59 + 2); // holders, readings, nations, listing
    }
    QString copyPath(int version) const { return m_folder->storePath() + QStringLiteral(".v%1.bak").arg(version); }
    QStringList databaseFolder() const { return QDir(m_folder->path() + QStringLiteral("database")).entryList(QDir::Files | QDir::Hidden); }

    std::unique_ptr<TempProgramFolder> m_folder;
    QList<QVariantList> m_before;

private slots:
    void upgradedWithCopyAndOneBox()
    {
        makeStore(1);
        ScriptedMessages messages;
        TDM_Main dm;
        QVERIFY(OpenStoreAtStart(dm, m_folder->path(), {kStep2}));
        QVERIFY(dm.IsOpen());
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].kind, MsgKind::Info);
        QVERIFY2(messages.shown[0].text.contains(QStringLiteral("版本 1 升级到版本 2")) && messages.shown[0].text.contains(copyPath(1)), qPrintable(messages.shown[0].text));
        QCOMPARE(Contents(dm.con1()), m_before);
        QSqlQuery q(dm.con1());
        QVERIFY(q.exec(QStringLiteral("select (select user_version from pragma_user_version), count(*) from idcardwater where station = 'S1'")) && q.next());
        QCOMPARE(q.value(0).toInt(), 2);
        QCOMPARE(q.value(1).toInt(), 2);

        QCOMPARE(CopyContents(copyPath(1)), m_before);
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(copyPath(1)).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
    }

    void failedStepChangesNothing_data()
    {
        QTest::addColumn<UpgradeStep>("step3");
        QTest::newRow("statement fails") << UpgradeStep{3, QStringLiteral("CREATE TABLE t3 (x); INSERT INTO nosuch VALUES (1);"), {}};
        QTest::newRow("C++ work fails") << UpgradeStep{3, QStringLiteral("DELETE FROM idcardinfo;"), [](QSqlDatabase, QString* error) {
                                                           *error = QStringLiteral("work failed");
                                                           return false;
                                                       }};
        QTest::newRow("step commits itself") << UpgradeStep{3, QStringLiteral("DELETE FROM idcardinfo; COMMIT;"), {}};
    }
    void failedStepChangesNothing()
    {
        QFETCH(UpgradeStep, step3);
        makeStore(1);
        const QByteArray original = FileBytes(m_folder->storePath());
        ScriptedMessages messages;
        TDM_Main dm;
        QVERIFY(!OpenStoreAtStart(dm, m_folder->path(), {kStep2, step3}));
        QVERIFY(!dm.IsOpen());
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].kind, MsgKind::Error);
        QVERIFY2(messages.shown[0].text.contains(QStringLiteral("升级到版本 3 失败")), qPrintable(messages.shown[0].text));
        QCOMPARE(dm.LastOpenError(), messages.shown[0].text);
        QCOMPARE(FileBytes(m_folder->storePath()), original);
        // Only a whole copy may stay, as the fallback.
        QCOMPARE(databaseFolder(), QStringList({QStringLiteral("KeepTrackLog.db"), QStringLiteral("KeepTrackLog.db.v1.bak")}));
        QCOMPARE(CopyContents(copyPath(1)), m_before);
    }

    void newerStoreRefusedUntouched()
    {
        makeStore(1);
        {
            TDM_Main dm;
            QVERIFY(dm.OpenFile(m_folder->storePath(), nullptr));
            QVERIFY(QSqlQuery(dm.con1()).exec(QStringLiteral("PRAGMA user_version = 99")));
        }
        const QByteArray original = FileBytes(m_folder->storePath());
        ScriptedMessages messages;
        TDM_Main dm;
        QVERIFY(!OpenStoreAtStart(dm, m_folder->path(), {kStep2}));
        QVERIFY(!dm.IsOpen());
        QCOMPARE(messages.Texts(), QStringList(QStringLiteral("记录库版本 99 高于本程序支持的版本 2，请使用新版程序")));
        QCOMPARE(messages.shown[0].kind, MsgKind::Error);
        QCOMPARE(FileBytes(m_folder->storePath()), original);
        QCOMPARE(databaseFolder(), QStringList(QStringLiteral("KeepTrackLog.db")));
    }

    void currentStoreNeedsNoCopyNorBox_data()
    {
        QTest::addColumn<bool>("earlierBuild");
        QTest::newRow("made by this build") << false;
        QTest::newRow("earlier build: no version, listing index without blackflag") << true;
    }
    void currentStoreNeedsNoCopyNorBox()
    {
        QFETCH(bool, earlierBuild);
        // An earlier build's store counts as version 1, so with no later step it is current.
        const QList<UpgradeStep> steps = earlierBuild ? QList<UpgradeStep>() : ProgramUpgradeSteps();
        makeStore(LatestStoreVersion(steps));
        if (earlierBuild) {
            TDM_Main dm;
            QVERIFY(dm.OpenFile(m_folder->storePath(), nullptr));
            for (const char* sql : {"PRAGMA user_version = 0", "DROP INDEX idcardinfo_listing", "CREATE INDEX idcardinfo_listing ON idcardinfo (idcardno, nation_no, name, address)"})
                QVERIFY(QSqlQuery(dm.con1()).exec(QString::fromLatin1(sql)));
        }
        ScriptedMessages messages;
        TDM_Main dm;
        QVERIFY(OpenStoreAtStart(dm, m_folder->path(), steps));
        QCOMPARE(messages.Texts(), QStringList());
        QCOMPARE(databaseFolder(), QStringList(QStringLiteral("KeepTrackLog.db")));
        QCOMPARE(Contents(dm.con1()), m_before);
        QSqlQuery q(dm.con1());
        QVERIFY(q.exec(QStringLiteral("select (select user_version from pragma_user_version), count(*) from pragma_index_info('idcardinfo_listing') where name = 'blackflag'")) && q.next());
        QCOMPARE(q.value(0).toInt(), LatestStoreVersion(steps));
        QCOMPARE(q.value(1).toInt(), 1);
    }

    void programHasEveryStepOfTheFolder()
    {
        // The compiled-in steps are the folder's, and the build's store is at their version.
        QStringList files = QDir(QStringLiteral(IDCARD_SOURCE_DIR "/data/upgrades")).entryList({QStringLiteral("[0-9][0-9][0-9][0-9].sql")}, QDir::Files, QDir::Name);
        QStringList compiled;
        for (const UpgradeStep& step : ProgramUpgradeSteps())
            if (!step.sql.isEmpty())
                compiled << QStringLiteral("%1.sql").arg(step.version, 4, 10, QLatin1Char('0'));
        QCOMPARE(compiled, files);
        TDM_Main dm;
        QVERIFY(dm.OpenFile(QStringLiteral(IDCARD_PROGRAM_DIR "/database/KeepTrackLog.db"), nullptr));
        QSqlQuery q(dm.con1());
        QVERIFY(q.exec(QStringLiteral("PRAGMA user_version")) && q.next());
        QCOMPARE(q.value(0).toInt(), LatestStoreVersion(ProgramUpgradeSteps()));
    }
};

QTEST_GUILESS_MAIN(TestUpgrade)
#include "test_upgrade.moc"
