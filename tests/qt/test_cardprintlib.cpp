// The printing library itself: loaded as the program loads it, given records the program's way,
// printing to a PDF file instead of a dialog; the PDF is read back with poppler's tools.

#include "CardPrint.h"
#include "TestSupport.h"

#include <QImage>
#include <QLibrary>
#include <QtTest>

class TestCardPrintLib : public QObject {
    Q_OBJECT
private:
    QLibrary m_library;
    PrintCardmesProc m_print = nullptr;
    std::unique_ptr<QTemporaryDir> m_dir;

    QString pdfPath() const { return m_dir->filePath(QStringLiteral("card.pdf")); }

    static CardHolderFields holder()
    {
        CardHolderFields f;
        f.name = QStringLiteral("测试甲");
        f.sex = QStringLiteral("男");
        f.nationNo = 1;
        f.born = QStringLiteral("19800101");
        f.address = QStringLiteral("测试省测试市测试路1号");
        f.idcardno = SyntheticId(410101, QDate(1980, 1, 1), 17);
        f.grantdept = QStringLiteral("测试市公安局");
        f.usefulLifeBegin = QStringLiteral("2010.01.01");
        f.usefulLifeEnd = QStringLiteral("长期");
        return f;
    }

    int print(const CardHolderFields& fields, const QString& photoPath)
    {
        return m_print(0, MakeCardPrintRecord(fields, photoPath), 0);
    }

    // The text of one page, blanks taken out (the layout puts its own between label and value).
    QString pageText(int page)
    {
        QString text, error;
        const QString n = QString::number(page);
        if (!RunTool(QStringLiteral("pdftotext"), {QStringLiteral("-f"), n, QStringLiteral("-l"), n, pdfPath(), QStringLiteral("-")},
                     &text, &error))
            qWarning("%s", qPrintable(error));
        return text.remove(QRegularExpression(QStringLiteral("\\s")));
    }

private slots:
    void initTestCase()
    {
        m_library.setFileName(QStringLiteral(CARDLIB_REAL));
        QVERIFY2(m_library.load(), qPrintable(m_library.errorString()));
        m_print = reinterpret_cast<PrintCardmesProc>(m_library.resolve("PrintCardmes"));
        QVERIFY2(m_print, qPrintable(m_library.errorString()));
    }
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        qputenv("CARDPRINTLIB_PDF", QFile::encodeName(pdfPath()));
    }
    void cleanup() { qunsetenv("CARDPRINTLIB_PDF"); }

    void cardOfId1SizeBothSides()
    {
        QImage photo(102, 126, QImage::Format_RGB888);
        photo.fill(QColor(200, 30, 30));
        const QString photoPath = m_dir->filePath(QStringLiteral("lstmp.bmp"));
        QVERIFY(photo.save(photoPath, "BMP"));
        QCOMPARE(print(holder(), photoPath), 1);

        QString info, error;
        QVERIFY2(RunTool(QStringLiteral("pdfinfo"), {pdfPath()}, &info, &error), qPrintable(error));
        QVERIFY2(info.contains(QRegularExpression(QStringLiteral("Pages:\\s+2\\n"))), qPrintable(info));
        // 85.6 x 54 mm is 242.65 x 153.07 points.
        const QRegularExpressionMatch size = QRegularExpression(QStringLiteral("Page size:\\s+([\\d.]+) x ([\\d.]+) pts")).match(info);
        QVERIFY2(size.hasMatch(), qPrintable(info));
        QVERIFY2(qAbs(size.captured(1).toDouble() - 242.65) < 0.5 && qAbs(size.captured(2).toDouble() - 153.07) < 0.5, qPrintable(info));

        const QString front = pageText(1);
        for (const QString& expected : {QStringLiteral("测试甲"), QStringLiteral("男"), QStringLiteral("汉"), QStringLiteral("1980年1月1日"),
                                        QStringLiteral("测试省测试市测试路1号"), holder().idcardno, QStringLiteral("公民身份号码")})
            QVERIFY2(front.contains(expected), qPrintable(expected + QStringLiteral(" not in: ") + front));
        const QString back = pageText(2);
        for (const QString& expected : {QStringLiteral("签发机关"), QStringLiteral("测试市公安局"), QStringLiteral("2010.01.01-长期")})
            QVERIFY2(back.contains(expected), qPrintable(expected + QStringLiteral(" not in: ") + back));
        QVERIFY2(!front.contains(QStringLiteral("请核对")) && !back.contains(QStringLiteral("请核对")), qPrintable(front + back));

        // The photo from the path slot is on the front, in its frame at the right.
        QString ignored;
        const QString png = m_dir->filePath(QStringLiteral("front"));
        QVERIFY2(RunTool(QStringLiteral("pdftoppm"), {QStringLiteral("-r"), QStringLiteral("100"), QStringLiteral("-f"), QStringLiteral("1"),
                                                      QStringLiteral("-l"), QStringLiteral("1"), QStringLiteral("-png"),
                                                      QStringLiteral("-singlefile"), pdfPath(), png},
                         &ignored, &error),
                 qPrintable(error));
        const QImage page(png + QStringLiteral(".png"));
        QVERIFY(!page.isNull());
        const QColor centre = page.pixelColor(page.width() * 705 / 856, page.height() * 180 / 540);
        QVERIFY2(centre.red() > 170 && centre.green() < 70 && centre.blue() < 70, qPrintable(centre.name()));
    }

    void whatTheFrontSays_data()
    {
        QTest::addColumn<QString>("sex");
        QTest::addColumn<int>("nation");
        QTest::addColumn<QString>("sexShown");
        QTest::addColumn<QString>("nationShown");
        QTest::newRow("女") << QStringLiteral("女") << 1 << QStringLiteral("女") << QStringLiteral("汉");
        QTest::newRow("未知 prints as code 2") << QStringLiteral("未知") << 1 << QStringLiteral("女") << QStringLiteral("汉");
        QTest::newRow("nation 56") << QStringLiteral("男") << 56 << QStringLiteral("男") << QStringLiteral("基诺");
        QTest::newRow("nation unknown") << QStringLiteral("男") << 0 << QStringLiteral("男") << QString();
    }
    void whatTheFrontSays()
    {
        QFETCH(QString, sex);
        QFETCH(int, nation);
        QFETCH(QString, sexShown);
        QFETCH(QString, nationShown);
        CardHolderFields f = holder();
        f.sex = sex;
        f.nationNo = nation;
        QCOMPARE(print(f, QString()), 1);
        const QString front = pageText(1);
        QVERIFY2(front.contains(QStringLiteral("性别") + sexShown + QStringLiteral("出生")), qPrintable(front));
        const QRegularExpressionMatch shown = QRegularExpression(QStringLiteral("民族(\\D*)")).match(front);
        QVERIFY2(shown.hasMatch(), qPrintable(front));
        QCOMPARE(shown.captured(1), nationShown);
    }

    void unreadablePhotoPrintsWithout_data()
    {
        QTest::addColumn<QByteArray>("content"); // empty: no file at all
        QTest::newRow("no file") << QByteArray();
        QTest::newRow("empty file") << QByteArray("");
        QTest::newRow("not a bitmap") << QByteArray("BM this is not one");
    }
    void unreadablePhotoPrintsWithout()
    {
        QFETCH(QByteArray, content);
        const QString photoPath = m_dir->filePath(QStringLiteral("lstmp.bmp"));
        if (!content.isNull()) {
            QFile file(photoPath);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(content);
        }
        QCOMPARE(print(holder(), photoPath), 1);
        QVERIFY2(pageText(1).contains(holder().idcardno), "the card is printed all the same");
    }

    // A character that had to become '?' in the record marks the side it is on.
    void outsideGbkIsMarked_data()
    {
        QTest::addColumn<bool>("inName");
        QTest::addColumn<bool>("inAuthority");
        QTest::newRow("name") << true << false;
        QTest::newRow("issuing authority") << false << true;
    }
    void outsideGbkIsMarked()
    {
        QFETCH(bool, inName);
        QFETCH(bool, inAuthority);
        const QString rare = QString::fromUcs4(U"\U00020000");
        CardHolderFields f = holder();
        if (inName)
            f.name = QStringLiteral("测") + rare + QStringLiteral("甲");
        if (inAuthority)
            f.grantdept = rare + QStringLiteral("市公安局");
        QCOMPARE(print(f, QString()), 1);
        const QString mark = QStringLiteral("请核对原证");
        const QString front = pageText(1);
        const QString back = pageText(2);
        QCOMPARE(front.contains(mark), inName);
        QCOMPARE(back.contains(mark), inAuthority);
        if (inName)
            QVERIFY2(front.contains(QStringLiteral("测?甲")), qPrintable(front));
    }

    // Long values show whole beside the photo, not under it or past the card's edge; the photo
    // has a real card's size; a value cut to its slot marks the side it is on.
    void longValuesShowWhole_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("grantdept");
        QTest::addColumn<int>("nameShown"); // characters of the name on the card
        QTest::addColumn<bool>("frontCut");
        QTest::addColumn<bool>("backCut");
        const QString minority = QStringLiteral("阿不都热依木·阿不都克里木");
        QString latin = QStringLiteral("测试省测试市Kumusilikexiangtuanjiecunerzuyuan Bldg 12 Room ");
        latin += QString(72 - 12 - (latin.size() - 6), u'W'); // 72 bytes in the record
        const CardHolderFields h = holder();
        QTest::newRow("minority name of 13 characters") << minority << h.address << h.grantdept << 13 << false << false;
        QTest::newRow("address of 72 bytes with Latin letters") << h.name << latin << h.grantdept << 3 << false << false;
        QTest::newRow("name over its slot") << minority + minority << h.address << h.grantdept << 16 << true << false;
        QTest::newRow("authority over its slot") << h.name << h.address << QString(20, u'局') << 3 << false << true;
    }
    void longValuesShowWhole()
    {
        QFETCH(QString, name);
        QFETCH(QString, address);
        QFETCH(QString, grantdept);
        QFETCH(int, nameShown);
        QFETCH(bool, frontCut);
        QFETCH(bool, backCut);
        QImage photo(102, 126, QImage::Format_RGB888);
        photo.fill(QColor(30, 160, 60));
        const QString photoPath = m_dir->filePath(QStringLiteral("lstmp.bmp"));
        QVERIFY(photo.save(photoPath, "BMP"));
        CardHolderFields f = holder();
        f.name = name;
        f.address = address;
        f.grantdept = grantdept;
        QCOMPARE(print(f, photoPath), 1);

        const QString front = pageText(1);
        const QString back = pageText(2);
        for (const QString& expected : {name.left(nameShown), QString(address).remove(u' '), grantdept.left(16)})
            QVERIFY2((front + back).contains(expected), qPrintable(expected + QStringLiteral(" not in: ") + front + back));
        QCOMPARE(front.contains(QStringLiteral("截断")), frontCut);
        QCOMPARE(back.contains(QStringLiteral("截断")), backCut);

        // The photo's frame in millimetres, found on the rendered front by its colour.
        constexpr int dpi = 300;
        QString ignored, error;
        const QString png = m_dir->filePath(QStringLiteral("front"));
        QVERIFY2(RunTool(QStringLiteral("pdftoppm"), {QStringLiteral("-r"), QString::number(dpi), QStringLiteral("-f"), QStringLiteral("1"),
                                                      QStringLiteral("-l"), QStringLiteral("1"), QStringLiteral("-png"),
                                                      QStringLiteral("-singlefile"), pdfPath(), png},
                         &ignored, &error),
                 qPrintable(error));
        const QImage page(png + QStringLiteral(".png"));
        QRect found;
        for (int y = 0; y < page.height(); ++y)
            for (int x = 0; x < page.width(); ++x)
                if (const QColor c = page.pixelColor(x, y); c.green() > 130 && c.red() < 60 && c.blue() < 90)
                    found |= QRect(x, y, 1, 1);
        const QRectF frame(found.x() * 25.4 / dpi, found.y() * 25.4 / dpi, found.width() * 25.4 / dpi, found.height() * 25.4 / dpi);
        QVERIFY2(qAbs(frame.width() - 26) < 0.6 && qAbs(frame.height() - 32) < 0.6,
                 qPrintable(QStringLiteral("photo %1 x %2 mm").arg(frame.width()).arg(frame.height())));

        // Every word of the front, in millimetres: none beside the photo reaches into it.
        QString html;
        QVERIFY2(RunTool(QStringLiteral("pdftotext"), {QStringLiteral("-bbox"), QStringLiteral("-f"), QStringLiteral("1"), QStringLiteral("-l"),
                                                       QStringLiteral("1"), pdfPath(), QStringLiteral("-")},
                         &html, &error),
                 qPrintable(error));
        const QRegularExpression word(QStringLiteral("xMin=\"([\\d.]+)\" yMin=\"([\\d.]+)\" xMax=\"([\\d.]+)\" yMax=\"([\\d.]+)\">([^<]*)<"));
        int words = 0;
        for (const QRegularExpressionMatch& m : word.globalMatch(html)) {
            const double mm = 25.4 / 72;
            const QRectF box(QPointF(m.captured(1).toDouble() * mm, m.captured(2).toDouble() * mm),
                             QPointF(m.captured(3).toDouble() * mm, m.captured(4).toDouble() * mm));
            const bool besidePhoto = box.bottom() > frame.top() + 0.5 && box.top() < frame.bottom() - 0.5;
            QVERIFY2(box.right() < 85.6 - 1 && (!besidePhoto || box.right() <= frame.left()),
                     qPrintable(QStringLiteral("%1 reaches to %2 mm").arg(m.captured(5)).arg(box.right())));
            ++words;
        }
        QVERIFY(words > 10);
    }

    void noIdNumberIsRefused()
    {
        CardHolderFields f = holder();
        f.idcardno = QStringLiteral("   ");
        QCOMPARE(print(f, QString()), -1);
        QVERIFY(!QFile::exists(pdfPath()));
    }
};

QTEST_MAIN(TestCardPrintLib)
#include "test_cardprintlib.moc"
