// The card-print record: its bytes, slot by slot, and the GBK text that fills it. Expected bytes
// are written out by hand (GBK from the code page's table), not produced by the program's own
// converter.

#include "CardPrint.h"
#include "GbkText.h"

#include <QtTest>

namespace {

QByteArray bytesOf(const CardPrintRecord& record)
{
    return QByteArray(reinterpret_cast<const char*>(&record), static_cast<int>(sizeof record));
}

// The bytes of one slot, offset and width as the library expects them.
QByteArray slotBytes(const CardPrintRecord& record, int offset, int width)
{
    return bytesOf(record).mid(offset, width);
}

QByteArray padded(const QByteArray& text, int width)
{
    return text + QByteArray(width - text.size(), '\0');
}

CardHolderFields sampleHolder()
{
    CardHolderFields f;
    f.name = QStringLiteral("张三");
    f.sex = QStringLiteral("男");
    f.nationNo = 17;
    f.born = QStringLiteral("19800101");
    f.address = QStringLiteral("测试省测试市测试路1号");
    f.idcardno = QStringLiteral("41010119800101001X");
    f.grantdept = QStringLiteral("测试市公安局");
    f.usefulLifeBegin = QStringLiteral("2010.01.01");
    f.usefulLifeEnd = QStringLiteral("长期");
    return f;
}

} // namespace

class TestCardPrint : public QObject {
    Q_OBJECT
private slots:
    void wholeRecordByteForByte()
    {
        QByteArray expected(531, '\0');
        auto put = [&](int offset, const QByteArray& bytes) { expected.replace(offset, bytes.size(), bytes); };
        put(0, QByteArray::fromHex("d5c5c8fd"));
        put(32, "1");
        put(36, "17");
        put(42, "19800101");
        put(60, QByteArray::fromHex("b2e2cad4caa1b2e2cad4cad0b2e2cad4c2b731bac5"));
        put(132, "41010119800101001X");
        put(170, QByteArray::fromHex("b2e2cad4cad0b9abb0b2bed6"));
        put(202, "2010.01.01");
        put(220, QByteArray::fromHex("b3a4c6da"));
        put(276, "/home/op/.cache/idcard-scratch/lstmp.bmp");

        CardRecordNotes notes;
        const CardPrintRecord record = MakeCardPrintRecord(sampleHolder(), QStringLiteral("/home/op/.cache/idcard-scratch/lstmp.bmp"), &notes);
        QCOMPARE(bytesOf(record).toHex(' '), expected.toHex(' '));
        QVERIFY(!notes.replaced);
        QVERIFY(!notes.cut);
    }

    void noCurrentRow()
    {
        // Every text slot empty, sex "2", nation "0", no photo path.
        QByteArray expected(531, '\0');
        expected[32] = '2';
        expected[36] = '0';
        QCOMPARE(bytesOf(MakeCardPrintRecord(CardHolderFields(), QString())).toHex(' '), expected.toHex(' '));
    }

    void sexCode_data()
    {
        QTest::addColumn<QString>("sex");
        QTest::addColumn<QByteArray>("slot");
        QTest::newRow("男") << QStringLiteral("男") << QByteArray("1\0\0\0", 4);
        QTest::newRow("女") << QStringLiteral("女") << QByteArray("2\0\0\0", 4);
        QTest::newRow("未知") << QStringLiteral("未知") << QByteArray("2\0\0\0", 4);
        QTest::newRow("empty") << QString() << QByteArray("2\0\0\0", 4);
        QTest::newRow("男 with a blank") << QStringLiteral("男 ") << QByteArray("2\0\0\0", 4);
    }
    void sexCode()
    {
        QFETCH(QString, sex);
        QFETCH(QByteArray, slot);
        CardHolderFields f = sampleHolder();
        f.sex = sex;
        QCOMPARE(slotBytes(MakeCardPrintRecord(f, QString()), 32, 4).toHex(), slot.toHex());
    }

    void nationCode_data()
    {
        QTest::addColumn<QVariant>("nation");
        QTest::addColumn<QByteArray>("slot");
        QTest::newRow("1") << QVariant(1) << QByteArray("1\0\0\0\0\0", 6);
        QTest::newRow("56") << QVariant(56) << QByteArray("56\0\0\0\0", 6);
        QTest::newRow("0") << QVariant(0) << QByteArray("0\0\0\0\0\0", 6);
        QTest::newRow("null") << QVariant() << QByteArray("0\0\0\0\0\0", 6);
        QTest::newRow("empty text") << QVariant(QString()) << QByteArray("0\0\0\0\0\0", 6);
        QTest::newRow("leading zero in text") << QVariant(QStringLiteral("07")) << QByteArray("7\0\0\0\0\0", 6);
        QTest::newRow("negative") << QVariant(-3) << QByteArray("0\0\0\0\0\0", 6);
    }
    void nationCode()
    {
        QFETCH(QVariant, nation);
        QFETCH(QByteArray, slot);
        CardHolderFields f = sampleHolder();
        f.nationNo = nation;
        QCOMPARE(slotBytes(MakeCardPrintRecord(f, QString()), 36, 6).toHex(), slot.toHex());
    }

    void idNumberOfEighteen()
    {
        const CardPrintRecord record = MakeCardPrintRecord(sampleHolder(), QString());
        QCOMPARE(slotBytes(record, 132, 18), QByteArray("41010119800101001X"));
        QCOMPARE(slotBytes(record, 150, 20), QByteArray(20, '\0'));
        QCOMPARE(slotBytes(record, 170, 4), QByteArray::fromHex("b2e2cad4"));
    }

    // Values longer than their slots stop at the slot, never inside a double-byte character and
    // never in the next slot.
    void cutAtTheSlot_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("slot");
        QTest::addColumn<bool>("cut");
        const QString sixteen = QString(16, QChar(0x7532)); // 甲 x 16: exactly 32 bytes
        const QByteArray full = QByteArray::fromHex(QByteArray("bcd7").repeated(16));
        QTest::newRow("exactly full") << sixteen << full << false;
        QTest::newRow("one character over") << sixteen + QChar(0x4E59) << full << true;
        QTest::newRow("odd start") << QStringLiteral("a") + sixteen
                                   << QByteArray("a") + QByteArray::fromHex(QByteArray("bcd7").repeated(15)) + QByteArray(1, '\0')
                                   << true;
        QTest::newRow("ascii over") << QString(40, u'x') << QByteArray(32, 'x') << true;
    }
    void cutAtTheSlot()
    {
        QFETCH(QString, name);
        QFETCH(QByteArray, slot);
        QFETCH(bool, cut);
        CardHolderFields f = sampleHolder();
        f.name = name;
        CardRecordNotes notes;
        const CardPrintRecord record = MakeCardPrintRecord(f, QString(), &notes);
        QCOMPARE(slotBytes(record, 0, 32).toHex(' '), slot.toHex(' '));
        QCOMPARE(slotBytes(record, 32, 3), QByteArray("1\0\0", 3));
        QCOMPARE(notes.cut, cut);
        // The sex slot's spare last byte names the cut slot for the library.
        QCOMPARE(int(uchar(bytesOf(record)[int(kCutSlotsByte)])), cut ? int(kCutName) : 0);
    }

    void longAddressStaysInItsSlot()
    {
        CardHolderFields f = sampleHolder();
        f.address = QString(100, QChar(0x4E59)); // 200 bytes for a slot of 72
        const CardPrintRecord record = MakeCardPrintRecord(f, QString());
        QCOMPARE(slotBytes(record, 60, 72), QByteArray::fromHex(QByteArray("d2d2").repeated(36)));
        QCOMPARE(slotBytes(record, 132, 18), QByteArray("41010119800101001X"));
    }

    void characterOutsideGbk()
    {
        CardHolderFields f = sampleHolder();
        f.name = QStringLiteral("张") + QString::fromUcs4(U"\U00020000") + QStringLiteral("三"); // an Extension B character
        CardRecordNotes notes;
        const CardPrintRecord record = MakeCardPrintRecord(f, QString(), &notes);
        QCOMPARE(slotBytes(record, 0, 6).toHex(' '), QByteArray::fromHex("d5c53fc8fd00").toHex(' '));
        QVERIFY(notes.replaced);
        QCOMPARE(f.name.size(), 4); // the caller's text is left as it was
    }

    void photoPathSlot()
    {
        const QString path = QStringLiteral("/tmp/甲/lstmp.bmp");
        const QByteArray utf8 = path.toUtf8();
        const CardPrintRecord record = MakeCardPrintRecord(sampleHolder(), path);
        QCOMPARE(slotBytes(record, 276, 255), padded(utf8, 255));
        // 254 bytes fit with the terminator; 255 would leave none and name another file.
        const QString fits = QStringLiteral("/") + QString(253, u'p');
        QCOMPARE(slotBytes(MakeCardPrintRecord(sampleHolder(), fits), 276, 255), padded(fits.toUtf8(), 255));
        const QString tooLong = fits + u'p';
        QCOMPARE(slotBytes(MakeCardPrintRecord(sampleHolder(), tooLong), 276, 255), QByteArray(255, '\0'));
    }

    void hasIdNumber_data()
    {
        QTest::addColumn<QByteArray>("slot");
        QTest::addColumn<bool>("present");
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("blanks") << QByteArray("      ") << false;
        QTest::newRow("control bytes") << QByteArray("\t\r\n \x01") << false;
        QTest::newRow("blank around digits") << QByteArray("  4101  ") << true;
        QTest::newRow("after a zero byte") << QByteArray("  \0" "4101", 7) << false;
        QTest::newRow("full width") << QByteArray(38, '9') << true;
        QTest::newRow("GBK text") << QByteArray::fromHex("d5c5") << true;
    }
    void hasIdNumber()
    {
        QFETCH(QByteArray, slot);
        QFETCH(bool, present);
        CardPrintRecord record = MakeCardPrintRecord(CardHolderFields(), QString());
        memcpy(record.idcardno, slot.constData(), static_cast<size_t>(slot.size()));
        QCOMPARE(CardRecordHasIdNumber(record), present);
    }

    void gbkReadBack_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("names") << QByteArray::fromHex("d5c5c8fd") << QStringLiteral("张三");
        QTest::newRow("euro of code page 936") << QByteArray::fromHex("80") << QStringLiteral("€");
        QTest::newRow("middle dot") << QByteArray::fromHex("a1a4") << QStringLiteral("·");
        QTest::newRow("stops at zero") << QByteArray::fromHex("d5c500c8fd") << QStringLiteral("张");
        QTest::newRow("lone lead byte") << QByteArray::fromHex("41d5") << QStringLiteral("A\uFFFD");
        QTest::newRow("bad trail byte") << QByteArray::fromHex("d52041") << QStringLiteral("\uFFFD A");
    }
    void gbkReadBack()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QCOMPARE(FromGbk(bytes.constData(), static_cast<size_t>(bytes.size())), text);
    }

    void gbkReadStopsAtTheSlotEnd()
    {
        const char slot[4] = {'\xd5', '\xc5', '\xc8', '\xfd'};
        QCOMPARE(FromGbk(slot, 3), QStringLiteral("张\uFFFD"));
        const GbkText written = ToGbk(QStringLiteral("龘·€"), 10);
        QCOMPARE(written.bytes.toHex(), QByteArray("fd93a1a480"));
        QCOMPARE(FromGbk(written.bytes.constData(), 5), QStringLiteral("龘·€"));
    }
};

QTEST_GUILESS_MAIN(TestCardPrint)
#include "test_cardprint.moc"
