// Card checks at the moment of reading: the rules with their edges, the store step that judges the
// readings already stored, the import that judges each reading it stores, and the window.

#include "CardChecks.h"
#include "ReadingLogImport.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "StoreUpgrade.h"
#include "WatchList.h"
#include "TIdcardmainfrm.h"
#include "TestSupport.h"

#include <QCheckBox>
#include <QLabel>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>
#include <QtTest>

#include <algorithm>

namespace {

const QString kBorn = QStringLiteral("19900715");
QString adultId() { return SyntheticId(110101, QDate(1990, 7, 15), 12); }

// An ID number of the birth date whose check character is X.
QString idEndingInX(const QDate& birth)
{
    for (int sequence = 1;; ++sequence) {
        const QString id = SyntheticId(110101, birth, sequence);
        if (id.endsWith(u'X'))
            return id;
    }
}

// A holder whose card is in order on the test's days: born 1980-01-01, valid 2010.01.01-2030.01.01
// (as AddHolder stores it).
QString sceneId(int n) { return SyntheticId(110101, QDate(1980, 1, 1), n); }

// A device row of an adult whose card is in order, or of a minor born on 2010-01-01.
DeviceRow deviceRow(int holder, const QString& time, bool minor = false)
{
    const QDate birth = minor ? QDate(2010, 1, 1) : QDate(1990, 7, 15);
    DeviceRow r;
    r.ic = SyntheticId(330102, birth, holder);
    r.readTime = time;
    r.birth = birth.toString(QStringLiteral("yyyy-MM-dd"));
    r.photo = SyntheticPng();
    return r;
}

} // namespace

class TestCardChecks : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<TDM_Main> m_store;

    QSqlDatabase db() const { return m_store->con1(); }
    QString devicePath() const { return m_folder->path() + QStringLiteral("input/idcard.db"); }
    // The checks of every reading, as "ID|time|flags", in time order.
    QStringList storedChecks()
    {
        QStringList out;
        QSqlQuery q(db());
        q.exec(QStringLiteral("select idcardno, readtime, checkflags from idcardwater order by readtime"));
        while (q.next())
            out << QStringLiteral("%1|%2|%3").arg(q.value(0).toString(), q.value(1).toString()).arg(q.value(2).toInt());
        return out;
    }
    ImportOutcome import(const QList<DeviceRow>& rows)
    {
        QString error;
        QFile::remove(devicePath());
        if (!CreateDeviceDb(devicePath(), &error) || !AddDeviceRows(devicePath(), rows, &error))
            qFatal("device database: %s", qPrintable(error));
        return ReadingLogImporter(db(), QString()).ImportDeviceDb(devicePath());
    }

private slots:
    void init()
    {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_store = std::make_unique<TDM_Main>();
        QString error;
        QVERIFY2(m_store->Open(m_folder->path(), &error), qPrintable(error));
    }
    void cleanup()
    {
        m_store.reset();
        m_folder.reset();
    }

    void rules_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("born");
        QTest::addColumn<QString>("begin");
        QTest::addColumn<QString>("end");
        QTest::addColumn<QDate>("read");
        QTest::addColumn<int>("flags");
        const QString id = adultId();
        const QString b = QStringLiteral("2015.07.01"), e = QStringLiteral("2023.05.01");
        const QDate inside(2020, 3, 3);
        QTest::newRow("adult, valid card") << id << kBorn << b << e << inside << 0;
        QTest::newRow("last day of validity") << id << kBorn << b << e << QDate(2023, 5, 1) << 0;
        QTest::newRow("day after the last day") << id << kBorn << b << e << QDate(2023, 5, 2) << int(CheckExpired);
        QTest::newRow("end as 8 digits") << id << kBorn << b << QStringLiteral("20230501") << QDate(2023, 5, 2) << int(CheckExpired);
        QTest::newRow("end with dashes, one-digit month") << id << kBorn << b << QStringLiteral("2023-5-1") << QDate(2023, 5, 2) << int(CheckExpired);
        QTest::newRow("长期 never expires") << id << kBorn << b << QStringLiteral("长期") << QDate(2090, 1, 1) << 0;
        QTest::newRow("end not a date") << id << kBorn << b << QStringLiteral("2023.13.01") << QDate(2030, 1, 1) << 0;
        QTest::newRow("end with two separators") << id << kBorn << b << QStringLiteral("2023..05.01") << QDate(2030, 1, 1) << 0;
        QTest::newRow("end with mixed separators") << id << kBorn << b << QStringLiteral("2023.05-01") << QDate(2030, 1, 1) << 0;
        QTest::newRow("end empty") << id << kBorn << b << QString() << QDate(2030, 1, 1) << 0;
        QTest::newRow("first day of validity") << id << kBorn << b << e << QDate(2015, 7, 1) << 0;
        QTest::newRow("day before the first day") << id << kBorn << b << e << QDate(2015, 6, 30) << int(CheckNotYetValid);
        QTest::newRow("day before the 18th birthday") << id << kBorn << b << e << QDate(2008, 7, 14) << int(CheckMinor | CheckNotYetValid);
        QTest::newRow("18th birthday") << id << kBorn << b << e << QDate(2008, 7, 15) << int(CheckNotYetValid);
        const QString leapId = SyntheticId(110101, QDate(2004, 2, 29), 7);
        const QString leapBorn = QStringLiteral("2004-02-29");
        const QString b2 = QStringLiteral("2020.01.01"), e2 = QStringLiteral("2030.01.01");
        QTest::newRow("born 29 Feb: 28 Feb of the 18th year") << leapId << leapBorn << b2 << e2 << QDate(2022, 2, 28) << int(CheckMinor);
        QTest::newRow("born 29 Feb: 1 Mar of the 18th year") << leapId << leapBorn << b2 << e2 << QDate(2022, 3, 1) << 0;
        QTest::newRow("born 29 Feb: 17th birthday in a leap year") << leapId << leapBorn << b2 << e2 << QDate(2021, 2, 28) << int(CheckMinor);
        QTest::newRow("born unreadable: no age, no birth digits") << id << QStringLiteral("199071") << b << e << inside << 0;
        QTest::newRow("17 characters") << id.left(17) << kBorn << b << e << inside << int(CheckIdLength);
        QTest::newRow("19 characters") << id + u'1' << kBorn << b << e << inside << int(CheckIdLength);
        const QString x = idEndingInX(QDate(1990, 7, 15));
        QTest::newRow("X check character") << x << kBorn << b << e << inside << 0;
        QTest::newRow("x check character in lower case") << x.left(17) + u'x' << kBorn << b << e << inside << 0;
        QTest::newRow("digit where X is due") << x.left(17) + u'0' << kBorn << b << e << inside << int(CheckIdDigit);
        QString wrong = id;
        wrong[17] = wrong[17] == u'1' ? u'2' : u'1';
        QTest::newRow("wrong check digit") << wrong << kBorn << b << e << inside << int(CheckIdDigit);
        QTest::newRow("birth digits differ") << SyntheticId(110101, QDate(1990, 7, 16), 12) << kBorn << b << e << inside << int(CheckIdBirth);
        QTest::newRow("letters in the number") << QStringLiteral("110101199007AB1234") << kBorn << b << e << inside
                                               << int(CheckIdDigit | CheckIdBirth);
    }
    void rules()
    {
        QFETCH(QString, id);
        QFETCH(QString, born);
        QFETCH(QString, begin);
        QFETCH(QString, end);
        QFETCH(QDate, read);
        QFETCH(int, flags);
        QCOMPARE(JudgeCard({id, born, begin, end, read}), flags);
    }

    void repeat_data()
    {
        QTest::addColumn<QString>("earlier");
        QTest::addColumn<QString>("later");
        QTest::addColumn<bool>("repeat");
        QTest::newRow("9 min 59 s apart") << "2024-03-01 08:00:00" << "2024-03-01 08:09:59" << true;
        QTest::newRow("10 min 00 s apart") << "2024-03-01 08:00:00" << "2024-03-01 08:10:00" << false;
        QTest::newRow("same second") << "2024-03-01 08:00:00" << "2024-03-01 08:00:00" << false;
        QTest::newRow("the other way round") << "2024-03-01 08:05:00" << "2024-03-01 08:00:00" << false;
        QTest::newRow("across a month's end") << "2024-02-29 23:55:00" << "2024-03-01 00:04:59" << true;
        QTest::newRow("a day apart") << "2024-03-01 08:00:00" << "2024-03-02 08:00:00" << false;
        QTest::newRow("not a store time") << "2024-03-01 8:00:00" << "2024-03-01 08:01:00" << false;
    }
    void repeat()
    {
        QFETCH(QString, earlier);
        QFETCH(QString, later);
        QFETCH(bool, repeat);
        QCOMPARE(IsRepeatReading(earlier, later), repeat);
    }

    void words()
    {
        const CardFacts facts{adultId(), QStringLiteral("2007-05-02"), QStringLiteral("2024.01.01"), QStringLiteral("2023.05.01"),
                              QDate(2023, 5, 1)};
        QCOMPARE(CardCheckWords(CheckExpired | CheckMinor | CheckIdDigit | CheckRepeat, facts),
                 QStringList({"证件已过期（有效期至 2023.05.01）", "未成年（15 岁）", "身份证号校验位不符", "10 分钟内重复刷卡"}));
        QCOMPARE(CardCheckWords(CheckNotYetValid | CheckIdLength | CheckIdBirth, facts),
                 QStringList({"证件尚未生效（有效期自 2024.01.01）", "身份证号不是 18 位", "身份证号中的出生日期与登记的不符"}));
        CardCheckCounts counts;
        QVERIFY(CardCheckCountsText(counts).isEmpty());
        for (int flags : {CheckExpired | CheckRepeat, CheckIdLength | CheckIdBirth, int(CheckIdDigit), int(CheckRepeat), 0})
            counts.Add(flags);
        QCOMPARE(CardCheckCountsText(counts), QStringLiteral("本次导入的记录中：证件已过期 1 条，身份证号有误 2 条，10 分钟内重复刷卡 2 条"));
    }

    void upgradeJudgesStoredReadings()
    {
        // A store as version 2 left it, with readings of every kind.
        QString error;
        QSqlQuery q(db());
        QVERIFY(q.exec(QStringLiteral("drop index idcardwater_odd_readtime")) && q.exec(QStringLiteral("drop index idcardwater_odd_idcardno"))
                && q.exec(QStringLiteral("alter table idcardwater drop column checkflags")) && q.exec(QStringLiteral("pragma user_version = 2")));
        QVERIFY2(AddHolder(db(), {sceneId(1), QStringLiteral("测试甲")}, &error), qPrintable(error));
        const QString wrong = sceneId(2).left(17) + (sceneId(2).endsWith(u'0') ? u'1' : u'0'); // the check digit
        QVERIFY2(AddHolder(db(), {wrong, QStringLiteral("测试乙")}, &error), qPrintable(error));
        for (const auto& [id, time] : QList<QPair<QString, QString>>{{sceneId(1), "2020-05-01 08:00:00"},
                                                                     {sceneId(1), "2020-05-01 08:09:59"},
                                                                     {sceneId(1), "2020-05-01 08:19:59"},
                                                                     {sceneId(1), "2030-01-02 08:00:00"},
                                                                     {sceneId(1), "1997-12-31 08:00:00"},
                                                                     {wrong, "2020-05-01 08:05:00"}})
            QVERIFY2(AddReading(db(), id, time, &error), qPrintable(error));

        // Up to the checks' version: later steps may expect what the newest store already has.
        QList<UpgradeStep> steps = ProgramUpgradeSteps();
        steps.erase(std::remove_if(steps.begin(), steps.end(), [](const UpgradeStep& s) { return s.version > 3; }), steps.end());
        const StoreUpgradeResult result = UpgradeStore(db(), steps);
        QVERIFY2(result.outcome == StoreUpgradeResult::Upgraded, qPrintable(result.error));
        QCOMPARE(storedChecks(), QStringList({
                                     QStringLiteral("%1|1997-12-31 08:00:00|%2").arg(sceneId(1)).arg(CheckMinor | CheckNotYetValid),
                                     QStringLiteral("%1|2020-05-01 08:00:00|0").arg(sceneId(1)),
                                     QStringLiteral("%1|2020-05-01 08:05:00|%2").arg(wrong).arg(CheckIdDigit),
                                     QStringLiteral("%1|2020-05-01 08:09:59|%2").arg(sceneId(1)).arg(CheckRepeat),
                                     QStringLiteral("%1|2020-05-01 08:19:59|0").arg(sceneId(1)),
                                     QStringLiteral("%1|2030-01-02 08:00:00|%2").arg(sceneId(1)).arg(CheckExpired),
                                 }));
    }

    void importJudgesEachReading()
    {
        // A repeat across two imports, one within an import, one that an earlier reading imported
        // later makes a repeat, and the counts of each import.
        ImportOutcome first = import({deviceRow(1, "2020-05-01 08:00:00"), deviceRow(2, "2020-05-01 09:00:00", true)});
        QVERIFY2(first.Complete(), qPrintable(first.error));
        QCOMPARE(CardCheckCountsText(first.checks), QStringLiteral("本次导入的记录中：未成年 1 条"));
        ImportOutcome second = import({deviceRow(1, "2020-05-01 08:09:59"), deviceRow(1, "2020-05-01 08:19:59"),
                                       deviceRow(1, "2020-05-01 08:25:00"), deviceRow(2, "2020-05-01 08:55:00", true)});
        QVERIFY2(second.Complete(), qPrintable(second.error));
        const QString a = deviceRow(1, {}).ic, b = deviceRow(2, {}, true).ic;
        QCOMPARE(storedChecks(), QStringList({
                                     QStringLiteral("%1|2020-05-01 08:00:00|0").arg(a),
                                     QStringLiteral("%1|2020-05-01 08:09:59|%2").arg(a).arg(CheckRepeat),
                                     QStringLiteral("%1|2020-05-01 08:19:59|0").arg(a),
                                     QStringLiteral("%1|2020-05-01 08:25:00|%2").arg(a).arg(CheckRepeat),
                                     QStringLiteral("%1|2020-05-01 08:55:00|%2").arg(b).arg(CheckMinor),
                                     QStringLiteral("%1|2020-05-01 09:00:00|%2").arg(b).arg(CheckMinor | CheckRepeat),
                                 }));
        // The 09:00 reading of the first import became a repeat: counted by neither import.
        QCOMPARE(CardCheckCountsText(second.checks), QStringLiteral("本次导入的记录中：未成年 1 条，10 分钟内重复刷卡 2 条"));
    }

    void repeatsOfAHolderNewInTheImport()
    {
        // A first import: a later reading that repeats, and one that comes last in the file but
        // makes an earlier-stored reading a repeat.
        const ImportOutcome o = import({deviceRow(1, "2020-05-01 08:00:00"), deviceRow(1, "2020-05-01 08:05:00"),
                                        deviceRow(1, "2020-05-01 07:58:00"), deviceRow(1, "2020-05-01 09:00:00")});
        QVERIFY2(o.Complete(), qPrintable(o.error));
        const QString a = deviceRow(1, {}).ic;
        QCOMPARE(storedChecks(), QStringList({
                                     QStringLiteral("%1|2020-05-01 07:58:00|0").arg(a),
                                     QStringLiteral("%1|2020-05-01 08:00:00|%2").arg(a).arg(CheckRepeat),
                                     QStringLiteral("%1|2020-05-01 08:05:00|%2").arg(a).arg(CheckRepeat),
                                     QStringLiteral("%1|2020-05-01 09:00:00|0").arg(a),
                                 }));
        QCOMPARE(CardCheckCountsText(o.checks), QStringLiteral("本次导入的记录中：10 分钟内重复刷卡 2 条"));
    }

    void windowColoursFiltersAndNamesChecks()
    {
        ScriptedMessages messages;
        TIdcardmainfrm window(m_store.get(), m_folder->path());
        window.SetClock([] { return QDateTime(QDate(2020, 5, 2), QTime(15, 30)); });
        window.SetProgress(nullptr);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QString error;
        QVERIFY2(CreateDeviceDb(devicePath(), &error)
                     && AddDeviceRows(devicePath(), {deviceRow(1, "2020-05-01 08:00:00"), deviceRow(2, "2020-05-01 09:00:00", true),
                                                     deviceRow(3, "2020-05-01 10:00:00", true)}, &error),
                 qPrintable(error));
        QCOMPARE(window.ImportDeviceDb(devicePath()), 3);
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("成功导入记录 3 条\n本次导入的记录中：未成年 2 条")});
        // The third holder is also watch-listed: red wins over the checks' colour.
        QSqlQuery(db()).exec(QStringLiteral("update idcardinfo set blackflag='是' where idcardno='%1'").arg(deviceRow(3, {}, true).ic));
        window.RefreshQuery();
        ReadingLogModel* model = window.Model();
        QCOMPARE(model->rowCount(), 3);
        auto colour = [&](int row) { return model->data(model->index(row, 0), Qt::ForegroundRole).value<QBrush>().color(); };
        auto* grid = Control<QTableView>(&window, "DBGrid1");
        auto* note = Control<QLabel>(&window, "lb_odd");
        // The pane also names the station that imported the reading.
        auto* station = Control<QLabel>(&window, "lb_station");
        const QString thisStation = QStringLiteral("采集站点：") + LocalStationName();
        for (int r = 0; r < 3; ++r) {
            const QString id = model->IdcardnoAt(r);
            const bool minor = id != deviceRow(1, {}).ic;
            const QColor expected = !minor ? QColor(Qt::black) : id == deviceRow(3, {}, true).ic ? QColor(Qt::red) : QColor(ReadingLogModel::kCheckedColour);
            QCOMPARE(colour(r), minor ? expected : colour(r));
            QVERIFY(minor || !model->data(model->index(r, 0), Qt::ForegroundRole).isValid());
            grid->selectRow(r);
            QCOMPARE(note->text(), minor ? QStringLiteral("未成年（10 岁）") : QString());
            QCOMPARE(station->toolTip(), thisStation);
        }
        // A reading stored before stations were kept names none.
        QVERIFY(QSqlQuery(db()).exec(QStringLiteral("update idcardwater set station=''")));
        grid->selectRow(0);
        grid->selectRow(1);
        QCOMPARE(station->text(), QString());
        Control<QCheckBox>(&window, "cb_odd")->setChecked(true);
        QTRY_COMPARE(model->rowCount(), 2);
        for (int r = 0; r < 2; ++r)
            QVERIFY(model->IdcardnoAt(r) != deviceRow(1, {}).ic);
        Control<QCheckBox>(&window, "cb_odd")->setChecked(false);
        QTRY_COMPARE(model->rowCount(), 3);
        if (const QString shot = qEnvironmentVariable("IDCARD_SCREENSHOT"); !shot.isEmpty()) {
            grid->selectRow(1);
            QVERIFY(window.grab().save(shot));
        }
    }
};

QTEST_MAIN(TestCardChecks)
#include "test_cardchecks.moc"
