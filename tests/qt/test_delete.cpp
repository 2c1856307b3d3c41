// The delete command on the real window: which readings go, that holders stay, and that a failing
// store leaves every reading in place.

#include "ReadingLogImport.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "TIdcardmainfrm.h"
#include "TestSupport.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>
#include <QtTest>

#include <set>

namespace {
const QDateTime kNow(QDate(2014, 3, 8), QTime(15, 30, 0));
const QString kDeleteQuestion = QStringLiteral("选定记录将被删除，请再次确认！");

std::set<qint64> storedSerials(QSqlDatabase db)
{
    std::set<qint64> out;
    QSqlQuery q(db);
    q.exec(QStringLiteral("select serialno from idcardwater"));
    while (q.next())
        out.insert(q.value(0).toLongLong());
    return out;
}
} // namespace

class TestDelete : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<TDM_Main> m_store;
    std::unique_ptr<TIdcardmainfrm> m_window;
    QStringList m_ids;
    int m_queries = 0;

    template <typename T> T* child(const char* name) { return Control<T>(m_window.get(), name); }
    QTableView* grid() { return child<QTableView>("DBGrid1"); }
    QSqlDatabase db() { return m_store->con1(); }

    // Three holders; `listed` readings in the window's range, two more a year earlier.
    void makeScene(int listed)
    {
        QString error;
        const QDate birth(1981, 6, 1);
        m_ids = {SyntheticId(410101, birth, 11), SyntheticId(410101, birth, 12), SyntheticId(320101, birth, 13)};
        for (int i = 0; i < m_ids.size(); ++i)
            QVERIFY2(AddHolder(db(), {m_ids[i], QStringLiteral("测试%1").arg(i), 1, {}}, &error), qPrintable(error));
        QVERIFY(db().transaction());
        const QDateTime first(QDate(2014, 3, 1), QTime(8, 0, 0));
        for (int i = 0; i < listed; ++i)
            QVERIFY2(AddReading(db(), m_ids[i % 3], first.addSecs(i * 37).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), &error),
                     qPrintable(error));
        QVERIFY(AddReading(db(), m_ids[0], QStringLiteral("2012-05-01 10:00:00")));
        QVERIFY(AddReading(db(), m_ids[1], QStringLiteral("2012-05-02 10:00:00")));
        QVERIFY(db().commit());
    }

    void openWindow()
    {
        m_window = std::make_unique<TIdcardmainfrm>(m_store.get(), m_folder->path());
        m_window->SetClock([] { return kNow; });
        connect(m_window->Model(), &QAbstractItemModel::modelReset, this, [this] { ++m_queries; });
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    void clickRow(int row, Qt::KeyboardModifiers modifiers)
    {
        const QModelIndex index = m_window->Model()->index(row, 0);
        grid()->scrollTo(index);
        QTest::mouseClick(grid()->viewport(), Qt::LeftButton, modifiers, grid()->visualRect(index).center());
    }

    std::vector<qint64> listedSerials()
    {
        ReadingLogModel* model = m_window->Model();
        std::vector<qint64> out;
        for (int r = 0; r < model->rowCount(); ++r)
            out.push_back(model->SerialAt(r));
        return out;
    }

    void checkListAfter(int expectedRows)
    {
        QCOMPARE(m_window->Model()->rowCount(), expectedRows);
        QVERIFY(grid()->updatesEnabled());
        const bool any = expectedRows > 0;
        for (const char* name : {"prtbtn", "waterbtn", "delbtn"})
            QCOMPARE(child<QPushButton>(name)->isEnabled(), any);
        if (!any) {
            QCOMPARE(m_window->StatusText(), QStringLiteral(" 提示：当前条件下，查询记录为空"));
            return;
        }
        QCOMPARE(m_window->StatusText(), QStringLiteral(" 提示：当前条件下，查询记录合计：%1 笔").arg(expectedRows));
        const QModelIndexList selected = grid()->selectionModel()->selectedRows();
        QCOMPARE(selected.size(), 1);
        QCOMPARE(selected.first().row(), 0);
    }

private slots:
    void init()
    {
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_store = std::make_unique<TDM_Main>();
        QString error;
        QVERIFY2(m_store->Open(m_folder->path(), &error), qPrintable(error));
        m_queries = 0;
    }
    void cleanup()
    {
        m_window.reset();
        m_store.reset();
        m_folder.reset();
    }

    void deletesTheChosenReadings_data()
    {
        QTest::addColumn<int>("listed");
        QTest::addColumn<QList<int>>("clicks"); // rows clicked in this order, the first without Ctrl
        QTest::addColumn<bool>("all");
        QTest::addColumn<QList<int>>("gone"); // rows of the list that go; empty: every listed row
        QTest::newRow("three of ten, scattered") << 10 << QList<int>{7, 2, 5} << false << QList<int>{2, 5, 7};
        QTest::newRow("the first row as selected after a refresh") << 10 << QList<int>{} << false << QList<int>{0};
        QTest::newRow("all ticked wins over the selection") << 10 << QList<int>{3, 8} << true << QList<int>{};
        QTest::newRow("all ticked, more rows than the list has read") << 2500 << QList<int>{} << true << QList<int>{};
    }
    void deletesTheChosenReadings()
    {
        QFETCH(int, listed);
        QFETCH(QList<int>, clicks);
        QFETCH(bool, all);
        QFETCH(QList<int>, gone);
        makeScene(listed);
        ScriptedMessages messages;
        openWindow();
        QCOMPARE(m_window->Model()->rowCount(), listed);
        const std::vector<qint64> before = listedSerials();
        std::set<qint64> expected = storedSerials(db());
        if (gone.isEmpty()) {
            for (qint64 s : before)
                expected.erase(s);
        } else {
            for (int r : gone)
                expected.erase(before[static_cast<size_t>(r)]);
        }
        const int holders = CountRows(db(), QStringLiteral("idcardinfo"));

        m_window->RefreshQuery(); // a fresh list that has read only its first rows
        for (int i = 0; i < clicks.size(); ++i)
            clickRow(clicks[i], i == 0 ? Qt::NoModifier : Qt::ControlModifier);
        if (all)
            QTest::mouseClick(child<QCheckBox>("cb_all"), Qt::LeftButton);
        if (listed > ReadingLogModel::kChunk)
            QVERIFY(m_window->Model()->FetchedCount() < listed);
        messages.answers.enqueue(true);
        QTest::mouseClick(child<QPushButton>("delbtn"), Qt::LeftButton);

        QCOMPARE(messages.Texts(), QStringList{kDeleteQuestion}); // no message after success
        QVERIFY(storedSerials(db()) == expected);
        QCOMPARE(CountRows(db(), QStringLiteral("idcardinfo")), holders);
        // One row in the audit trail with the window's filter and the count.
        QSqlQuery audit(db());
        QVERIFY(audit.exec(QStringLiteral("select action,count,detail from audit_log")) && audit.next());
        QCOMPARE(audit.value(0).toString(), QStringLiteral("删除"));
        QCOMPARE(audit.value(1).toInt(), all ? listed : int(gone.size()));
        QCOMPARE(audit.value(2).toString(), QStringLiteral("2013-03-08 至 2014-03-08，%1；删除 %2 条")
                                                .arg(all ? QStringLiteral("全选") : QStringLiteral("选中行"))
                                                .arg(all ? listed : int(gone.size())));
        QVERIFY(!audit.next());
        checkListAfter(all ? 0 : listed - static_cast<int>(gone.size()));
        QVERIFY(child<QCheckBox>("cb_all")->isChecked() == all); // the command leaves the box as it was
    }

    void nothingChosenOrCancelled()
    {
        makeScene(10);
        ScriptedMessages messages;
        openWindow();
        const std::set<qint64> before = storedSerials(db());

        grid()->selectionModel()->clearSelection();
        QTest::mouseClick(child<QPushButton>("delbtn"), Qt::LeftButton);
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].kind, MsgKind::Warning);
        QCOMPARE(messages.shown[0].text, QStringLiteral("请首先选择要删除的记录！"));
        QVERIFY(messages.unexpectedQuestions.isEmpty());

        // Cancel: nothing deleted, the list not re-run, the selection as it was.
        messages.shown.clear();
        clickRow(4, Qt::NoModifier);
        clickRow(6, Qt::ControlModifier);
        const int queries = m_queries;
        messages.answers.enqueue(false);
        QTest::mouseClick(child<QPushButton>("delbtn"), Qt::LeftButton);
        QCOMPARE(messages.Texts(), QStringList{kDeleteQuestion});
        QVERIFY(storedSerials(db()) == before);
        QCOMPARE(m_queries, queries);
        QCOMPARE(grid()->selectionModel()->selectedRows().size(), 2);
    }

    void filterTickDuringTheQuestionChangesNothing()
    {
        // A filter edit just before the click: the timer ticks while the question is up, but the
        // rows the operator chose are the ones deleted.
        makeScene(10);
        ScriptedMessages messages;
        openWindow();
        clickRow(5, Qt::NoModifier);
        const qint64 chosen = m_window->Model()->SerialAt(5);
        child<QLineEdit>("g_name")->setText(QStringLiteral("测试1"));
        messages.onConfirm = [this] { m_window->Timer1Timer(); };
        messages.answers.enqueue(true);
        QTest::mouseClick(child<QPushButton>("delbtn"), Qt::LeftButton);
        QCOMPARE(CountRows(db(), QStringLiteral("idcardwater")), 11);
        QVERIFY(storedSerials(db()).count(chosen) == 0);
        QVERIFY(m_window->QueryDirty); // the edit is taken up by the next tick
    }

    void failingStoreDeletesNothing_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("cause"); // part of the store's own error text
        QTest::newRow("read by a second connection") << "locked" << "locked";
        QTest::newRow("held exclusively by a second program") << "exclusive" << "locked";
        QTest::newRow("read-only") << "readonly" << "readonly";
        QTest::newRow("a reading refused part-way") << "midway" << "refused";
    }
    void failingStoreDeletesNothing()
    {
        QFETCH(QString, how);
        QFETCH(QString, cause);
        makeScene(10);
        ScriptedMessages messages;
        openWindow();
        const std::set<qint64> before = storedSerials(db());

        // A second program's read transaction keeps the deletion from committing; a read-only
        // store refuses every write; a trigger refuses the seventh reading after six went.
        const QString other = QStringLiteral("second_program");
        {
            QSqlDatabase second = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), other);
            second.setDatabaseName(m_folder->storePath());
            QVERIFY(second.open());
            QSqlQuery hold(second);
            QSqlQuery setup(db());
            if (how == QLatin1String("exclusive")) {
                QVERIFY(hold.exec(QStringLiteral("begin exclusive")));
            } else if (how == QLatin1String("locked")) {
                QVERIFY(hold.exec(QStringLiteral("begin")));
                QVERIFY(hold.exec(QStringLiteral("select count(*) from idcardwater")) && hold.next());
            } else if (how == QLatin1String("readonly")) {
                QVERIFY(setup.exec(QStringLiteral("pragma query_only=1")));
            } else {
                const qint64 seventh = m_window->Model()->SerialAt(6);
                QVERIFY2(setup.exec(QStringLiteral("create temp trigger refuse before delete on idcardwater when old.serialno=%1 "
                                                   "begin select raise(abort,'refused'); end")
                                        .arg(seventh)),
                         qPrintable(setup.lastError().text()));
            }
            QTest::mouseClick(child<QCheckBox>("cb_all"), Qt::LeftButton);
            const int queries = m_queries;
            messages.answers.enqueue(true);
            QTest::mouseClick(child<QPushButton>("delbtn"), Qt::LeftButton);

            QCOMPARE(messages.shown.size(), 2);
            QCOMPARE(messages.shown[1].kind, MsgKind::Error);
            QVERIFY2(messages.shown[1].text.contains(cause), qPrintable(messages.shown[1].text));
            // The store's own words, not followed by the driver's "unable to fetch row".
            QVERIFY2(!messages.shown[1].text.contains(QStringLiteral("Unable to fetch row")), qPrintable(messages.shown[1].text));
            // Nothing was deleted: the list stays as it was, without a second wait for the store
            // and a second box.
            QCOMPARE(m_queries, queries);
            QVERIFY(setup.exec(QStringLiteral("pragma query_only=0")));
            QVERIFY(setup.exec(QStringLiteral("drop trigger if exists temp.refuse")));
            hold.finish();
            second.rollback();
        }
        QSqlDatabase::removeDatabase(other);
        QVERIFY(storedSerials(db()) == before);
        QCOMPARE(CountRows(db(), QStringLiteral("audit_log")), 0); // a failed deletion leaves no row
        checkListAfter(10);
        // With the store free again the same command goes through.
        messages.answers.enqueue(true);
        QTest::mouseClick(child<QPushButton>("delbtn"), Qt::LeftButton);
        QCOMPARE(CountRows(db(), QStringLiteral("idcardwater")), 2);
    }

    void holderOfADeletedReadingStays()
    {
        makeScene(3); // one reading each
        ScriptedMessages messages;
        openWindow();
        const QString id = m_window->Model()->IdcardnoAt(1);
        clickRow(1, Qt::NoModifier);
        messages.answers.enqueue(true);
        QTest::mouseClick(child<QPushButton>("delbtn"), Qt::LeftButton);
        QCOMPARE(m_window->Model()->rowCount(), 2);
        for (int r = 0; r < 2; ++r)
            QVERIFY(m_window->Model()->IdcardnoAt(r) != id);
        QCOMPARE(CountRows(db(), QStringLiteral("idcardinfo")), 3);

        // A later import of the same card adds only the reading; the stored holder is kept.
        const QString device = m_folder->path() + QStringLiteral("input/idcard.db");
        QString error;
        QVERIFY2(CreateDeviceDb(device, &error), qPrintable(error));
        DeviceRow row;
        row.ic = id;
        row.name = QStringLiteral("另一个名字");
        row.readTime = QStringLiteral("2014-03-07 10:00:00");
        QVERIFY2(AddDeviceRows(device, {row}, &error), qPrintable(error));
        const ImportOutcome outcome = ReadingLogImporter(db(), QString()).ImportDeviceDb(device);
        QVERIFY2(outcome.Complete() && outcome.count == 1, qPrintable(outcome.error));
        QCOMPARE(CountRows(db(), QStringLiteral("idcardinfo")), 3);
        QSqlQuery name(db());
        QVERIFY(name.exec(QStringLiteral("select name from idcardinfo where idcardno='%1'").arg(id)) && name.next());
        QCOMPARE(name.value(0).toString(), QStringLiteral("测试%1").arg(m_ids.indexOf(id)));
        m_window->RefreshQuery();
        QCOMPARE(m_window->Model()->rowCount(), 3);
    }
};

QTEST_MAIN(TestDelete)
#include "test_delete.moc"
