// Importing a device database from a file: the private copy, what the operator is told, drops,
// and the button on the real window.

#include "FileImportCommand.h"
#include "PrivateDbCopy.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "ScratchFolder.h"
#include "TIdcardmainfrm.h"
#include "TestSupport.h"

#include <QCryptographicHash>
#include <QMimeData>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <sys/stat.h>

namespace {

const QString kOpenFailed = QStringLiteral("联接二代证读卡流水数据库失败");
const QString kNoTable = QStringLiteral("二代证读卡流水数据库验证失败");

QString id(int n) { return SyntheticId(440305, QDate(1992, 5, 17), n); }

DeviceRow row(int holder, const QString& time)
{
    DeviceRow r;
    r.ic = id(holder);
    r.readTime = time;
    r.photo = SyntheticPng();
    return r;
}

QByteArray hashOf(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&f);
    return hash.result();
}

} // namespace

class TestFileImport : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<TDM_Main> m_store;
    std::unique_ptr<ScriptedView> m_view;
    std::unique_ptr<QTemporaryDir> m_files; // where the operator's files lie
    QTemporaryDir m_scratchBase;
    QString m_scratch;

    QString file(const QString& name) const { return m_files->filePath(name); }
    void makeDevice(const QString& path, const QList<DeviceRow>& rows)
    {
        QString error;
        QVERIFY2(CreateDeviceDb(path, &error), qPrintable(error));
        QVERIFY2(AddDeviceRows(path, rows, &error), qPrintable(error));
    }
    FileImportCommand command() { return FileImportCommand(m_store.get(), m_folder->path(), m_scratch, *m_view); }
    // Copies left in the scratch folder.
    QStringList leftovers() const
    {
        return QDir(m_scratch).entryList({QLatin1String(PrivateDbCopy::kFolderPrefix) + QLatin1Char('*')},
                                         QDir::Dirs | QDir::NoDotAndDotDot);
    }

private slots:
    void init()
    {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_store = std::make_unique<TDM_Main>();
        QString error;
        QVERIFY2(m_store->Open(m_folder->path(), &error), qPrintable(error));
        m_view = std::make_unique<ScriptedView>(m_store->con1());
        m_files = std::make_unique<QTemporaryDir>();
        m_scratch = PrivateScratchFolderIn(m_scratchBase.path());
        QVERIFY(!m_scratch.isEmpty());
    }
    void cleanup()
    {
        QVERIFY(leftovers().isEmpty());
        m_view.reset();
        m_store.reset();
        m_folder.reset();
    }

    void sameFileTwiceStoresItOnce()
    {
        ScriptedMessages messages;
        const QString device = file(QStringLiteral("colleague.db"));
        makeDevice(device, {row(1, "2014-03-08 08:00:00"), row(2, "2014-03-08 09:00:00"), row(1, "2014-03-08 10:00:00")});
        const QByteArray original = hashOf(device);
        messages.fileNames << device << device << QString();
        command().Run();
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("成功导入记录 3 条")});
        QCOMPARE(messages.shown[0].kind, MsgKind::Info);
        QCOMPARE(m_view->refreshes, 1);
        QCOMPARE(m_view->listed, 3);
        QCOMPARE(CountRows(m_store->con1(), "idcardinfo"), 2);
        const SaveFileRequest& asked = messages.saveRequests.constFirst();
        QCOMPARE(asked.folder, m_folder->path() + QStringLiteral("input"));
        QCOMPARE(asked.filter, QStringLiteral("读卡流水数据库 (*.db)"));

        messages.shown.clear();
        command().Run();
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("成功导入记录 0 条\n另有 3 条记录此前已经导入，未重复保存")});
        QCOMPARE(m_view->refreshes, 1); // nothing new to list
        QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 3);

        messages.shown.clear();
        command().Run(); // the dialog cancelled
        QVERIFY(messages.shown.isEmpty());
        QCOMPARE(messages.saveRequests.size(), 3);
        QCOMPARE(hashOf(device), original);
        QVERIFY(!QFile::exists(device + QStringLiteral("-wal")));
        QVERIFY(!QFile::exists(device + QStringLiteral("-shm")));
    }

    void readingsOnlyInTheWalAreImportedAndTheOriginalKept()
    {
        ScriptedMessages messages;
        const QString device = file(QStringLiteral("idcard.db"));
        const QString app = QStringLiteral("handheld-app");
        {
            // The handheld's app writes in WAL mode and keeps the database open: its rows stay in
            // the -wal, beside an -shm, and the files are copied off in that state.
            const QString written = file(QStringLiteral("app.db"));
            makeDevice(written, {});
            QSqlDatabase open = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), app);
            open.setDatabaseName(written);
            QVERIFY(open.open());
            QSqlQuery q(open);
            QVERIFY2(q.exec(QStringLiteral("pragma journal_mode=wal")), qPrintable(q.lastError().text()));
            q.finish();
            QVERIFY2(open.transaction() && q.exec(QStringLiteral("select count(*) from water_list")) && q.next(),
                     qPrintable(q.lastError().text()));
            QString error;
            QVERIFY2(AddDeviceRows(written, {row(1, "2014-03-08 08:00:00"), row(2, "2014-03-08 09:00:00")}, &error),
                     qPrintable(error));
            for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
                QVERIFY(QFile::copy(written + suffix, device + suffix));
        }
        QSqlDatabase::removeDatabase(app);
        const QString wal = device + QStringLiteral("-wal");
        QVERIFY(QFileInfo(wal).size() > 0);
        const QByteArray dbBefore = hashOf(device);
        const QByteArray walBefore = hashOf(wal);

        messages.fileNames << device;
        command().Run();
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("成功导入记录 2 条")});
        QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 2);
        // Opened itself, the original would have taken its -wal in and lost it.
        QCOMPARE(hashOf(device), dbBefore);
        QCOMPARE(hashOf(wal), walBefore);
    }

    void badInputImportsNothing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected"); // the start of the one warning; %1 the file
        QTest::newRow("not a database") << "junk" << kOpenFailed;
        QTest::newRow("a database without the reading table") << "other" << kNoTable;
        QTest::newRow("a folder") << "folder" << QStringLiteral("“%1”是文件夹");
        QTest::newRow("a missing file") << "missing" << QStringLiteral("文件“%1”不存在");
    }
    void badInputImportsNothing()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        ScriptedMessages messages;
        const QString path = file(kind + QStringLiteral(".db"));
        if (kind == QLatin1String("junk")) {
            QFile junk(path);
            QVERIFY(junk.open(QIODevice::WriteOnly));
            junk.write(QByteArray(8192, '\x5a'));
        } else if (kind == QLatin1String("other")) {
            QVERIFY(QFile::copy(m_folder->storePath(), path));
        } else if (kind == QLatin1String("folder")) {
            QVERIFY(QDir().mkpath(path));
        }
        const QByteArray before = hashOf(path);
        messages.fileNames << path;
        command().Run();
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].kind, MsgKind::Warning);
        const QString text = messages.shown[0].text;
        QVERIFY2(text.startsWith(expected.replace(QStringLiteral("%1"), QDir::toNativeSeparators(path))), qPrintable(text));
        QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 0);
        QCOMPARE(m_view->refreshes, 0);
        QCOMPARE(hashOf(path), before);
        QCOMPARE(QFileInfo::exists(path), kind != QLatin1String("missing"));
    }

    void changeWhileCopyingFailsTheCopy_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("fails");
        QTest::newRow("nothing changed") << "" << false;
        // Just written: a write within the same tick of the clock leaves its times alone, and only
        // its content can tell (which of the two tells here depends on the tick).
        QTest::newRow("the database written just after its last change") << "write" << true;
        QTest::newRow("the database written, last changed long ago") << "write-old" << true;
        QTest::newRow("replaced by a file of the same size and time") << "replace" << true;
        QTest::newRow("a -wal appears") << "wal" << true;
    }
    void changeWhileCopyingFailsTheCopy()
    {
        QFETCH(QString, change);
        QFETCH(bool, fails);
        const QString device = file(QStringLiteral("idcard.db"));
        makeDevice(device, {row(1, "2014-03-08 08:00:00")});
        if (change.endsWith(QLatin1String("-old"))) {
            QFile f(device);
            QVERIFY(f.open(QIODevice::ReadOnly)
                    && f.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        }
        // The leftover of a run that ended abruptly goes too.
        QVERIFY(QDir(m_scratch).mkpath(QStringLiteral("import-left")));
        const mode_t saved = ::umask(022);
        PrivateDbCopy copy;
        QStringList modes;
        copy.afterCopy = [&] {
            for (const QString& folder : leftovers()) {
                const QDir dir(QDir(m_scratch).filePath(folder));
                for (const QFileInfo& f : dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot))
                    modes << QString::number(f.permissions(), 16);
                modes << folder.left(7) + QString::number(QFileInfo(dir.path()).permissions(), 16);
            }
            const QDateTime time = QFileInfo(device).lastModified();
            if (change.startsWith(QLatin1String("write"))) {
                QFile f(device);
                QVERIFY(f.open(QIODevice::ReadWrite));
                f.seek(f.size() - 1);
                char last = 0;
                QVERIFY(f.getChar(&last));
                f.seek(f.size() - 1);
                f.putChar(char(last ^ 1));
            } else if (change == QLatin1String("replace")) {
                const QString other = file(QStringLiteral("other.db"));
                QVERIFY(QFile::copy(device, other));
                QFile f(other);
                QVERIFY(f.open(QIODevice::ReadWrite));
                QVERIFY(f.setFileTime(time, QFileDevice::FileModificationTime));
                f.close();
                QVERIFY(::rename(QFile::encodeName(other).constData(), QFile::encodeName(device).constData()) == 0);
            } else if (change == QLatin1String("wal")) {
                QFile f(device + QStringLiteral("-wal"));
                QVERIFY(f.open(QIODevice::WriteOnly));
            }
        };
        const bool taken = copy.Take(device, m_scratch);
        ::umask(saved);
        // One copy folder, the earlier leftover gone; owner-only throughout.
        QCOMPARE(modes, (QStringList{QStringLiteral("6600"), QStringLiteral("import-7700")}));
        QCOMPARE(taken, !fails);
        QCOMPARE(copy.Error(), fails ? PrivateDbCopy::Failure::Changed : PrivateDbCopy::Failure::None);
        QCOMPARE(leftovers().size(), fails ? 0 : 1);
        if (!fails)
            QCOMPARE(hashOf(copy.Path()), hashOf(device));
    }

    void twoDroppedDatabasesAreRefused()
    {
        ScriptedMessages messages;
        const QString a = file(QStringLiteral("a.db"));
        const QString b = file(QStringLiteral("b.db"));
        makeDevice(a, {row(1, "2014-03-08 08:00:00")});
        makeDevice(b, {row(2, "2014-03-08 09:00:00")});
        command().RunDropped({a, b});
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("一次只能导入一个读卡流水数据库文件（拖入了 2 个），请逐个拖入。")});
        QCOMPARE(CountRows(m_store->con1(), "idcardwater"), 0);

        // A database with its own -wal and -shm dropped beside it is one.
        messages.shown.clear();
        command().RunDropped({a + QStringLiteral("-shm"), a, a + QStringLiteral("-wal")});
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("成功导入记录 1 条")});
        QVERIFY(messages.saveRequests.isEmpty());
    }

    void buttonAndDropOnTheWindow()
    {
        ScriptedMessages messages;
        const QString device = file(QStringLiteral("idcard.db"));
        makeDevice(device, {row(1, "2014-03-08 08:00:00"), row(2, "2014-03-08 09:00:00")});
        TIdcardmainfrm window(m_store.get(), m_folder->path());
        window.SetClock([] { return QDateTime(QDate(2014, 3, 8), QTime(12, 0)); });
        window.SetScratchFolder(m_scratch);
        window.SetProgress(nullptr);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.Model()->rowCount(), 0);

        messages.fileNames << device;
        QTest::mouseClick(Control<QPushButton>(&window, "fileimpbtn"), Qt::LeftButton);
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("成功导入记录 2 条")});
        QCOMPARE(window.Model()->rowCount(), 2);
        QCOMPARE(window.StatusText(), QStringLiteral(" 提示：当前条件下，查询记录合计：2 笔"));

        // A drop: accepted for local files only, imported once the drop has ended.
        const QString more = file(QStringLiteral("more.db"));
        makeDevice(more, {row(3, "2014-03-08 10:00:00")});
        QMimeData remote;
        remote.setUrls({QUrl(QStringLiteral("https://example.invalid/idcard.db"))});
        QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &remote, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &refused);
        QVERIFY(!refused.isAccepted());
        QMimeData local;
        local.setUrls({QUrl::fromLocalFile(more)});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &local, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &local, Qt::LeftButton, Qt::NoModifier);
        messages.shown.clear();
        QApplication::sendEvent(&window, &drop);
        QVERIFY(messages.shown.isEmpty());
        QTRY_COMPARE(messages.Texts(), QStringList{QStringLiteral("成功导入记录 1 条")});
        QCOMPARE(window.Model()->rowCount(), 3);
    }
};

QTEST_MAIN(TestFileImport)
#include "test_fileimport.moc"
