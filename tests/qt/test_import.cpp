// Importing a device database into the record store: holders, readings, photos, and what the
// operator is told.

#include "MemoryStream.h"
#include "PhotoConvert.h"
#include "PhotoPipeline.h"
#include "SQLiteTable.h"
#include "ReadingLogImport.h"
#include "RecordStore.h"
#include "DateText.h"
#include "ScratchFolder.h"
#include "StoreWriter.h"
#include "TIdcardmainfrm.h"
#include "TestSupport.h"

#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <sys/resource.h>

namespace {

QString id(int n) { return SyntheticId(330102, QDate(1988, 2, 3), n); }

DeviceRow reading(int holder, const QString& time, QVariant photo = SyntheticPng())
{
    DeviceRow r;
    r.ic = id(holder);
    r.readTime = time;
    r.photo = std::move(photo);
    return r;
}

} // namespace

class TestImport : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<TDM_Main> m_store;
    QTemporaryDir m_scratchBase;
    QString m_scratch;

    QSqlDatabase db() const { return m_store->con1(); }
    QString devicePath() const { return m_folder->path() + QStringLiteral("input/idcard.db"); }

    bool makeDevice(const QList<DeviceRow>& rows)
    {
        QString error;
        if (!CreateDeviceDb(devicePath(), &error) || !AddDeviceRows(devicePath(), rows, &error)) {
            qWarning("%s", qPrintable(error));
            return false;
        }
        return true;
    }
    ImportOutcome import()
    {
        ReadingLogImporter importer(db(), m_scratch);
        return importer.ImportDeviceDb(devicePath());
    }
    QVariant scalar(const QString& sql)
    {
        QSqlQuery q(db());
        if (!q.exec(sql) || !q.next())
            return QVariant();
        return q.value(0);
    }

private slots:
    void init()
    {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_store = std::make_unique<TDM_Main>();
        QString error;
        QVERIFY2(m_store->Open(m_folder->path(), &error), qPrintable(error));
        m_scratch = PrivateScratchFolderIn(m_scratchBase.path());
        QVERIFY(!m_scratch.isEmpty());
    }
    void cleanup()
    {
        m_store.reset();
        m_folder.reset();
    }

    void holdersAndReadings()
    {
        DeviceRow first = reading(1, "2014-03-07 10:00:00");
        first.name = QStringLiteral(" 张伟\t");
        first.nation = QStringLiteral("蒙古");
        DeviceRow second = reading(1, "2014-03-07 10:05:00", QVariant()); // same holder, no photo: harmless
        QVERIFY(makeDevice({first, second}));
        const ImportOutcome o = import();
        QVERIFY2(o.Complete(), qPrintable(o.error));
        QCOMPARE(o.count, 2);
        QCOMPARE(o.rowsInDevice, 2);
        QCOMPARE(o.withoutPhoto, 0);
        QCOMPARE(CountRows(db(), "idcardinfo"), 1);
        QCOMPARE(CountRows(db(), "idcardwater"), 2);

        QSqlQuery q(db());
        QVERIFY(q.exec("select idcardno,name,sex,nation_no,born,address,grantdept,UsefulLifeBegin,UsefulLifeEnd,blackflag,photo from idcardinfo"));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), id(1));
        QCOMPARE(q.value(1).toString(), QStringLiteral("张伟"));
        QCOMPARE(q.value(2).toString(), QStringLiteral("女"));
        QCOMPARE(q.value(3).toInt(), 2);
        QCOMPARE(q.value(4).toString(), QStringLiteral("19900715"));
        QCOMPARE(q.value(5).toString(), QStringLiteral("测试省测试市测试路1号"));
        QCOMPARE(q.value(6).toString(), QStringLiteral("测试市公安局"));
        QCOMPARE(q.value(7).toString(), QStringLiteral("2015.07.01"));
        QCOMPARE(q.value(8).toString(), QStringLiteral("2035.07.01"));
        QCOMPARE(q.value(9).toString(), QStringLiteral("否"));
        const QByteArray bmp = q.value(10).toByteArray();
        photo::DecodedImage image;
        QVERIFY(photo::DecodeBmp(reinterpret_cast<const unsigned char*>(bmp.constData()), size_t(bmp.size()), image));
        QCOMPARE(image.width, 102);
        QCOMPARE(image.height, 126);
        QCOMPARE(scalar("select min(readtime) from idcardwater").toString(), QStringLiteral("2014-03-07 10:00:00"));

        // The side file holds the last new holder's bitmap, readable by its owner only.
        const QFileInfo side(QDir(m_scratch).filePath(QStringLiteral("l1.bmp")));
        QVERIFY(side.exists());
        QCOMPARE(side.permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther), QFile::Permissions());
        QFile file(side.filePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), bmp);
        QCOMPARE(QFileInfo(m_scratch).permissions() & (QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup | QFile::ExeGroup),
                 QFile::Permissions());
    }

    void knownHolderGetsOnlyAReading()
    {
        QVERIFY(AddHolder(db(), {id(5), QStringLiteral("老用户"), 1, {}}));
        DeviceRow r = reading(5, "2014-03-07 10:00:00", QByteArray("not a png"));
        r.name = QStringLiteral("别的名字");
        QVERIFY(makeDevice({r}));
        const ImportOutcome o = import();
        QVERIFY(o.Complete());
        QCOMPARE(o.count, 1);
        QCOMPARE(o.withoutPhoto, 0);
        QCOMPARE(CountRows(db(), "idcardinfo"), 1);
        QCOMPARE(scalar("select name from idcardinfo").toString(), QStringLiteral("老用户"));
    }

    void unreadablePhotosCostOnlyThePhoto_data()
    {
        QTest::addColumn<QVariant>("photo");
        QTest::newRow("NULL") << QVariant();
        QTest::newRow("empty") << QVariant(QByteArray(""));
        QTest::newRow("not a PNG") << QVariant(QByteArray("GIF89a........"));
        QTest::newRow("truncated") << QVariant(SyntheticPng().left(100));
        QTest::newRow("too large") << QVariant(SyntheticPng(1025, 8));
        QTest::newRow("text column value") << QVariant(QStringLiteral("照片"));
    }
    void unreadablePhotosCostOnlyThePhoto()
    {
        QFETCH(QVariant, photo);
        QList<DeviceRow> rows;
        for (int i = 1; i <= 5; ++i)
            rows << reading(i, QStringLiteral("2014-03-07 10:0%1:00").arg(i), i == 3 ? photo : QVariant(SyntheticPng()));
        QVERIFY(makeDevice(rows));
        const ImportOutcome o = import();
        QVERIFY2(o.Complete(), qPrintable(o.error));
        QCOMPARE(o.count, 5);
        QCOMPARE(o.withoutPhoto, 1);
        QCOMPARE(CountRows(db(), "idcardinfo"), 5);
        QCOMPARE(scalar(QStringLiteral("select count(*) from idcardinfo where photo is null and idcardno='%1'").arg(id(3))).toInt(), 1);
        QCOMPARE(ImportSummaryText(o), QStringLiteral("成功导入记录 5 条\n其中 1 位新登记人员的照片无法读取，已按无照片保存"));
    }

    void secondImportStoresNothingTwice()
    {
        QVERIFY(makeDevice({reading(1, "2014-03-07 10:00:00"), reading(2, "2014-03-07 11:00:00"), reading(1, "2014-03-08 09:00:00")}));
        QCOMPARE(import().count, 3);
        const ImportOutcome again = import();
        QVERIFY(again.Complete());
        QCOMPARE(again.count, 0);
        QCOMPARE(again.alreadyStored, 3);
        QCOMPARE(CountRows(db(), "idcardwater"), 3);
        QCOMPARE(CountRows(db(), "idcardinfo"), 2);
        QCOMPARE(ImportSummaryText(again), QStringLiteral("成功导入记录 0 条\n另有 3 条记录此前已经导入，未重复保存"));
        ReadingLogImporter importer(db(), QString());
        QString why;
        QVERIFY2(importer.AllReadingsStored(devicePath(), &why), qPrintable(why));
        // One more reading on the handheld is noticed.
        QVERIFY(AddDeviceRows(devicePath(), {reading(2, "2014-03-09 11:00:00")}));
        QVERIFY(!importer.AllReadingsStored(devicePath(), &why));
    }

    void readingsOfNewHoldersStoredOnce()
    {
        // A new holder's reading twice in the device file (once in another spelling of the same
        // time), and a new holder whose reading the store already has without a holder row.
        QVERIFY(AddReading(db(), id(2), QStringLiteral("2014-03-07 11:00:00")));
        QVERIFY(makeDevice({reading(1, "2014-03-07 10:00:00"), reading(1, "2014-3-7 10:00"), reading(1, "2014-03-07 10:00:01"),
                            reading(2, "2014-03-07 11:00:00"), reading(2, "2014-03-07 12:00:00")}));
        const ImportOutcome o = import();
        QVERIFY2(o.Complete(), qPrintable(o.error));
        QCOMPARE(o.count, 3);
        // The second spelling repeats a swipe of this very file; only the other was imported before.
        QCOMPARE(o.repeatsInFile, 1);
        QCOMPARE(o.alreadyStored, 1);
        QCOMPARE(CountRows(db(), "idcardwater"), 4);
        QCOMPARE(CountRows(db(), "idcardinfo"), 2);
        QCOMPARE(ImportSummaryText(o), QStringLiteral("成功导入记录 3 条\n另有 1 条记录此前已经导入，未重复保存\n"
                                                      "另有 1 条记录与本次导入的另一条是同一次刷卡（身份证号与刷卡时间相同），只保存一次"));

        // The same for a holder known before the import.
        QVERIFY(makeDevice({reading(1, "2014-03-08 10:00:00"), reading(1, "2014-03-08 10:00:00")}));
        const ImportOutcome known = import();
        QCOMPARE(known.count, 1);
        QCOMPARE(known.repeatsInFile, 1);
        QCOMPARE(known.alreadyStored, 0);
        QVERIFY(known.Complete());
    }

    void fieldRules()
    {
        DeviceRow unknownNation = reading(1, "2014-03-07 10:00:00");
        unknownNation.nation = QStringLiteral("汉族");
        DeviceRow eightDigits = reading(2, "2014-03-07 10:00:00");
        eightDigits.birth = QStringLiteral("19900715");
        DeviceRow rare = reading(3, " 2014-03-07 10:00:00 ");
        rare.name = QStringLiteral("𠮷䶮龘");
        rare.addr = QStringLiteral("\u3000测试路 𠮷 号");
        DeviceRow paddedId = reading(4, "2014-03-07 10:00:00");
        paddedId.ic = QStringLiteral("  ") + id(4) + QStringLiteral("\r\n");
        QVERIFY(makeDevice({unknownNation, eightDigits, rare, paddedId}));
        const ImportOutcome o = import();
        QVERIFY2(o.Complete(), qPrintable(o.error));
        QCOMPARE(scalar(QStringLiteral("select nation_no from idcardinfo where idcardno='%1'").arg(id(1))).toInt(), 0);
        QCOMPARE(scalar("select nation from nation_mes where nation_no=0").toString(), QStringLiteral("未知"));
        QCOMPARE(scalar(QStringLiteral("select born from idcardinfo where idcardno='%1'").arg(id(2))).toString(), QStringLiteral("199071"));
        QCOMPARE(scalar(QStringLiteral("select name from idcardinfo where idcardno='%1'").arg(id(3))).toString(), QStringLiteral("𠮷䶮龘"));
        QCOMPARE(scalar(QStringLiteral("select address from idcardinfo where idcardno='%1'").arg(id(3))).toString(),
                 QStringLiteral("\u3000测试路 𠮷 号"));
        QCOMPARE(scalar(QStringLiteral("select count(*) from idcardwater where idcardno='%1'").arg(id(4))).toInt(), 1);
    }

    void unconvertibleTimeKeepsTheHandheldFull()
    {
        QVERIFY(makeDevice({reading(1, "2014/03/07 10:00:00"), reading(2, "2014-03-07 10:00:00")}));
        const ImportOutcome o = import();
        QCOMPARE(o.count, 2);       // the row counts
        QCOMPARE(o.badTimes, 1);
        QCOMPARE(o.failedRow, 0);
        QVERIFY(!o.Complete());     // but its reading is not in the store
        QCOMPARE(CountRows(db(), "idcardinfo"), 2); // the holder is stored all the same
        QCOMPARE(CountRows(db(), "idcardwater"), 1);
        QVERIFY(ImportIncompleteText(o).contains(QStringLiteral("有 1 条记录的刷卡时间无法识别")));
    }

    void failingWriteEndsTheImportAtThatRow()
    {
        QSqlQuery trigger(db());
        QVERIFY2(trigger.exec(QStringLiteral("create trigger refuse before insert on idcardwater when new.idcardno='%1' "
                                             "begin select raise(abort, 'disk is full'); end").arg(id(3))),
                 qPrintable(trigger.lastError().text()));
        // The failing row's holder has no photo: undone with its row, it is not counted either.
        QVERIFY(makeDevice({reading(1, "2014-03-07 10:00:00"), reading(2, "2014-03-07 10:00:00"),
                            reading(3, "2014-03-07 10:00:00", QVariant()), reading(4, "2014-03-07 10:00:00")}));
        const ImportOutcome o = import();
        QCOMPARE(o.count, 2);
        QCOMPARE(o.withoutPhoto, 0);
        QCOMPARE(o.failedRow, 3);
        QVERIFY(o.error.contains(QStringLiteral("disk is full")));
        QVERIFY(!o.Complete());
        // Rows before it stay; nothing of the failing row (not even its holder) and nothing after.
        QCOMPARE(CountRows(db(), "idcardwater"), 2);
        QCOMPARE(CountRows(db(), "idcardinfo"), 2);
        QVERIFY(!db().transaction() || db().rollback()); // no transaction was left open
        QCOMPARE(ImportSummaryText(o), QStringLiteral("成功导入记录 2 条"));
        QVERIFY(ImportIncompleteText(o).contains(QStringLiteral("第 3 条记录导入失败")));
    }

    // The disk fills during the import (a file-size limit stands in for it): the store file
    // alone is whole again at once, at its size before, with no journal beside it.
    void fullDiskLeavesTheStoreFileAsItWas()
    {
        QList<DeviceRow> rows;
        for (int i = 1; i <= 60; ++i) // about 40 KB of bitmap each
            rows << reading(i, "2014-03-07 10:00:00");
        QVERIFY(makeDevice(rows));
        const QString store = m_folder->storePath();
        const qint64 before = QFileInfo(store).size();
        rlimit unlimited{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
        rlimit limited = unlimited;
        limited.rlim_cur = static_cast<rlim_t>(before + 1024 * 1024);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        const ImportOutcome o = import();
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        std::signal(SIGXFSZ, previous);

        QVERIFY2(o.readFailed && o.count == 0 && !o.error.isEmpty(), qPrintable(o.error));
        // Looked at before the store is read again: a read would play a journal back.
        QVERIFY(!QFile::exists(store + QStringLiteral("-journal")));
        QCOMPARE(QFileInfo(store).size(), before);
        QCOMPARE(scalar(QStringLiteral("pragma integrity_check")).toString(), QStringLiteral("ok"));
        QCOMPARE(CountRows(db(), "idcardwater"), 0);
    }

    void missingColumnFailsTheFirstRowThatNeedsIt()
    {
        QFile::remove(devicePath());
        QString error;
        // A table without the photo column: known holders pass, the first new one fails.
        QVERIFY(AddHolder(db(), {id(1), QStringLiteral("甲"), 1, {}}));
        QSqlDatabase device = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("nophoto"));
        device.setDatabaseName(devicePath());
        QVERIFY(device.open());
        QSqlQuery q(device);
        QVERIFY(q.exec("create table water_list(ic text, read_time text, name text, sex text, nation text, addr text, birth text, "
                       "valid_begin text, valid_End text, issue text)"));
        QVERIFY(q.exec(QStringLiteral("insert into water_list(ic,read_time) values('%1','2014-03-07 10:00:00'),('%2','2014-03-07 10:00:00')")
                           .arg(id(1), id(2))));
        q = QSqlQuery();
        device.close();
        device = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("nophoto"));
        const ImportOutcome o = import();
        QCOMPARE(o.count, 1);
        QCOMPARE(o.failedRow, 2);
        QVERIFY2(o.error.contains(QStringLiteral("photo")), qPrintable(o.error));
    }

    void idNumbersKeptWhateverTheColumnIsDeclared_data()
    {
        QTest::addColumn<QString>("declared");
        QTest::addColumn<QString>("ic");
        QTest::addColumn<bool>("taken"); // else refused: the handheld keeps its readings
        const QString digits = SyntheticId(110101, QDate(1990, 3, 7), 1); // ends in a digit
        const QString withX = SyntheticId(110101, QDate(1990, 3, 7), 2);
        QVERIFY(digits.back().isDigit() && withX.endsWith(u'X'));
        QTest::newRow("INTEGER, ending in X") << "INTEGER" << withX << true;
        QTest::newRow("INTEGER, all digits") << "INTEGER" << digits << true;
        QTest::newRow("NUMERIC, all digits") << "NUMERIC" << digits << true;
        QTest::newRow("NUMERIC, ending in X") << "NUMERIC" << withX << true;
        QTest::newRow("REAL keeps no exact text") << "REAL" << digits << false;
    }
    void idNumbersKeptWhateverTheColumnIsDeclared()
    {
        QFETCH(QString, declared);
        QFETCH(QString, ic);
        QFETCH(bool, taken);
        QString error;
        QVERIFY2(CreateDeviceDb(devicePath(), &error, declared), qPrintable(error));
        DeviceRow r = reading(1, "2014-03-07 10:00:00");
        r.ic = ic;
        QVERIFY2(AddDeviceRows(devicePath(), {r}, &error), qPrintable(error));
        const ImportOutcome o = import();
        QCOMPARE(o.Complete(), taken);
        if (taken) {
            QCOMPARE(scalar(QStringLiteral("select idcardno from idcardinfo")).toString(), ic);
            QCOMPARE(scalar(QStringLiteral("select idcardno from idcardwater")).toString(), ic);
        } else {
            QCOMPARE(o.failedRow, 1);
            QVERIFY2(o.error.contains(QStringLiteral("“ic”栏存的是数值")), qPrintable(o.error));
            QCOMPARE(CountRows(db(), "idcardwater"), 0);
        }
    }

    void filesThatAreNotDeviceDatabases()
    {
        ReadingLogImporter importer(db(), m_scratch);
        // No table: the reader creates an empty file for a missing path, and it has no table.
        const QString missing = m_folder->path() + QStringLiteral("input/none.db");
        QCOMPARE(importer.ImportDeviceDb(missing).validation, ImportOutcome::Validation::NoTable);
        QFile junk(m_folder->path() + QStringLiteral("input/junk.db"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(8192, '\x5a'));
        junk.close();
        QCOMPARE(importer.ImportDeviceDb(junk.fileName()).validation, ImportOutcome::Validation::OpenFailed);
        QVERIFY(makeDevice({}));
        const ImportOutcome empty = importer.ImportDeviceDb(devicePath());
        QCOMPARE(empty.count, 0);
        QCOMPARE(ImportSummaryText(empty), QStringLiteral("设备中没有数据记录"));
        QCOMPARE(CountRows(db(), "idcardwater"), 0);
    }

    void windowShowsTheOutcome()
    {
        ScriptedMessages messages;
        TIdcardmainfrm window(m_store.get(), m_folder->path());
        window.SetScratchFolder(m_scratch);
        window.SetProgress(nullptr);
        QVERIFY(makeDevice({reading(1, "2014-03-07 10:00:00", QVariant()), reading(2, "2014-03-07 10:00:00")}));
        QCOMPARE(window.ImportDeviceDb(devicePath()), 2);
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("成功导入记录 2 条\n其中 1 位新登记人员的照片无法读取，已按无照片保存\n"
                                                                   "本次导入的记录中：证件尚未生效 2 条，身份证号有误 2 条")});
        QCOMPARE(messages.shown[0].kind, MsgKind::Info);
        messages.shown.clear();

        QCOMPARE(window.ImportDeviceDb(m_folder->path() + QStringLiteral("input/none.db")), -1);
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("二代证读卡流水数据库验证失败")});
        QCOMPARE(messages.shown[0].kind, MsgKind::Warning);
        messages.shown.clear();

        QFile junk(m_folder->path() + QStringLiteral("input/junk.db"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(8192, '\x5a'));
        junk.close();
        QCOMPARE(window.ImportDeviceDb(junk.fileName()), -1);
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("联接二代证读卡流水数据库失败")});
    }

    void everyHolderGetsTheirOwnPhoto()
    {
        // More new holders than the decoder may run ahead, repeat readings in between, and bad
        // photos scattered: each stored bitmap must still be that holder's own.
        QList<DeviceRow> rows;
        for (int i = 1; i <= 150; ++i) {
            const QRgb colour = qRgb(i, 255 - i, (i * 7) % 256);
            rows << reading(i, QStringLiteral("2014-03-07 10:%1:%2").arg(i / 60, 2, 10, QLatin1Char('0')).arg(i % 60, 2, 10, QLatin1Char('0')),
                            i % 37 == 0 ? QVariant(QByteArray("broken")) : QVariant(SyntheticPng(20, 24, colour)));
            if (i % 10 == 0)
                rows << reading(i - 5, QStringLiteral("2014-03-08 10:%1:00").arg(i / 10, 2, 10, QLatin1Char('0')), QVariant());
        }
        QVERIFY(makeDevice(rows));
        const ImportOutcome o = import();
        QVERIFY2(o.Complete(), qPrintable(o.error));
        QCOMPARE(o.count, rows.size());
        QCOMPARE(o.withoutPhoto, 4);
        QSqlQuery q(db());
        QVERIFY(q.exec("select idcardno, photo from idcardinfo"));
        int checked = 0;
        while (q.next()) {
            const int i = q.value(0).toString().mid(14, 3).toInt();
            const QByteArray bmp = q.value(1).toByteArray();
            if (i % 37 == 0) {
                QVERIFY(q.value(1).isNull());
                continue;
            }
            photo::DecodedImage image;
            QVERIFY(photo::DecodeBmp(reinterpret_cast<const unsigned char*>(bmp.constData()), size_t(bmp.size()), image));
            const size_t at = (size_t(image.height / 2 + 1) * size_t(image.width) + size_t(image.width / 2)) * 3; // off the pattern rows
            QCOMPARE(int(image.bgr[at + 2]), i);
            QCOMPARE(int(image.bgr[at + 1]), 255 - i);
            ++checked;
        }
        QCOMPARE(checked, 146);
    }

    void streamingImportLongerThanItsReadAhead()
    {
        // More rows than are read ahead and more new holders than photos are decoded ahead; every
        // holder comes back after the read-ahead has moved on, and some were stored before.
        const int holders = 300;
        for (int i = 1; i <= holders; i += 50)
            QVERIFY(AddHolder(db(), {id(i), QStringLiteral("老用户"), 1, {}}));
        QList<DeviceRow> rows;
        for (int round = 0; round < 3; ++round)
            for (int i = 1; i <= holders; ++i) {
                const QRgb colour = qRgb(i % 256, (i * 3) % 256, round * 60);
                rows << reading(i, QStringLiteral("2014-03-%1 10:%2:%3").arg(7 + round).arg(i / 60, 2, 10, QLatin1Char('0')).arg(i % 60, 2, 10, QLatin1Char('0')),
                                QVariant(SyntheticPng(12, 10, colour)));
            }
        QVERIFY(makeDevice(rows));
        const ImportOutcome o = import();
        QVERIFY2(o.Complete(), qPrintable(o.error));
        QCOMPARE(o.count, 3 * holders);
        QCOMPARE(o.rowsInDevice, 3 * holders);
        QCOMPARE(CountRows(db(), "idcardinfo"), holders);
        QCOMPARE(CountRows(db(), "idcardwater"), 3 * holders);
        // Each new holder has the photo of their first reading (round 0), the old ones none.
        QSqlQuery q(db());
        QVERIFY(q.exec("select idcardno, photo from idcardinfo"));
        int checked = 0;
        while (q.next()) {
            const int i = q.value(0).toString().mid(14, 3).toInt();
            if (i % 50 == 1) {
                QVERIFY(q.value(1).isNull());
                continue;
            }
            const QByteArray bmp = q.value(1).toByteArray();
            photo::DecodedImage image;
            QVERIFY(photo::DecodeBmp(reinterpret_cast<const unsigned char*>(bmp.constData()), size_t(bmp.size()), image));
            const size_t at = (size_t(3) * size_t(image.width) + 2) * 3; // off the pattern rows
            QCOMPARE(int(image.bgr[at + 2]), i % 256);
            QCOMPARE(int(image.bgr[at + 1]), (i * 3) % 256);
            QCOMPARE(int(image.bgr[at]), 0);
            ++checked;
        }
        QCOMPARE(checked, holders - holders / 50);
        // The side file is the last new holder's.
        QFile side(QDir(m_scratch).filePath(QStringLiteral("l1.bmp")));
        QVERIFY(side.open(QIODevice::ReadOnly));
        QCOMPARE(side.readAll(), scalar(QStringLiteral("select photo from idcardinfo where idcardno='%1'").arg(id(holders))).toByteArray());
    }

    void failureInTheLastRow_data()
    {
        QTest::addColumn<bool>("newHolder");
        QTest::newRow("a new holder's reading refused") << true;
        QTest::newRow("a known holder's reading refused") << false;
    }
    void failureInTheLastRow()
    {
        QFETCH(bool, newHolder);
        QList<DeviceRow> rows;
        for (int i = 1; i <= 400; ++i)
            rows << reading(i % 90 + 1, QStringLiteral("2014-03-07 %1:%2:00").arg(i / 60 + 8, 2, 10, QLatin1Char('0')).arg(i % 60, 2, 10, QLatin1Char('0')));
        rows << reading(newHolder ? 500 : 7, "2014-03-09 10:00:00");
        QVERIFY(makeDevice(rows));
        QSqlQuery trigger(db());
        QVERIFY2(trigger.exec("create trigger refuse before insert on idcardwater when new.readtime='2014-03-09 10:00:00' "
                              "begin select raise(abort, 'disk is full'); end"),
                 qPrintable(trigger.lastError().text()));
        const ImportOutcome o = import();
        QCOMPARE(o.failedRow, 401);
        QCOMPARE(o.count, 400);
        QVERIFY2(o.error.contains(QStringLiteral("disk is full")), qPrintable(o.error));
        QVERIFY(!o.Complete());
        QCOMPARE(CountRows(db(), "idcardwater"), 400);
        QCOMPARE(CountRows(db(), "idcardinfo"), 90); // the last row's new holder is not kept
    }

    void aRowThatCannotBeUndoneUndoesTheImport()
    {
        // The reading of a new holder is refused, and so is removing that holder again: the
        // store cannot be left with half a row, so nothing of the import stays.
        QSqlQuery q(db());
        QVERIFY(q.exec(QStringLiteral("create trigger refuse before insert on idcardwater when new.idcardno='%1' "
                                      "begin select raise(abort, 'refused'); end").arg(id(3))));
        QVERIFY(q.exec("create trigger keep before delete on idcardinfo begin select raise(abort, 'kept'); end"));
        QVERIFY(makeDevice({reading(1, "2014-03-07 10:00:00"), reading(2, "2014-03-07 10:00:00"), reading(3, "2014-03-07 10:00:00")}));
        const ImportOutcome o = import();
        QVERIFY(o.readFailed);
        QCOMPARE(o.count, 0);
        QVERIFY(!o.Complete());
        QCOMPARE(CountRows(db(), "idcardwater"), 0);
        QCOMPARE(CountRows(db(), "idcardinfo"), 0);
        QVERIFY(ImportIncompleteText(o).contains(QStringLiteral("未导入任何记录")));
    }

    void damagedDeviceFileKeepsTheRowsBeforeTheDamage()
    {
        QList<DeviceRow> rows;
        for (int i = 1; i <= 120; ++i)
            rows << reading(i, QStringLiteral("2014-03-07 10:%1:%2").arg(i / 60, 2, 10, QLatin1Char('0')).arg(i % 60, 2, 10, QLatin1Char('0')));
        QVERIFY(makeDevice(rows));
        QFile file(devicePath());
        QVERIFY(file.open(QIODevice::ReadWrite));
        const qint64 pages = file.size() / 4096;
        QVERIFY(file.seek((pages * 3 / 4) * 4096));
        QVERIFY(file.write(QByteArray(4096, '\xA5')) == 4096);
        file.close();
        const ImportOutcome o = import();
        QVERIFY(!o.Complete());
        QVERIFY2(o.failedRow > 1 && o.failedRow <= 120, qPrintable(QString::number(o.failedRow)));
        QCOMPARE(o.count, o.failedRow - 1);
        QCOMPARE(CountRows(db(), "idcardwater"), o.failedRow - 1);
        QVERIFY2(o.error.contains(QStringLiteral("malformed")), qPrintable(o.error));
    }

    void readingTimesAsTheStoreKeepsThem_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("store form") << QStringLiteral("2014-03-07 08:05:09");
        QTest::newRow("leap day") << QStringLiteral("2016-02-29 23:59:59");
        QTest::newRow("no such day") << QStringLiteral("2014-02-29 10:00:00");
        QTest::newRow("no such hour") << QStringLiteral("2014-03-07 24:00:00");
        QTest::newRow("short fields") << QStringLiteral("2014-3-7 8:05");
        QTest::newRow("date alone") << QStringLiteral("2014-03-07");
        QTest::newRow("fraction") << QStringLiteral("2014-03-07 08:05:09.5");
        QTest::newRow("slashes") << QStringLiteral("2014/03/07 08:05:09");
        QTest::newRow("full-width digit") << QStringLiteral("2014-03-07 08:05:0９");
    }
    void readingTimesAsTheStoreKeepsThem()
    {
        QFETCH(QString, text);
        QCOMPARE(StoreWriter::ReadingTime(text), StoreTimeParam(text));
    }

    void photoPipelineTakesInRowOrder()
    {
        TMemoryStream good(SyntheticPng(4, 4).toStdString());
        TMemoryStream bad(std::string("not a png"));
        {
            PhotoPipeline pipeline({{1, &good}, {3, &bad}, {5, &good}, {8, nullptr}}, 1);
            QByteArray bitmap;
            QVERIFY(!pipeline.Take(0, bitmap));           // not a job
            QVERIFY(pipeline.Take(3, bitmap));            // row 1 passed over
            QVERIFY(bitmap.isNull());                     // unreadable photo
            QVERIFY(!pipeline.Take(4, bitmap));
            QVERIFY(pipeline.Take(5, bitmap));
            QVERIFY(bitmap.startsWith("BM"));
        } // unclaimed job 8: the worker is stopped, not waited for forever
        PhotoPipeline unused({{2, &good}, {4, &good}, {6, &good}}, 1);
    }

    void photoPipelineReadsByRowId()
    {
        // Each reading thread gets a source of its own; a photo that cannot be read at all comes
        // back as its row's error, one without bytes as a missing photo.
        struct Source : PhotoSource {
            QByteArray Photo(qint64 rowid) override
            {
                if (rowid == 20)
                    throw ESQLiteException("no such column: photo");
                return rowid == 30 ? QByteArray() : SyntheticPng(4, 4);
            }
        };
        std::atomic<int> made{0};
        for (unsigned workers : {1u, 0u}) {
            PhotoPipeline pipeline(1, workers, [&] {
                ++made;
                return std::make_unique<Source>();
            });
            for (int row = 1; row <= 4; ++row)
                pipeline.Add(row, qint64(row * 10));
            QByteArray bitmap;
            QString error;
            QVERIFY(pipeline.Take(1, bitmap, &error));
            QVERIFY(bitmap.startsWith("BM"));
            QVERIFY(error.isEmpty());
            QVERIFY(pipeline.Take(2, bitmap, &error));
            QVERIFY(bitmap.isNull());
            QCOMPARE(error, QStringLiteral("no such column: photo"));
            QVERIFY(pipeline.Take(3, bitmap, &error));
            QVERIFY(bitmap.isNull());
            QVERIFY(error.isEmpty());
            QVERIFY(pipeline.Take(4, bitmap, &error));
            QVERIFY(bitmap.startsWith("BM"));
        }
        QVERIFY(made >= 2);
    }

    void storeWriterRules()
    {
        StoreWriter writer(db());
        QString error;
        QVERIFY(!writer.PersonExists(id(9), &error));
        QVERIFY(error.isEmpty());
        PersonRecord p;
        p.idcardno = id(9);
        p.birthText = QStringLiteral("1990-07-15");
        QVERIFY(writer.SavePerson(p, QStringLiteral("not a time"), QByteArray()));
        QVERIFY(writer.PersonExists(id(9), &error));
        QCOMPARE(CountRows(db(), "idcardwater"), 0);      // the holder is stored, the reading not
        QVERIFY(scalar("select photo from idcardinfo").isNull());
        QVERIFY(!writer.SavePerson(p, QStringLiteral("2014-03-07"), QByteArray())); // one holder per ID number
        QVERIFY(writer.SaveReading(id(9), QStringLiteral("2014-03-07")));
        QCOMPARE(writer.SaveReadingChecked(id(9), QStringLiteral("2014-03-07 00:00:00"), &error), StoreWriter::ReadingResult::AlreadyStored);

        QCOMPARE(StoreWriter::CutBirth(QStringLiteral("1990-07-15")), QStringLiteral("19900715"));
        QCOMPARE(StoreWriter::CutBirth(QStringLiteral("19900715")), QStringLiteral("199071"));
        QCOMPARE(StoreWriter::CutBirth(QStringLiteral("1990-7")), QStringLiteral("19907"));
        QCOMPARE(StoreWriter::CutBirth(QString()), QString());

        // The connection closed and opened again: the writer follows it instead of going on
        // with statements of the closed one.
        QSqlDatabase connection = db();
        connection.close();
        QVERIFY(!writer.PersonExists(id(9), &error));
        QVERIFY(!error.isEmpty()); // a failed lookup is reported, not taken as "not stored"
        QVERIFY(connection.open());
        QVERIFY(writer.PersonExists(id(9), &error));
        QVERIFY(error.isEmpty());

        m_store->Close();
        QVERIFY(!writer.PersonExists(id(9), &error));
        QVERIFY(!error.isEmpty());
    }
};

QTEST_MAIN(TestImport)
#include "test_import.moc"
