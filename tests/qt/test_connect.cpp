// The connect-device command: a real process standing in for adb, a folder playing the handheld,
// and the window where it adds something (a double press, the filter timer held).

#include "ConnectDeviceCommand.h"
#include "DeviceTransfer.h"
#include "GrowingFileHash.h"
#include "ReadingLogImport.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "TIdcardmainfrm.h"
#include "TestSupport.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString kPullFailed = QStringLiteral("联接手持机设备失败，请检查设备连接及驱动是否正常！");
const QString kQuestion = QStringLiteral("是否删除手持机设备中已导出的数据？");
const QString kCleared = QStringLiteral("清除手持机内流水记录成功！");
const QString kNotCleared = QStringLiteral("清除手持机内流水记录失败！");

// Sets a file's time of change to some seconds ago.
bool backdate(const QString& path, int seconds)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly)
        && f.setFileTime(QDateTime::currentDateTime().addSecs(-seconds), QFileDevice::FileModificationTime);
}

QString id(int n) { return SyntheticId(510104, QDate(1979, 11, 30), n); }

DeviceRow row(int holder, const QString& time)
{
    DeviceRow r;
    r.ic = id(holder);
    r.readTime = time;
    r.photo = SyntheticPng();
    return r;
}

// Waits are shown through this; it can give up after a number of polls.
class TestProgress : public OperationProgress {
public:
    void Begin(const QString& text, bool cancellable) override
    {
        texts << text;
        if (!cancellable)
            blocking << text;
    }
    QStringList blocking;
    bool Cancelled() override
    {
        if (onPoll)
            onPoll();
        return cancelAfterPolls >= 0 && ++polls > cancelAfterPolls;
    }
    std::function<void()> onPoll; // runs while adb runs
    void End() override {}
    QStringList texts;
    int cancelAfterPolls = -1;
    int polls = 0;
};

} // namespace

class TestConnect : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<QTemporaryDir> m_handheld;
    std::unique_ptr<TDM_Main> m_store;
    std::unique_ptr<TIdcardmainfrm> m_window;
    TestProgress m_progress;
    QTemporaryDir m_scratch;
    QtProcessRunner m_runner;
    std::unique_ptr<ScriptedView> m_view;

    // One press of 联接设备, without the window.
    void click() { ConnectDeviceCommand(m_store.get(), m_runner, m_folder->path(), m_scratch.path(), *m_view).Run(); }
    // The real window, shown, for the tests where it adds something.
    TIdcardmainfrm* window()
    {
        if (!m_window) {
            m_window = std::make_unique<TIdcardmainfrm>(m_store.get(), m_folder->path());
            m_window->SetClock([] { return QDateTime(QDate(2014, 3, 8), QTime(12, 0)); });
            m_window->SetProgress(&m_progress);
            m_window->SetScratchFolder(m_scratch.path());
            m_window->show();
            if (!QTest::qWaitForWindowExposed(m_window.get()))
                qWarning("window not exposed");
        }
        return m_window.get();
    }

    QString deviceFile() const { return m_handheld->path() + QStringLiteral("/sdcard/quintara/idcard/db/idcard.db"); }
    QString pulledFile() const { return m_folder->path() + QStringLiteral("input/idcard.db"); }
    void setSwitch(const char* name, const QByteArray& content = QByteArray())
    {
        QFile f(m_handheld->path() + QLatin1Char('/') + QLatin1String(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    int handheldRows()
    {
        const QString name = QStringLiteral("handheld-check");
        int rows = -1;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(deviceFile());
            if (db.open()) {
                QSqlQuery q(db);
                if (q.exec(QStringLiteral("select count(*) from water_list")) && q.next())
                    rows = q.value(0).toInt();
            }
        }
        QSqlDatabase::removeDatabase(name);
        return rows;
    }
    QStringList adbCalls()
    {
        QFile log(m_handheld->path() + QStringLiteral("/calls.log"));
        if (!log.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(log.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }
    int endedCalls()
    {
        QFile log(m_handheld->path() + QStringLiteral("/ended.log"));
        return log.open(QIODevice::ReadOnly) ? int(log.readAll().count('\n')) : 0;
    }
    bool pushed()
    {
        for (const QString& call : adbCalls())
            if (call.startsWith(QStringLiteral("push")))
                return true;
        return false;
    }
    QString walFile() const { return deviceFile() + QStringLiteral("-wal"); }
    QString shmFile() const { return deviceFile() + QStringLiteral("-shm"); }
    // The handheld's app writes rows in WAL mode and keeps the database open: they stay in the
    // -wal, beside an -shm, until it closes it.
    void addToHandheldWal(const QList<DeviceRow>& rows)
    {
        QTemporaryDir app;
        const QString db = app.filePath(QStringLiteral("idcard.db"));
        QVERIFY(QFile::copy(deviceFile(), db));
        if (QFile::exists(walFile()))
            QVERIFY(QFile::copy(walFile(), db + QStringLiteral("-wal")));
        {
            QSqlDatabase open = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("handheld-app"));
            open.setDatabaseName(db);
            QVERIFY(open.open());
            // WAL mode, and a read left open so that the writer's close does not move the -wal in.
            QSqlQuery q(open);
            QVERIFY2(q.exec(QStringLiteral("pragma journal_mode=wal")), qPrintable(q.lastError().text()));
            q.finish();
            QVERIFY2(open.transaction() && q.exec(QStringLiteral("select count(*) from water_list")) && q.next(),
                     qPrintable(q.lastError().text()));
            QString error;
            QVERIFY2(AddDeviceRows(db, rows, &error), qPrintable(error));
            for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
                QFile::remove(deviceFile() + suffix);
                QVERIFY2(QFile::copy(db + suffix, deviceFile() + suffix), qPrintable(suffix));
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("handheld-app"));
        QVERIFY(QFileInfo(walFile()).size() > 0);
    }
    void loadHandheld(const QList<DeviceRow>& rows)
    {
        QVERIFY(QDir().mkpath(QFileInfo(deviceFile()).path()));
        QString error;
        QVERIFY2(CreateDeviceDb(deviceFile(), &error), qPrintable(error));
        QVERIFY2(AddDeviceRows(deviceFile(), rows, &error), qPrintable(error));
    }

private slots:
    void init()
    {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_handheld = std::make_unique<QTemporaryDir>();
        qputenv("IDCARD_HANDHELD_DIR", QFile::encodeName(m_handheld->path()));
        const QString adb = m_folder->path() + QStringLiteral("adb");
        QVERIFY(QFile::copy(QStringLiteral(IDCARD_SOURCE_DIR "/tools/adb_sim/adb"), adb));
        QVERIFY(QFile::setPermissions(adb, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        m_store = std::make_unique<TDM_Main>();
        QString error;
        QVERIFY2(m_store->Open(m_folder->path(), &error), qPrintable(error));
        m_progress = TestProgress();
        m_view = std::make_unique<ScriptedView>(m_store->con1());
        m_view->progress = &m_progress;
    }
    void cleanup()
    {
        m_window.reset();
        m_view.reset();
        m_store.reset();
        m_handheld.reset();
        m_folder.reset();
        qunsetenv("IDCARD_HANDHELD_DIR");
    }

    void noHandheld()
    {
        ScriptedMessages messages;
        setSwitch("no-device");
        // An older copy is removed first, so it cannot be imported by mistake.
        for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")}) {
            QFile stale(pulledFile() + suffix);
            QVERIFY(stale.open(QIODevice::WriteOnly));
            stale.write("old");
        }
        click();
        QCOMPARE(messages.Texts(), QStringList{kPullFailed});
        QCOMPARE(messages.shown[0].kind, MsgKind::Warning);
        // Moved aside, and deleted once the command has ended: nothing of it stays either.
        for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
            QVERIFY2(!QFile::exists(pulledFile() + suffix), qPrintable(suffix));
        QTRY_VERIFY(!QFile::exists(pulledFile() + QStringLiteral(".old")));
        QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 0);
    }

    void emptyHandheldAsksNothing()
    {
        ScriptedMessages messages;
        loadHandheld({});
        click();
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("设备中没有数据记录")});
        QVERIFY(!pushed());
    }

    void importThenCancelLeavesTheHandheld()
    {
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00"), row(2, "2014-03-08 09:00:00"), row(1, "2014-03-08 10:00:00")});
        int listedAtQuestion = -1;
        messages.onConfirm = [&] { listedAtQuestion = m_view->listed; };
        messages.answers.enqueue(false);
        click();
        QCOMPARE(messages.Texts(), (QStringList{QStringLiteral("成功导入记录 3 条\n本次导入的记录中：证件尚未生效 3 条，身份证号有误 3 条"), kQuestion}));
        QCOMPARE(listedAtQuestion, 3); // the list was refreshed before the question
        QCOMPARE(m_progress.blocking, QStringList{QStringLiteral("正在导入读卡记录…")});
        QCOMPARE(handheldRows(), 3);
        QVERIFY(!pushed());
        QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 3);
        QVERIFY(QFile::exists(pulledFile())); // left for the next pull to replace
    }

    void importThenOkClearsTheHandheld()
    {
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00"), row(2, "2014-03-08 09:00:00")});
        messages.answers.enqueue(true);
        click();
        QCOMPARE(messages.Texts(), (QStringList{QStringLiteral("成功导入记录 2 条\n本次导入的记录中：证件尚未生效 2 条，身份证号有误 2 条"), kQuestion, kCleared}));
        QCOMPARE(messages.shown.last().kind, MsgKind::Warning);
        QCOMPARE(handheldRows(), 0);
        QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 2);
        QVERIFY(!QFile::exists(m_folder->path() + QStringLiteral("input/verify.db")));
        const QStringList calls = adbCalls();
        // the database and its -wal, the check while importing and after the question, the -wal
        // and -shm removed and found gone, the push
        QCOMPARE(calls.size(), 8);
        QVERIFY(calls[0].startsWith(QStringLiteral("pull /sdcard/quintara/idcard/db/idcard.db ")));
        QVERIFY(calls[1].startsWith(QStringLiteral("pull /sdcard/quintara/idcard/db/idcard.db-wal ")));
        QCOMPARE(calls[7], QStringLiteral("push %1input/empty.db /sdcard/quintara/idcard/db/idcard.db").arg(m_folder->path()));
        QVERIFY(!messages.unexpectedQuestions.size());

        // A second connect finds the handheld empty.
        messages.shown.clear();
        click();
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("设备中没有数据记录")});
    }

    void alreadyImportedReadingsCanStillBeCleared()
    {
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00")});
        messages.answers << false << true;
        click();
        click();
        QCOMPARE(messages.Texts(), (QStringList{QStringLiteral("成功导入记录 1 条\n本次导入的记录中：证件尚未生效 1 条，身份证号有误 1 条"), kQuestion,
                                                QStringLiteral("成功导入记录 0 条\n另有 1 条记录此前已经导入，未重复保存"), kQuestion,
                                                kCleared}));
        QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 1);
        QCOMPARE(handheldRows(), 0);
    }

    void doublePressRunsTheCommandOnce()
    {
        // A slow handheld and an impatient operator: the second press lands while the first pull
        // waits, before any box covers the window.
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00"), row(2, "2014-03-08 09:00:00")});
        setSwitch("slow", "1");
        auto* button = window()->findChild<QPushButton*>(QStringLiteral("Button1"));
        QTimer::singleShot(150, button, [button] { QTest::mouseClick(button, Qt::LeftButton); });
        messages.answers.enqueue(true);
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(messages.Texts(), (QStringList{QStringLiteral("成功导入记录 2 条\n本次导入的记录中：证件尚未生效 2 条，身份证号有误 2 条"), kQuestion, kCleared}));
        int pulls = 0;
        for (const QString& call : adbCalls())
            pulls += call.contains(QStringLiteral("idcard.db.part"));
        QCOMPARE(pulls, 1);
        QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 2);
        QVERIFY(button->isEnabled());
    }

    void pulledCopiesAreOwnerOnly()
    {
        // Even with a permissive umask, neither the copy being written nor the finished one is
        // readable by other users.
        const mode_t saved = ::umask(022);
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00")});
        setSwitch("slow", "1");
        const QByteArray part = QFile::encodeName(pulledFile() + QStringLiteral(".part"));
        QSet<int> partModes;
        m_progress.onPoll = [&] {
            struct stat st {};
            if (::stat(part.constData(), &st) == 0)
                partModes.insert(int(st.st_mode & 0777));
        };
        messages.answers.enqueue(false);
        click();
        ::umask(saved);
        QCOMPARE(messages.Texts(), (QStringList{QStringLiteral("成功导入记录 1 条\n本次导入的记录中：证件尚未生效 1 条，身份证号有误 1 条"), kQuestion}));
        QCOMPARE(partModes, QSet<int>{0600});
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(pulledFile()).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
    }

    void storeThatCannotTakeTheReadings_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("said"); // in the one warning shown
        QTest::newRow("held by a second program") << "busy" << "记录库正被其他程序使用";
        QTest::newRow("read-only") << "readonly" << "readonly";
        QTest::newRow("missing at start") << "missing" << "文件不存在";
        QTest::newRow("removed while running") << "removed" << "记录库文件不存在";
        QTest::newRow("disk full") << "full" << "database or disk is full";
        QTest::newRow("first row unreadable") << "row1" << "第 1 条记录无法导入";
    }
    void storeThatCannotTakeTheReadings()
    {
        // Nothing goes in: the operator is told that the import failed and why, in one warning,
        // never that the device had no records; the handheld keeps its readings; and a second
        // program reading the store costs seconds, not minutes.
        QFETCH(QString, how);
        QFETCH(QString, said);
        ScriptedMessages messages;
        QList<DeviceRow> rows;
        for (int i = 1; i <= 60; ++i)
            rows << row(i, QStringLiteral("2014-03-08 08:%1:00").arg(i % 60, 2, 10, QLatin1Char('0')));
        loadHandheld(rows);
        QSqlDatabase second;
        QSqlQuery hold;
        QSqlQuery setup(m_store->con1());
        if (how == QLatin1String("busy")) {
            // A small page cache makes the import spill, which used to wait once per spill.
            QVERIFY(setup.exec(QStringLiteral("pragma cache_size=20")));
            second = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("second_program"));
            second.setDatabaseName(m_folder->storePath());
            QVERIFY(second.open());
            hold = QSqlQuery(second);
            QVERIFY(hold.exec(QStringLiteral("begin")));
            QVERIFY(hold.exec(QStringLiteral("select count(*) from idcardinfo")) && hold.next());
        } else if (how == QLatin1String("readonly")) {
            QVERIFY(setup.exec(QStringLiteral("pragma query_only=1")));
        } else if (how == QLatin1String("missing")) {
            setup = QSqlQuery();
            QVERIFY(QFile::remove(m_folder->storePath()));
            QString error;
            QVERIFY(!m_store->Open(m_folder->path(), &error));
        } else if (how == QLatin1String("removed")) {
            QVERIFY(QFile::remove(m_folder->storePath()));
        } else if (how == QLatin1String("full")) {
            QVERIFY(setup.exec(QStringLiteral("pragma page_count")) && setup.next());
            QVERIFY(setup.exec(QStringLiteral("pragma max_page_count=%1").arg(setup.value(0).toInt() + 40)));
        } else if (how == QLatin1String("row1")) {
            // The first row is a new holder, and the handheld's table has no name column.
            {
                QSqlDatabase device = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("device"));
                device.setDatabaseName(deviceFile());
                QVERIFY(device.open());
                QVERIFY(QSqlQuery(device).exec(QStringLiteral("alter table water_list rename column name to name_gone")));
                device.close();
            }
            QSqlDatabase::removeDatabase(QStringLiteral("device"));
        }

        QElapsedTimer clock;
        clock.start();
        click();
        QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].kind, MsgKind::Warning);
        const QString text = messages.shown[0].text;
        QVERIFY2(text.startsWith(QStringLiteral("导入失败，未导入任何记录：")) && text.contains(said), qPrintable(text));
        QVERIFY2(!text.contains(QStringLiteral("cannot commit")) && !text.contains(QStringLiteral("Driver not loaded")), qPrintable(text));
        QVERIFY(!pushed());
        QCOMPARE(handheldRows(), 60);
        if (how == QLatin1String("busy")) {
            hold.finish();
            second.rollback();
            hold = QSqlQuery();
            second.close();
            second = QSqlDatabase();
            QSqlDatabase::removeDatabase(QStringLiteral("second_program"));
        }
        if (m_store->IsOpen() && QFile::exists(m_folder->storePath())) {
            QVERIFY(setup.exec(QStringLiteral("pragma query_only=0")));
            QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 0);
            QCOMPARE(CountRows(m_store->con1(), "idcardinfo"), 0);
        }
    }

    void brokenPullImportsNothing_data()
    {
        QTest::addColumn<QByteArray>("broken");
        QTest::newRow("the database") << QByteArray();
        // Not an absence: the database alone would lack the newest readings.
        QTest::newRow("its -wal") << QByteArray("-wal");
    }
    void brokenPullImportsNothing()
    {
        QFETCH(QByteArray, broken);
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00")});
        addToHandheldWal({row(2, "2014-03-08 09:00:00")});
        setSwitch("break-pull", broken);
        click();
        QCOMPARE(messages.Texts(), QStringList{kPullFailed});
        for (const QString& suffix : {"", ".part", "-wal", "-wal.part", "-shm"})
            QVERIFY2(!QFile::exists(pulledFile() + suffix), qPrintable(suffix));
        QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 0);
        QCOMPARE(handheldRows(), 2);
        QVERIFY(!pushed());
    }

    void slowPullCanBeCancelledAndKeepsTheWindowAlive()
    {
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00")});
        setSwitch("slow", "30");
        bool eventLoopTurned = false;
        QTimer::singleShot(100, this, [&] { eventLoopTurned = true; });
        m_progress.cancelAfterPolls = 10; // about half a second
        QElapsedTimer clock;
        clock.start();
        click();
        QVERIFY2(clock.elapsed() < 10000, "cancel did not end the wait");
        QVERIFY(eventLoopTurned);
        QCOMPARE(messages.Texts(), QStringList{kPullFailed});
        QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 0);
        QVERIFY(!QFile::exists(pulledFile()));
        QCOMPARE(m_progress.texts.first(), QStringLiteral("正在从手持机读取数据…"));
        QVERIFY(m_progress.blocking.isEmpty()); // the wait for adb can be cancelled
    }

    void slowPullThatFinishesIsImported()
    {
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00")});
        setSwitch("slow", "4"); // longer than the fixed wait the command once had
        messages.answers.enqueue(false);
        // A filter edit pending during the wait is not queried in the middle of the command.
        window()->QueryDirty = true;
        int queries = 0;
        connect(window()->Model(), &QAbstractItemModel::modelReset, this, [&] { ++queries; });
        window()->Button1Click();
        QCOMPARE(messages.Texts(), (QStringList{QStringLiteral("成功导入记录 1 条\n本次导入的记录中：证件尚未生效 1 条，身份证号有误 1 条"), kQuestion}));
        QCOMPARE(queries, 1); // the refresh after the import only
        QVERIFY(!window()->QueryBusy);
        QVERIFY(window()->QueryDirty);
    }

    void timedOutPullImportsNothing()
    {
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00")});
        setSwitch("slow", "30");
        QtProcessRunner runner;
        DeviceTransfer transfer(m_folder->path(), runner, nullptr);
        transfer.SetTimeout(700);
        QCOMPARE(transfer.PullDeviceDb(pulledFile()), -1);
        QVERIFY(transfer.LastResult().timedOut);
        QVERIFY(!QFile::exists(pulledFile()));
        QVERIFY(!QFile::exists(pulledFile() + QStringLiteral(".part")));
    }

    void incompleteImportAsksNothing()
    {
        ScriptedMessages messages;
        QSqlQuery trigger(m_store->con1());
        QVERIFY(trigger.exec(QStringLiteral("create trigger refuse before insert on idcardwater when new.idcardno='%1' "
                                            "begin select raise(abort, 'refused'); end").arg(id(2))));
        loadHandheld({row(1, "2014-03-08 08:00:00"), row(2, "2014-03-08 09:00:00"), row(3, "2014-03-08 10:00:00")});
        click();
        QCOMPARE(messages.shown.size(), 2);
        QCOMPARE(messages.shown[0].text, QStringLiteral("成功导入记录 1 条\n本次导入的记录中：证件尚未生效 1 条，身份证号有误 1 条"));
        QCOMPARE(messages.shown[1].kind, MsgKind::Warning);
        QVERIFY(messages.shown[1].text.contains(QStringLiteral("第 2 条记录导入失败")));
        QCOMPARE(m_view->listed, 1); // refreshed all the same
        QCOMPARE(handheldRows(), 3);
        QVERIFY(!pushed());
    }

    void readingAddedBeforeTheClearKeepsTheHandheld()
    {
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00")});
        messages.answers.enqueue(true);
        messages.onConfirm = [&] { QVERIFY(AddDeviceRows(deviceFile(), {row(4, "2014-03-08 12:30:00")})); };
        click();
        QCOMPARE(messages.shown.size(), 3);
        QCOMPARE(messages.shown[2].kind, MsgKind::Warning);
        QCOMPARE(messages.shown[2].text, QStringLiteral("手持机中有尚未导入的数据，未清除手持机内流水记录，请重新联接设备。"));
        QCOMPARE(handheldRows(), 2);
        QVERIFY(!pushed());
    }

    void checkBeforeClearing_data()
    {
        QTest::addColumn<QByteArray>("handheldSwitch");
        QTest::addColumn<bool>("inWal"); // the second reading is in the handheld's -wal
        QTest::addColumn<bool>("lately"); // the handheld's files changed just before the click
        QTest::addColumn<QString>("changeMeanwhile");
        QTest::addColumn<QStringList>("commands"); // adb's, and the shell's first one for a shell
        QTest::addColumn<bool>("cleared");
        QTest::addColumn<QString>("told"); // the last message
        // Each pull copies the database and asks for its -wal; while the copy is imported the
        // handheld tells the clock, the files' state and hashes ("date ..."); the push first removes
        // the -wal and -shm and pulls each to see that it is gone.
        const QStringList pulled{"pull", "pull", "date"};
        const QStringList push{"rm", "pull", "pull", "push"};
        const QStringList stated = pulled + QStringList{"stat"} + push;
        const QStringList hashed = pulled + QStringList{"md5sum"} + push;
        const QStringList copiedAgain = pulled + QStringList{"md5sum", "pull", "pull"} + push;
        const QStringList kept = pulled + QStringList{"md5sum", "pull", "pull"};
        const QStringList changedCopiedAgain = pulled + QStringList{"stat", "md5sum", "pull", "pull"} + push;
        const QStringList changedKept = pulled + QStringList{"stat", "md5sum", "pull", "pull"};
        const QString missing = QStringLiteral("手持机中有尚未导入的数据，未清除手持机内流水记录，请重新联接设备。");
        QTest::newRow("state unchanged: nothing hashed or copied again") << QByteArray() << false << false << "" << stated << true << kCleared;
        QTest::newRow("changed just before: hashed again") << QByteArray() << false << true << "" << hashed << true << kCleared;
        QTest::newRow("no stat on the handheld: hashed again") << QByteArray("no-stat") << false << false << "" << hashed << true << kCleared;
        QTest::newRow("no hashing on the handheld: copied again") << QByteArray("no-hash") << false << false << "" << copiedAgain << true << kCleared;
        QTest::newRow("file rewritten, same readings: copied again") << QByteArray() << false << false << "rewrite" << changedCopiedAgain << true << kCleared;
        QTest::newRow("a card read meanwhile: kept") << QByteArray() << false << false << "add" << changedKept << false << missing;
        QTest::newRow("changed just before, then a card read: kept") << QByteArray() << false << true << "add" << kept << false << missing;
        QTest::newRow("no hashing and a card read: kept") << QByteArray("no-hash") << false << false << "add" << kept << false << missing;
        QTest::newRow("store locked during the check: kept, and said so")
            << QByteArray("no-hash") << false << false << "lock" << kept << false
            << QStringLiteral("无法核对手持机中的记录是否均已导入，未清除手持机内流水记录：database is locked Unable to fetch row");
        QTest::newRow("-wal, state unchanged: nothing hashed or copied again") << QByteArray() << true << false << "" << stated << true << kCleared;
        QTest::newRow("-wal changed just before: hashed again") << QByteArray() << true << true << "" << hashed << true << kCleared;
        QTest::newRow("-wal, no hashing: copied again") << QByteArray("no-hash") << true << false << "" << copiedAgain << true << kCleared;
        QTest::newRow("-wal moved into the database, same readings: copied again")
            << QByteArray() << true << false << "checkpoint" << changedCopiedAgain << true << kCleared;
        QTest::newRow("-wal, a card read into it meanwhile: kept") << QByteArray() << true << false << "add-wal" << changedKept << false << missing;
        QTest::newRow("a -wal with a card appears meanwhile: kept") << QByteArray() << false << false << "add-wal" << changedKept << false << missing;
        QTest::newRow("no hashing, a -wal with a card appears: kept") << QByteArray("no-hash") << false << false << "add-wal" << kept << false << missing;
        // rm missing on the handheld: only a -wal that stays keeps the empty database back.
        QTest::newRow("no rm, no -wal: cleared") << QByteArray("no-rm") << false << false << "" << stated << true << kCleared;
        QTest::newRow("no rm, a -wal that stays: kept")
            << QByteArray("no-rm") << true << false << "" << pulled + QStringList{"stat", "rm", "pull"} << false << kNotCleared;
    }
    void checkBeforeClearing()
    {
        QFETCH(QByteArray, handheldSwitch);
        QFETCH(bool, inWal);
        QFETCH(bool, lately);
        QFETCH(QString, changeMeanwhile);
        QFETCH(QStringList, commands);
        QFETCH(bool, cleared);
        QFETCH(QString, told);
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00")});
        if (inWal)
            addToHandheldWal({row(2, "2014-03-08 09:00:00")});
        else
            QVERIFY(AddDeviceRows(deviceFile(), {row(2, "2014-03-08 09:00:00")}));
        if (!lately) // the last card read an hour before the handheld was connected
            for (const QString& file : {deviceFile(), walFile()})
                if (QFile::exists(file))
                    QVERIFY(backdate(file, 3600));
        QSqlDatabase other; // a second program that locks the store while the question is up
        if (!handheldSwitch.isEmpty())
            setSwitch(handheldSwitch.constData());
        messages.answers.enqueue(true);
        messages.onConfirm = [&] {
            // The change comes after the handheld has hashed its files while the copy was imported.
            QTRY_COMPARE(endedCalls(), 3);
            if (changeMeanwhile == QLatin1String("add")) {
                QVERIFY(AddDeviceRows(deviceFile(), {row(4, "2014-03-08 12:30:00")}));
            } else if (changeMeanwhile == QLatin1String("add-wal")) {
                addToHandheldWal({row(4, "2014-03-08 12:30:00")});
            } else if (changeMeanwhile == QLatin1String("checkpoint")) {
                QCOMPARE(handheldRows(), 2); // the last connection to close moves the -wal in
                QVERIFY(!QFile::exists(walFile()));
            } else if (changeMeanwhile == QLatin1String("rewrite")) {
                // Other bytes, the same readings.
                QSqlDatabase device = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("rewrite"));
                device.setDatabaseName(deviceFile());
                QVERIFY(device.open());
                QVERIFY(QSqlQuery(device).exec(QStringLiteral("update water_list set addr='测试省测试市测试路2号'")));
                device.close();
                device = QSqlDatabase();
                QSqlDatabase::removeDatabase(QStringLiteral("rewrite"));
            } else if (changeMeanwhile == QLatin1String("lock")) {
                other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
                other.setDatabaseName(m_folder->storePath());
                QVERIFY(other.open());
                QVERIFY(QSqlQuery(other).exec(QStringLiteral("begin exclusive")));
            }
        };
        click();
        if (other.isValid()) {
            QSqlQuery(other).exec(QStringLiteral("rollback"));
            other.close();
            other = QSqlDatabase();
            QSqlDatabase::removeDatabase(QStringLiteral("locker"));
        }
        QStringList seen;
        for (const QString& call : adbCalls())
            seen << call.section(u' ', call.startsWith(QLatin1String("shell ")) ? 1 : 0, call.startsWith(QLatin1String("shell ")) ? 1 : 0);
        QCOMPARE(seen, commands);
        const QString files = QStringLiteral("/sdcard/quintara/idcard/db/idcard.db /sdcard/quintara/idcard/db/idcard.db-wal");
        QCOMPARE(adbCalls().at(2), QStringLiteral("shell date +%s; stat -c %i:%s:%Y:%n ") + files + QStringLiteral("; md5sum ") + files);
        if (commands.contains(QLatin1String("md5sum")))
            QVERIFY(adbCalls().contains(QStringLiteral("shell md5sum ") + files));
        QCOMPARE(messages.Texts().first(), QStringLiteral("成功导入记录 2 条\n本次导入的记录中：证件尚未生效 2 条，身份证号有误 2 条"));
        QCOMPARE(messages.Texts().last(), told);
        if (cleared) {
            // Replaced whole: the -wal and -shm went first, so nothing can be replayed onto it.
            QVERIFY(!QFile::exists(walFile()));
            QVERIFY(!QFile::exists(shmFile()));
            QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 2);
        }
        QCOMPARE(handheldRows(), cleared ? 0 : changeMeanwhile.startsWith(QLatin1String("add")) ? 3 : 2);
        for (const QString& left : {"verify.db", "verify.db-wal", "verify.db-shm", "empty.db.check"})
            QVERIFY2(!QFile::exists(m_folder->path() + QStringLiteral("input/") + left), qPrintable(left));
        QVERIFY(m_progress.texts.contains(QStringLiteral("正在核对手持机数据…")));
    }

    void cancelledCheckClearsNothing()
    {
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00")});
        messages.answers.enqueue(true);
        messages.onConfirm = [&] {
            // The hashing while importing has ended; the file changed just before the click, so
            // the handheld hashes it again, and takes its time.
            QTRY_COMPARE(endedCalls(), 3);
            setSwitch("slow", "30");
            m_progress.polls = 0;
            m_progress.cancelAfterPolls = 4;
        };
        QElapsedTimer clock;
        clock.start();
        click();
        QVERIFY2(clock.elapsed() < 10000, "cancel did not end the wait");
        QCOMPARE(messages.Texts().last(), QStringLiteral("已取消核对，未清除手持机内流水记录。"));
        QCOMPARE(adbCalls().size(), 4); // the pull and both hashings; nothing copied again, nothing pushed
        QCOMPARE(handheldRows(), 1);
    }

    void hashAnswers_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QByteArray>("hash");
        const QByteArray sum = "d41d8cd98f00b204e9800998ecf8427e";
        const QByteArray path = DeviceTransfer::kDevicePath;
        QTest::newRow("md5sum's line") << sum + "  " + path + "\n" << sum;
        QTest::newRow("upper case, one blank, CR LF") << sum.toUpper() + " " + path + "\r\n" << sum;
        QTest::newRow("after adb's own notes") << "* daemon started successfully\n" + sum + "  " + path + "\n" << sum;
        QTest::newRow("no such command") << QByteArray("/system/bin/sh: md5sum: not found\n") << QByteArray();
        QTest::newRow("no such file") << "md5sum: " + path + ": No such file or directory\n" << QByteArray();
        QTest::newRow("another file") << sum + "  /sdcard/other.db\n" << QByteArray();
        QTest::newRow("a SHA-1 is not an MD5") << QByteArray("da39a3ee5e6b4b0d3255bfef95601890afd80709  ") + path + "\n" << QByteArray();
        QTest::newRow("not hex") << QByteArray(32, 'g') + "  " + path << QByteArray();
        QTest::newRow("two answers") << sum + "  " + path + "\n" + QByteArray(32, '1') + "  " + path + "\n" << QByteArray();
        QTest::newRow("nothing") << QByteArray() << QByteArray();
    }
    void hashAnswers()
    {
        QFETCH(QByteArray, output);
        QFETCH(QByteArray, hash);
        QCOMPARE(DeviceTransfer::Md5FromAnswer(output), hash);
    }

    void missingAnswers_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<bool>("missing");
        const QByteArray wal = QByteArray(DeviceTransfer::kDevicePath) + "-wal";
        QTest::newRow("pull: adb's words") << QByteArray("pull") << "adb: error: remote object '" + wal + "' does not exist\n" << true;
        QTest::newRow("pull: adb's other words") << QByteArray("pull") << "* daemon started successfully\nadb: error: failed to stat remote object '" + wal + "': No such file or directory\r\n" << true;
        QTest::newRow("pull: refused") << QByteArray("pull") << "adb: error: failed to stat remote object '" + wal + "': Permission denied\n" << false;
        QTest::newRow("pull: connection lost") << QByteArray("pull") << "adb: error: failed to read '" + wal + "': connection reset\n" << false;
        QTest::newRow("pull: another file") << QByteArray("pull") << "adb: error: remote object '" + wal + ".old' does not exist\n" << false;
        QTest::newRow("md5sum: missing") << QByteArray("md5sum") << "md5sum: " + wal + ": No such file or directory\n" << true;
        QTest::newRow("md5sum: hashed") << QByteArray("md5sum") << QByteArray(32, 'a') + "  " + wal + "\n" << false;
        QTest::newRow("md5sum: no such command") << QByteArray("md5sum") << QByteArray("/system/bin/sh: md5sum: not found\n") << false;
    }
    void missingAnswers()
    {
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, output);
        QFETCH(bool, missing);
        const QByteArray wal = QByteArray(DeviceTransfer::kDevicePath) + "-wal";
        QCOMPARE(command == "pull" ? DeviceTransfer::PullSaysMissing(output, wal) : DeviceTransfer::AnswerSaysMissing(output, wal), missing);
    }

    void earlyAnswers_data()
    {
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<bool>("copyHasWal");
        QTest::addColumn<bool>("known");
        const QByteArray db = DeviceTransfer::kDevicePath;
        const QByteArray wal = db + "-wal";
        const QByteArray dbSum(32, 'a'), walSum(32, 'b');
        const QByteArray clock = "1796770000\n";
        const QByteArray dbState = "4242:430000000:1796760000:" + db + "\n";
        const QByteArray walState = "4243:32992:1796760000:" + wal + "\n";
        const QByteArray hashes = dbSum + "  " + db + "\nmd5sum: " + wal + ": No such file or directory\n";
        const QByteArray bothHashed = dbSum + "  " + db + "\n" + walSum + "  " + wal + "\n";
        QTest::newRow("toybox") << clock + dbState + "stat: " + wal + ": No such file or directory\n" + hashes << false << true;
        QTest::newRow("busybox, after adb's notes")
            << "* daemon started successfully\n" + clock + dbState + "stat: can't stat '" + wal + "': No such file or directory\n" + hashes << false << true;
        QTest::newRow("with its -wal") << clock + dbState + walState + bothHashed << true << true;
        QTest::newRow("changed a second before the clock")
            << "1796760001\n" + dbState + "stat: " + wal + ": No such file or directory\n" + hashes << false << false;
        QTest::newRow("-wal changed just before") << clock + dbState + "4243:32992:1796769999:" + wal + "\n" + bothHashed << true << false;
        QTest::newRow("not the copy's hash")
            << clock + dbState + "stat: " + wal + ": No such file or directory\n" + QByteArray(32, 'c') + "  " + db + "\n" << false << false;
        QTest::newRow("no clock") << "/system/bin/sh: date: not found\n" + dbState + "stat: " + wal + ": No such file or directory\n" + hashes
                                  << false << false;
        QTest::newRow("no stat") << clock + "/system/bin/sh: stat: not found\n" + hashes << false << false;
        QTest::newRow("-wal gone since the copy") << clock + dbState + "stat: " + wal + ": No such file or directory\n" + hashes << true << false;
        QTest::newRow("a -wal the copy lacks") << clock + dbState + walState + bothHashed << false << false;
        QTest::newRow("-wal's state not told") << clock + dbState + "stat: " + wal + ": Permission denied\n" + hashes << false << false;
        QTest::newRow("the database told twice") << clock + dbState + dbState + "stat: " + wal + ": No such file or directory\n" + hashes << false << false;
    }
    void earlyAnswers()
    {
        QFETCH(QByteArray, output);
        QFETCH(bool, copyHasWal);
        QFETCH(bool, known);
        DeviceCopy copy;
        copy.dbMd5 = QByteArray(32, 'a');
        copy.hasWal = copyHasWal;
        copy.walMd5 = copyHasWal ? QByteArray(32, 'b') : QByteArray();
        const DeviceTransfer::EarlyState state = DeviceTransfer::EarlyStateFromAnswer(output, copy);
        QCOMPARE(state.known, known);
        if (known) {
            QCOMPARE(state.db, "4242:430000000:1796760000:" + QByteArray(DeviceTransfer::kDevicePath));
            QCOMPARE(state.wal.isEmpty(), !copyHasWal);
        }
    }

    void hashWhileWritten_data()
    {
        QTest::addColumn<bool>("replaced");
        QTest::newRow("written in pieces as it is read") << false;
        QTest::newRow("replaced by a shorter file meanwhile") << true;
    }
    void hashWhileWritten()
    {
        QFETCH(bool, replaced);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("copy"));
        QByteArray bytes(3 << 20, Qt::Uninitialized);
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char((i * 7919) >> 5);
        GrowingFileMd5 hash(path);
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        for (int at = 0; at < bytes.size(); at += 256 << 10) {
            QCOMPARE(out.write(bytes.mid(at, 256 << 10)), qint64(256 << 10));
            QThread::msleep(3);
        }
        out.close();
        if (replaced) {
            QThread::msleep(50); // the first file read to its end
            bytes.truncate(1000);
            QVERIFY(QFile::remove(path) && out.open(QIODevice::WriteOnly) && out.write(bytes) == 1000);
            out.close();
        }
        QCOMPARE(hash.Finish(), QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
    }

    void failingPushIsReported()
    {
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00")});
        setSwitch("fail-push");
        messages.answers.enqueue(true);
        click();
        QCOMPARE(messages.Texts().last(), kNotCleared);
        QCOMPARE(handheldRows(), 1);
    }

    void missingEmptyDatabaseIsReported()
    {
        ScriptedMessages messages;
        loadHandheld({row(1, "2014-03-08 08:00:00")});
        QVERIFY(QFile::remove(m_folder->path() + QStringLiteral("input/empty.db")));
        messages.answers.enqueue(true);
        click();
        QCOMPARE(messages.Texts().last(), kNotCleared);
        QCOMPARE(handheldRows(), 1);
        QVERIFY(!pushed());
    }

    void missingAdbIsAPullFailure()
    {
        ScriptedMessages messages;
        QVERIFY(QFile::remove(m_folder->path() + QStringLiteral("adb")));
        click();
        QCOMPARE(messages.Texts(), QStringList{kPullFailed});
        QtProcessRunner runner;
        DeviceTransfer transfer(m_folder->path(), runner, nullptr);
        QCOMPARE(transfer.PushDeviceDb(m_folder->path() + QStringLiteral("input/empty.db")), -1);
        QVERIFY(!transfer.LastResult().started);
    }

    void realAdbWithoutDevice()
    {
        const QString adb = QStandardPaths::findExecutable(QStringLiteral("adb"), {QStringLiteral("/usr/bin"), QStringLiteral("/usr/lib/android-sdk/platform-tools")});
        if (adb.isEmpty())
            QSKIP("adb is not installed");
        // A port of its own, so the test neither meets nor leaves behind anyone else's server.
        qputenv("ANDROID_ADB_SERVER_PORT", "5198");
        const QString link = m_folder->path() + QStringLiteral("adb");
        QVERIFY(QFile::remove(link));
        QVERIFY(QFile::link(adb, link));
        ScriptedMessages messages;
        click();
        QProcess::execute(adb, {QStringLiteral("kill-server")});
        qunsetenv("ANDROID_ADB_SERVER_PORT");
        QCOMPARE(messages.Texts(), QStringList{kPullFailed});
        QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 0);
    }
};

QTEST_MAIN(TestConnect)
#include "test_connect.moc"
