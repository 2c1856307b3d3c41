// Shared routines: nation codes, date texts, trimming, message boxes, the single-instance guard.

#include "CodeTable.h"
#include "DateText.h"
#include "Global.h"
#include "SingleInstance.h"
#include "Startup.h"
#include "TestSupport.h"

#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

class TestApp : public QObject {
    Q_OBJECT
private slots:
    void nationCode_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("code");
        QTest::newRow("first") << QStringLiteral("汉") << 1;
        QTest::newRow("two characters") << QStringLiteral("蒙古") << 2;
        QTest::newRow("last nation") << QStringLiteral("基诺") << 56;
        QTest::newRow("other is never produced") << QStringLiteral("其他") << 0;
        QTest::newRow("foreign origin is never produced") << QStringLiteral("外国血统") << 0;
        QTest::newRow("with suffix") << QStringLiteral("汉族") << 0;
        QTest::newRow("leading blank") << QStringLiteral(" 汉") << 0;
        QTest::newRow("trailing blank") << QStringLiteral("汉 ") << 0;
        QTest::newRow("empty") << QString() << 0;
    }
    void nationCode()
    {
        QFETCH(QString, name);
        QFETCH(int, code);
        QCOMPARE(NationNameToCode(name), code);
    }
    void nationTableShape()
    {
        int filled = 0;
        for (const char* entry : NationNames)
            filled += entry[0] != '\0';
        QCOMPARE(filled, 58);
        QCOMPARE(QString::fromUtf8(NationNames[96]), QStringLiteral("其他"));
        QCOMPARE(QString::fromUtf8(NationNames[97]), QStringLiteral("外国血统"));
        // Every code maps back to itself.
        for (int c = 1; c <= 56; ++c)
            QCOMPARE(NationNameToCode(QString::fromUtf8(NationNames[c - 1])), c);
    }

    void parseDateTime_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected"); // store form, empty when rejected
        QTest::newRow("date and time") << "2014-03-07 08:05:09" << "2014-03-07 08:05:09";
        QTest::newRow("date alone is midnight") << "2014-03-08" << "2014-03-08 00:00:00";
        QTest::newRow("one-digit month and day") << "1998-1-1" << "1998-01-01 00:00:00";
        QTest::newRow("no seconds") << "2014-03-07 8:05" << "2014-03-07 08:05:00";
        QTest::newRow("fraction dropped") << "2014-03-07 08:05:09.250" << "2014-03-07 08:05:09";
        QTest::newRow("surrounding blanks") << "  2014-03-07 08:05:09 " << "2014-03-07 08:05:09";
        QTest::newRow("slashes") << "2014/03/07 08:05:09" << "";
        QTest::newRow("day first") << "07-03-2014" << "";
        QTest::newRow("no such day") << "2014-02-30" << "";
        QTest::newRow("hour 24") << "2014-03-07 24:00:00" << "";
        QTest::newRow("trailing words") << "2014-03-07 08:05:09 pm" << "";
        QTest::newRow("empty") << "" << "";
    }
    void parseDateTime()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(StoreTimeParam(text), expected);
    }
    void twoDigitYearStaysNearToday()
    {
        const auto value = ParseDateTimeText(QStringLiteral("14-03-07"));
        QVERIFY(value.has_value());
        QVERIFY(qAbs(value->date().year() - QDate::currentDate().year()) <= 50);
        QCOMPARE(value->date().year() % 100, 14);
    }
    void writtenDatesIgnoreLocale()
    {
        const QLocale saved;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(DateText(QDate(2014, 3, 7)), QStringLiteral("2014-03-07"));
        QCOMPARE(DateTimeText(QDateTime(QDate(2014, 3, 7), QTime(8, 5, 9))), QStringLiteral("2014-03-07 08:05:09"));
        QLocale::setDefault(saved);
    }

    void trim_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("expected");
        QTest::newRow("blanks") << "  4101 " << "4101";
        QTest::newRow("controls") << "\t\r\n张三\x01" << "张三";
        QTest::newRow("inner blanks stay") << " 张 三 " << "张 三";
        QTest::newRow("ideographic space stays") << QStringLiteral("\u3000张三\u3000") << QStringLiteral("\u3000张三\u3000");
        QTest::newRow("only blanks") << " \t " << "";
    }
    void trim()
    {
        QFETCH(QString, text);
        QFETCH(QString, expected);
        QCOMPARE(TrimBlanks(text), expected);
    }

    void messageBoxes()
    {
        ScriptedMessages messages;
        ShowInfo(QStringLiteral("a"));
        ShowWarning(QStringLiteral("b"));
        ShowError(QStringLiteral("c"));
        messages.answers.enqueue(true);
        messages.answers.enqueue(false);
        QVERIFY(AskConfirm(QStringLiteral("d")));
        QVERIFY(!AskConfirm(QStringLiteral("e")));
        QCOMPARE(messages.shown.size(), 5);
        const QList<QPair<MsgKind, QString>> expected = {{MsgKind::Info, QStringLiteral("提示")},
                                                         {MsgKind::Warning, QStringLiteral("警告信息")},
                                                         {MsgKind::Error, QStringLiteral("错误信息")},
                                                         {MsgKind::Question, QStringLiteral("提示")},
                                                         {MsgKind::Question, QStringLiteral("提示")}};
        for (int i = 0; i < expected.size(); ++i) {
            QCOMPARE(messages.shown[i].kind, expected[i].first);
            QCOMPARE(messages.shown[i].caption, expected[i].second);
        }
        QVERIFY(messages.unexpectedQuestions.isEmpty());
    }
    void excelProbeAnswersTrueHere() { QVERIFY(IsExcel2007Installed()); }

    void secondInstanceIsTurnedAway()
    {
        QTemporaryDir dir;
        SingleInstanceGuard first(dir.path());
        QVERIFY(first.Acquire());
        ScriptedMessages messages;
        SingleInstanceGuard second(dir.path());
        QVERIFY(!CheckFirstInstance(second));
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].kind, MsgKind::Warning);
        QCOMPARE(messages.shown[0].caption, QStringLiteral("系统警告"));
        QCOMPARE(messages.shown[0].text, QStringLiteral("quintara二代证读卡查询软件已经运行"));
    }
    void guardIsFreedWhenTheFirstCopyEnds()
    {
        QTemporaryDir dir;
        {
            SingleInstanceGuard first(dir.path());
            QVERIFY(first.Acquire());
        }
        SingleInstanceGuard later(dir.path());
        QVERIFY(later.Acquire());
    }
    void crashedFirstCopyDoesNotBlock()
    {
        QTemporaryDir dir;
        int ready[2];
        QCOMPARE(::pipe(ready), 0);
        const pid_t child = ::fork();
        if (child == 0) {
            SingleInstanceGuard held(dir.path());
            const char ok = held.Acquire() ? '1' : '0';
            (void)!::write(ready[1], &ok, 1);
            ::pause();
            ::_exit(0);
        }
        char ok = 0;
        QCOMPARE(::read(ready[0], &ok, 1), ssize_t(1));
        QCOMPARE(ok, '1');
        {
            SingleInstanceGuard whileRunning(dir.path());
            QVERIFY(!whileRunning.Acquire());
        }
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(ready[0]);
        ::close(ready[1]);
        SingleInstanceGuard afterCrash(dir.path());
        QVERIFY(afterCrash.Acquire());
    }
};

QTEST_GUILESS_MAIN(TestApp)
#include "test_app.moc"
