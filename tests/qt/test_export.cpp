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
#include <QLineEdit>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QPushButton>
#include <QSqlDatabase>
#include <QTableView>
#include <QtTest>

namespace {

const QDateTime kNow(QDate(2014, 3, 8), QTime(15, 30, 0));

// The workbook as openpyxl reads it; empty with error set when it cannot be read.
QJsonObject readWorkbook(const QString& path, QString* error)
{
    QProcess python;
    python.start(QStringLiteral(IDCARD_PYTHON), {QStringLiteral(IDCARD_SOURCE_DIR "/tests/qt/read_workbook.py"), path});
    if (!python.waitForFinished(60000) || python.exitCode() != 0) {
        *error = python.errorString() + QLatin1Char(' ') + QString::fromUtf8(python.readAllStandardError());
        return {};
    }
    QJsonParseError parse;
    const QJsonDocument doc = QJsonDocument::fromJson(python.readAllStandardOutput(), &parse);
    if (parse.error != QJsonParseError::NoError)
        *error = parse.errorString();
    return doc.object();
}

QJsonObject cell(const QJsonObject& book, int row, int column) // both from 1, as in the sheet
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

// Everything in a folder, hidden files included: a temporary file left behind shows here.
QStringList entries(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}

QString idEndingInX()
{
    for (int seq = 1;; ++seq) {
        const QString id = SyntheticId(110101, QDate(1980, 5, 17), seq);
        if (id.endsWith(u'X'))
            return id;
    }
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class TestExport : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<TDM_Main> m_store;
    std::unique_ptr<TIdcardmainfrm> m_window;
    int m_queries = 0;

    template <typename T> T* child(const char* name)
    {
        T* w = m_window->findChild<T*>(QLatin1String(name));
        if (!w)
            qFatal("missing control %s", name);
        return w;
    }
    QString output() const { return m_folder->path() + QStringLiteral("output"); }

    // n readings of n/5 holders (at least one) inside the window's year.
    void fillStore(int n, const QString& longName = QString())
    {
        QSqlDatabase db = m_store->con1();
        QVERIFY(db.transaction());
        QString error;
        const int holders = std::max(1, n / 5);
        for (int h = 0; h < holders; ++h) {
            const QString name = h == 0 && !longName.isEmpty() ? longName : QStringLiteral("测试%1").arg(h);
            QVERIFY2(AddHolder(db, {SyntheticId(320101, QDate(1970, 1, 1).addDays(h), h % 1000), name}, &error), qPrintable(error));
        }
        for (int i = 0; i < n; ++i) {
            const QString id = SyntheticId(320101, QDate(1970, 1, 1).addDays(i % holders), (i % holders) % 1000);
            const QString time = QDateTime(QDate(2014, 3, 7), QTime(21, 5, 3)).addSecs(-97LL * i).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
            QVERIFY2(AddReading(db, id, time, &error), qPrintable(error));
        }
        QVERIFY(db.commit());
    }

    void openWindow()
    {
        m_window = std::make_unique<TIdcardmainfrm>(m_store.get(), m_folder->path());
        m_window->SetClock([] { return kNow; });
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
        connect(m_window->Model(), &QAbstractItemModel::modelReset, this, [this] { ++m_queries; });
        m_queries = 0;
    }

    void clickRow(int row, Qt::KeyboardModifiers modifiers)
    {
        auto* grid = child<QTableView>("DBGrid1");
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, modifiers, grid->visualRect(grid->model()->index(row, 1)).center());
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
    }
    void cleanup()
    {
        m_window.reset();
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
        QTest::newRow("dot in a Windows folder name") << "C:\\data.2014\\list" << "C:\\data.2014\\list.xlsx" << "C:\\data.2014\\list.xls";
        QTest::newRow("case counts") << "/o/A.XLS" << "/o/A.xlsx" << "/o/A.xls";
        QTest::newRow("trailing dot") << "/o/report." << "/o/report.xlsx" << "/o/report.xls";
    }
    void exportFileName()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, with2007);
        QFETCH(QString, without);
        QCOMPARE(ExportFileName(chosen, true), with2007);
        QCOMPARE(ExportFileName(chosen, false), without);
    }

    void exportTimeText()
    {
        QCOMPARE(ExportTimeText(QStringLiteral("2014-03-07 21:05:03")), QStringLiteral("2014-03-07 21:05:03"));
        QCOMPARE(ExportTimeText(QStringLiteral("2014-3-7 21:05:03.500")), QStringLiteral("2014-03-07 21:05:03"));
        QCOMPARE(ExportTimeText(QStringLiteral("yesterday")), QStringLiteral("yesterday"));
    }

    // The sheet's layout and values, written by the writer alone.
    void workbookLayout()
    {
        const QList<ExportRow> rows = {
            {idEndingInX(), QStringLiteral("测试甲"), QStringLiteral("2014-03-07 21:05:03"), QStringLiteral("是")},
            {SyntheticId(410101, QDate(1975, 1, 2), 7), QStringLiteral("测试乙"), QStringLiteral("2014-03-08 00:00:00"), QString()},
        };
        QVERIFY(!rows[1].idcardno.endsWith(u'X'));
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
        const QJsonObject row1 = book[QStringLiteral("row1")].toObject();
        QVERIFY(row1[QStringLiteral("bold")].toBool());
        QCOMPARE(row1[QStringLiteral("align")].toString(), QStringLiteral("center"));
        for (int c = 1; c <= 4; ++c) {
            QVERIFY2(cell(book, 1, c)[QStringLiteral("bold")].toBool(), qPrintable(QString::number(c)));
            QCOMPARE(cell(book, 1, c)[QStringLiteral("align")].toString(), QStringLiteral("center"));
        }
        // The sheet's unit includes the writer's padding: a width of 24 reads back as 24.71.
        const QJsonArray widths = book[QStringLiteral("widths")].toArray();
        const int expectedWidths[] = {24, 24, 24, 8};
        for (int c = 0; c < 4; ++c)
            QCOMPARE(int(widths[c].toDouble()), expectedWidths[c]);
        QCOMPARE(book[QStringLiteral("columnAFormat")].toString(), QStringLiteral("@"));

        for (int r = 0; r < rows.size(); ++r) {
            const QStringList expected = {rows[r].idcardno, rows[r].name, rows[r].readtime, rows[r].blackflag};
            QCOMPARE(rowValues(book, r + 2), expected);
            QCOMPARE(cell(book, r + 2, 1)[QStringLiteral("fmt")].toString(), QStringLiteral("@"));
            for (int c = 1; c <= 3; ++c) // text, never a number or a date
                QCOMPARE(cell(book, r + 2, c)[QStringLiteral("type")].toString(), QStringLiteral("s"));
            QVERIFY(!cell(book, r + 2, 1)[QStringLiteral("bold")].toBool());
        }
    }

    void unwritableFolder_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("a plain file in the path") << "file";
        QTest::newRow("missing folder") << "missing";
        QTest::newRow("read-only folder") << "readonly";
    }
    void unwritableFolder()
    {
        QFETCH(QString, kind);
        const QString folder = output() + QStringLiteral("/target");
        if (kind == QLatin1String("file")) {
            QFile plain(folder);
            QVERIFY(plain.open(QIODevice::WriteOnly));
        } else if (kind == QLatin1String("readonly")) {
            QVERIFY(QDir().mkpath(folder));
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner);
            QFile probe(folder + QStringLiteral("/probe"));
            if (probe.open(QIODevice::WriteOnly)) { // root writes anyway
                probe.remove();
                QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
                QSKIP("this user can write into a read-only folder");
            }
        }
        const QStringList before = entries(output());
        const ExportRow row{idEndingInX(), QStringLiteral("测试甲"), QStringLiteral("2014-03-07 21:05:03"), QString()};
        const WorkbookResult result = WorkbookExport(folder + QStringLiteral("/x.xlsx")).Write(1, [&](int) { return row; });
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QVERIFY(result.status == WorkbookResult::Status::WriteFailed);
        QVERIFY(!result.error.isEmpty());
        QCOMPARE(result.count, 0);
        QCOMPARE(entries(output()), before);
        if (kind == QLatin1String("readonly"))
            QVERIFY(entries(folder).isEmpty());
    }

    // The window's command from the button: three of ten rows picked out of order.
    void scatteredSelectionInListOrder()
    {
        fillStore(10);
        ScriptedMessages messages;
        openWindow();
        clickRow(7, Qt::NoModifier);
        clickRow(2, Qt::ControlModifier);
        clickRow(5, Qt::ControlModifier);
        messages.fileNames.enqueue(output() + QStringLiteral("/picked"));
        QTest::mouseClick(child<QPushButton>("waterbtn"), Qt::LeftButton);

        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("本次累计成功导出记录 3 笔")});
        QCOMPARE(messages.shown.first().kind, MsgKind::Info);
        QString error;
        const QJsonObject book = readWorkbook(output() + QStringLiteral("/picked.xlsx"), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(book[QStringLiteral("maxRow")].toInt(), 4);
        QCOMPARE(rowValues(book, 2), modelRow(2));
        QCOMPARE(rowValues(book, 3), modelRow(5));
        QCOMPARE(rowValues(book, 4), modelRow(7));
        QCOMPARE(rowValues(book, 2)[3], QStringLiteral("否"));

        // Nothing re-run or changed; the current row is the last one exported.
        QCOMPARE(m_queries, 0);
        auto* grid = child<QTableView>("DBGrid1");
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
        fillStore(readings);
        ScriptedMessages messages;
        openWindow();
        m_window->RefreshQuery(); // no event loop turn after it: the idle reading has not run
        QCOMPARE(m_window->Model()->FullyFetched(), readings <= ReadingLogModel::kChunk);
        child<QCheckBox>("cb_all")->setChecked(true);
        messages.fileNames.enqueue(output() + QStringLiteral("/all.xlsx"));
        QTest::mouseClick(child<QPushButton>("waterbtn"), Qt::LeftButton);

        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("本次累计成功导出记录 %1 笔").arg(readings)});
        QString error;
        const QJsonObject book = readWorkbook(output() + QStringLiteral("/all.xlsx"), &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(book[QStringLiteral("maxRow")].toInt(), readings + 1);
        for (int row : {0, readings / 2, readings - 1})
            QCOMPARE(rowValues(book, row + 2), modelRow(row));
        // The reading at 21:05:03 keeps ':' between hours, minutes and seconds.
        int latest = 0;
        while (m_window->Model()->ReadtimeAt(latest) != QStringLiteral("2014-03-07 21:05:03"))
            QVERIFY(++latest < readings);
        QCOMPARE(rowValues(book, latest + 2)[2], QStringLiteral("2014-03-07 21:05:03"));
    }

    void nothingChosen()
    {
        fillStore(3);
        ScriptedMessages messages;
        openWindow();
        child<QTableView>("DBGrid1")->clearSelection();
        QTest::mouseClick(child<QPushButton>("waterbtn"), Qt::LeftButton);
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("请首先选择要导出的记录！")});
        QCOMPARE(messages.shown.first().kind, MsgKind::Warning);
        QVERIFY(messages.saveRequests.isEmpty());
    }

    void dialogSetUpAndRemembered()
    {
        fillStore(3);
        ScriptedMessages messages;
        openWindow();
        auto* button = child<QPushButton>("waterbtn");
        QTest::mouseClick(button, Qt::LeftButton); // cancelled: nothing happens
        const QString chosen = output() + QStringLiteral("/report.xls");
        messages.fileNames.enqueue(chosen);
        QTest::mouseClick(button, Qt::LeftButton);
        QTest::mouseClick(button, Qt::LeftButton); // cancelled again

        QCOMPARE(messages.saveRequests.size(), 3);
        const SaveFileRequest& first = messages.saveRequests[0];
        QCOMPARE(first.folder, m_folder->path() + QStringLiteral("output"));
        QCOMPARE(first.fileName, QStringLiteral("dealwater"));
        QVERIFY2(first.filter.startsWith(QStringLiteral("Excel表格（.xls）")) && first.filter.contains(QStringLiteral("(*.xls)")),
                 qPrintable(first.filter));
        QCOMPARE(first.defaultSuffix, QStringLiteral("xls"));
        QCOMPARE(messages.saveRequests[1].fileName, QStringLiteral("dealwater"));
        QCOMPARE(messages.saveRequests[2].fileName, chosen); // as chosen, before the extension was fixed
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("本次累计成功导出记录 1 笔")});
        QVERIFY(QFileInfo::exists(output() + QStringLiteral("/report.xlsx")));
        QVERIFY(!QFileInfo::exists(chosen));
    }

    // The real dialog: what it starts with, the default suffix it adds, and no question of its own
    // about replacing (the command asks about the final name).
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
                 << dialog->defaultSuffix() << QString::number(dialog->testOption(QFileDialog::DontConfirmOverwrite));
            auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            name->setText(QStringLiteral("report"));
            QTest::keyClick(name, Qt::Key_Return);
        });
        WidgetMessageSink sink;
        const QString chosen = sink.SaveFileName({QString(), output(), QStringLiteral("dealwater"),
                                                  QStringLiteral("Excel表格（.xls） (*.xls)"), QStringLiteral("xls")});
        QCOMPARE(seen, (QStringList{output(), output() + QStringLiteral("/dealwater.xls"), QStringLiteral("Excel表格（.xls） (*.xls)"),
                                    QStringLiteral("xls"), QStringLiteral("1")}));
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
        fillStore(1, failing ? QString(40000, u'名') : QString());
        const QString existing = output() + QStringLiteral("/report.xlsx");
        const QByteArray old("the operator's earlier export");
        {
            QFile f(existing);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(old);
        }
        ScriptedMessages messages;
        openWindow();
        messages.fileNames.enqueue(output() + QStringLiteral("/report.xls"));
        messages.answers.enqueue(confirm);
        // A filter edit pending while the question is up must not re-run the list under the command.
        messages.onConfirm = [this] {
            m_window->QueryDirty = true;
            m_window->Timer1Timer();
        };
        QTest::mouseClick(child<QPushButton>("waterbtn"), Qt::LeftButton);

        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("此文件已存在将被覆盖，是否继续？")} + after);
        QCOMPARE(m_queries, 0);
        QCOMPARE(entries(output()), QStringList{QStringLiteral("report.xlsx")});
        if (!confirm || failing) {
            QCOMPARE(fileBytes(existing), old);
            return;
        }
        QString error;
        const QJsonObject book = readWorkbook(existing, &error);
        QVERIFY2(error.isEmpty(), qPrintable(error));
        QCOMPARE(rowValues(book, 2), modelRow(0));
    }

    void unwritableFolderFromTheWindow()
    {
        fillStore(2);
        ScriptedMessages messages;
        openWindow();
        QFile plain(output() + QStringLiteral("/notafolder"));
        QVERIFY(plain.open(QIODevice::WriteOnly));
        plain.close();
        messages.fileNames.enqueue(plain.fileName() + QStringLiteral("/list"));
        QTest::mouseClick(child<QPushButton>("waterbtn"), Qt::LeftButton);
        QCOMPARE(messages.Texts(), (QStringList{QStringLiteral("保存Excle表格失败！"), QStringLiteral("本次累计成功导出记录 0 笔")}));
        QCOMPARE(messages.shown.first().kind, MsgKind::Info);
    }
};

QTEST_MAIN(TestExport)
#include "test_export.moc"
