// Importing a device database from a file: the private copy, what the operator is told, and the
// button and drops on the real window.

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
#include <QSqlQuery>
#include <QtTest>

namespace {

QList<DeviceRow> readings(int from, int count)
{
    QList<DeviceRow> rows;
    for (int n = from; n < from + count; ++n) {
        rows << DeviceRow{SyntheticId(440305, QDate(1992, 5, 17), n), QStringLiteral("2014-03-08 08:%1:00").arg(n, 2, 10, QLatin1Char('0'))};
        rows.back().photo = SyntheticPng();
        // A card that passes every check, so that the import's box is its plain count.
        rows.back().birth = QStringLiteral("1992-05-17");
        rows.back().validBegin = QStringLiteral("2010.07.01");
    }
    return rows;
}

QByteArray hashOf(const QString& path)
{
    QFile f(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return f.open(QIODevice::ReadOnly) && hash.addData(&f) ? hash.result() : QByteArray();
}

} // namespace

class TestFileImport : public QObject {
    Q_OBJECT
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<TDM_Main> m_store;
    std::unique_ptr<ScriptedView> m_view;
    std::unique_ptr<QTemporaryDir> m_files, m_scratchBase; // the operator's files; the scratch folder's base
    QString m_scratch;

    QString device(const QList<DeviceRow>& rows, const QString& name = QStringLiteral("idcard.db"))
    {
        QString error, path = m_files->filePath(name);
        if (!CreateDeviceDb(path, &error) || !AddDeviceRows(path, rows, &error))
            qWarning("%s", qPrintable(error));
        return path;
    }
    void run(ScriptedMessages& messages, const QString& chosen)
    {
        messages.fileNames << chosen;
        FileImportCommand(m_store.get(), m_folder->path(), m_scratch, *m_view).Run();
    }
    int stored() { return CountRows(m_store->con1(), "idcardwater"); }

private slots:
    void init()
    {
        m_folder = std::make_unique<TempProgramFolder>();
        m_store = std::make_unique<TDM_Main>();
        QString error;
        QVERIFY2(m_folder->isValid() && m_store->Open(m_folder->path(), &error), qPrintable(error));
        m_view = std::make_unique<ScriptedView>(m_store->con1());
        m_files = std::make_unique<QTemporaryDir>();
        m_scratchBase = std::make_unique<QTemporaryDir>();
        m_scratch = PrivateScratchFolderIn(m_scratchBase->path());
    }
    void cleanup()
    {
        // The private copies are gone on every path.
        QCOMPARE(QDir(m_scratch).entryList({QStringLiteral("import-*")}, QDir::Dirs), QStringList());
        m_view.reset();
        m_store.reset();
    }

    void readingsOnlyInTheWalAreImportedAndTheOriginalKept()
    {
        ScriptedMessages messages;
        const QString path = m_files->filePath(QStringLiteral("copied.db"));
        {
            // The handheld's app in WAL mode, the database still open (a read keeps its close from
            // moving the -wal in): its files are copied off in that state.
            const QString written = device({}, QStringLiteral("app.db"));
            QSqlDatabase app = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("app"));
            app.setDatabaseName(written);
            QSqlQuery q(app);
            QVERIFY(app.open() && q.exec(QStringLiteral("pragma journal_mode=wal")));
            q.finish();
            QVERIFY(app.transaction() && q.exec(QStringLiteral("select count(*) from water_list")) && q.next());
            QVERIFY(AddDeviceRows(written, readings(1, 2)));
            for (const QString& suffix : {QString(), QStringLiteral("-wal"), QStringLiteral("-shm")})
                QVERIFY(QFile::copy(written + suffix, path + suffix));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("app"));
        const QByteArray db = hashOf(path), wal = hashOf(path + QStringLiteral("-wal"));
        run(messages, path);
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("成功导入记录 2 条")});
        // Opened itself, the original would have taken its -wal in and lost it.
        QCOMPARE(hashOf(path), db);
        QCOMPARE(hashOf(path + QStringLiteral("-wal")), wal);
    }

    void badInputImportsNothing_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected"); // the start of the one warning; %1 the file
        QTest::newRow("not a database") << "junk" << "联接二代证读卡流水数据库失败";
        QTest::newRow("a database without the reading table") << "store" << "二代证读卡流水数据库验证失败";
        QTest::newRow("a folder") << "folder" << "“%1”是文件夹";
        QTest::newRow("a missing file") << "missing" << "文件“%1”不存在";
    }
    void badInputImportsNothing()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        ScriptedMessages messages;
        const QString path = m_files->filePath(kind + QStringLiteral(".db"));
        QFile junk(path);
        QVERIFY(kind != QLatin1String("junk") || (junk.open(QIODevice::WriteOnly) && junk.write(QByteArray(8192, 'Z')) && junk.flush()));
        QVERIFY(kind != QLatin1String("store") || QFile::copy(m_folder->storePath(), path));
        QVERIFY(kind != QLatin1String("folder") || QDir().mkpath(path));
        run(messages, path);
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].kind, MsgKind::Warning);
        QVERIFY2(messages.shown[0].text.startsWith(expected.replace(QStringLiteral("%1"), QDir::toNativeSeparators(path))),
                 qPrintable(messages.shown[0].text));
        QCOMPARE(stored(), 0);
        QCOMPARE(m_view->refreshes, 0);
    }

    void changeWhileCopyingFailsTheCopy_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("nothing") << "";
        QTest::newRow("written") << "write";
        QTest::newRow("replaced by a copy of itself") << "replace";
        QTest::newRow("a -wal appears") << "wal";
    }
    void changeWhileCopyingFailsTheCopy()
    {
        QFETCH(QString, change);
        const QString path = device(readings(1, 1));
        QFile file(path);
        // Changed long ago: a write in the same tick of the clock would leave its times alone, and
        // only its content would tell.
        QVERIFY(file.open(QIODevice::ReadWrite)
                && file.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime));
        QVERIFY(QDir(m_scratch).mkpath(QStringLiteral("import-left"))); // left by a run that ended abruptly
        PrivateDbCopy copy;
        QStringList seen;
        copy.afterCopy = [&] {
            for (const QFileInfo& f : QDir(m_scratch).entryInfoList({QStringLiteral("import-*")}, QDir::Dirs))
                seen << QString::number(f.permissions(), 16) << QString::number(QFileInfo(QDir(f.filePath()).filePath(QStringLiteral("idcard.db"))).permissions(), 16);
            if (change == QLatin1String("write")) {
                file.seek(file.size() - 1);
                file.putChar(char(file.peek(1).at(0) ^ 1));
                file.flush();
            } else if (change == QLatin1String("replace")) {
                const QString other = path + QStringLiteral(".new");
                QVERIFY(QFile::copy(path, other) && QFile::remove(path) && QFile::rename(other, path));
            } else if (change == QLatin1String("wal")) {
                QVERIFY(QFile(path + QStringLiteral("-wal")).open(QIODevice::WriteOnly));
            }
        };
        QCOMPARE(copy.Take(path, m_scratch), change.isEmpty());
        QCOMPARE(seen, (QStringList{QStringLiteral("7700"), QStringLiteral("6600")})); // one copy, owner-only
        QCOMPARE(copy.Error(), change.isEmpty() ? PrivateDbCopy::Failure::None : PrivateDbCopy::Failure::Changed);
        QVERIFY(!change.isEmpty() || hashOf(copy.Path()) == hashOf(path));
    }

    void fileTwiceAndDropsOnTheWindow()
    {
        ScriptedMessages messages;
        TIdcardmainfrm window(m_store.get(), m_folder->path());
        window.SetClock([] { return QDateTime(QDate(2014, 3, 8), QTime(12, 0)); });
        window.SetScratchFolder(m_scratch);
        window.SetProgress(nullptr);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QString path = device(readings(1, 2));
        messages.fileNames << path << path;
        auto* button = Control<QPushButton>(&window, "fileimpbtn");
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("成功导入记录 2 条")});
        QCOMPARE(window.Model()->rowCount(), 2);
        QCOMPARE(messages.saveRequests[0].folder, m_folder->path() + QStringLiteral("input"));
        QCOMPARE(messages.saveRequests[0].filter, QStringLiteral("读卡流水数据库 (*.db)"));
        messages.shown.clear();
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("成功导入记录 0 条\n另有 2 条记录此前已经导入，未重复保存")});
        QCOMPARE(stored(), 2);

        // Dropped: two databases are refused, so that each box speaks of one file; a database's
        // own -wal dropped beside it is part of it. Imported once the drop has ended.
        const QString a = device(readings(3, 1), QStringLiteral("a.db")), b = device(readings(4, 1), QStringLiteral("b.db"));
        const QString refused = QStringLiteral("一次只能导入一个读卡流水数据库文件（拖入了 2 个），请逐个拖入。");
        const QList<QPair<QStringList, QString>> drops = {{{a, b}, refused}, {{a + QStringLiteral("-wal"), a}, QStringLiteral("成功导入记录 1 条")}};
        for (const auto& [files, text] : drops) {
            QMimeData data;
            for (const QString& f : files)
                data.setUrls(data.urls() << QUrl::fromLocalFile(f));
            QDragEnterEvent enter(QPoint(9, 9), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            QDropEvent drop(QPointF(9, 9), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
            messages.shown.clear();
            QApplication::sendEvent(&window, &enter);
            QVERIFY(enter.isAccepted());
            QApplication::sendEvent(&window, &drop);
            QTRY_COMPARE(messages.Texts(), QStringList{text});
        }
        QCOMPARE(window.Model()->rowCount(), 3);
    }
};

QTEST_MAIN(TestFileImport)
#include "test_fileimport.moc"
