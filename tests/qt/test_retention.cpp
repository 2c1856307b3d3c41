// Retention, the audit trail and the settings: the retention question and its edge, which holders
// go, that deleted names leave the file, one audit row per command (none when cancelled or
// failed), the trail's dialog filter, the settings file, and the question on the real window.

#include "AuditLog.h"
#include "AuditLogDialog.h"
#include "DeleteReadingsCommand.h"
#include "ExportReadingsCommand.h"
#include "ReadingLogImport.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "Retention.h"
#include "RetentionCommand.h"
#include "Settings.h"
#include "SettingsDialog.h"
#include "TIdcardmainfrm.h"
#include "TestSupport.h"
#include "WatchList.h"

#include <QComboBox>
#include <QDateEdit>
#include <QLineEdit>
#include <QSettings>
#include <QSqlQuery>
#include <QtTest>

namespace {
const QDate kToday(2024, 3, 10);
const int kDays = 30; // cut: 2024-02-09 00:00:00

QStringList column(QSqlDatabase db, const QString& sql)
{
    QStringList out;
    QSqlQuery q(db);
    q.exec(sql);
    while (q.next())
        out << q.value(0).toString();
    return out;
}

QList<AuditRow> auditRows(QSqlDatabase db)
{
    QList<AuditRow> rows;
    QString error;
    if (!ReadAudit(db, AuditFilter(), &rows, &error))
        qWarning("audit trail unreadable: %s", qPrintable(error));
    return rows;
}
} // namespace

class TestRetention : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<TDM_Main> m_store;
    QStringList m_ids;

    QSqlDatabase db() { return m_store->con1(); }

    // Holder 0: only an expired reading. 1: an expired and a kept one. 2: only an expired one, but
    // listed. 3: only a kept one.
    void makeScene()
    {
        QString error;
        const QDate birth(1975, 4, 2);
        m_ids.clear();
        for (int i = 0; i < 4; ++i) {
            m_ids << SyntheticId(330102, birth, 40 + i);
            QVERIFY2(AddHolder(db(), {m_ids[i], QStringLiteral("留存%1").arg(i), 1, SyntheticPng(8, 8)}, &error), qPrintable(error));
        }
        for (auto [i, time] : std::initializer_list<std::pair<int, const char*>>{
                 {0, "2023-12-01 09:00:00"}, {1, "2024-01-05 10:00:00"}, {1, "2024-03-01 10:00:00"},
                 {2, "2023-11-11 11:00:00"}, {3, "2024-02-20 08:00:00"}})
            QVERIFY2(AddReading(db(), m_ids[i], QString::fromLatin1(time), &error), qPrintable(error));
        QVERIFY2(WatchList(db(), QStringLiteral("站1")).Add({m_ids[2]}, QStringLiteral("测试"), &error), qPrintable(error));
        QVERIFY(db().exec(QStringLiteral("delete from audit_log")).lastError().type() == QSqlError::NoError);
    }

private slots:
    // The delete row's filter names every condition of the list, the two check boxes included.
    void auditFilterText_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("listed");
        QTest::addColumn<bool>("odd");
        QTest::addColumn<QString>("text");
        QTest::newRow("range only") << "" << false << false << "2014-03-01 至 2014-03-08，选中行";
        QTest::newRow("ID prefix, listed") << " 4101 " << true << false << "2014-03-01 至 2014-03-08，身份证号 4101，只显示黑名单，选中行";
        QTest::newRow("odd only") << "" << false << true << "2014-03-01 至 2014-03-08，只显示异常，选中行";
    }
    void auditFilterText()
    {
        QFETCH(QString, id);
        QFETCH(bool, listed);
        QFETCH(bool, odd);
        QFETCH(QString, text);
        ReadingLogFilter filter{QDate(2014, 3, 1).startOfDay(), QDate(2014, 3, 8).startOfDay(), id, QString()};
        filter.listedOnly = listed;
        filter.oddOnly = odd;
        QCOMPARE(ReadingLogFilterText(filter, false), text);
    }

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

    // The period's edge: a reading exactly m days old stays, one second earlier goes.
    void edge_data()
    {
        QTest::addColumn<QString>("time");
        QTest::addColumn<bool>("expired");
        QTest::newRow("m days old, midnight") << QStringLiteral("2024-02-09 00:00:00") << false;
        QTest::newRow("m days old, evening") << QStringLiteral("2024-02-09 23:59:59") << false;
        QTest::newRow("a second more") << QStringLiteral("2024-02-08 23:59:59") << true;
        QTest::newRow("a year old") << QStringLiteral("2023-03-10 12:00:00") << true;
        QTest::newRow("today") << QStringLiteral("2024-03-10 07:00:00") << false;
    }
    void edge()
    {
        QFETCH(QString, time);
        QFETCH(bool, expired);
        const QString id = SyntheticId(110101, QDate(1990, 1, 1), 7);
        QVERIFY(AddHolder(db(), {id, QStringLiteral("边界"), 1, {}}));
        QVERIFY(AddReading(db(), id, time));
        QVERIFY(AddReading(db(), id, QStringLiteral("2024-03-09 10:00:00"))); // keeps the holder

        ScriptedMessages messages;
        messages.answers.enqueue(true);
        ScriptedView view(db());
        RetentionCommand(db(), kDays, kToday, view).Run();
        QCOMPARE(messages.Texts(), expired ? QStringList{QStringLiteral("有 1 条刷卡记录已超过保存期限（30 天），是否删除？")}
                                           : QStringList());
        QCOMPARE(column(db(), QStringLiteral("select readtime from idcardwater")).contains(time), !expired);
        QCOMPARE(view.refreshes, expired ? 1 : 0);
    }

    // Yes deletes the expired readings and the holders left without one unless listed; No
    // leaves everything, without an audit row.
    void answer_data()
    {
        QTest::addColumn<bool>("yes");
        QTest::newRow("yes") << true;
        QTest::newRow("no") << false;
    }
    void answer()
    {
        QFETCH(bool, yes);
        makeScene();
        ScriptedMessages messages;
        messages.answers.enqueue(yes);
        ScriptedView view(db());
        RetentionCommand(db(), kDays, kToday, view).Run();
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("有 3 条刷卡记录已超过保存期限（30 天），是否删除？")});

        const QList<AuditRow> audit = auditRows(db());
        QCOMPARE(CountRows(db(), QStringLiteral("idcardwater")), yes ? 2 : 5);
        QCOMPARE(column(db(), QStringLiteral("select idcardno from idcardinfo order by rowid")), yes ? m_ids.mid(1) : m_ids);
        QCOMPARE(audit.size(), yes ? 1 : 0);
        if (!yes)
            return;
        QCOMPARE(audit[0].action, QStringLiteral("到期删除"));
        QCOMPARE(audit[0].count, 3);
        QVERIFY2(!audit[0].detail.contains(m_ids[0]), qPrintable(audit[0].detail));
    }

    // A deleted holder's name and ID number are no longer anywhere in the store file.
    void deletedBytesLeaveTheFile()
    {
        makeScene();
        const QByteArray name = QStringLiteral("留存0").toUtf8();
        auto fileBytes = [this] {
            QFile file(m_folder->storePath());
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QVERIFY(fileBytes().contains(name)); // the search can find it
        QVERIFY(fileBytes().contains(m_ids[0].toLatin1()));
        const RetentionResult result = DeleteExpired(db(), RetentionCut(kToday, kDays), kDays);
        QVERIFY2(result.ok, qPrintable(result.error));
        QCOMPARE(result.holders, 1);
        m_store->Close();
        const QByteArray after = fileBytes();
        QVERIFY(!after.contains(name));
        QVERIFY(!after.contains(m_ids[0].toLatin1()));
        QVERIFY(after.contains(QStringLiteral("留存1").toUtf8()));
    }

    // Each command writes exactly one row with its fields, and none when cancelled or failed.
    void auditRow_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("proceed");
        QTest::addColumn<QString>("action"); // empty: no row
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("detail"); // a part of it
        QTest::newRow("delete") << "delete" << true << "删除" << 2 << "删除 2 条";
        QTest::newRow("delete cancelled") << "delete" << false << "" << 0 << "";
        QTest::newRow("export") << "export" << true << "导出" << 2 << "out.xlsx";
        QTest::newRow("export cancelled") << "export" << false << "" << 0 << "";
        QTest::newRow("watch add") << "watchadd" << true << "加入黑名单" << 1 << "ID";
        QTest::newRow("watch add refused") << "watchadd" << false << "" << 0 << "";
        QTest::newRow("import") << "import" << true << "导入" << 2 << "新增 2 条";
        QTest::newRow("import of no table") << "import" << false << "" << 0 << "";
    }
    void auditRow()
    {
        QFETCH(QString, command);
        QFETCH(bool, proceed);
        QFETCH(QString, action);
        QFETCH(int, count);
        QFETCH(QString, detail);
        makeScene();
        ScriptedMessages messages;
        ScriptedView view(db());
        view.rows = {{1, m_ids[0], {}, QStringLiteral("2023-12-01 09:00:00"), {}},
                     {2, m_ids[1], {}, QStringLiteral("2024-01-05 10:00:00"), {}}};
        view.chosen = {0, 1};
        QString error;
        const QString newId = SyntheticId(440301, QDate(1988, 8, 8), 5);
        detail.replace(QStringLiteral("ID"), newId);
        if (command == QLatin1String("delete")) {
            messages.answers.enqueue(proceed);
            DeleteReadingsCommand(db(), view).Run();
        } else if (command == QLatin1String("export")) {
            if (proceed)
                messages.fileNames.enqueue(m_folder->path() + QStringLiteral("output/out.xlsx"));
            ExportReadingsCommand(view, m_folder->path(), true, QString(), db()).Run();
        } else if (command == QLatin1String("watchadd")) {
            // A bad ID number refuses the whole change.
            const bool added = WatchList(db()).Add({newId, proceed ? newId : QStringLiteral("123")}, QString(), &error);
            QCOMPARE(added, proceed);
        } else {
            const QString device = m_folder->path() + QStringLiteral("input/idcard.db");
            if (proceed) {
                QVERIFY2(CreateDeviceDb(device, &error), qPrintable(error));
                QVERIFY2(AddDeviceRows(device, {{newId, QStringLiteral("2024-03-09 10:00:00")},
                                                {newId, QStringLiteral("2024-03-09 11:00:00")}}, &error),
                         qPrintable(error));
            } else {
                QFile bad(device);
                QVERIFY(bad.open(QIODevice::WriteOnly) && bad.write("not a database") > 0);
            }
            ReadingLogImporter(db(), QString()).ImportDeviceDb(device);
        }
        const QList<AuditRow> audit = auditRows(db());
        if (action.isEmpty()) {
            QVERIFY(audit.isEmpty());
            return;
        }
        QCOMPARE(audit.size(), 1);
        QCOMPARE(audit[0].action, action);
        QCOMPARE(audit[0].count, count);
        QVERIFY2(audit[0].detail.contains(detail), qPrintable(audit[0].detail));
        QCOMPARE(audit[0].user, OsUserName());
        QVERIFY(!audit[0].station.isEmpty());
        QVERIFY(QDateTime::fromString(audit[0].time, QStringLiteral("yyyy-MM-dd HH:mm:ss")).isValid());
        // No names: the trail holds ID numbers only where the action needs them.
        QVERIFY2(!audit[0].detail.contains(QStringLiteral("留存")), qPrintable(audit[0].detail));
    }

    // The dialog lists the trail newest first, by date range and action.
    void dialogFilter_data()
    {
        QTest::addColumn<QDate>("from");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<QString>("action");
        QTest::addColumn<QStringList>("details");
        QTest::newRow("everything") << QDate(2024, 1, 1) << QDate(2024, 3, 31) << QString()
                                    << QStringList{"d", "c", "b", "a"};
        QTest::newRow("last day included") << QDate(2024, 3, 2) << QDate(2024, 3, 2) << QString()
                                           << QStringList{"d", "c"};
        QTest::newRow("one action") << QDate(2024, 1, 1) << QDate(2024, 3, 31) << QStringLiteral("导出")
                                    << QStringList{"c", "a"};
        QTest::newRow("nothing") << QDate(2024, 2, 1) << QDate(2024, 2, 28) << QString() << QStringList();
    }
    void dialogFilter()
    {
        QFETCH(QDate, from);
        QFETCH(QDate, to);
        QFETCH(QString, action);
        QFETCH(QStringList, details);
        QString error;
        for (const AuditRow& row : {AuditRow{"2024-01-15 10:00:00", "s", "u", "导出", 5, "a"},
                                    AuditRow{"2024-03-01 00:00:00", "s", "u", "打印", 1, "b"},
                                    AuditRow{"2024-03-02 23:59:59", "s", "u", "导出", 2, "c"},
                                    AuditRow{"2024-03-02 23:59:59", "s", "u", "删除", 1, "d"}})
            QVERIFY2(WriteAudit(db(), row, &error), qPrintable(error));
        ScriptedMessages messages;
        AuditLogDialog dialog(db(), kToday);
        Control<QDateEdit>(&dialog, "auditFrom")->setDate(from);
        Control<QDateEdit>(&dialog, "auditTo")->setDate(to);
        auto* actions = Control<QComboBox>(&dialog, "auditAction");
        actions->setCurrentIndex(action.isEmpty() ? 0 : actions->findData(action));
        QStringList shown;
        for (const AuditRow& row : dialog.Shown())
            shown << row.detail;
        QCOMPARE(shown, details);
        QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.Texts().join(u'\n')));
    }

    // The settings dialog writes idcard.ini and shows what it holds; a bad period changes nothing.
    void settingsFile()
    {
        const Settings settings(m_folder->path());
        QCOMPARE(settings.RetentionDays(), 0);
        QCOMPARE(settings.StationName(), QSysInfo::machineHostName());
        ScriptedMessages messages;
        SettingsDialog first(m_folder->path());
        Control<QLineEdit>(&first, "retentionDays")->setText(QStringLiteral(" 180 "));
        Control<QLineEdit>(&first, "stationName")->setText(QStringLiteral("东门岗"));
        first.accept();
        QCOMPARE(first.result(), int(QDialog::Accepted));
        const QSettings ini(m_folder->path() + QStringLiteral("idcard.ini"), QSettings::IniFormat);
        QCOMPARE(ini.value(QStringLiteral("retention/days")).toString(), QStringLiteral("180"));
        QCOMPARE(ini.value(QStringLiteral("station/name")).toString(), QStringLiteral("东门岗"));
        QCOMPARE(settings.RetentionDays(), 180);
        QCOMPARE(settings.StationName(), QStringLiteral("东门岗"));
        SettingsDialog second(m_folder->path());
        QCOMPARE(Control<QLineEdit>(&second, "retentionDays")->text(), QStringLiteral("180"));
        Control<QLineEdit>(&second, "retentionDays")->setText(QStringLiteral("-3"));
        second.accept();
        QCOMPARE(second.result(), int(QDialog::Rejected)); // still open
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("保存天数须为正整数，留空表示永久保存")});
        QCOMPARE(settings.RetentionDays(), 180);
    }

    // On the real window: the question comes after the list is shown; yes re-runs the list.
    void windowAsksAtStart()
    {
        makeScene();
        QString error;
        QVERIFY2(Settings(m_folder->path()).Save(kDays, QString(), &error), qPrintable(error));
        ScriptedMessages messages;
        messages.answers.enqueue(true);
        int listedWhenAsked = -1;
        TIdcardmainfrm window(m_store.get(), m_folder->path());
        messages.onConfirm = [&] { listedWhenAsked = window.Model()->rowCount(); };
        window.SetClock([] { return QDateTime(kToday, QTime(9, 0)); });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QTRY_COMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("有 3 条刷卡记录已超过保存期限（30 天），是否删除？")});
        QCOMPARE(listedWhenAsked, 5);
        QCOMPARE(window.Model()->rowCount(), 2);
        QCOMPARE(window.StatusText(), QStringLiteral(" 提示：当前条件下，查询记录合计：2 笔"));
        QCOMPARE(auditRows(db()).size(), 1);
    }
};

QTEST_MAIN(TestRetention)
#include "test_retention.moc"
