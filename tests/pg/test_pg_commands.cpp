// The window's write commands on a store on PostgreSQL, driven as an operator would: the same boxes
// and the same rows as on the store file.
#include "PgStore.h"
#include "PgTestServer.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "TIdcardmainfrm.h"
#include "TestSupport.h"
#include "WatchListDialog.h"

#include <QAction>
#include <QPushButton>
#include <QSettings>
#include <QSqlQuery>
#include <QTableView>
#include <QTableWidget>
#include <QtTest>

namespace {
QString Id(int n) { return SyntheticId(510104, QDate(1979, 11, 30), n); }

} // namespace

class TestPgCommands : public QObject {
    Q_OBJECT

    // A store on the server that a station's own role uses, as the README has it; revoke: a right
    // taken from that role.
    static QString StationStore(const QString& revoke = QString())
    {
        QString error;
        const QString db = PgTestServer::CreateStore(&error);
        const QString role = db.isEmpty() ? QString() : PgTestServer::StationRole(db, &error, revoke.isEmpty() ? QStringList() : QStringList{revoke});
        if (role.isEmpty())
            qFatal("no store: %s", qPrintable(error));
        return PgTestServer::ConnInfo(db, role);
    }

    // Connect with a handheld of four readings (one past the retention period), yes to clearing it
    // and to the retention; then a deletion, and the watch list by menu and dialog. Gives what was
    // shown and stored, the audit rows last; handheldLeft: the readings left on the handheld.
    static QStringList Scenario(TDM_Main& dm, const TempProgramFolder& folder, int* handheldLeft)
    {
        QTemporaryDir handheld, scratch;
        qputenv("IDCARD_HANDHELD_DIR", QFile::encodeName(handheld.path()));
        const QString devicePath = handheld.path() + QStringLiteral("/sdcard/quintara/idcard/db/idcard.db");
        QList<DeviceRow> rows;
        for (const auto& [n, time] : QList<QPair<int, QString>>{{1, "2014-03-07 08:00:00"}, {1, "2014-03-07 09:00:00"},
                                                                 {2, "2014-03-06 10:00:00"}, {3, "2013-01-01 10:00:00"}})
            rows.append({Id(n), time, QStringLiteral("测试%1").arg(n)});
        rows[0].photo = SyntheticPng();
        const QString adb = folder.path() + QStringLiteral("adb");
        QString error;
        if (!QDir().mkpath(QFileInfo(devicePath).path()) || !QFile::copy(QStringLiteral(IDCARD_SOURCE_DIR "/tools/adb_sim/adb"), adb)
            || !QFile::setPermissions(adb, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) || !CreateDeviceDb(devicePath, &error)
            || !AddDeviceRows(devicePath, rows, &error))
            return {QStringLiteral("no handheld ") + error};
        QSettings(folder.path() + QStringLiteral("idcard.ini"), QSettings::IniFormat).setValue("retention/days", 365);

        ScriptedMessages messages;
        TIdcardmainfrm window(&dm, folder.path());
        window.SetClock([] { return QDateTime(QDate(2014, 3, 8), QTime(12, 0)); });
        window.SetScratchFolder(scratch.path());
        window.SetProgress(nullptr);
        window.show();
        messages.answers << true << true << true << true;
        window.Button1Click();
        QStringList out{QString::number(window.Model()->rowCount())};

        auto* grid = Control<QTableView>(&window, "DBGrid1");
        auto select = [&](const QString& id) {
            grid->clearSelection();
            for (int r = 0; r < window.Model()->rowCount(); ++r)
                if (window.Model()->IdcardnoAt(r) == id)
                    grid->selectionModel()->select(window.Model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        };
        select(Id(1));
        QTest::mouseClick(Control<QPushButton>(&window, "delbtn"), Qt::LeftButton);
        select(Id(2));
        messages.texts << QStringLiteral("菜单原因") << Id(9) << QStringLiteral("对话框原因");
        Control<QAction>(grid, "actWatchAdd")->trigger();

        WatchListDialog dialog(dm.con1(), nullptr, dm.Pg());
        dialog.AddEntry();
        auto* table = Control<QTableWidget>(&dialog, "watchTable");
        QStringList listed; // sorted: both may have been added in the same second
        for (int r = 0; r < table->rowCount(); ++r) {
            const QString added = table->item(r, 3)->text();
            listed << QStringList{table->item(r, 0)->text(), table->item(r, 1)->text(), table->item(r, 2)->text(),
                                  QDateTime::fromString(added, QStringLiteral("yyyy-MM-dd HH:mm:ss")).isValid() ? "time" : added}
                          .join(u'|');
            if (table->item(r, 0)->text() == Id(2))
                table->selectRow(r);
        }
        listed.sort();
        dialog.RemoveSelected();
        out << listed;
        out << QString::number(table->rowCount()) << messages.Texts() << messages.unexpectedQuestions;
        out << PgTestServer::Rows(dm.con1(), QStringLiteral("select idcardno, readtime, checkflags from idcardwater order by idcardno, readtime"))
            << PgTestServer::Rows(dm.con1(), QStringLiteral("select idcardno, name, blackflag, length(photo) from idcardinfo order by idcardno"))
            << PgTestServer::Rows(dm.con1(), QStringLiteral("select idcardno, reason from watchlist"))
            << PgTestServer::Rows(dm.con1(), QStringLiteral("select action, count, detail from audit_log order by id"));
        QSqlDatabase device = QSqlDatabase::database(QStringLiteral("handheld"), false);
        device.setDatabaseName(devicePath);
        *handheldLeft = device.open() ? PgTestServer::Rows(device, QStringLiteral("select count(*) from water_list")).value(0).toInt() : -1;
        device.close();
        return out;
    }

private slots:
    void initTestCase() { QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("handheld")); }

    void sameAsOnTheStoreFile()
    {
        TempProgramFolder fileFolder, pgFolder;
        TDM_Main file, pg;
        QString error;
        QVERIFY2(file.Open(fileFolder.path(), &error) && pg.OpenPg(StationStore(), &error), qPrintable(error));
        int fileLeft = -1, pgLeft = -1;
        const QStringList onFile = Scenario(file, fileFolder, &fileLeft);
        QCOMPARE(Scenario(pg, pgFolder, &pgLeft), onFile);
        QCOMPARE(pgLeft, 0);
        QCOMPARE(fileLeft, 0);
        // What the scenario is meant to do, on the store file as well: three readings listed, the
        // handheld cleared, the watch list in the dialog with its times, and each command's audit row.
        QCOMPARE(onFile.first(), QStringLiteral("3"));
        QVERIFY2(onFile.contains(QStringLiteral("清除手持机内流水记录成功！")), qPrintable(onFile.join(u'\n')));
        QVERIFY2(onFile.contains(Id(2) + QStringLiteral("|测试2|菜单原因|time")), qPrintable(onFile.join(u'\n')));
        QVERIFY2(onFile.contains(Id(2) + QStringLiteral("|测试2|否|<null>")), qPrintable(onFile.join(u'\n')));
        const QStringList audit = onFile.mid(onFile.size() - 7);
        const char* actions[] = {"导入|4|", "清除手持机|4|", "到期删除|1|", "删除|2|", "加入黑名单|1|", "加入黑名单|1|", "移出黑名单|1|"};
        for (int i = 0; i < 7; ++i)
            QVERIFY2(audit[i].startsWith(QString::fromUtf8(actions[i])), qPrintable(audit.join(u'\n')));
    }

    // An import the station may not store keeps the handheld's readings and asks nothing.
    void failedImportKeepsTheHandheld()
    {
        TempProgramFolder folder;
        TDM_Main pg;
        QString error;
        QVERIFY2(pg.OpenPg(StationStore(QStringLiteral("revoke insert on idcardwater from %1")), &error), qPrintable(error));
        int left = -1;
        const QStringList out = Scenario(pg, folder, &left);
        QCOMPARE(left, 4);
        QCOMPARE(out.filter(QStringLiteral("导入失败，未导入任何记录：")).size(), 1);
        QVERIFY2(out.filter(QStringLiteral("是否删除手持机")).isEmpty(), qPrintable(out.join(u'\n')));
        QCOMPARE(PgTestServer::Rows(pg.con1(), QStringLiteral("select count(*) from idcardwater")), QStringList{QStringLiteral("0")});
    }
};

QTEST_MAIN(TestPgCommands)
#include "test_pg_commands.moc"
