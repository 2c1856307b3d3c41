// The watch list: ID-number check, the list and the holders' flags, list files, the import's alert,
// and the window's red rows, filter box and context menu.

#include "GbkText.h"
#include "IdNumberCheck.h"
#include "ReadingLogImport.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "ConnectDeviceCommand.h"
#include "ExportReadingsCommand.h"
#include "StoreUpgrade.h"
#include "TIdcardmainfrm.h"
#include "TestSupport.h"
#include "WatchList.h"
#include "WatchListAlert.h"
#include "WatchListExport.h"
#include "WatchListFile.h"

#include <QAction>
#include <QCheckBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>
#include <QtTest>

#include <algorithm>

namespace {

QString id(int n) { return SyntheticId(330102, QDate(1988, 2, 3), n); }

QString idEndingIn(QChar last)
{
    for (int seq = 1;; ++seq)
        if (const QString s = id(seq); s.back() == last)
            return s;
}

bool runPython(const QString& script, const QStringList& args, QByteArray* out, QString* error)
{
    QProcess python;
    python.start(QStringLiteral(IDCARD_PYTHON), QStringList{QStringLiteral("-c"), script} + args);
    const bool ok = python.waitForFinished(60000) && python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0;
    if (!ok)
        *error = python.errorString() + u' ' + QString::fromUtf8(python.readAllStandardError());
    if (out)
        *out = python.readAllStandardOutput();
    return ok;
}

QStringList linesOf(const WatchListFile& f)
{
    QStringList out;
    for (const WatchListLine& l : f.lines)
        out << QStringLiteral("%1:%2:%3").arg(l.line).arg(l.idcardno, l.reason);
    return out;
}

} // namespace

class TestWatchList : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<TDM_Main> m_store;
    std::unique_ptr<ScriptedMessages> m_messages;
    QTemporaryDir m_files;

    QSqlDatabase db() const { return m_store->con1(); }
    QString devicePath() const { return m_folder->path() + QStringLiteral("input/idcard.db"); }
    QVariant scalar(const QString& sql, const QVariant& bound = QVariant())
    {
        QSqlQuery q(db());
        q.prepare(sql);
        if (bound.isValid())
            q.addBindValue(bound);
        if (!q.exec() || !q.next())
            return QVariant();
        return q.value(0);
    }
    QString flagOf(const QString& idcardno) { return scalar(QStringLiteral("select blackflag from idcardinfo where idcardno=?"), idcardno).toString(); }
    QString file(const QString& name) const { return m_files.filePath(name); }

private slots:
    void init()
    {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_store = std::make_unique<TDM_Main>();
        QString error;
        QVERIFY2(m_store->Open(m_folder->path(), &error), qPrintable(error));
        m_messages = std::make_unique<ScriptedMessages>();
    }
    void cleanup()
    {
        m_messages.reset();
        m_store.reset();
        m_folder.reset();
    }

    void upgradeKeepsHandMadeFlags()
    {
        // A store of version 1 (the list's table not there yet) with one holder flagged by hand
        // and one with no flag at all.
        QString error;
        QSqlQuery q(db());
        // Tables of later versions go too, so that the upgrade can make them again.
        QVERIFY(q.exec(QStringLiteral("drop table watchlist")) && q.exec(QStringLiteral("drop table if exists audit_log"))
                && q.exec(QStringLiteral("pragma user_version = 1")));
        QVERIFY2(AddHolder(db(), {id(1), QStringLiteral("测试甲")}, &error) && AddHolder(db(), {id(2), QStringLiteral("测试乙")}, &error),
                 qPrintable(error));
        QVERIFY(q.exec(QStringLiteral("update idcardinfo set blackflag = case idcardno when '%1' then '是' else null end").arg(id(1))));
        // Up to the list's version: later steps may expect what the newest store already has.
        QList<UpgradeStep> steps = ProgramUpgradeSteps();
        steps.erase(std::remove_if(steps.begin(), steps.end(), [](const UpgradeStep& s) { return s.version > 2; }), steps.end());
        const StoreUpgradeResult result = UpgradeStore(db(), steps);
        QVERIFY2(result.outcome == StoreUpgradeResult::Upgraded, qPrintable(result.error));
        QCOMPARE(flagOf(id(1)), QStringLiteral("是"));
        QCOMPARE(flagOf(id(2)), QStringLiteral("否"));
        QCOMPARE(scalar(QStringLiteral("select count(*) from watchlist where idcardno=?"), id(1)).toInt(), 1);
        QCOMPARE(scalar(QStringLiteral("select count(*) from watchlist where idcardno<>?"), id(1)).toInt(), 0);
    }

    void idCheck_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("normalised");
        QTest::addColumn<bool>("valid");
        const QString withX = idEndingIn(u'X');
        const QString withDigit = idEndingIn(u'7');
        QString wrongDigit = withDigit;
        wrongDigit[17] = u'8';
        QTest::newRow("digit") << withDigit << withDigit << true;
        QTest::newRow("X") << withX << withX << true;
        QTest::newRow("x upper-cased") << withX.toLower() << withX << true;
        QTest::newRow("blanks trimmed") << QStringLiteral("  %1\t").arg(withDigit) << withDigit << true;
        QTest::newRow("wrong check digit") << wrongDigit << wrongDigit << false;
        QTest::newRow("X where a digit belongs") << withDigit.left(17) + u'X' << withDigit.left(17) + u'X' << false;
        QTest::newRow("17 characters") << withDigit.left(17) << withDigit.left(17) << false;
        QTest::newRow("15-digit old number") << withDigit.left(15) << withDigit.left(15) << false;
        QTest::newRow("letter in the body") << u'A' + withX.mid(1) << u'A' + withX.mid(1) << false;
        QTest::newRow("x inside") << withX.left(16) + QStringLiteral("xX") << withX.left(16) + QStringLiteral("xX") << false;
    }
    void idCheck()
    {
        QFETCH(QString, text);
        QFETCH(QString, normalised);
        QFETCH(bool, valid);
        QCOMPARE(NormaliseIdNumber(text), normalised);
        QCOMPARE(IdCheckDigitValid(NormaliseIdNumber(text)), valid);
        QCOMPARE(WatchIdProblem(NormaliseIdNumber(text)).isEmpty(), valid);
    }

    // Listing and unlisting set the holder's flag in the same change; a number never read is listed too.
    void flagKeptInStep()
    {
        QString error;
        QVERIFY2(AddHolder(db(), {id(1), QStringLiteral("测试甲")}, &error), qPrintable(error));
        WatchList list(db(), QStringLiteral("站点1"));
        QVERIFY2(list.Add({id(1), id(2).toLower()}, QStringLiteral("测试原因"), &error), qPrintable(error));
        QCOMPARE(flagOf(id(1)), QStringLiteral("是"));
        QList<WatchEntry> entries;
        QVERIFY2(list.Entries(&entries, &error), qPrintable(error));
        QCOMPARE(entries.size(), 2);
        QStringList got;
        for (const WatchEntry& e : entries)
            got << e.idcardno + u'|' + e.name + u'|' + e.reason + u'|' + e.station;
        got.sort();
        QCOMPARE(got, (QStringList{id(1) + QStringLiteral("|测试甲|测试原因|站点1"), id(2) + QStringLiteral("||测试原因|站点1")}));

        QVERIFY2(list.Remove({id(1)}, &error), qPrintable(error));
        QCOMPARE(flagOf(id(1)), QStringLiteral("否"));
        QCOMPARE(scalar(QStringLiteral("select count(*) from watchlist")).toInt(), 1);

        // A bad number refuses the whole change, with a message that says so.
        QString bad = id(3);
        bad[17] = bad[17] == u'1' ? u'2' : u'1';
        QVERIFY(!list.Add({id(1), bad}, QStringLiteral("x"), &error));
        QVERIFY2(error.contains(QStringLiteral("校验位")), qPrintable(error));
        QCOMPARE(flagOf(id(1)), QStringLiteral("否"));
        QCOMPARE(scalar(QStringLiteral("select count(*) from watchlist")).toInt(), 1);

        // A store that refuses writes: its error, nothing half-changed.
        QSqlQuery(db()).exec(QStringLiteral("pragma query_only=1"));
        QVERIFY(!list.Add({id(1)}, QStringLiteral("x"), &error));
        QVERIFY2(error.contains(QStringLiteral("readonly"), Qt::CaseInsensitive), qPrintable(error));
        QSqlQuery(db()).exec(QStringLiteral("pragma query_only=0"));
        QCOMPARE(flagOf(id(1)), QStringLiteral("否"));
        QCOMPARE(scalar(QStringLiteral("select count(*) from watchlist")).toInt(), 1);
    }

    // The import judges by the table: a holder listed before being read, and a row an administrator
    // added by hand for a holder already stored. The window's alert follows its own boxes.
    void importAlert_data()
    {
        QTest::addColumn<int>("listedReadings");
        QTest::addColumn<int>("lines");
        QTest::newRow("none") << 0 << 0;
        QTest::newRow("one") << 1 << 1;
        QTest::newRow("twelve") << 12 << 10;
    }
    void importAlert()
    {
        QFETCH(int, listedReadings);
        QFETCH(int, lines);
        QString error;
        // id(1) is stored already and listed by hand (no flag set); id(2) is new and listed.
        QVERIFY2(AddHolder(db(), {id(1), QStringLiteral("测试甲")}, &error), qPrintable(error));
        QVERIFY(QSqlQuery(db()).exec(QStringLiteral("insert into watchlist(idcardno,reason) values('%1','测试原因甲')").arg(id(1))));
        QVERIFY2(WatchList(db()).Add({id(2)}, QStringLiteral("测试原因乙"), &error), qPrintable(error));
        QList<DeviceRow> rows;
        const QDateTime t0(QDate(2014, 3, 7), QTime(8, 0));
        for (int i = 0; i < listedReadings; ++i) {
            DeviceRow r;
            r.ic = id(1 + i % 2);
            r.name = QStringLiteral("测试乙");
            r.readTime = t0.addSecs(60 * i).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            rows << r;
        }
        DeviceRow other;
        other.ic = id(3);
        other.readTime = QStringLiteral("2014-03-07 07:00:00");
        rows.prepend(other);
        QVERIFY2(CreateDeviceDb(devicePath(), &error) && AddDeviceRows(devicePath(), rows, &error), qPrintable(error));

        ScriptedView view(db());
        ImportOutcome outcome;
        QCOMPARE(ImportAndReport(m_store.get(), QString(), view, devicePath(), outcome), listedReadings + 1);
        QCOMPARE(outcome.listedCount, listedReadings);
        QCOMPARE(flagOf(id(3)), QStringLiteral("否"));
        const QString alert = WatchListAlertText(outcome);
        if (listedReadings == 0) {
            QVERIFY(alert.isEmpty());
            QCOMPARE(m_messages->shown.size(), 1); // the import's own box only
            return;
        }
        QCOMPARE(m_messages->shown.last().kind, MsgKind::Warning);
        QCOMPARE(m_messages->shown.last().text, alert);
        QStringList text = alert.split(u'\n');
        QCOMPARE(text.takeFirst(), QStringLiteral("本次导入的记录中有 %1 条黑名单人员的刷卡记录：").arg(listedReadings));
        if (listedReadings > lines)
            QCOMPARE(text.takeLast(), QStringLiteral("……"));
        QCOMPARE(text.size(), lines);
        QCOMPARE(text.first(), QStringLiteral("测试甲  %1  2014-03-07 08:00:00  测试原因甲").arg(id(1)));
        if (listedReadings > 1) {
            QCOMPARE(text[1], QStringLiteral("测试乙  %1  2014-03-07 08:01:00  测试原因乙").arg(id(2)));
            QCOMPARE(flagOf(id(2)), QStringLiteral("是")); // new holder, listed before being read
        }
        QCOMPARE(flagOf(id(1)), QStringLiteral("是")); // the hand-made entry now flags its holder
    }

    void csvFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        const QString a = id(1), b = idEndingIn(u'X');
        const QString body = QStringLiteral("身份证号,原因\n%1,测试原因\n%2,\"含,逗号\"\"引号\"\"\"\n").arg(a, b);
        const QStringList expected = {QStringLiteral("2:%1:测试原因").arg(a), QStringLiteral("3:%1:含,逗号\"引号\"").arg(b)};
        QTest::newRow("UTF-8") << body.toUtf8() << expected;
        QTest::newRow("UTF-8 with BOM") << QByteArray("\xEF\xBB\xBF") + body.toUtf8() << expected;
        QTest::newRow("GBK") << ToGbk(body, 4096).bytes << expected;
        QTest::newRow("CRLF, blank line, no header")
            << QStringLiteral("%1,甲\r\n\r\n%2\r\n").arg(a, b).toUtf8() << QStringList{QStringLiteral("1:%1:甲").arg(a), QStringLiteral("3:%1:").arg(b)};
        QTest::newRow("reason over two lines") << QStringLiteral("%1,\"第一行\n第二行\"\n%2,乙\n").arg(a, b).toUtf8()
                                               << QStringList{QStringLiteral("1:%1:第一行\n第二行").arg(a), QStringLiteral("3:%1:乙").arg(b)};
    }
    void csvFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        const WatchListFile f = ReadWatchListCsv(bytes);
        QVERIFY2(f.ok, qPrintable(f.error));
        QCOMPARE(linesOf(f), lines);
    }

    // The same list written by our own export (libxlsxwriter) and by openpyxl, with shared strings,
    // an inline string, a numeric ID cell and a formula.
    void xlsxFiles()
    {
        const QString a = id(1), b = idEndingIn(u'X');
        QString error;
        const QString ours = file(QStringLiteral("ours.xlsx"));
        QVERIFY2(ExportWatchList(ours, {{a, QStringLiteral("测试甲"), QStringLiteral("原因一"), {}, {}}, {b, {}, QStringLiteral("原因二"), {}, {}}}, &error),
                 qPrintable(error));
        WatchListFile f = ReadWatchListXlsx(ours);
        QVERIFY2(f.ok, qPrintable(f.error));
        QCOMPARE(linesOf(f), (QStringList{QStringLiteral("2:%1:原因一").arg(a), QStringLiteral("3:%1:原因二").arg(b)}));

        const QString theirs = file(QStringLiteral("theirs.xlsx"));
        const QString script = QStringLiteral(
            "import sys, openpyxl\n"
            "wb = openpyxl.Workbook(); ws = wb.active; ws.title = 'first'\n"
            "ws.append(['身份证号', '原因'])\n"
            "ws.append([sys.argv[2], '原因一'])\n"
            "ws.append([int(sys.argv[3][:17] + '0'), '数值'])\n"
            "ws.append(['=A2', '公式'])\n"
            "ws['A6'] = sys.argv[3]; ws['B6'] = '隔行'\n"
            "wb.create_sheet('second').append([sys.argv[3], '不读'])\n"
            "wb.save(sys.argv[1])\n");
        QVERIFY2(runPython(script, {theirs, a, b}, nullptr, &error), qPrintable(error));
        f = ReadWatchListXlsx(theirs);
        QVERIFY2(f.ok, qPrintable(f.error));
        QCOMPARE(f.lines.size(), 4);
        QCOMPARE(linesOf(f)[0], QStringLiteral("2:%1:原因一").arg(a));
        QCOMPARE(linesOf(f)[3], QStringLiteral("6:%1:隔行").arg(b));
        // The number and the formula (no cached text) are lines with no usable ID number.
        const WatchListImportResult r = WatchList(db()).Import(f.lines);
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE(r.added, 2);
        QCOMPARE(r.badLines, (QList<int>{3, 4}));
    }

    void badFiles_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("message");
        QTest::newRow("not a list file") << "list.txt" << QByteArray("x") << "只能是 .csv 或 .xlsx";
        QTest::newRow("empty csv") << "list.csv" << QByteArray() << "是空的";
        QTest::newRow("binary csv") << "list.csv" << QByteArray("\xff\x00\xfe\x01", 4) << "不是文本文件";
        QTest::newRow("xlsx of random bytes") << "list.xlsx" << QByteArray(4096, '\x5a') << "已损坏";
        QTest::newRow("truncated xlsx") << "cut.xlsx" << QByteArray() << "已损坏";
        QTest::newRow("zip without a workbook") << "nobook.xlsx" << QByteArray() << "缺少 xl/workbook.xml";
        QTest::newRow("zip bomb") << "bomb.xlsx" << QByteArray() << "解压后过大";
    }
    void badFiles()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, message);
        const QString path = file(name);
        QString error;
        if (name == QLatin1String("cut.xlsx")) {
            QVERIFY2(ExportWatchList(path, {{id(1), {}, QStringLiteral("x"), {}, {}}}, &error), qPrintable(error));
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadWrite));
            QVERIFY(f.resize(f.size() / 2));
        } else if (name == QLatin1String("nobook.xlsx") || name == QLatin1String("bomb.xlsx")) {
            // The bomb: a sheet that unpacks to more than the cap from a small file.
            const QString script = QStringLiteral(
                "import sys, zipfile\n"
                "z = zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED)\n"
                "if sys.argv[2] == 'bomb':\n"
                "    z.writestr('xl/workbook.xml', '<workbook xmlns:r=\"r\"><sheets><sheet r:id=\"rId1\"/></sheets></workbook>')\n"
                "    z.writestr('xl/_rels/workbook.xml.rels', '<Relationships><Relationship Id=\"rId1\" Type=\"t/worksheet\" Target=\"worksheets/sheet1.xml\"/></Relationships>')\n"
                "    with z.open('xl/worksheets/sheet1.xml', 'w', force_zip64=True) as s:\n"
                "        block = b' ' * (1 << 20)\n"
                "        for i in range(%1): s.write(block)\n"
                "else:\n"
                "    z.writestr('other.xml', '<a/>')\n"
                "z.close()\n").arg((kWatchXmlMaxBytes >> 20) + 1);
            QVERIFY2(runPython(script, {path, name.left(4)}, nullptr, &error), qPrintable(error));
            QVERIFY(QFileInfo(path).size() < kWatchXmlMaxBytes / 100);
        } else {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(bytes);
        }
        const WatchListFile result = ReadWatchListFile(path);
        QVERIFY(!result.ok);
        QVERIFY2(result.error.contains(message), qPrintable(result.error));
    }

    // A bulk import: added, updated, skipped with the bad lines; nothing at all without a valid number.
    void bulkImport()
    {
        QString error;
        QVERIFY2(AddHolder(db(), {id(5), QStringLiteral("测试丙")}, &error), qPrintable(error));
        QVERIFY2(WatchList(db()).Add({id(4)}, QStringLiteral("旧原因"), &error), qPrintable(error));
        QString bad = id(6);
        bad[17] = bad[17] == u'1' ? u'2' : u'1';
        const QList<WatchListLine> lines = {
            {2, id(4), QStringLiteral("新原因")}, {3, id(5), QStringLiteral("甲")}, {4, bad, QStringLiteral("乙")},
            {5, id(5), QStringLiteral("重复")}, {7, QStringLiteral("abc"), {}}, {8, id(7), {}},
        };
        const WatchListImportResult r = WatchList(db()).Import(lines);
        QVERIFY2(r.ok, qPrintable(r.error));
        QCOMPARE((QList<int>{r.added, r.updated, r.skipped}), (QList<int>{2, 1, 3}));
        QCOMPARE(r.badLines, (QList<int>{4, 7}));
        QCOMPARE(flagOf(id(5)), QStringLiteral("是"));
        QCOMPARE(scalar(QStringLiteral("select reason from watchlist where idcardno=?"), id(4)).toString(), QStringLiteral("新原因"));
        QCOMPARE(scalar(QStringLiteral("select count(*) from watchlist where idcardno=?"), bad).toInt(), 0);

        const WatchListImportResult none = WatchList(db()).Import({{1, bad, {}}, {2, QStringLiteral("x"), {}}});
        QVERIFY(!none.ok);
        QVERIFY2(none.error.contains(QStringLiteral("没有有效的身份证号")), qPrintable(none.error));
        QCOMPARE(scalar(QStringLiteral("select count(*) from watchlist")).toInt(), 3);
    }

    // The window: red rows, the details line, the filter box, the context menu, and the workbook's
    // fourth column.
    void window()
    {
        QString error;
        QVERIFY2(AddHolder(db(), {id(1), QStringLiteral("测试甲")}, &error) && AddHolder(db(), {id(2), QStringLiteral("测试乙")}, &error),
                 qPrintable(error));
        for (int i = 0; i < 6; ++i)
            QVERIFY2(AddReading(db(), id(1 + i % 2), QStringLiteral("2014-03-07 08:0%1:00").arg(i), &error), qPrintable(error));
        QVERIFY2(WatchList(db()).Add({id(1)}, QStringLiteral("测试原因"), &error), qPrintable(error));

        TIdcardmainfrm window(m_store.get(), m_folder->path());
        window.SetClock([] { return QDateTime(QDate(2014, 3, 8), QTime(15, 30)); });
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        ReadingLogModel* model = window.Model();
        QCOMPARE(model->rowCount(), 6);
        auto red = [&](int row) { return model->data(model->index(row, 0), Qt::ForegroundRole).value<QBrush>().color() == Qt::red; };
        auto* grid = Control<QTableView>(&window, "DBGrid1");
        auto* note = Control<QLabel>(&window, "lb_black");
        for (int r = 0; r < 6; ++r) {
            QCOMPARE(red(r), model->IdcardnoAt(r) == id(1));
            grid->selectRow(r);
            QCOMPARE(note->text().contains(QStringLiteral("测试原因")), model->IdcardnoAt(r) == id(1));
        }

        Control<QCheckBox>(&window, "cb_black")->setChecked(true);
        QTRY_COMPARE(model->rowCount(), 3);
        for (int r = 0; r < 3; ++r)
            QCOMPARE(model->IdcardnoAt(r), id(1));
        Control<QCheckBox>(&window, "cb_black")->setChecked(false);
        QTRY_COMPARE(model->rowCount(), 6);
        // The README's picture: IDCARD_SCREENSHOT=docs/watchlist.png.
        if (const QString shot = qEnvironmentVariable("IDCARD_SCREENSHOT"); !shot.isEmpty()) {
            grid->selectRow(0);
            QVERIFY(window.grab().save(shot));
        }

        // Listing the holder of a selected row from the menu re-runs the list.
        int row = 0;
        while (model->IdcardnoAt(row) != id(2))
            ++row;
        grid->selectRow(row);
        m_messages->texts.enqueue(QStringLiteral("菜单原因"));
        Control<QAction>(grid, "actWatchAdd")->trigger();
        QCOMPARE(flagOf(id(2)), QStringLiteral("是"));
        for (int r = 0; r < 6; ++r)
            QVERIFY(red(r));

        // The workbook's fourth column says so.
        const QString path = file(QStringLiteral("readings.xlsx"));
        Control<QCheckBox>(&window, "cb_all")->setChecked(true);
        QCOMPARE(ExportReadingsCommand(window, m_folder->path(), true, QString()).Export(path), 6);
        QByteArray json;
        QVERIFY2(runPython(QStringLiteral("import runpy, sys; sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')"),
                           {QStringLiteral(IDCARD_SOURCE_DIR "/tests/qt/read_workbook.py"), path}, &json, &error),
                 qPrintable(error));
        const QJsonArray rows = QJsonDocument::fromJson(json).object()[QStringLiteral("rows")].toArray();
        QCOMPARE(rows.size(), 7);
        for (int r = 1; r < 7; ++r)
            QCOMPARE(rows[r].toArray()[3].toObject()[QStringLiteral("v")].toString(), QStringLiteral("是"));

        // Removing acts on the holders of the selection only.
        grid->selectRow(row);
        QCOMPARE(model->IdcardnoAt(row), id(2));
        m_messages->answers.enqueue(true);
        Control<QAction>(grid, "actWatchRemove")->trigger();
        QCOMPARE(flagOf(id(2)), QStringLiteral("否"));
        QCOMPARE(flagOf(id(1)), QStringLiteral("是"));
        QCOMPARE(red(row), false);
    }
};

QTEST_MAIN(TestWatchList)
#include "test_watchlist.moc"
