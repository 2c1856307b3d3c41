// The main window driven as an operator would: controls found by name, keys typed, timer ticks.

#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "Startup.h"
#include "TIdcardmainfrm.h"
#include "TestSupport.h"

#include <QCalendarWidget>
#include <QCheckBox>
#include <QClipboard>
#include <QDateEdit>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QSqlQuery>
#include <QtTest>

namespace {
const QDateTime kNow(QDate(2014, 3, 8), QTime(15, 30, 0));
}

class TestWindow : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<TDM_Main> m_store;
    std::unique_ptr<TIdcardmainfrm> m_window;
    int m_queries = 0;
    QStringList m_ids;

    template <typename T> T* child(const char* name) { return Control<T>(m_window.get(), name); }

    void openWindow()
    {
        m_window = std::make_unique<TIdcardmainfrm>(m_store.get(), m_folder->path());
        m_window->SetClock([] { return kNow; });
        connect(m_window->Model(), &QAbstractItemModel::modelReset, this, [this] { ++m_queries; });
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

private slots:
    void init()
    {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_store = std::make_unique<TDM_Main>();
        QString error;
        QVERIFY2(m_store->Open(m_folder->path(), &error), qPrintable(error));
        const QDate birth(1975, 1, 2);
        m_ids = {SyntheticId(410101, birth, 1), SyntheticId(410101, birth, 2), SyntheticId(320101, birth, 3)};
        QImage photo(102, 126, QImage::Format_RGB888);
        photo.fill(QColor(200, 30, 30));
        QByteArray bmp;
        QBuffer buffer(&bmp);
        buffer.open(QIODevice::WriteOnly);
        photo.save(&buffer, "BMP");
        QVERIFY(AddHolder(m_store->con1(), {m_ids[0], QStringLiteral("赵一"), 1, bmp}, &error));
        QVERIFY(AddHolder(m_store->con1(), {m_ids[1], QStringLiteral("钱二"), 0, {}}, &error));
        QVERIFY(AddHolder(m_store->con1(), {m_ids[2], QStringLiteral("孙三"), 2, {}}, &error));
        QVERIFY(AddReading(m_store->con1(), m_ids[0], QStringLiteral("2014-03-08 09:00:00")));
        QVERIFY(AddReading(m_store->con1(), m_ids[1], QStringLiteral("2014-03-01 09:00:00")));
        QVERIFY(AddReading(m_store->con1(), m_ids[2], QStringLiteral("2013-03-08 00:00:00"))); // first day of the range
        QVERIFY(AddReading(m_store->con1(), m_ids[2], QStringLiteral("2013-03-07 23:59:59"))); // a second too early
        QVERIFY(AddReading(m_store->con1(), m_ids[2], QStringLiteral("2014-03-09 00:00:00"))); // 00:00 after the last day
        m_queries = 0;
    }
    void cleanup()
    {
        m_window.reset();
        m_store.reset();
        m_folder.reset();
    }

    void layoutAndCaptions()
    {
        ScriptedMessages messages;
        openWindow();
        QCOMPARE(m_window->windowTitle(), QStringLiteral("二代身份证信息查询"));
        QCOMPARE(m_window->size(), QSize(879, 595));
        QCOMPARE(m_window->minimumSize(), m_window->maximumSize());
        const QList<QPair<const char*, QString>> buttons = {{"Button1", "联接设备(&L)"}, {"prtbtn", "打印证件(&P)"},
                                                            {"waterbtn", "导出流水(&W)"}, {"delbtn", "删除记录(&D)"},
                                                            {"retbtn", "返 回(&R)"}};
        int lastY = -1;
        for (const auto& b : buttons) {
            auto* button = child<QPushButton>(b.first);
            QCOMPARE(button->text(), b.second);
            QVERIFY2(button->y() > lastY, b.first); // one column, top to bottom
            lastY = button->y();
        }
        QCOMPARE(child<QCheckBox>("cb_all")->text(), QStringLiteral("选择全部记录"));
        QVERIFY(!child<QCheckBox>("cb_all")->isChecked());
        QCOMPARE(child<QLabel>("Label5")->text(), QStringLiteral("二代证刷卡流水明细"));
        QCOMPARE(child<QLineEdit>("g_IDcardno")->maxLength(), 20);
        QCOMPARE(child<QLineEdit>("g_name")->maxLength(), 31);
        QCOMPARE(child<QLabel>("DBImage1")->size(), QSize(89, 104));
        for (const char* name : {"DBEdit1", "DBEdit2", "DBEdit3", "DBEdit4", "DBEdit6"})
            QVERIFY(child<QLineEdit>(name)->isReadOnly());
        auto* grid = child<QTableView>("DBGrid1");
        QCOMPARE(grid->model()->columnCount(), 4);
        QCOMPARE(grid->selectionBehavior(), QAbstractItemView::SelectRows);
        QCOMPARE(grid->editTriggers(), QAbstractItemView::NoEditTriggers);
        QVERIFY(grid->selectionMode() == QAbstractItemView::ExtendedSelection);
        QCOMPARE(child<QLabel>("StatusPanel1")->width(), 220);
        QVERIFY(child<QLabel>("StatusPanel1")->text().isEmpty());
        QVERIFY(messages.shown.isEmpty());
    }

    void firstShowListsTheLastYear()
    {
        ScriptedMessages messages;
        openWindow();
        QCOMPARE(child<QDateEdit>("begin_pick")->date(), QDate(2013, 3, 8));
        QCOMPARE(child<QDateEdit>("end_pick")->date(), QDate(2014, 3, 8));
        QVERIFY(m_window->HasExcel2007);
        QVERIFY(!m_window->QueryDirty);
        // The first day from 00:00, and tomorrow at 00:00; not the second before.
        QCOMPARE(m_window->Model()->rowCount(), 4);
        QCOMPARE(m_window->StatusText(), QStringLiteral(" 提示：当前条件下，查询记录合计：4 笔"));
        auto* grid = child<QTableView>("DBGrid1");
        QCOMPARE(grid->selectionModel()->selectedRows().size(), 1);
        QCOMPARE(grid->selectionModel()->selectedRows().first().row(), 0);
        for (const char* name : {"prtbtn", "waterbtn", "delbtn", "Button1", "retbtn"})
            QVERIFY2(child<QPushButton>(name)->isEnabled(), name);
        QVERIFY(messages.shown.isEmpty());
    }

    void detailsOfTheCurrentRow()
    {
        openWindow();
        auto* grid = child<QTableView>("DBGrid1");
        auto* model = m_window->Model();
        int photoRow = -1;
        for (int r = 0; r < model->rowCount(); ++r)
            if (model->IdcardnoAt(r) == m_ids[0])
                photoRow = r;
        QVERIFY(photoRow >= 0);
        grid->selectionModel()->setCurrentIndex(model->index(photoRow, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        QCOMPARE(child<QLineEdit>("DBEdit1")->text(), QStringLiteral("男"));
        QCOMPARE(child<QLineEdit>("DBEdit2")->text(), QStringLiteral("汉"));
        QCOMPARE(child<QLineEdit>("DBEdit3")->text(), QStringLiteral("19800101"));
        QCOMPARE(child<QLineEdit>("DBEdit4")->text(), QStringLiteral("测试市公安局"));
        QCOMPARE(child<QLineEdit>("DBEdit6")->text(), QStringLiteral("2010.01.01--2030.01.01"));
        const QPixmap shown = child<QLabel>("DBImage1")->pixmap();
        QVERIFY(!shown.isNull());
        QVERIFY(shown.width() <= 89 && shown.height() <= 104 && shown.width() > 80);
        QCOMPARE(shown.toImage().pixelColor(shown.width() / 2, shown.height() / 2), QColor(200, 30, 30));

        // A holder without a photo clears the picture; code 0 shows the "unknown" nation.
        for (int r = 0; r < model->rowCount(); ++r)
            if (model->IdcardnoAt(r) == m_ids[1])
                grid->selectionModel()->setCurrentIndex(model->index(r, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        QVERIFY(child<QLabel>("DBImage1")->pixmap().isNull());
        QCOMPARE(child<QLineEdit>("DBEdit2")->text(), QStringLiteral("未知"));
    }

    void periodIsCutToThirty()
    {
        QCOMPARE(CalcPeriod(QStringLiteral("2010.01.01"), QStringLiteral("长期")), QStringLiteral("2010.01.01--长期"));
        QCOMPARE(CalcPeriod(QString(20, u'a'), QString(20, u'b')).size(), 30);
        QCOMPARE(CalcPeriod(QString(), QString()), QStringLiteral("--"));
    }

    void emptyResult()
    {
        openWindow();
        auto* begin = child<QDateEdit>("begin_pick");
        begin->setDate(QDate(2014, 3, 10)); // two days after the end
        QVERIFY(m_window->QueryDirty);
        m_window->Timer1Timer();
        QCOMPARE(m_window->Model()->rowCount(), 0);
        QCOMPARE(m_window->StatusText(), QStringLiteral(" 提示：当前条件下，查询记录为空"));
        for (const char* name : {"prtbtn", "waterbtn", "delbtn"})
            QVERIFY2(!child<QPushButton>(name)->isEnabled(), name);
        QVERIFY(child<QPushButton>("Button1")->isEnabled());
        QVERIFY(child<QPushButton>("retbtn")->isEnabled());
    }

    void keystrokesAreCollectedByTheTimer()
    {
        openWindow();
        auto* id = child<QLineEdit>("g_IDcardno");
        const int before = m_queries;
        QTest::keyClicks(id, QStringLiteral("410"));
        QCOMPARE(m_queries, before); // typing does not query per keystroke
        QVERIFY(m_window->QueryDirty);
        m_window->Timer1Timer();
        QCOMPARE(m_queries, before + 1);
        QVERIFY(!m_window->QueryDirty);
        m_window->Timer1Timer();
        QCOMPARE(m_queries, before + 1);
        QCOMPARE(m_window->Model()->rowCount(), 2);
        // The real timer does the same within a tick or two.
        QTest::keyClicks(id, QStringLiteral("1"));
        QTRY_COMPARE_WITH_TIMEOUT(m_queries, before + 2, 2000);
        QVERIFY(!m_window->QueryBusy);
    }

    void busyTickDoesNothing()
    {
        openWindow();
        const int before = m_queries;
        m_window->QueryDirty = true;
        m_window->QueryBusy = true;
        m_window->Timer1Timer();
        QCOMPARE(m_queries, before);
        QVERIFY(m_window->QueryDirty);
    }

    void keyFilter_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("expected");
        QTest::newRow("digits pass") << "0123456789" << "0123456789";
        QTest::newRow("letters and X are dropped") << "41a0X1x" << "4101";
        QTest::newRow("punctuation and blanks dropped") << "4-1 0.1" << "4101";
    }
    void keyFilter()
    {
        QFETCH(QString, typed);
        QFETCH(QString, expected);
        openWindow();
        auto* id = child<QLineEdit>("g_IDcardno");
        id->setFocus();
        QTest::keyClicks(id, typed);
        QCOMPARE(id->text(), expected);
    }
    void keyFilterDropsOtherScripts()
    {
        openWindow();
        auto* id = child<QLineEdit>("g_IDcardno");
        for (const QString& text : {QStringLiteral("４"), QStringLiteral("张"), QStringLiteral("1")}) {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, text);
            QApplication::sendEvent(id, &press);
        }
        QCOMPARE(id->text(), QStringLiteral("1"));
    }
    void keyFilterControlKeys()
    {
        openWindow();
        auto* id = child<QLineEdit>("g_IDcardno");
        QTest::keyClicks(id, QStringLiteral("4101"));
        QTest::keyClick(id, Qt::Key_Backspace);
        QCOMPARE(id->text(), QStringLiteral("410"));
        QTest::keyClick(id, Qt::Key_Return);
        QCOMPARE(id->text(), QStringLiteral("410"));
        // Clipboard shortcuts do nothing.
        QGuiApplication::clipboard()->setText(QStringLiteral("999"));
        QTest::keyClick(id, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(id->text(), QStringLiteral("410"));
        QTest::keyClick(id, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(id, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(id->text(), QStringLiteral("410"));
        // Moving the cursor still works.
        QTest::keyClick(id, Qt::Key_Home);
        QTest::keyClicks(id, QStringLiteral("7"));
        QCOMPARE(id->text(), QStringLiteral("7410"));
        // Text put in without typing is not filtered, and never longer than 20.
        id->insert(QStringLiteral("X"));
        QVERIFY(id->text().contains(u'X'));
        id->setText(QString(30, u'1'));
        QCOMPARE(id->text().size(), 20);
    }

    void tabLeavesTheIdBox()
    {
        openWindow();
        m_window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
        auto* id = child<QLineEdit>("g_IDcardno");
        id->setFocus();
        QTest::keyClicks(id, QStringLiteral("41"));
        QTest::keyClick(id, Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), child<QLineEdit>("g_name"));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
        QCOMPARE(QApplication::focusWidget(), id);
        QCOMPARE(id->text(), QStringLiteral("41"));
    }

    void latestEndDateStillLists()
    {
        openWindow();
        auto* end = child<QDateEdit>("end_pick");
        end->setDate(end->maximumDate());
        m_window->Timer1Timer();
        QCOMPARE(m_window->Model()->rowCount(), 4);
        QCOMPARE(child<QDateEdit>("begin_pick")->maximumDate(), end->maximumDate());
    }

    void centring_data()
    {
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<QRect>("screen");
        QTest::addColumn<QPoint>("topLeft");
        QTest::newRow("large screen") << QSize(879, 595) << QRect(0, 0, 1920, 1080) << QPoint(520, 242);
        QTest::newRow("second screen to the right") << QSize(879, 595) << QRect(1920, 0, 1280, 1024) << QPoint(2120, 214);
        QTest::newRow("screen narrower than the window") << QSize(879, 595) << QRect(0, 0, 800, 600) << QPoint(0, 2);
        QTest::newRow("task bar at the top") << QSize(879, 595) << QRect(0, 40, 1024, 728) << QPoint(72, 106);
    }
    void centring()
    {
        QFETCH(QSize, frame);
        QFETCH(QRect, screen);
        QFETCH(QPoint, topLeft);
        QCOMPARE(CenteredTopLeft(frame, screen), topLeft);
    }

    void startsInChineseAndCentred()
    {
        // The start-up path itself: Qt's own texts in Chinese and the window centred on its screen.
        ScriptedMessages messages; // the program folder of the tests has no store: that error is expected
        QTemporaryDir lock;
        QString buttons;
        QPoint placed, expected;
        QTimer::singleShot(0, [&] {
            for (QWidget* w : QApplication::topLevelWidgets()) {
                if (auto* window = qobject_cast<TIdcardmainfrm*>(w)) {
                    placed = window->pos();
                    expected = CenteredTopLeft(window->frameGeometry().size(), window->screen()->availableGeometry());
                    QMessageBox box(QMessageBox::Question, QString(), QString(), QMessageBox::Ok | QMessageBox::Cancel);
                    buttons = box.button(QMessageBox::Ok)->text() + u'|' + box.button(QMessageBox::Cancel)->text();
                    window->close();
                }
            }
        });
        QCOMPARE(RunIdcard(*qApp, lock.path()), 0);
        QCOMPARE(buttons, QStringLiteral("确定|取消"));
        QCOMPARE(placed, expected);
    }

    void nameFilterTrimmed()
    {
        openWindow();
        child<QLineEdit>("g_name")->setText(QStringLiteral("  钱 ")); // as an input method commits it
        QVERIFY(m_window->QueryDirty);
        m_window->Timer1Timer();
        QCOMPARE(m_window->Model()->rowCount(), 1);
        QCOMPARE(m_window->Model()->NameAt(0), QStringLiteral("钱二"));
    }

    void closeUpRule()
    {
        openWindow();
        QVERIFY(!m_window->QueryDirty);
        // The first close-up marks the query dirty even without a change.
        m_window->begin_pickCloseUp();
        QVERIFY(m_window->QueryDirty);
        m_window->Timer1Timer();
        QVERIFY(!m_window->QueryDirty);
        // A close-up without a change marks nothing.
        m_window->begin_pickCloseUp();
        QVERIFY(!m_window->QueryDirty);
        // The real popup closing counts as a close-up.
        auto* end = child<QDateEdit>("end_pick");
        {
            const QSignalBlocker block(end);
            end->setDate(QDate(2014, 3, 1));
        }
        QWidget* popup = end->calendarWidget()->window();
        popup->show();
        popup->hide();
        QVERIFY(m_window->QueryDirty);
        QCOMPARE(m_window->LastEndDate, QDate(2014, 3, 1).startOfDay());
    }

    void failedQueryIsReportedAndNotStuck()
    {
        ScriptedMessages messages;
        openWindow();
        m_store->Close();
        m_window->QueryDirty = true;
        m_window->Timer1Timer();
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].kind, MsgKind::Error);
        QVERIFY(!m_window->QueryBusy);
        // The status line keeps what it showed.
        QCOMPARE(m_window->StatusText(), QStringLiteral(" 提示：当前条件下，查询记录合计：4 笔"));
    }

    void damagedStoreWhileReadingRows()
    {
        // Enough rows that the list reads them in several steps; written by a connection whose
        // page cache the window does not share.
        QString error;
        QSqlDatabase db = m_store->con1();
        QVERIFY(db.transaction());
        for (int i = 0; i < 3000; ++i)
            QVERIFY2(AddReading(db, m_ids[0], QDateTime(QDate(2014, 2, 1), QTime(8, 0)).addSecs(i * 60).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), &error),
                     qPrintable(error));
        QVERIFY(db.commit());
        ScriptedMessages messages;
        openWindow();
        m_window->Model()->Clear();
        QVERIFY2(m_store->Open(m_folder->path(), &error), qPrintable(error));
        // A page cache too small to hold the rows, as with a year of readings.
        QVERIFY(QSqlQuery(m_store->con1()).exec(QStringLiteral("pragma cache_size=10")));
        m_window->RefreshQuery(); // only the first rows are read now
        QVERIFY(!m_window->Model()->FullyFetched());

        // The store's pages go bad, as on a failing disk.
        QFile file(m_folder->storePath());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(4096));
        file.write(QByteArray(file.size() - 4096, '\x5a'));
        file.close();

        QTRY_VERIFY(m_window->Model()->FullyFetched());
        QTRY_COMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].kind, MsgKind::Error);
        QVERIFY2(messages.shown[0].text.contains(QStringLiteral("malformed")), qPrintable(messages.shown[0].text));
        const int rows = m_window->Model()->rowCount();
        QCOMPARE(m_window->Model()->FetchedCount(), rows);
        QVERIFY(rows < 3004);
        QCOMPARE(m_window->StatusText(), QStringLiteral(" 提示：当前条件下，查询记录合计：%1 笔").arg(rows));
    }

    void storeThatDidNotOpen()
    {
        ScriptedMessages messages;
        m_store->Close();
        openWindow();
        QVERIFY(m_window->isVisible());
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].kind, MsgKind::Error);
        // At the first show: all buttons enabled and an empty status line.
        QVERIFY(m_window->StatusText().isEmpty());
        for (const char* name : {"prtbtn", "waterbtn", "delbtn"})
            QVERIFY2(child<QPushButton>(name)->isEnabled(), name);
    }

    void returnButtonCloses()
    {
        openWindow();
        QTest::mouseClick(child<QPushButton>("retbtn"), Qt::LeftButton);
        QVERIFY(!m_window->isVisible());
    }
};

QTEST_MAIN(TestWindow)
#include "test_window.moc"
