// Card checks at the moment of reading: the rules with their edges, the store step that judges the
// readings already stored, the import that judges each reading it stores, and the window.

#include "CardChecks.h"
#include "TestSupport.h"

#include <QtTest>

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

} // namespace

class TestCardChecks : public QObject {
    Q_OBJECT
private slots:
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
};

QTEST_MAIN(TestCardChecks)
#include "test_cardchecks.moc"
