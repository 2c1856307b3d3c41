// Statistics of the reading log: the store's grouped counts against the test's own plain SQL, the
// switch from days to weeks to months, the empty range, the picture and workbook, and the window
// following the main window's filter.

#include "ReadingLogModel.h"
#include "ReadingStats.h"
#include "RecordStore.h"
#include "StatsWindow.h"
#include "TIdcardmainfrm.h"
#include "TestSupport.h"

#include <QBarSeries>
#include <QBarSet>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QLineSeries>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QtTest>

namespace {

const QString kFirstRegion = QStringLiteral("410101");

QDateTime day(const char* text) { return QDate::fromString(QLatin1String(text), Qt::ISODate).startOfDay(); }

// One figure by the test's own SQL over the readings of a filter, with extra conditions on w.
qint64 plainCount(QSqlDatabase db, const ReadingLogFilter& f, const QString& what, const QString& extra = QString(),
                  const QStringList& extraParams = {})
{
    QSqlQuery q(db);
    q.prepare(QStringLiteral("select %1 from idcardwater w join idcardinfo i on i.idcardno=w.idcardno "
                             "join nation_mes n on n.nation_no=i.nation_no "
                             "where w.readtime>=? and w.readtime<=? and w.idcardno like ? and i.name like ? %2")
                  .arg(what, extra));
    q.addBindValue(f.begin.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    q.addBindValue(f.end.addDays(1).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))); // its midnight is listed
    q.addBindValue(f.idText + u'%');
    q.addBindValue(f.nameText + u'%');
    for (const QString& p : extraParams)
        q.addBindValue(p);
    if (!q.exec() || !q.next())
        qFatal("plain count failed");
    return q.value(0).toLongLong();
}

QString stamp(const QDate& d) { return d.startOfDay().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")); }

} // namespace

class TestStats : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<TDM_Main> m_store;

    QSqlDatabase db() const { return m_store->con1(); }

private slots:
    void initTestCase()
    {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_store = std::make_unique<TDM_Main>();
        QString error;
        QVERIFY2(m_store->Open(m_folder->path(), &error), qPrintable(error));
        const QStringList names = {QStringLiteral("赵一"), QStringLiteral("钱二"), QStringLiteral("孙三"),
                                   QStringLiteral("赵四"), QStringLiteral("周五"), QStringLiteral("吴六")};
        QStringList ids;
        for (int i = 0; i < names.size(); ++i) {
            ids << SyntheticId(i < 3 ? 410101 : 320101, QDate(1980 + i, 3, 4), i + 1);
            QVERIFY2(AddHolder(db(), {ids.back(), names[i], 1 + i, {}}, &error), qPrintable(error));
        }
        const QList<QPair<int, const char*>> edges = {
            {0, "2024-01-31 23:59:59"}, {1, "2024-02-01 00:00:00"}, // a month end and the midnight after it
            {2, "2024-02-28 23:59:59"}, {3, "2024-02-29 00:00:00"}, // the leap day
            {3, "2024-02-29 12:30:00"}, {3, "2024-02-29 12:45:00"}, {4, "2024-02-29 23:59:59"},
            {5, "2024-03-01 00:00:00"}, {0, "2024-03-31 23:59:59"}, {1, "2024-04-01 00:00:00"},
        };
        for (const auto& [holder, time] : edges)
            QVERIFY2(AddReading(db(), ids[holder], QLatin1String(time), &error), qPrintable(error));
        // Readings spread over four years, and one whose holder is missing: the list never shows it.
        QRandomGenerator random(25);
        const QDateTime from = day("2022-01-01");
        for (int i = 0; i < 600; ++i) {
            const QDateTime t = from.addSecs(random.bounded(4 * 365 * 86400));
            QVERIFY(AddReading(db(), ids[random.bounded(6)], t.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))));
        }
        QVERIFY(AddReading(db(), SyntheticId(110101, QDate(1990, 1, 1), 9), QStringLiteral("2022-06-15 10:00:00")));
        // One holder listed, and every seventh reading flagged by a card check.
        QSqlQuery q(db());
        QVERIFY(q.exec(QStringLiteral("insert into watchlist (idcardno, reason) values ('%1', '测试')").arg(ids[3])));
        QVERIFY(q.exec(QStringLiteral("update idcardwater set checkflags = 1 where serialno % 7 = 0")));
    }
    void cleanupTestCase()
    {
        m_store.reset();
        m_folder.reset();
    }

    void countsMatchPlainSql_data()
    {
        QTest::addColumn<QDateTime>("begin");
        QTest::addColumn<QDateTime>("end");
        QTest::addColumn<QString>("idText");
        QTest::addColumn<QString>("nameText");
        QTest::addColumn<int>("period");
        QTest::newRow("days over a month end and the leap day") << day("2024-01-20") << day("2024-03-31") << "" << "" << int(StatsPeriod::Day);
        QTest::newRow("weeks") << day("2023-12-01") << day("2024-06-30") << "" << "" << int(StatsPeriod::Week);
        QTest::newRow("months") << day("2022-07-01") << day("2025-06-30") << "" << "" << int(StatsPeriod::Month);
        // The reading without a holder makes the list drop one of the range's readings.
        QTest::newRow("months, a reading not listed") << day("2022-01-01") << day("2025-06-30") << "" << "" << int(StatsPeriod::Month);
        QTest::newRow("ID-number prefix") << day("2024-01-01") << day("2024-03-31") << kFirstRegion << "" << int(StatsPeriod::Day);
        QTest::newRow("name prefix, weeks") << day("2023-01-01") << day("2024-12-31") << "" << "赵" << int(StatsPeriod::Week);
    }
    void countsMatchPlainSql()
    {
        QFETCH(QDateTime, begin);
        QFETCH(QDateTime, end);
        QFETCH(QString, idText);
        QFETCH(QString, nameText);
        QFETCH(int, period);
        const ReadingLogFilter filter{begin, end, idText, nameText};
        ReadingStatsResult stats;
        QString error;
        QVERIFY2(ReadingStats(db()).Count(filter, &stats, &error), qPrintable(error));
        QCOMPARE(int(stats.period), period);

        QCOMPARE(stats.readings, plainCount(db(), filter, QStringLiteral("count(*)")));
        QCOMPARE(stats.holders, plainCount(db(), filter, QStringLiteral("count(distinct w.idcardno)")));
        QVERIFY(stats.readings > 0);
        QCOMPARE(stats.unplacedReadings, 0);
        QCOMPARE(stats.watchListedReadings.value_or(-1),
                 plainCount(db(), filter, QStringLiteral("count(*)"), QStringLiteral("and w.idcardno in (select idcardno from watchlist)")));
        QCOMPARE(stats.checkedReadings.value_or(-1), plainCount(db(), filter, QStringLiteral("count(*)"), QStringLiteral("and w.checkflags <> 0")));

        // Each period: contiguous, aligned, and counted as the test counts a time range.
        QVERIFY(!stats.buckets.empty());
        QVERIFY(stats.buckets.front().start <= begin.date());
        QVERIFY(stats.buckets.back().start <= end.date().addDays(1));
        qint64 sum = 0;
        for (size_t i = 0; i < stats.buckets.size(); ++i) {
            const QDate start = stats.buckets[i].start;
            const QDate next = period == int(StatsPeriod::Day) ? start.addDays(1)
                               : period == int(StatsPeriod::Week) ? start.addDays(7)
                                                                  : start.addMonths(1);
            if (period == int(StatsPeriod::Week))
                QCOMPARE(start.dayOfWeek(), 1);
            if (period == int(StatsPeriod::Month))
                QCOMPARE(start.day(), 1);
            if (i + 1 < stats.buckets.size())
                QCOMPARE(stats.buckets[i + 1].start, next);
            const QString range = QStringLiteral("and w.readtime>=? and w.readtime<?");
            const QStringList bounds = {stamp(start), stamp(next)};
            QCOMPARE(stats.buckets[i].readings, plainCount(db(), filter, QStringLiteral("count(*)"), range, bounds));
            QCOMPARE(stats.buckets[i].holders, plainCount(db(), filter, QStringLiteral("count(distinct w.idcardno)"), range, bounds));
            sum += stats.buckets[i].readings;
        }
        QCOMPARE(sum, stats.readings);

        for (int h = 0; h < 24; ++h)
            QCOMPARE(stats.byHour[size_t(h)], plainCount(db(), filter, QStringLiteral("count(*)"),
                                                         QStringLiteral("and cast(strftime('%H',w.readtime) as integer)=?"),
                                                         {QString::number(h)}));
        const qint64 busiestDay = plainCount(db(), filter, QStringLiteral("max(n) from (select count(*) n"),
                                             QStringLiteral("group by date(w.readtime))"));
        QCOMPARE(stats.busiestDayReadings, busiestDay);
        QCOMPARE(plainCount(db(), filter, QStringLiteral("count(*)"), QStringLiteral("and date(w.readtime)=?"),
                            {stats.busiestDay.toString(Qt::ISODate)}),
                 busiestDay);
        QCOMPARE(stats.busiestHourReadings, *std::max_element(stats.byHour.begin(), stats.byHour.end()));
        QCOMPARE(stats.byHour[size_t(stats.busiestHour)], stats.busiestHourReadings);
    }

    // The holders per period are counted beside the rest on a second connection; when that one
    // cannot open the store (here its file has been renamed away), this connection counts them.
    void secondConnectionFailing()
    {
        QTemporaryDir dir;
        const QString copy = dir.filePath(QStringLiteral("copy.db"));
        QVERIFY(QFile::copy(StoreFileOf(db()), copy));
        TDM_Main other;
        QString error;
        QVERIFY2(other.OpenFile(copy, &error), qPrintable(error));
        QVERIFY(QFile::rename(copy, dir.filePath(QStringLiteral("moved.db"))));
        const ReadingLogFilter filter{day("2023-12-01"), day("2024-06-30"), QString(), QString()};
        ReadingStatsResult expected, got;
        QVERIFY2(ReadingStats(db()).Count(filter, &expected, &error), qPrintable(error));
        QVERIFY2(ReadingStats(other.con1()).Count(filter, &got, &error), qPrintable(error));
        QCOMPARE(got.buckets.size(), expected.buckets.size());
        for (size_t i = 0; i < got.buckets.size(); ++i)
            QCOMPARE(got.buckets[i].holders, expected.buckets[i].holders);
    }
    // The counts run in a read transaction of their own while the list may still be reading rows
    // on the same connection: the list reads on, and the transaction is over, so writers can write.
    void countingBesideAPendingListRead()
    {
        QSqlQuery list(db());
        list.setForwardOnly(true);
        QVERIFY(list.exec(QStringLiteral("select serialno from idcardwater order by serialno")) && list.next());
        ReadingStatsResult stats;
        QString error;
        QVERIFY2(ReadingStats(db()).Count({day("2022-01-01"), day("2025-12-31"), QString(), QString()}, &stats, &error), qPrintable(error));
        int rest = 0;
        while (list.next())
            ++rest;
        QCOMPARE(rest + 1, CountRows(db(), "idcardwater"));
        TDM_Main writer;
        QVERIFY2(writer.OpenFile(StoreFileOf(db()), &error), qPrintable(error));
        QSqlQuery write(writer.con1());
        QVERIFY2(write.exec(QStringLiteral("update nation_mes set nation = nation where nation_no = 1")), qPrintable(write.lastError().text()));
    }
    void periodSwitch_data()
    {
        QTest::addColumn<QDate>("first");
        QTest::addColumn<QDate>("last");
        QTest::addColumn<int>("period");
        const QDate first(2022, 3, 1);
        QTest::newRow("92 days") << first << first.addDays(91) << int(StatsPeriod::Day);
        QTest::newRow("93 days") << first << first.addDays(92) << int(StatsPeriod::Week);
        QTest::newRow("two years") << first << QDate(2024, 2, 29) << int(StatsPeriod::Week);
        QTest::newRow("two years and a day") << first << QDate(2024, 3, 1) << int(StatsPeriod::Month);
        QTest::newRow("one day") << first << first << int(StatsPeriod::Day);
        QTest::newRow("begin after end") << first << first.addDays(-400) << int(StatsPeriod::Day);
    }
    void periodSwitch()
    {
        QFETCH(QDate, first);
        QFETCH(QDate, last);
        QFETCH(int, period);
        QCOMPARE(int(StatsPeriodFor(first, last)), period);
    }

    void emptyRangeShowsEmptyCharts_data()
    {
        QTest::addColumn<QDateTime>("begin");
        QTest::addColumn<QDateTime>("end");
        QTest::newRow("no readings in the range") << day("2010-01-01") << day("2010-12-31");
        QTest::newRow("begin after end") << day("2024-03-01") << day("2024-01-01");
    }
    void emptyRangeShowsEmptyCharts()
    {
        QFETCH(QDateTime, begin);
        QFETCH(QDateTime, end);
        ScriptedMessages messages;
        StatsWindow window(db(), {begin, end, QString(), QString()}, m_folder->path());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(window.CountOk());
        QVERIFY(window.Stats().IsEmpty());
        QVERIFY2(window.NoticeText().contains(QStringLiteral("没有刷卡记录")), qPrintable(window.NoticeText()));
        for (const char* chart : {"periodChart", "hourChart"})
            QVERIFY(Control<QChartView>(&window, chart)->chart()->series().isEmpty());
        QVERIFY(messages.shown.isEmpty());
    }

    void pictureAndWorkbook()
    {
        ScriptedMessages messages;
        StatsWindow window(db(), {day("2024-01-01"), day("2024-03-31"), QString(), QString()}, m_folder->path());
        window.resize(520, 600); // narrow: 92 day labels cannot all fit
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(QTest::qWaitFor([&] { return !Control<QChartView>(&window, "periodChart")->chart()->plotArea().isEmpty(); }));

        // The day labels are thinned so that each has room for the widest of them.
        QChart* chart = Control<QChartView>(&window, "periodChart")->chart();
        auto* axis = qobject_cast<QCategoryAxis*>(chart->axes(Qt::Horizontal).value(0));
        QVERIFY(axis);
        const QStringList shown = axis->categoriesLabels();
        QVERIFY(shown.size() > 1 && shown.size() < int(window.Stats().buckets.size()));
        const qreal room = chart->plotArea().width() / window.Stats().buckets.size()
                           * (axis->endValue(shown[1]) - axis->endValue(shown[0]));
        QVERIFY(room > QFontMetrics(axis->labelsFont()).horizontalAdvance(shown[0]));

        // The picture: chosen without its suffix, written as PNG of the charts' size.
        messages.fileNames.enqueue(m_folder->path() + QStringLiteral("output/stats"));
        QTest::mouseClick(Control<QPushButton>(&window, "savepicbtn"), Qt::LeftButton);
        const QImage picture(m_folder->path() + QStringLiteral("output/stats.png"), "PNG");
        QVERIFY(!picture.isNull());
        const QWidget* area = Control<QWidget>(&window, "chartsArea");
        QCOMPARE(picture.size(), area->size() * area->devicePixelRatioF());
        QCOMPARE(messages.Texts().value(0), QStringLiteral("图片已保存。"));

        // The workbook: one sheet per table, read back.
        const QString book = m_folder->path() + QStringLiteral("output/stats.xlsx");
        messages.fileNames.enqueue(book);
        QTest::mouseClick(Control<QPushButton>(&window, "exportdatabtn"), Qt::LeftButton);
        QCOMPARE(messages.Texts().value(1), QStringLiteral("统计数据已导出。"));
        QString output;
        QString error;
        const QString script = QStringLiteral(
            "import json,sys,openpyxl\n"
            "b=openpyxl.load_workbook(sys.argv[1])\n"
            "print(json.dumps({s.title:[[c.value for c in r] for r in s.iter_rows()] for s in b.worksheets}))");
        QVERIFY2(RunTool(QStringLiteral(IDCARD_PYTHON), {QStringLiteral("-c"), script, book}, &output, &error), qPrintable(error));
        const QJsonObject sheets = QJsonDocument::fromJson(output.toUtf8()).object();
        QCOMPARE(sheets.keys(), (QStringList{QStringLiteral("合计"), QStringLiteral("按小时"), QStringLiteral("按日")}));
        const QJsonArray days = sheets[QStringLiteral("按日")].toArray();
        QCOMPARE(days.size(), qsizetype(window.Stats().buckets.size()) + 1);
        const QJsonArray leapDay = days[60].toArray(); // 2024-01-01 + 59 days, after the header
        QCOMPARE(leapDay[0].toString(), QStringLiteral("2024-02-29"));
        QCOMPARE(qint64(leapDay[1].toDouble()), window.Stats().buckets[59].readings);
        QCOMPARE(qint64(leapDay[2].toDouble()), window.Stats().buckets[59].holders);
        QCOMPARE(sheets[QStringLiteral("按小时")].toArray().size(), 25);
        QCOMPARE(qint64(sheets[QStringLiteral("合计")].toArray()[1].toArray()[1].toDouble()), window.Stats().readings);
    }

    void windowFollowsTheMainWindow()
    {
        ScriptedMessages messages;
        TIdcardmainfrm main(m_store.get(), m_folder->path());
        main.SetClock([] { return QDateTime(QDate(2024, 3, 31), QTime(10, 0)); });
        main.show();
        QVERIFY(QTest::qWaitForWindowExposed(&main));
        QTest::mouseClick(Control<QPushButton>(&main, "statbtn"), Qt::LeftButton);
        auto* stats = main.findChild<StatsWindow*>();
        QVERIFY(stats && stats->isVisible());
        QCOMPARE(int(stats->Stats().period), int(StatsPeriod::Week));
        QCOMPARE(stats->Stats().readings, qint64(main.Model()->rowCount()));

        // A new filter reaches the window with the timer's re-run of the list.
        Control<QLineEdit>(&main, "g_name")->setText(QStringLiteral("赵"));
        main.Timer1Timer();
        const ReadingLogFilter filter = main.CurrentFilter();
        QCOMPARE(stats->Stats().readings, plainCount(db(), filter, QStringLiteral("count(*)")));
        QCOMPARE(stats->Stats().holders, 2);

        // One window at a time; closed, it goes, and the button makes a new one.
        QTest::mouseClick(Control<QPushButton>(&main, "statbtn"), Qt::LeftButton);
        QCOMPARE(main.findChildren<StatsWindow*>().size(), 1);
        QPointer<StatsWindow> first = stats;
        stats->close();
        QTRY_VERIFY(first.isNull());
        QTest::mouseClick(Control<QPushButton>(&main, "statbtn"), Qt::LeftButton);
        QCOMPARE(main.findChildren<StatsWindow*>().size(), 1);
        // Closing the main window closes it too, so the program can end.
        QPointer<StatsWindow> second = main.findChild<StatsWindow*>();
        main.close();
        QTRY_VERIFY(second.isNull());
        QVERIFY(messages.shown.isEmpty());
    }
};

QTEST_MAIN(TestStats)
#include "test_stats.moc"
