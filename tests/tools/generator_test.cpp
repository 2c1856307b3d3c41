#include "sampledata.h"
#include "testutil.h"

#include <QBuffer>
#include <QImageReader>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>

using namespace idcard::sample;

namespace {

Options opts(std::uint64_t seed)
{
    Options o;
    o.seed = seed;
    o.from = QDate(2026, 1, 1);
    o.to = QDate(2026, 3, 31);
    return o;
}

bool sameHolder(const Holder &a, const Holder &b)
{
    return a.idNumber == b.idNumber && a.name == b.name && a.sex == b.sex
           && a.nationNo == b.nationNo && a.nation == b.nation && a.birth == b.birth
           && a.address == b.address && a.issuer == b.issuer && a.validBegin == b.validBegin
           && a.validEnd == b.validEnd && a.photoSeed == b.photoSeed;
}

} // namespace

TEST(Generator, SameSeedSameHoldersPhotosAndReadings)
{
    Generator a(opts(42)), b(opts(42)), c(opts(43));
    std::vector<Holder> fromA, fromC;
    for (int i = 0; i < 50; ++i) {
        const Holder ha = a.nextHolder();
        const Holder hb = b.nextHolder();
        ASSERT_TRUE(sameHolder(ha, hb)) << "holder " << i;
        if (i < 3) {
            EXPECT_EQ(a.photo(ha), b.photo(hb));
        }
        fromA.push_back(ha);
        fromC.push_back(c.nextHolder());
    }
    const auto ra = a.readings(500, 50);
    const auto rb = b.readings(500, 50);
    ASSERT_EQ(ra.size(), rb.size());
    for (std::size_t i = 0; i < ra.size(); ++i) {
        EXPECT_EQ(ra[i].holder, rb[i].holder);
        EXPECT_EQ(ra[i].offset, rb[i].offset);
    }

    int sameIds = 0;
    for (int i = 0; i < 50; ++i)
        sameIds += fromA[i].idNumber == fromC[i].idNumber;
    EXPECT_EQ(sameIds, 0) << "another seed must give other people";
}

TEST(Generator, HoldersHaveConsistentCardFields)
{
    Generator g(opts(7));
    std::set<QString> ids;
    std::map<int, int> nations;
    int nonBmpOrRare = 0;
    const QDate end(2026, 3, 31);
    for (int i = 0; i < 3000; ++i) {
        const Holder h = g.nextHolder();
        SCOPED_TRACE(i);
        ASSERT_EQ(h.idNumber.size(), 18);
        const QByteArray id = h.idNumber.toLatin1();
        EXPECT_EQ(id[17], testutil::expectedCheck(id.left(17)));
        EXPECT_TRUE(ids.insert(h.idNumber).second) << "duplicate ID number";
        EXPECT_EQ(id.mid(6, 8), h.birth.toString(QStringLiteral("yyyyMMdd")).toLatin1());
        EXPECT_EQ(h.sex, (id[16] - '0') % 2 ? QStringLiteral("男") : QStringLiteral("女"));
        EXPECT_NE(id.mid(14, 3), QByteArray("000"));

        const int chars = h.name.toUcs4().size();
        EXPECT_GE(chars, 2);
        EXPECT_LE(chars, 3);
        for (QChar c : h.name)
            nonBmpOrRare += c.isSurrogate();

        ASSERT_GE(h.nationNo, 1);
        ASSERT_LE(h.nationNo, 56);
        EXPECT_EQ(h.nation, nationNames()[h.nationNo - 1]);
        EXPECT_FALSE(h.nation.endsWith(QStringLiteral("族")));
        ++nations[h.nationNo];

        EXPECT_LE(h.birth, end.addYears(-6));
        EXPECT_GE(h.birth, end.addYears(-85));
        const QDate begin = QDate::fromString(h.validBegin, QStringLiteral("yyyy.MM.dd"));
        ASSERT_TRUE(begin.isValid()) << h.validBegin.toStdString();
        EXPECT_GT(begin, h.birth);
        EXPECT_LT(begin, end);
        if (h.validEnd != QStringLiteral("长期")) {
            const QDate validEnd = QDate::fromString(h.validEnd, QStringLiteral("yyyy.MM.dd"));
            ASSERT_TRUE(validEnd.isValid()) << h.validEnd.toStdString();
            const int years = validEnd.year() - begin.year();
            EXPECT_TRUE(years == 5 || years == 10 || years == 20) << years;
        }
        EXPECT_FALSE(h.address.isEmpty());
        EXPECT_TRUE(h.issuer.endsWith(QStringLiteral("公安局"))
                    || h.issuer.endsWith(QStringLiteral("分局")));
    }
    EXPECT_EQ(nonBmpOrRare, 0) << "rare characters only when asked for";
    EXPECT_GT(nations[1], 2300) << "mostly 汉";
    EXPECT_LT(nations[1], 2800);
    EXPECT_GE(nations.size(), 15u) << "a spread of other nations";
}

TEST(Generator, RareCharactersOnlyOnRequest)
{
    const QString rare = QStringLiteral("𠮷䶮𫖯𬌗㛃");
    auto countRare = [&](bool enabled) {
        Options o = opts(11);
        o.rareChars = enabled;
        Generator g(o);
        int names = 0, surrogates = 0;
        for (int i = 0; i < 4000; ++i) {
            const QString name = g.nextHolder().name;
            bool hit = false;
            for (char32_t c : name.toUcs4())
                hit = hit || rare.toUcs4().contains(c);
            names += hit;
            for (QChar c : name)
                surrogates += c.isHighSurrogate();
        }
        return std::make_pair(names, surrogates);
    };
    const auto off = countRare(false);
    const auto on = countRare(true);
    EXPECT_EQ(off.first, 0);
    EXPECT_GT(on.first, 20);   // about 2% of 4000
    EXPECT_LT(on.first, 200);
    EXPECT_GT(on.second, 0) << "some names need characters outside the BMP";
}

TEST(Generator, ReadingsCoverEveryHolderWithDistinctTimesInRange)
{
    Generator g(opts(3));
    const auto readings = g.readings(5000, 400);
    ASSERT_EQ(readings.size(), 5000u);
    std::set<int> holders;
    std::set<std::pair<int, std::int64_t>> pairs;
    int midnight = 0;
    for (std::size_t i = 0; i < readings.size(); ++i) {
        const auto &r = readings[i];
        holders.insert(r.holder);
        EXPECT_TRUE(pairs.insert({r.holder, r.offset}).second);
        ASSERT_GE(r.offset, 0);
        ASSERT_LT(r.offset, g.rangeSeconds());
        if (i > 0) {
            EXPECT_LE(readings[i - 1].offset, r.offset) << "readings come in time order";
        }
        midnight += r.offset % 86400 == 0;
    }
    EXPECT_EQ(holders.size(), 400u);
    EXPECT_EQ(*holders.begin(), 0);
    EXPECT_EQ(*holders.rbegin(), 399);
    EXPECT_GT(midnight, 20);
    EXPECT_EQ(g.rangeSeconds(), 90 * 86400); // Jan..Mar 2026 inclusive

    EXPECT_EQ(g.readTimeText(0), "2026-01-01 00:00:00");
    EXPECT_EQ(g.readTimeText(g.rangeSeconds() - 1), "2026-03-31 23:59:59");
    EXPECT_EQ(g.readTimeText(59 * 86400 + 3600 + 62), "2026-03-01 01:01:02");
}

TEST(Generator, DefaultRangeIsTheLastYearToToday)
{
    Generator g(Options{});
    EXPECT_EQ(g.to(), QDate::currentDate());
    EXPECT_EQ(g.from(), QDate::currentDate().addDays(-364));
}

TEST(Photo, SizeFormatAndRealisticPngSize)
{
    Generator g(opts(5));
    qint64 total = 0;
    QImage previous;
    for (int i = 0; i < 20; ++i) {
        const QImage img = g.photo(g.nextHolder());
        ASSERT_EQ(img.size(), QSize(kPhotoWidth, kPhotoHeight));
        ASSERT_EQ(img.format(), QImage::Format_RGB888);
        EXPECT_NE(img, previous) << "photos differ between holders";
        previous = img;

        const QByteArray png = toPng(img);
        ASSERT_TRUE(png.startsWith("\x89PNG\r\n\x1a\n"));
        total += png.size();
        QImage decoded;
        ASSERT_TRUE(decoded.loadFromData(png, "PNG"));
        EXPECT_EQ(decoded.convertToFormat(QImage::Format_RGB888), img) << "PNG is lossless";
    }
    EXPECT_GE(total / 20, 15000);
    EXPECT_LE(total / 20, 25000);

    // Light background in the top corners, a face of another colour in the middle.
    auto distance = [](QRgb a, QRgb b) {
        return std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) + std::abs(qBlue(a) - qBlue(b));
    };
    for (int i = 0; i < 10; ++i) {
        const QImage img = g.photo(g.nextHolder());
        EXPECT_GT(qGray(img.pixel(2, 2)), 190);
        EXPECT_GT(qGray(img.pixel(99, 2)), 190);
        EXPECT_GT(distance(img.pixel(51, 56), img.pixel(2, 2)), 40);
    }

    Options flat = opts(5);
    flat.photoNoise = 0;
    Generator f(flat);
    EXPECT_LT(toPng(f.photo(f.nextHolder())).size(), 8000) << "the noise option controls the size";
}

TEST(Photo, BmpIs24BitBottomUpBgrWithA54ByteHeader)
{
    Generator g(opts(9));
    const QImage img = g.photo(g.nextHolder());
    const QByteArray bmp = toBmp(img);
    const int stride = 308; // 102 * 3 = 306, padded to 4 bytes
    ASSERT_EQ(bmp.size(), 54 + stride * 126);

    auto u16 = [&](int at) { return quint16(uchar(bmp[at]) | uchar(bmp[at + 1]) << 8); };
    auto u32 = [&](int at) { return quint32(u16(at) | quint32(u16(at + 2)) << 16); };
    auto i32 = [&](int at) { return qint32(u32(at)); };
    EXPECT_EQ(bmp.left(2), QByteArray("BM"));
    EXPECT_EQ(u32(2), quint32(bmp.size()));
    EXPECT_EQ(u32(10), 54u);       // pixel data offset
    EXPECT_EQ(u32(14), 40u);       // BITMAPINFOHEADER
    EXPECT_EQ(i32(18), 102);
    EXPECT_EQ(i32(22), 126);       // positive: bottom-up
    EXPECT_EQ(u16(26), 1);         // planes
    EXPECT_EQ(u16(28), 24);        // bits per pixel
    EXPECT_EQ(u32(30), 0u);        // BI_RGB
    EXPECT_TRUE(u32(34) == 0 || u32(34) == quint32(stride * 126));
    EXPECT_EQ(u32(46), 0u);        // no palette

    // First stored row is the bottom one, pixels as B, G, R.
    for (const QPoint p : {QPoint(0, 125), QPoint(101, 125), QPoint(0, 0), QPoint(50, 60), QPoint(101, 0)}) {
        const int at = 54 + (125 - p.y()) * stride + p.x() * 3;
        const QRgb c = img.pixel(p);
        EXPECT_EQ(uchar(bmp[at]), qBlue(c)) << p.x() << "," << p.y();
        EXPECT_EQ(uchar(bmp[at + 1]), qGreen(c));
        EXPECT_EQ(uchar(bmp[at + 2]), qRed(c));
    }

    // Other formats come out the same way.
    const QByteArray fromArgb = toBmp(img.convertToFormat(QImage::Format_ARGB32));
    EXPECT_EQ(fromArgb.size(), bmp.size());
    EXPECT_EQ(fromArgb.mid(54), bmp.mid(54));
}
