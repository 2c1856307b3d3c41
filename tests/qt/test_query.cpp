// The reading-log query: SQL text, parameter order, date bounds, and the rows a real store lists.

#include "ReadingLogModel.h"
#include "ReadingLogQuery.h"
#include "RecordStore.h"
#include "TestSupport.h"

#include <QAbstractItemModelTester>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

namespace {

ReadingLogFilter filterOf(const QDate& b, const QDate& e, const QString& id = {}, const QString& name = {})
{
    return {b.startOfDay(), e.startOfDay(), id, name};
}

} // namespace

class TestQuery : public QObject {
    Q_OBJECT
private:
    TempProgramFolder m_folder;
    TDM_Main m_store;
    QStringList m_ids;

    // Serial numbers listed for a filter, in list order.
    QList<qint64> listed(const ReadingLogFilter& f)
    {
        ReadingLogModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QString error;
        if (!model.Run(m_store.con1(), BuildReadingLogQuery(f), &error)) {
            QTest::qFail(qPrintable(error), __FILE__, __LINE__);
            return {};
        }
        QList<qint64> out;
        for (int r = 0; r < model.rowCount(); ++r)
            out << model.SerialAt(r);
        return out;
    }

    qint64 serialOf(const QString& id, const QString& time)
    {
        QSqlQuery q(m_store.con1());
        q.prepare(QStringLiteral("select serialno from idcardwater where idcardno=? and readtime=?"));
        q.addBindValue(id);
        q.addBindValue(time);
        return q.exec() && q.next() ? q.value(0).toLongLong() : -1;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_folder.isValid());
        QString error;
        QVERIFY2(m_store.Open(m_folder.path(), &error), qPrintable(error));
        const QDate birth(1980, 5, 17);
        m_ids = {SyntheticId(410101, birth, 11), SyntheticId(410102, birth, 22), SyntheticId(110101, birth, 33),
                 SyntheticId(120101, birth, 44), SyntheticId(130101, birth, 55)};
        const QSqlDatabase db = m_store.con1();
        QVERIFY2(AddHolder(db, {m_ids[0], QStringLiteral("张伟"), 1, {}}, &error), qPrintable(error));
        QVERIFY2(AddHolder(db, {m_ids[1], QStringLiteral("张三丰"), 3, {}}, &error), qPrintable(error));
        QVERIFY2(AddHolder(db, {m_ids[2], QStringLiteral("李娜"), 0, {}}, &error), qPrintable(error)); // nation unknown
        QVERIFY2(AddHolder(db, {m_ids[3], QStringLiteral("王芳"), 99, {}}, &error), qPrintable(error)); // no nation_mes row
        // m_ids[4] has readings but no holder row.
        const QList<QPair<int, QString>> readings = {
            {0, "2014-03-07 23:59:59"}, {0, "2014-03-08 00:00:00"}, {0, "2014-03-08 12:00:00"},
            {1, "2014-03-09 00:00:00"}, {1, "2014-03-09 00:00:01"}, {2, "2014-03-08 09:00:00"},
            {3, "2014-03-08 09:00:00"}, {4, "2014-03-08 09:00:00"}, {0, "2014-03-10 08:00:00"}};
        for (const auto& r : readings)
            QVERIFY2(AddReading(db, m_ids[r.first], r.second, &error), qPrintable(error));
    }

    void sqlAndParameterOrder_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("tail");
        QTest::addColumn<QStringList>("params");
        const QString base = QStringLiteral(" where a.idcardno=b.idcardno and b.nation_no=c.nation_no and (a.readtime between :p1 and :p2)");
        QTest::newRow("no filter") << "" << "" << base << QStringList{"2014-03-08", "2014-03-09"};
        QTest::newRow("id only") << "4101" << "" << base + " and a.idcardno like :p3 " << QStringList{"2014-03-08", "2014-03-09", "4101%"};
        QTest::newRow("name only is the third") << "" << "  张 " << base + " and b.name like :p4 "
                                                << QStringList{"2014-03-08", "2014-03-09", "张%"};
        QTest::newRow("both") << " 4101\t" << "张" << base + " and a.idcardno like :p3  and b.name like :p4 "
                              << QStringList{"2014-03-08", "2014-03-09", "4101%", "张%"};
        QTest::newRow("blanks only are no filter") << "   " << "\t" << base << QStringList{"2014-03-08", "2014-03-09"};
    }
    void sqlAndParameterOrder()
    {
        QFETCH(QString, id);
        QFETCH(QString, name);
        QFETCH(QString, tail);
        QFETCH(QStringList, params);
        const ReadingLogQuery q = BuildReadingLogQuery(filterOf(QDate(2014, 3, 8), QDate(2014, 3, 8), id, name));
        QCOMPARE(q.Sql(), QString::fromUtf8(kReadingLogSelect) + tail);
        QVERIFY(q.Sql().contains(QStringLiteral("nation_mes c  where")));
        QCOMPARE(q.params, params);
        QCOMPARE(q.storeParams.mid(2), params.mid(2));
    }

    void dateBounds_data()
    {
        QTest::addColumn<QDate>("begin");
        QTest::addColumn<QDate>("end");
        QTest::addColumn<QStringList>("params");
        QTest::addColumn<QStringList>("storeParams");
        QTest::newRow("same day") << QDate(2014, 3, 8) << QDate(2014, 3, 8) << QStringList{"2014-03-08", "2014-03-09"}
                                  << QStringList{"2014-03-08 00:00:00", "2014-03-09 00:00:00"};
        QTest::newRow("begin one day after end") << QDate(2014, 3, 9) << QDate(2014, 3, 8) << QStringList{"2014-03-09", "2014-03-09"}
                                                 << QStringList{"2014-03-09 00:00:00", "2014-03-09 00:00:00"};
        QTest::newRow("begin two days after end") << QDate(2014, 3, 10) << QDate(2014, 3, 8) << QStringList{"1998-1-1", "1998-1-1"}
                                                  << QStringList{"1998-01-01 00:00:00", "1998-01-01 00:00:00"};
        QTest::newRow("year end") << QDate(2013, 12, 31) << QDate(2013, 12, 31) << QStringList{"2013-12-31", "2014-01-01"}
                                  << QStringList{"2013-12-31 00:00:00", "2014-01-01 00:00:00"};
    }
    void dateBounds()
    {
        QFETCH(QDate, begin);
        QFETCH(QDate, end);
        QFETCH(QStringList, params);
        QFETCH(QStringList, storeParams);
        const ReadingLogQuery q = BuildReadingLogQuery(filterOf(begin, end));
        QCOMPARE(q.params, params);
        QCOMPARE(q.storeParams, storeParams);
    }

    void listedRows()
    {
        const qint64 r0 = serialOf(m_ids[0], "2014-03-08 00:00:00");
        const qint64 r1 = serialOf(m_ids[0], "2014-03-08 12:00:00");
        const qint64 midnightNext = serialOf(m_ids[1], "2014-03-09 00:00:00");
        const qint64 unknownNation = serialOf(m_ids[2], "2014-03-08 09:00:00");

        // One day: from 00:00 through 00:00 of the next day; the second after is out.
        auto rows = listed(filterOf(QDate(2014, 3, 8), QDate(2014, 3, 8)));
        std::sort(rows.begin(), rows.end());
        QCOMPARE(rows, (QList<qint64>{r0, r1, midnightNext, unknownNation}));

        // Begin one day after end: only readings at exactly 00:00 of that day.
        QCOMPARE(listed(filterOf(QDate(2014, 3, 9), QDate(2014, 3, 8))), QList<qint64>{midnightNext});
        // Two or more days after: nothing.
        QVERIFY(listed(filterOf(QDate(2014, 3, 11), QDate(2014, 3, 8))).isEmpty());

        // Prefix filters, trimmed; an ID prefix and a name prefix together.
        QCOMPARE(listed(filterOf(QDate(2014, 3, 1), QDate(2014, 3, 31), QStringLiteral(" 410102 "))).size(), 2);
        QCOMPARE(listed(filterOf(QDate(2014, 3, 1), QDate(2014, 3, 31), QString(), QStringLiteral("张"))).size(), 6);
        QCOMPARE(listed(filterOf(QDate(2014, 3, 1), QDate(2014, 3, 31), QStringLiteral("4101"), QStringLiteral("张三"))).size(), 2);
        QVERIFY(listed(filterOf(QDate(2014, 3, 1), QDate(2014, 3, 31), QStringLiteral("9"))).isEmpty());
    }

    void hiddenAndShownHolders()
    {
        // Code 0 has a row of its own, so an unrecognised nation is listed; a code without a row
        // and a reading without a holder are not.
        ReadingLogModel model;
        QString error;
        QVERIFY2(model.Run(m_store.con1(), BuildReadingLogQuery(filterOf(QDate(2014, 3, 1), QDate(2014, 3, 31))), &error),
                 qPrintable(error));
        QStringList ids;
        for (int r = 0; r < model.rowCount(); ++r)
            ids << model.IdcardnoAt(r);
        QVERIFY(ids.contains(m_ids[2]));
        QVERIFY(!ids.contains(m_ids[3]));
        QVERIFY(!ids.contains(m_ids[4]));
        QCOMPARE(model.rowCount(), 7);
    }

    void totalIsTheNumberOfRowsListed_data()
    {
        QTest::addColumn<QDate>("begin");
        QTest::addColumn<QDate>("end");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("rows");
        // Four holders: a range with more readings than that is counted per holder, one with
        // fewer per reading; the hidden readings (no holder, no nation row) are in both.
        QTest::newRow("month, counted per holder") << QDate(2014, 3, 1) << QDate(2014, 3, 31) << "" << "" << 7;
        QTest::newRow("one day, counted per holder") << QDate(2014, 3, 8) << QDate(2014, 3, 8) << "" << "" << 4;
        QTest::newRow("midnight only, counted per reading") << QDate(2014, 3, 9) << QDate(2014, 3, 8) << "" << "" << 1;
        QTest::newRow("evening and midnight, counted per reading") << QDate(2014, 3, 7) << QDate(2014, 3, 7) << "" << "" << 2;
        QTest::newRow("holder without nation row") << QDate(2014, 3, 1) << QDate(2014, 3, 31) << "1201" << "" << 0;
        QTest::newRow("readings without holder") << QDate(2014, 3, 1) << QDate(2014, 3, 31) << "1301" << "" << 0;
        QTest::newRow("ID prefix") << QDate(2014, 3, 1) << QDate(2014, 3, 31) << "4101" << "" << 6;
        QTest::newRow("name prefix") << QDate(2014, 3, 1) << QDate(2014, 3, 31) << "" << "张三" << 2;
        QTest::newRow("nothing in range") << QDate(2014, 4, 1) << QDate(2014, 4, 30) << "" << "" << 0;
    }
    void totalIsTheNumberOfRowsListed()
    {
        QFETCH(QDate, begin);
        QFETCH(QDate, end);
        QFETCH(QString, id);
        QFETCH(QString, name);
        QFETCH(int, rows);
        const ReadingLogQuery query = BuildReadingLogQuery(filterOf(begin, end, id, name));
        ReadingLogModel model;
        QString error;
        QVERIFY2(model.Run(m_store.con1(), query, &error), qPrintable(error));
        QCOMPARE(model.rowCount(), rows);
        // The same as stepping the rows themselves, which leaves the count as it was.
        QVERIFY2(model.FetchAll(&error), qPrintable(error));
        QCOMPARE(model.FetchedCount(), rows);
        QCOMPARE(model.rowCount(), rows);
    }

    void modelColumnsAndFetching()
    {
        // More rows than one chunk, so the total is known before the rows are all read.
        QSqlDatabase db = m_store.con1();
        QVERIFY(db.transaction());
        const int extra = ReadingLogModel::kChunk * 2 + 17;
        for (int i = 0; i < extra; ++i)
            QVERIFY(AddReading(db, m_ids[1], QStringLiteral("2015-06-01 10:%1:%2").arg(i / 60 % 60, 2, 10, QLatin1Char('0')).arg(i % 60, 2, 10, QLatin1Char('0'))));
        QVERIFY(db.commit());

        ReadingLogModel model;
        QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QString error;
        QVERIFY2(model.Run(db, BuildReadingLogQuery(filterOf(QDate(2015, 6, 1), QDate(2015, 6, 1))), &error), qPrintable(error));
        QCOMPARE(model.rowCount(), extra);
        QVERIFY(model.FetchedCount() < extra);
        // Painting does not wait for rows not read yet; the idle reading fills them in and tells
        // the views.
        QVERIFY(model.data(model.index(extra - 1, ReadingLogModel::ColName)).toString().isEmpty());
        {
            QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
            QTRY_VERIFY(model.FullyFetched());
            QVERIFY(changed.count() > 0);
        }
        QCOMPARE(model.data(model.index(extra - 1, ReadingLogModel::ColName)).toString(), QStringLiteral("张三丰"));
        // A command asking for a row reads up to it at once.
        QVERIFY2(model.Run(db, BuildReadingLogQuery(filterOf(QDate(2015, 6, 1), QDate(2015, 6, 1))), &error), qPrintable(error));
        QCOMPARE(model.NameAt(extra - 1), QStringLiteral("张三丰"));
        QCOMPARE(model.data(model.index(0, ReadingLogModel::ColIdcardno)).toString(), m_ids[1]);
        QVERIFY(model.data(model.index(0, ReadingLogModel::ColReadtime)).toString().startsWith(QStringLiteral("2015-06-01 10:")));
        QCOMPARE(model.headerData(ReadingLogModel::ColReadtime, Qt::Horizontal).toString(), QStringLiteral("刷卡时间"));
        QCOMPARE(model.data(model.index(0, ReadingLogModel::ColAddress), Qt::TextAlignmentRole).toInt() & Qt::AlignHorizontal_Mask, int(Qt::AlignLeft));
        QCOMPARE(model.data(model.index(0, ReadingLogModel::ColName), Qt::TextAlignmentRole).toInt() & Qt::AlignHorizontal_Mask, int(Qt::AlignHCenter));
        model.FetchAll();
        QVERIFY(model.FullyFetched());
        QCOMPARE(model.FetchedCount(), extra);
        QSet<qint64> serials;
        for (int r = 0; r < extra; ++r)
            serials.insert(model.SerialAt(r));
        QCOMPARE(serials.size(), extra);
    }

    void listingReadsIndexesOnly_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("name");
        QTest::newRow("dates only") << "" << "";
        QTest::newRow("ID prefix") << "4101" << "";
        QTest::newRow("name prefix") << "" << "张";
        QTest::newRow("both") << "4101" << "张";
    }
    void listingReadsIndexesOnly()
    {
        // The holder rows carry the photos: a listing that touches them is several times slower
        // on a year of readings.
        QFETCH(QString, id);
        QFETCH(QString, name);
        const ReadingLogQuery query = BuildReadingLogQuery(filterOf(QDate(2014, 3, 1), QDate(2014, 3, 31), id, name));
        for (const QString& sql : {query.ListingSql(), query.CountSql()}) {
            QSqlQuery plan(m_store.con1());
            QVERIFY2(plan.prepare(QStringLiteral("explain query plan ") + sql), qPrintable(plan.lastError().text()));
            for (int i = 0; i < query.storeParams.size(); ++i)
                plan.bindValue(i, query.storeParams[i]);
            QVERIFY2(plan.exec(), qPrintable(plan.lastError().text()));
            while (plan.next()) {
                const QString step = plan.value(3).toString();
                const bool cheap = step.contains(QStringLiteral("COVERING INDEX")) || step.contains(QStringLiteral("PRIMARY KEY"))
                    || !step.startsWith(QStringLiteral("SEARCH")) && !step.startsWith(QStringLiteral("SCAN"));
                QVERIFY2(cheap, qPrintable(sql + QStringLiteral("\n") + step));
            }
        }
    }

    void closedStoreReportsAnError()
    {
        TDM_Main closed;
        ReadingLogModel model;
        QString error;
        QVERIFY(!model.Run(closed.con1(), BuildReadingLogQuery(filterOf(QDate(2014, 3, 1), QDate(2014, 3, 31))), &error));
        QVERIFY(!error.isEmpty());
        QCOMPARE(model.rowCount(), 0);
    }

    void storeOpening()
    {
        QString error;
        TDM_Main missing;
        QTemporaryDir empty;
        QVERIFY(!missing.Open(empty.path() + QLatin1Char('/'), &error));
        QVERIFY(error.contains(QStringLiteral("KeepTrackLog.db")));
        QVERIFY2(!QFile::exists(empty.path() + QStringLiteral("/database/KeepTrackLog.db")), "a missing store must not be created");

        QFile junk(empty.path() + QStringLiteral("/junk.db"));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write(QByteArray(4096, 'x'));
        junk.close();
        TDM_Main notADatabase;
        QVERIFY(!notADatabase.OpenFile(junk.fileName(), &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!notADatabase.IsOpen());

        QCOMPARE(TDM_Main::StorePath(QStringLiteral("/opt/idcard/")), QStringLiteral("/opt/idcard/database/KeepTrackLog.db"));
    }
};

QTEST_GUILESS_MAIN(TestQuery)
#include "test_query.moc"
