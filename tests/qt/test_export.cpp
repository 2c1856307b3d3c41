// Export of readings to a workbook: the writer on its own, then the command on the real window.
// Every workbook is read back with openpyxl (read_workbook.py).

#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "TIdcardmainfrm.h"
#include "TestSupport.h"
#include "WidgetMessageSink.h"
#include "WorkbookExport.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QtTest>

#include <csignal>
#include <sys/file.h>
#include <sys/resource.h>

namespace {

// The workbook as openpyxl reads it; error says why when it cannot be read.
QJsonObject readWorkbook(const QString& path, QString* error)
{
    QProcess python;
    python.start(QStringLiteral(IDCARD_PYTHON), {QStringLiteral(IDCARD_SOURCE_DIR "/tests/qt/read_workbook.py"), path});
    if (!python.waitForFinished(60000) || python.exitCode() != 0)
        *error = python.errorString() + u' ' + QString::fromUtf8(python.readAllStandardError());
    return QJsonDocument::fromJson(python.readAllStandardOutput()).object();
}

QJsonObject cell(const QJsonObject& book, int row, int column) // from 1, as in the sheet
{
    return book[QStringLiteral("rows")].toArray()[row - 1].toArray()[column - 1].toObject();
}

QStringList rowValues(const QJsonObject& book, int row)
{
    QStringList values;
    for (int c = 1; c <= 4; ++c)
        values << cell(book, row, c)[QStringLiteral("v")].toString();
    return values;
}

// Hidden files included: a temporary file left behind shows here.
QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QString idEndingInX()
{
    for (int seq = 1;; ++seq)
        if (const QString id = SyntheticId(110101, QDate(1980, 5, 17), seq); id.endsWith(u'X'))
            return id;
}

} // namespace

class TestExport : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<TDM_Main> m_store;
    std::unique_ptr<TIdcardmainfrm> m_window;
    std::unique_ptr<ScriptedMessages> m_messages;
    int m_queries = 0;

    QString output() const { return m_folder->path() + QStringLiteral("output"); }
    template <typename T> T* child(const char* name) { return Control<T>(m_window.get(), name); }

    // n readings, 21:05:03 and 97 s apart before it, of n/5 holders (the first may get longName),
    // listed in the window.
    void openWith(int n, const QString& longName = QString())
    {
        QSqlDatabase db = m_store->con1();
        QVERIFY(db.transaction());
        QString error;
        const int holders = std::max(1, n / 5);
        auto id = [](int h) { return SyntheticId(320101, QDate(1970, 1, 1).addDays(h), h % 1000); };
        for (int h = 0; h < holders; ++h)
            QVERIFY2(AddHolder(db, {id(h), h == 0 && !longName.isEmpty() ? longName : QStringLiteral("测试%1").arg(h)}, &error),
                     qPrintable(error));
        const QDateTime latest(QDate(2014, 3, 7), QTime(21, 5, 3));
        for (int i = 0; i < n; ++i)
            QVERIFY2(AddReading(db, id(i % holders), latest.addSecs(-97LL * i).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), &error),
                     qPrintable(error));
        QVERIFY(db.commit());
        m_window = std::make_unique<TIdcardmainfrm>(m_store.get(), m_folder->path());
        m_window->SetClock([] { return QDateTime(QDate(2014, 3, 8), QTime(15, 30)); });
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        connect(m_window->Model(), &QAbstractItemModel::modelReset, this, [this] { ++m_queries; });
    }

    void exportTo(const QString& fileName)
    {
        m_messages->fileNames.enqueue(fileName);
        QTest::mouseClick(child<QPushButton>("waterbtn"), Qt::LeftButton);
    }

    QStringList modelRow(int row) const
    {
        const ReadingLogModel* m = m_window->Model();
        return {m->IdcardnoAt(row), m->NameAt(row), m->ReadtimeAt(row), m->BlackflagAt(row)};
    }

private slots:
    void init()
    {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_store = std::make_unique<TDM_Main>();
        QString error;
        QVERIFY2(m_store->Open(m_folder->path(), &error), qPrintable(error));
        m_messages = std::make_unique<ScriptedMessages>();
        m_queries = 0;
    }
    void cleanup()
    {
        m_window.reset();
        m_messages.reset();
        m_store.reset();
        m_folder.reset();
    }

    void exportFileName_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("with2007");
        QTest::addColumn<QString>("without");
        QTest::newRow("no extension") << "/o/report" << "/o/report.xlsx" << "/o/report.xls";
        QTest::newRow("dialog's default extension") << "/o/report.xls" << "/o/report.xlsx" << "/o/report.xls";
        QTest::newRow("already right") << "/o/report.xlsx" << "/o/report.xlsx" << "/o/report.xls";
        QTest::newRow("other extension") << "/o/data.csv" << "/o/data.xlsx" << "/o/data.xls";
        QTest::newRow("last dot counts") << "/o/a.b.c" << "/o/a.b.xlsx" << "/o/a.b.xls";
        QTest::newRow("dot in a folder name") << "/o/data.2014/list" << "/o/data.2014/list.xlsx" << "/o/data.2014/list.xls";
        QTest::newRow("Windows folders") << "C:\\data.2014\\list" << "C:\\data.2014\\list.xlsx" << "C:\\data.2014\\list.xls";
        QTest::newRow("case counts") << "/o/A.XLS" << "/o/A.xlsx" << "/o/A.xls";
    }
    void exportFileName()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, with2007);
        QFETCH(QString, without);
        QCOMPARE(ExportFileName(chosen, true), with2007);
        QCOMPARE(ExportFileName(chosen, false), without);
    }

    // The writer alone: layout, and ID numbers kept as text.
    void workbookLayout()
    {
        const QList<ExportRow> rows = {
            {idEndingInX(), QStringLiteral("测试甲"), QStringLiteral("2014-03-07 21:05:03"), QStringLiteral("是")},
            {SyntheticId(410101, QDate(1975, 1, 2), 7), QStringLiteral("测试乙"), QStringLiteral("2014-03-08 00:00:00"), QString()},
        };
        QVERIFY(rows[1].idcardno.back().isDigit());
        const QString path = output() + QStringLiteral("/layout.xlsx");
        const WorkbookResult result = WorkbookExport(path).Write(rows.size(), [&](int i) { return rows[i]; });
        QVERIFY2(result.status == WorkbookResult::Status::Written, qPrintable(result.error));
        QCOMPARE(result.count, 2);
        QCOMPARE(entries(output()), QStringList{QStringLiteral("layout.xlsx")});

        QString error;
        const QJsonObject book = readWorkbook(path, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(book[QStringLiteral("maxRow")].toInt(), 3);
        QCOMPARE(book[QStringLiteral("maxColumn")].toInt(), 4);
        QCOMPARE(rowValues(book, 1), (QStringList{"身份证号", "姓名", "刷卡时间", "黑名单"}));
        QCOMPARE(book[QStringLiteral("row1")].toObject(), (QJsonObject{{"bold", true}, {"align", "center"}}));
        for (int c = 1; c <= 4; ++c)
            QVERIFY2(cell(book, 1, c)[QStringLiteral("bold")].toBool() && cell(book, 1, c)[QStringLiteral("align")] == QStringLiteral("center"),
                     qPrintable(QString::number(c)));
        // Widths read back with the sheet's padding: 24 is 24.71.
        const QJsonArray widths = book[QStringLiteral("widths")].toArray();
        QCOMPARE((QList<int>{int(widths[0].toDouble()), int(widths[1].toDouble()), int(widths[2].toDouble()), int(widths[3].toDouble())}),
                 (QList<int>{24, 24, 24, 8}));
        QCOMPARE(book[QStringLiteral("columnAFormat")].toString(), QStringLiteral("@"));
        for (int r = 0; r < rows.size(); ++r) {
            QCOMPARE(rowValues(book, r + 2), (QStringList{rows[r].idcardno, rows[r].name, rows[r].readtime, rows[r].blackflag}));
            QCOMPARE(cell(book, r + 2, 1)[QStringLiteral("fmt")].toString(), QStringLiteral("@"));
            for (int c = 1; c <= 3; ++c) // text, never a number or a date
                QCOMPARE(cell(book, r + 2, c)[QStringLiteral("type")].toString(), QStringLiteral("s"));
        }
    }

    // The disk fills (a file-size limit stands in for it): the old file stays, nothing the writer
    // opened in the folder stays open, and a sheet cut short is never taken for a whole one.
    void fullDisk_data()
    {
        QTest::addColumn<int>("limit");
        QTest::newRow("the workbook itself") << 500;        // the writer fails and keeps a file open
        QTest::newRow("the writer's own scratch") << 6000;  // the writer packs a cut sheet, saying nothing
    }
    void fullDisk()
    {
        QFETCH(int, limit);
        const QString path = output() + QStringLiteral("/report.xlsx");
        QFile existing(path);
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("an earlier export");
        existing.close();
        const ExportRow row{idEndingInX(), QStringLiteral("测试甲"), QStringLiteral("2014-03-07 21:05:03"), QStringLiteral("否")};
        rlimit unlimited{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
        rlimit limited = unlimited;
        limited.rlim_cur = static_cast<rlim_t>(limit);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limited), 0);
        const WorkbookResult result = WorkbookExport(path).Write(3000, [&](int) { return row; });
        ::setrlimit(RLIMIT_FSIZE, &unlimited);
        std::signal(SIGXFSZ, previous);

        QVERIFY2(result.status == WorkbookResult::Status::WriteFailed, qPrintable(result.error));
        QCOMPARE(entries(output()), QStringList{QStringLiteral("report.xlsx")});
        const QDir fds(QStringLiteral("/proc/self/fd"));
        for (const QString& fd : fds.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
            QVERIFY2(!QFile::symLinkTarget(fds.filePath(fd)).startsWith(output()), qPrintable(QFile::symLinkTarget(fds.filePath(fd))));
        QVERIFY(existing.open(QIODevice::ReadOnly));
        QCOMPARE(existing.readAll(), QByteArray("an earlier export"));
    }

    // Temporary files of this program's naming that a killed export left go with the next export
    // into the folder; other files, and one that a running export holds, stay.
    void leftoversOfKilledExports()
    {
        for (const char* name : {".report.xlsx.k3j9x2.tmp", ".other.xls.a1.tmp", ".held.xlsx.zz.tmp", ".notes.txt.a1.tmp", "report.xlsx.k3.tmp"}) {
            QFile planted(output() + u'/' + QLatin1String(name));
            QVERIFY(planted.open(QIODevice::WriteOnly));
        }
        QFile held(output() + QStringLiteral("/.held.xlsx.zz.tmp"));
        QVERIFY(held.open(QIODevice::ReadOnly));
        QCOMPARE(::flock(held.handle(), LOCK_EX | LOCK_NB), 0);
        const ExportRow row{idEndingInX(), QStringLiteral("测试甲"), QStringLiteral("2014-03-07 21:05:03"), QStringLiteral("否")};
        const WorkbookResult result = WorkbookExport(output() + QStringLiteral("/report.xlsx")).Write(1, [&](int) { return row; });
        QVERIFY2(result.status == WorkbookResult::Status::Written, qPrintable(result.error));
        QCOMPARE(entries(output()), (QStringList{".held.xlsx.zz.tmp", ".notes.txt.a1.tmp", "report.xlsx", "report.xlsx.k3.tmp"}));
    }

    // Three of ten rows picked out of order, from the button.
    void scatteredSelectionInListOrder()
    {
        openWith(10);
        auto* grid = child<QTableView>("DBGrid1");
        int clicks = 0;
        for (int row : {7, 2, 5})
            QTest::mouseClick(grid->viewport(), Qt::LeftButton, clicks++ ? Qt::ControlModifier : Qt::NoModifier,
                              grid->visualRect(grid->model()->index(row, 1)).center());
        exportTo(output() + QStringLiteral("/picked"));

        QCOMPARE(m_messages->Texts(), QStringList{QStringLiteral("本次累计成功导出记录 3 笔")});
        QCOMPARE(m_messages->shown.first().kind, MsgKind::Info);
        QString error;
        const QJsonObject book = readWorkbook(output() + QStringLiteral("/picked.xlsx"), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(book[QStringLiteral("maxRow")].toInt(), 4);
        QCOMPARE((QList<QStringList>{rowValues(book, 2), rowValues(book, 3), rowValues(book, 4)}),
                 (QList<QStringList>{modelRow(2), modelRow(5), modelRow(7)}));
        QCOMPARE(rowValues(book, 2)[3], QStringLiteral("否"));
        // Nothing re-run or changed; the current row is the last one exported.
        QCOMPARE(m_queries, 0);
        QCOMPARE(grid->selectionModel()->selectedRows().size(), 3);
        QCOMPARE(grid->currentIndex().row(), 7);
        QCOMPARE(CountRows(m_store->con1(), QStringLiteral("idcardwater")), 10);
    }

    void allRows_data()
    {
        QTest::addColumn<int>("readings");
        QTest::newRow("250 listed") << 250;
        QTest::newRow("more than the list has read yet") << 2500;
    }
    void allRows()
    {
        QFETCH(int, readings);
        openWith(readings);
        m_window->RefreshQuery(); // no event loop turn after it: the idle reading has not run
        QCOMPARE(m_window->Model()->FullyFetched(), readings <= ReadingLogModel::kChunk);
        child<QCheckBox>("cb_all")->setChecked(true);
        exportTo(output() + QStringLiteral("/all.xlsx"));

        QCOMPARE(m_messages->Texts(), QStringList{QStringLiteral("本次累计成功导出记录 %1 笔").arg(readings)});
        QString error;
        const QJsonObject book = readWorkbook(output() + QStringLiteral("/all.xlsx"), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(book[QStringLiteral("maxRow")].toInt(), readings + 1);
        for (int row : {0, readings / 2, readings - 1})
            QCOMPARE(rowValues(book, row + 2), modelRow(row));
        int latest = 0; // the reading at 21:05:03 keeps ':' between its parts
        while (m_window->Model()->ReadtimeAt(latest) != QStringLiteral("2014-03-07 21:05:03"))
            QVERIFY(++latest < readings);
        QCOMPARE(rowValues(book, latest + 2)[2], QStringLiteral("2014-03-07 21:05:03"));
    }

    // Nothing chosen: a warning and no dialog. Then the dialog's set-up, Cancel, and the name kept.
    void dialogAndNothingChosen()
    {
        openWith(3);
        child<QTableView>("DBGrid1")->clearSelection();
        exportTo(output() + QStringLiteral("/unused"));
        QCOMPARE(m_messages->Texts(), QStringList{QStringLiteral("请首先选择要导出的记录！")});
        QCOMPARE(m_messages->shown.first().kind, MsgKind::Warning);
        QVERIFY(m_messages->saveRequests.isEmpty());

        m_messages->shown.clear();
        m_messages->fileNames.clear();
        child<QCheckBox>("cb_all")->setChecked(true);
        QTest::mouseClick(child<QPushButton>("waterbtn"), Qt::LeftButton); // cancelled: nothing happens
        const QString chosen = output() + QStringLiteral("/report.xls");
        exportTo(chosen);
        QTest::mouseClick(child<QPushButton>("waterbtn"), Qt::LeftButton);
        QCOMPARE(m_messages->saveRequests.size(), 3);
        const SaveFileRequest& first = m_messages->saveRequests[0];
        QCOMPARE((QStringList{first.folder, first.fileName, first.filter, first.defaultSuffix}),
                 (QStringList{m_folder->path() + QStringLiteral("output"), QStringLiteral("dealwater"),
                              QStringLiteral("Excel表格（.xls） (*.xls)"), QStringLiteral("xls")}));
        QCOMPARE(m_messages->saveRequests[1].fileName, QStringLiteral("dealwater"));
        QCOMPARE(m_messages->saveRequests[2].fileName, chosen); // as chosen, before the extension was fixed
        QCOMPARE(m_messages->Texts(), QStringList{QStringLiteral("本次累计成功导出记录 3 笔")});
        QCOMPARE(entries(output()), QStringList{QStringLiteral("report.xlsx")});
    }

    // The real dialog: its start, the default suffix, and no replace question of its own.
    void realSaveDialog()
    {
        QFile existing(output() + QStringLiteral("/report.xls"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.close();
        QStringList seen;
        QTimer::singleShot(0, this, [&] {
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            seen << dialog->directory().absolutePath() << dialog->selectedFiles().value(0) << dialog->selectedNameFilter()
                 << QString::number(dialog->testOption(QFileDialog::DontConfirmOverwrite));
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            name->setText(QStringLiteral("report"));
            QTest::keyClick(name, Qt::Key_Return);
        });
        const QString chosen = WidgetMessageSink().SaveFileName(
            {QString(), output(), QStringLiteral("dealwater"), QStringLiteral("Excel表格（.xls） (*.xls)"), QStringLiteral("xls")});
        QCOMPARE(seen, (QStringList{output(), output() + QStringLiteral("/dealwater.xls"), QStringLiteral("Excel表格（.xls） (*.xls)"),
                                    QStringLiteral("1")}));
        QCOMPARE(chosen, existing.fileName());
    }

    // An existing file of the final name: choosing report.xls asks about report.xlsx.
    void replaceExisting_data()
    {
        QTest::addColumn<bool>("confirm");
        QTest::addColumn<bool>("failing"); // a name too long for a cell makes the writing fail
        QTest::addColumn<QStringList>("after");
        QTest::newRow("refused") << false << false << QStringList{};
        QTest::newRow("replaced") << true << false << QStringList{"本次累计成功导出记录 1 笔"};
        QTest::newRow("failing export") << true << true << QStringList{"保存Excle表格失败！", "本次累计成功导出记录 0 笔"};
    }
    void replaceExisting()
    {
        QFETCH(bool, confirm);
        QFETCH(bool, failing);
        QFETCH(QStringList, after);
        QFile existing(output() + QStringLiteral("/report.xlsx"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("an earlier export");
        existing.close();
        openWith(1, failing ? QString(40000, u'名') : QString());
        m_messages->answers.enqueue(confirm);
        // A filter edit pending while the question is up must not re-run the list under the command.
        m_messages->onConfirm = [this] {
            m_window->QueryDirty = true;
            m_window->Timer1Timer();
        };
        exportTo(output() + QStringLiteral("/report.xls"));

        QCOMPARE(m_messages->Texts(), QStringList{QStringLiteral("此文件已存在将被覆盖，是否继续？")} + after);
        QCOMPARE(m_queries, 0);
        QCOMPARE(entries(output()), QStringList{QStringLiteral("report.xlsx")});
        QVERIFY(existing.open(QIODevice::ReadOnly));
        QCOMPARE(existing.readAll() == "an earlier export", !confirm || failing);
    }

    void folderOfTheFinalName()
    {
        QVERIFY(QDir().mkpath(output() + QStringLiteral("/report.xlsx")));
        openWith(1);
        exportTo(output() + QStringLiteral("/report.xls"));
        QCOMPARE(m_messages->shown.size(), 1);
        QCOMPARE(m_messages->shown[0].kind, MsgKind::Error);
        QVERIFY2(m_messages->shown[0].text.contains(QStringLiteral("是一个文件夹")), qPrintable(m_messages->shown[0].text));
        QCOMPARE(entries(output()), QStringList{QStringLiteral("report.xlsx")});
        QVERIFY(entries(output() + QStringLiteral("/report.xlsx")).isEmpty());
    }

    void unwritableFolder_data()
    {
        QTest::addColumn<bool>("readOnly");
        QTest::newRow("a plain file in the path") << false;
        QTest::newRow("read-only folder") << true;
    }
    void unwritableFolder()
    {
        QFETCH(bool, readOnly);
        const QString folder = output() + QStringLiteral("/target");
        if (readOnly) {
            QVERIFY(QDir().mkpath(folder));
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
            if (QFile probe(folder + QStringLiteral("/probe")); probe.open(QIODevice::WriteOnly)) {
                probe.remove();
                QSKIP("this user writes into read-only folders");
            }
        } else {
            QFile plain(folder);
            QVERIFY(plain.open(QIODevice::WriteOnly));
        }
        openWith(2);
        exportTo(folder + QStringLiteral("/list"));
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(m_messages->Texts(), (QStringList{QStringLiteral("保存Excle表格失败！"), QStringLiteral("本次累计成功导出记录 0 笔")}));
        QCOMPARE(m_messages->shown.first().kind, MsgKind::Info);
        QCOMPARE(entries(output()), QStringList{QStringLiteral("target")});
        if (readOnly)
            QVERIFY(entries(folder).isEmpty());
    }
};

QTEST_MAIN(TestExport)
#include "test_export.moc"
