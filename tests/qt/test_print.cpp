// The print command on the real window: stand-in libraries in the program folder record what they
// were given; the real printing library prints to a PDF file, or shows its dialog.

#include "CardPrint.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "ScratchFolder.h"
#include "TIdcardmainfrm.h"
#include "TestSupport.h"

#include <QPrintDialog>
#include <QPushButton>
#include <QSqlQuery>
#include <QTableView>
#include <QtTest>

#include <dlfcn.h>
#include <unistd.h>

namespace {

const QDateTime kNow(QDate(2014, 3, 8), QTime(15, 30, 0));

// What a recording stand-in was given.
struct Call {
    quint32 handle = 0;
    uchar flag = 0xFF;
    QByteArray record;
};

} // namespace

class TestPrint : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<TempProgramFolder> m_folder;
    std::unique_ptr<TDM_Main> m_store;
    std::unique_ptr<TIdcardmainfrm> m_window;
    std::unique_ptr<QTemporaryDir> m_work;
    QStringList m_ids;
    QByteArray m_photo;

    QString scratch() const { return m_work->filePath(QStringLiteral("scratch")); }
    QString photoFile() const { return scratch() + QStringLiteral("/lstmp.bmp"); }
    QString callFile() const { return m_work->filePath(QStringLiteral("call.bin")); }
    QString libraryFile() const { return m_folder->path() + QStringLiteral("libcardprintlib.so"); }

    void installLibrary(const QString& built)
    {
        QVERIFY2(QFile::copy(built, libraryFile()), qPrintable(built));
    }

    bool libraryLoaded() const
    {
        void* handle = dlopen(QFile::encodeName(libraryFile()).constData(), RTLD_NOW | RTLD_NOLOAD);
        if (handle)
            dlclose(handle);
        return handle != nullptr;
    }

    bool readCall(Call* call) const
    {
        QFile file(callFile());
        if (!file.open(QIODevice::ReadOnly))
            return false;
        const QByteArray bytes = file.readAll();
        if (bytes.size() != 4 + 1 + 531)
            return false;
        call->handle = qFromLittleEndian<quint32>(bytes.constData());
        call->flag = static_cast<uchar>(bytes[4]);
        call->record = bytes.mid(5);
        return true;
    }

    void openWindow()
    {
        m_window = std::make_unique<TIdcardmainfrm>(m_store.get(), m_folder->path());
        m_window->SetClock([] { return kNow; });
        m_window->SetScratchFolder(scratch());
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    QTableView* grid() const { return m_window->findChild<QTableView*>(QStringLiteral("DBGrid1")); }

    int rowOf(const QString& id) const
    {
        ReadingLogModel* model = m_window->Model();
        for (int r = 0; r < model->rowCount(); ++r)
            if (model->IdcardnoAt(r) == id)
                return r;
        return -1;
    }

    void makeCurrent(const QString& id)
    {
        const int row = rowOf(id);
        QVERIFY2(row >= 0, qPrintable(id));
        grid()->selectionModel()->setCurrentIndex(m_window->Model()->index(row, 0),
                                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

    void clickPrint()
    {
        auto* button = m_window->findChild<QPushButton*>(QStringLiteral("prtbtn"));
        QVERIFY(button && button->isEnabled());
        QTest::mouseClick(button, Qt::LeftButton);
    }

    // The fields of holder 0 as the scene stored them.
    CardHolderFields firstHolder() const
    {
        CardHolderFields f;
        f.name = QStringLiteral("测试甲");
        f.sex = QStringLiteral("男");
        f.nationNo = 1;
        f.born = QStringLiteral("19800101");
        f.address = QStringLiteral("测试省测试市测试路%1号").arg(m_ids[0].right(3));
        f.idcardno = m_ids[0];
        f.grantdept = QStringLiteral("测试市公安局");
        f.usefulLifeBegin = QStringLiteral("2010.01.01");
        f.usefulLifeEnd = QStringLiteral("2030.01.01");
        return f;
    }

    static QByteArray recordBytes(const CardPrintRecord& record)
    {
        return QByteArray(reinterpret_cast<const char*>(&record), static_cast<int>(sizeof record));
    }

private slots:
    void init()
    {
        m_work = std::make_unique<QTemporaryDir>();
        QVERIFY(m_work->isValid());
        QVERIFY(QDir().mkpath(scratch()));
        qputenv("CARDLIB_STUB_RECORD", QFile::encodeName(callFile()));
        m_folder = std::make_unique<TempProgramFolder>();
        QVERIFY(m_folder->isValid());
        m_store = std::make_unique<TDM_Main>();
        QString error;
        QVERIFY2(m_store->Open(m_folder->path(), &error), qPrintable(error));

        const QDate birth(1980, 1, 1);
        m_ids = {SyntheticId(410101, birth, 11), SyntheticId(410101, birth, 12), SyntheticId(410101, birth, 13),
                 QStringLiteral("   ")};
        QImage photo(102, 126, QImage::Format_RGB888);
        photo.fill(QColor(200, 30, 30));
        QBuffer buffer(&m_photo);
        buffer.open(QIODevice::WriteOnly);
        photo.save(&buffer, "BMP");
        const QString rare = QStringLiteral("测") + QString::fromUcs4(U"\U00020000") + QStringLiteral("丙");
        const QList<SceneHolder> holders = {{m_ids[0], QStringLiteral("测试甲"), 1, m_photo},
                                            {m_ids[1], QStringLiteral("测试乙"), 56, {}},
                                            {m_ids[2], rare, 2, {}},
                                            {m_ids[3], QStringLiteral("测试丁"), 1, {}}};
        for (const SceneHolder& h : holders) {
            QVERIFY2(AddHolder(m_store->con1(), h, &error), qPrintable(error));
            QVERIFY2(AddReading(m_store->con1(), h.idcardno, QStringLiteral("2014-03-01 09:00:00"), &error), qPrintable(error));
        }
    }
    void cleanup()
    {
        m_window.reset();
        m_store.reset();
        m_folder.reset();
        m_work.reset();
        qunsetenv("CARDLIB_STUB_RECORD");
        qunsetenv("CARDPRINTLIB_PDF");
    }

    void outcomes_data()
    {
        QTest::addColumn<QString>("library"); // empty: none in the program folder
        QTest::addColumn<QString>("message");  // empty: none
        QTest::addColumn<bool>("called");
        QTest::addColumn<bool>("audited"); // the card was printed: one row in the audit trail
        QTest::newRow("missing") << QString() << QStringLiteral("cardprintlib.dll动态库未找到!") << false << false;
        QTest::newRow("no entry point") << QStringLiteral(CARDLIB_NOENTRY) << QStringLiteral("调入动态库CardPrintlib.dll失败！") << false << false;
        QTest::newRow("result -1") << QStringLiteral(CARDLIB_MINUS1) << QStringLiteral("调用打印函数失败！") << true << false;
        QTest::newRow("result 0: dialog cancelled") << QStringLiteral(CARDLIB_0) << QString() << true << false;
        QTest::newRow("result 1") << QStringLiteral(CARDLIB_1) << QString() << true << true;
    }
    void outcomes()
    {
        QFETCH(QString, library);
        QFETCH(QString, message);
        QFETCH(bool, called);
        QFETCH(bool, audited);
        if (!library.isEmpty())
            installLibrary(library);
        ScriptedMessages messages;
        openWindow();
        makeCurrent(m_ids[0]);
        clickPrint();

        if (message.isEmpty()) {
            QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.Texts().join(u'\n')));
        } else {
            QCOMPARE(messages.Texts(), QStringList{message});
            QCOMPARE(messages.shown[0].kind, MsgKind::Error);
            QCOMPARE(messages.shown[0].caption, QStringLiteral("错误信息"));
        }
        // The photo file comes first, whatever happens after it.
        QFile photo(photoFile());
        QVERIFY2(photo.open(QIODevice::ReadOnly), qPrintable(photo.errorString()));
        QCOMPARE(photo.readAll(), m_photo);
        QCOMPARE(photo.permissions() & 0x0077, QFileDevice::Permissions()); // owner only
        QVERIFY(!libraryLoaded());

        QSqlQuery audit(m_store->con1());
        QVERIFY(audit.exec(QStringLiteral("select action,count,detail from audit_log")));
        QCOMPARE(audit.next(), audited);
        if (audited) {
            QCOMPARE(audit.value(0).toString(), QStringLiteral("打印"));
            QCOMPARE(audit.value(1).toInt(), 1);
            QCOMPARE(audit.value(2).toString(), m_ids[0]);
            QVERIFY(!audit.next());
        }

        Call call;
        QCOMPARE(readCall(&call), called);
        if (called) {
            QCOMPARE(call.handle, static_cast<quint32>(m_window->window()->winId()));
            QCOMPARE(call.flag, uchar(0));
            QCOMPARE(call.record.toHex(' '), recordBytes(MakeCardPrintRecord(firstHolder(), photoFile())).toHex(' '));
        }
    }

    void onlyTheCurrentRowCounts()
    {
        installLibrary(QStringLiteral(CARDLIB_1));
        ScriptedMessages messages;
        openWindow();
        makeCurrent(m_ids[0]);
        QItemSelectionModel* selection = grid()->selectionModel();
        selection->select(m_window->Model()->index(rowOf(m_ids[2]), 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        selection->setCurrentIndex(m_window->Model()->index(rowOf(m_ids[1]), 0), QItemSelectionModel::NoUpdate);
        QVERIFY(!selection->isRowSelected(rowOf(m_ids[1]), QModelIndex()));
        clickPrint();
        QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.Texts().join(u'\n')));
        Call call;
        QVERIFY(readCall(&call));
        QCOMPARE(call.record.mid(132, 18), m_ids[1].toLatin1());
        QCOMPARE(call.record.mid(36, 3), QByteArray("56\0", 3));
        // A holder without a photo gives an empty photo file.
        QCOMPARE(QFileInfo(photoFile()).size(), 0);
    }

    void blankIdNumberIsNotPrinted()
    {
        installLibrary(QStringLiteral(CARDLIB_1));
        ScriptedMessages messages;
        openWindow();
        makeCurrent(m_ids[3]);
        clickPrint();
        QCOMPARE(messages.Texts(), QStringList{QStringLiteral("身份证信息为空，请读卡后再打印！")});
        QVERIFY2(!QFile::exists(callFile()), "PrintCardmes must not be called");
        QVERIFY(!libraryLoaded());
        QVERIFY(QFile::exists(photoFile()));
    }

    // The library is loaded before the ID number is looked at; nothing is written without a row.
    void noCurrentRow_data()
    {
        QTest::addColumn<QString>("library");
        QTest::addColumn<QString>("message");
        QTest::newRow("library missing") << QString() << QStringLiteral("cardprintlib.dll动态库未找到!");
        QTest::newRow("library present") << QStringLiteral(CARDLIB_1) << QStringLiteral("身份证信息为空，请读卡后再打印！");
    }
    void noCurrentRow()
    {
        QFETCH(QString, library);
        QFETCH(QString, message);
        if (!library.isEmpty())
            installLibrary(library);
        QVERIFY(WritePrivateFile(photoFile(), "earlier"));
        ScriptedMessages messages;
        openWindow();
        QSqlQuery q(m_store->con1());
        QVERIFY(q.exec(QStringLiteral("delete from idcardwater")));
        m_window->RefreshQuery();
        QCOMPARE(m_window->Model()->rowCount(), 0);
        m_window->prtbtnClick(); // the button is disabled; a query that failed to open leaves it enabled
        QCOMPARE(messages.Texts(), QStringList{message});
        QVERIFY(!QFile::exists(callFile()));
        QFile photo(photoFile());
        QVERIFY(photo.open(QIODevice::ReadOnly));
        QCOMPARE(photo.readAll(), QByteArray("earlier"));
    }

    void unwritablePhotoStopsTheCommand()
    {
        installLibrary(QStringLiteral(CARDLIB_1));
        ScriptedMessages messages;
        openWindow();
        // A plain file where the folder should be: no one, not even root, can write below it.
        QVERIFY(WritePrivateFile(m_work->filePath(QStringLiteral("plain")), "x"));
        m_window->SetScratchFolder(m_work->filePath(QStringLiteral("plain")));
        makeCurrent(m_ids[0]);
        clickPrint();
        QCOMPARE(messages.shown.size(), 1);
        QVERIFY2(messages.shown[0].text.startsWith(QStringLiteral("无法写入照片文件")), qPrintable(messages.shown[0].text));
        QVERIFY2(!QFile::exists(callFile()), "the library must not be called");
        QVERIFY(!libraryLoaded());
    }

    void overlongScratchPathIsToldFirst_data()
    {
        QTest::addColumn<bool>("goOn");
        QTest::newRow("printed without the photo") << true;
        QTest::newRow("cancelled") << false;
    }
    void overlongScratchPathIsToldFirst()
    {
        QFETCH(bool, goOn);
        installLibrary(QStringLiteral(CARDLIB_1));
        ScriptedMessages messages;
        messages.answers.enqueue(goOn);
        openWindow();
        QString deep = scratch();
        while (QFile::encodeName(deep).size() < 250)
            deep += QStringLiteral("/folder-%1").arg(deep.size());
        QVERIFY(QDir().mkpath(deep));
        m_window->SetScratchFolder(deep);
        makeCurrent(m_ids[0]);
        clickPrint();
        QCOMPARE(messages.shown.size(), 1);
        QCOMPARE(messages.shown[0].kind, MsgKind::Question);
        QVERIFY2(messages.shown[0].text.contains(QStringLiteral("254 字节")), qPrintable(messages.shown[0].text));
        QVERIFY(!QFile::exists(deep + QStringLiteral("/lstmp.bmp")));
        Call call;
        QCOMPARE(readCall(&call), goOn);
        if (goOn)
            QCOMPARE(call.record.toHex(' '), recordBytes(MakeCardPrintRecord(firstHolder(), QString())).toHex(' '));
    }

    // A link planted at the photo's name is replaced, never written through; a folder that others
    // could write into, or another user's, is refused before anything is written.
    void photoNeverGoesThroughALink_data()
    {
        QTest::addColumn<QString>("scene");
        QTest::addColumn<QString>("refusal"); // empty: the card is printed
        QTest::newRow("link planted at the photo") << "link" << QString();
        QTest::newRow("folder writable by others") << "open" << QStringLiteral("可被其他用户写入");
        QTest::newRow("another user's folder") << "owner" << QStringLiteral("不属于当前用户");
    }
    void photoNeverGoesThroughALink()
    {
        QFETCH(QString, scene);
        QFETCH(QString, refusal);
        installLibrary(QStringLiteral(CARDLIB_1));
        const QString victim = m_work->filePath(QStringLiteral("victim"));
        QVERIFY(WritePrivateFile(victim, "not a photo"));
        QVERIFY(QFile::link(victim, photoFile()));
        if (scene == QLatin1String("open"))
            QVERIFY(QFile::setPermissions(scratch(), QFile::Permissions(0x7777)));
        if (scene == QLatin1String("owner")) {
            if (::geteuid() != 0)
                QSKIP("only root can give a folder to another user");
            QCOMPARE(::chown(QFile::encodeName(scratch()).constData(), 65534, 65534), 0);
        }
        ScriptedMessages messages;
        openWindow();
        makeCurrent(m_ids[0]);
        clickPrint();

        QFile target(victim);
        QVERIFY(target.open(QIODevice::ReadOnly));
        QCOMPARE(target.readAll(), QByteArray("not a photo"));
        Call call;
        QCOMPARE(readCall(&call), refusal.isEmpty());
        if (refusal.isEmpty()) {
            QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.Texts().join(u'\n')));
            QVERIFY(!QFileInfo(photoFile()).isSymLink());
            QFile photo(photoFile());
            QVERIFY(photo.open(QIODevice::ReadOnly));
            QCOMPARE(photo.readAll(), m_photo);
        } else {
            QCOMPARE(messages.shown.size(), 1);
            QVERIFY2(messages.shown[0].text.contains(refusal), qPrintable(messages.shown[0].text));
        }
        QCOMPARE(QDir(scratch()).entryList(QDir::Files | QDir::Hidden | QDir::System), QStringList{QStringLiteral("lstmp.bmp")});
    }

    void characterOutsideGbkStaysInTheStore()
    {
        installLibrary(QStringLiteral(CARDLIB_1));
        ScriptedMessages messages;
        openWindow();
        makeCurrent(m_ids[2]);
        clickPrint();
        QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.Texts().join(u'\n')));
        Call call;
        QVERIFY(readCall(&call));
        QCOMPARE(call.record.left(8).toHex(' '), QByteArray::fromHex("b2e23fb1fb000000").toHex(' ')); // 测?丙
        QSqlQuery q(m_store->con1());
        QVERIFY(q.exec(QStringLiteral("select name from idcardinfo where idcardno='%1'").arg(m_ids[2])) && q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("测") + QString::fromUcs4(U"\U00020000") + QStringLiteral("丙"));
    }

    void realLibraryPrintsToPdf()
    {
        installLibrary(QStringLiteral(CARDLIB_REAL));
        const QString pdf = m_work->filePath(QStringLiteral("card.pdf"));
        qputenv("CARDPRINTLIB_PDF", QFile::encodeName(pdf));
        ScriptedMessages messages;
        openWindow();
        makeCurrent(m_ids[0]);
        clickPrint();
        QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.Texts().join(u'\n')));
        QString text, error;
        QVERIFY2(RunTool(QStringLiteral("pdftotext"), {pdf, QStringLiteral("-")}, &text, &error), qPrintable(error));
        QVERIFY2(text.contains(m_ids[0]) && text.contains(QStringLiteral("测试甲")), qPrintable(text));
    }

    void realLibraryDialogCancelled()
    {
        installLibrary(QStringLiteral(CARDLIB_REAL));
        ScriptedMessages messages;
        openWindow();
        makeCurrent(m_ids[0]);
        QPointer<QWidget> dialogParent;
        bool sawDialog = false;
        bool busyMeanwhile = false;
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            if (auto* dialog = qobject_cast<QPrintDialog*>(QApplication::activeModalWidget())) {
                sawDialog = true;
                dialogParent = dialog->parentWidget();
                busyMeanwhile = m_window->QueryBusy;
                dialog->reject();
            }
        });
        poll.start(20);
        QTimer rescue; // a dialog that never showed as modal must not hang the run
        rescue.setSingleShot(true);
        connect(&rescue, &QTimer::timeout, this, [] {
            if (QWidget* stuck = QApplication::activeModalWidget())
                stuck->close();
        });
        rescue.start(20000);
        clickPrint();
        poll.stop();
        QVERIFY(sawDialog);
        QCOMPARE(dialogParent.data(), static_cast<QWidget*>(m_window.get()));
        QVERIFY2(busyMeanwhile, "the filter timer must not requery under the dialog");
        QVERIFY(!m_window->QueryBusy);
        QVERIFY2(messages.shown.isEmpty(), qPrintable(messages.Texts().join(u'\n'))); // cancelling is no failure
    }
};

QTEST_MAIN(TestPrint)
#include "test_print.moc"
