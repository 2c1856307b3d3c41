#include "sampledata.h"
#include "testutil.h"

#include <QImage>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <set>

using namespace idcard::sample;
using testutil::Sqlite;

namespace {

FillRequest request(int readings, int holders, std::uint64_t seed = 21)
{
    FillRequest r;
    r.readings = readings;
    r.holders = holders;
    r.options.seed = seed;
    r.options.from = QDate(2026, 11, 1);
    r.options.to = QDate(2026, 11, 30);
    return r;
}

const QRegularExpression kTime(QStringLiteral("^\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}$"));
const QRegularExpression kDotted(QStringLiteral("^\\d{4}\\.\\d{2}\\.\\d{2}$"));

class FillDb : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }
    QTemporaryDir dir;
};

} // namespace

TEST_F(FillDb, DeviceDatabaseHasTheAskedReadingsOfValidCards)
{
    const QString db = path("device.db");
    ASSERT_TRUE(testutil::makeFromScript(db, QStringLiteral("water_list.sql")));
    FillReport report;
    QString error;
    ASSERT_TRUE(fillDeviceDatabase(db, request(300, 60), &report, &error)) << error.toStdString();
    EXPECT_EQ(report.readings, 300);
    EXPECT_EQ(report.holders, 60);
    EXPECT_GT(report.photoBytes, 60 * 10000);

    Sqlite s(db);
    EXPECT_EQ(s.scalar("SELECT count(*) FROM water_list"), 300);
    EXPECT_EQ(s.scalar("SELECT count(DISTINCT ic) FROM water_list"), 60);
    // Every reading of a card repeats the same card fields.
    EXPECT_EQ(s.scalar("SELECT count(*) FROM (SELECT DISTINCT ic, name, sex, nation, birth, addr, "
                       "issue, valid_begin, valid_End, photo FROM water_list)"),
              60);
    EXPECT_EQ(s.scalar("SELECT count(*) FROM (SELECT DISTINCT ic, read_time FROM water_list)"), 300);
    EXPECT_EQ(s.scalar("SELECT count(*) FROM water_list a JOIN water_list b ON b.id = a.id + 1 "
                       "WHERE b.read_time < a.read_time"),
              0)
        << "ids follow reading time, as on the reader";
    EXPECT_GT(s.scalar("SELECT count(*) FROM water_list WHERE read_time LIKE '% 00:00:00'"), 0);
    for (const char *column : {"ic", "name", "sex", "nation", "birth", "addr", "issue",
                               "valid_begin", "valid_End", "read_time"}) {
        const QByteArray sql = "SELECT count(*) FROM water_list WHERE typeof(" + QByteArray(column)
                               + ") <> 'text'";
        EXPECT_EQ(s.scalar(sql.constData()), 0) << column;
    }
    EXPECT_EQ(s.scalar("SELECT count(*) FROM water_list WHERE typeof(photo) <> 'blob'"), 0);

    std::set<QByteArray> nations;
    for (const QString &n : nationNames())
        nations.insert(n.toUtf8());
    for (const auto &row : s.rows("SELECT ic, sex, nation, birth, valid_begin, valid_End, read_time "
                                  "FROM water_list")) {
        const QByteArray &ic = row[0];
        ASSERT_EQ(ic.size(), 18);
        EXPECT_EQ(ic[17], testutil::expectedCheck(ic.left(17))) << ic.constData();
        EXPECT_EQ(QString::fromUtf8(row[1]), (ic[16] - '0') % 2 ? QStringLiteral("男") : QStringLiteral("女"));
        EXPECT_TRUE(nations.count(row[2])) << row[2].constData();
        EXPECT_EQ(QByteArray(row[3]).remove(4, 1).remove(6, 1), ic.mid(6, 8)) << "birth YYYY-MM-DD";
        EXPECT_TRUE(kDotted.match(QString::fromUtf8(row[4])).hasMatch());
        EXPECT_TRUE(row[5] == QStringLiteral("长期").toUtf8() || kDotted.match(QString::fromUtf8(row[5])).hasMatch());
        EXPECT_TRUE(kTime.match(QString::fromUtf8(row[6])).hasMatch()) << row[6].constData();
        EXPECT_GE(row[6], QByteArray("2026-11-01 00:00:00"));
        EXPECT_LE(row[6], QByteArray("2026-11-30 23:59:59"));
    }

    for (const auto &row : s.rows("SELECT DISTINCT photo FROM water_list")) {
        QImage photo;
        ASSERT_TRUE(photo.loadFromData(row[0], "PNG"));
        EXPECT_EQ(photo.size(), QSize(102, 126));
    }
}

TEST_F(FillDb, CreateDeviceDatabaseFromScriptTextReplacesTheFile)
{
    const QString db = path("fresh.db");
    ASSERT_TRUE(testutil::writeFile(db, "old contents"));
    const QByteArray script = testutil::readFile(QStringLiteral(IDCARD_DATA_DIR "/water_list.sql"));
    QString error;
    ASSERT_TRUE(createDeviceDatabase(db, script, request(40, 10), nullptr, &error)) << error.toStdString();
    EXPECT_EQ(Sqlite(db).scalar("SELECT count(*) FROM water_list"), 40);
    EXPECT_FALSE(QFile::exists(db + ".tmp"));

    // A broken script leaves neither a new file nor a temporary one.
    const QString bad = path("bad.db");
    EXPECT_FALSE(createDeviceDatabase(bad, "CREATE TABLE water_list (", request(1, 1), nullptr, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(QFile::exists(bad));
    EXPECT_FALSE(QFile::exists(bad + ".tmp"));
}

TEST_F(FillDb, RecordStoreHasHoldersReadingsAndBmpPhotos)
{
    const QString templ = path("KeepTrackLog.db");
    ASSERT_TRUE(testutil::makeFromScript(templ, QStringLiteral("KeepTrackLog.sql")));
    const QString store = path("store.db");
    FillReport report;
    QString error;
    ASSERT_TRUE(createRecordStore(store, templ, request(200, 50), &report, &error)) << error.toStdString();
    EXPECT_EQ(report.photoBytes, 50 * (54 + 308 * 126));

    Sqlite s(store);
    EXPECT_EQ(s.scalar("SELECT count(*) FROM idcardinfo"), 50);
    EXPECT_EQ(s.scalar("SELECT count(*) FROM idcardwater"), 200);
    EXPECT_EQ(s.scalar("SELECT count(DISTINCT idcardno) FROM idcardwater"), 50);
    EXPECT_EQ(s.scalar("SELECT count(*) FROM idcardwater w JOIN idcardinfo i USING (idcardno)"), 200);
    EXPECT_EQ(s.scalar("SELECT count(*) FROM nation_mes"), 59) << "the template's rows stay";
    EXPECT_EQ(s.scalar("SELECT count(*) FROM idcardinfo i LEFT JOIN nation_mes n USING (nation_no) "
                       "WHERE n.nation IS NULL OR i.nation_no NOT BETWEEN 1 AND 56"),
              0);
    EXPECT_EQ(s.scalar("SELECT count(*) FROM idcardinfo WHERE blackflag <> '否'"), 0);
    EXPECT_EQ(s.scalar("SELECT count(*) FROM idcardwater WHERE readtime < '2026-11-01 00:00:00' "
                       "OR readtime > '2026-11-30 23:59:59' OR length(readtime) <> 19"),
              0);
    EXPECT_EQ(s.scalar("SELECT count(*) FROM (SELECT DISTINCT idcardno, readtime FROM idcardwater)"), 200);

    for (const auto &row : s.rows("SELECT idcardno, born, sex, photo FROM idcardinfo")) {
        const QByteArray &id = row[0];
        ASSERT_EQ(id.size(), 18);
        EXPECT_EQ(id[17], testutil::expectedCheck(id.left(17)));
        EXPECT_EQ(row[1], id.mid(6, 8)) << "born is YYYYMMDD";
        EXPECT_EQ(QString::fromUtf8(row[2]), (id[16] - '0') % 2 ? QStringLiteral("男") : QStringLiteral("女"));
        const QByteArray &bmp = row[3];
        ASSERT_EQ(bmp.size(), 54 + 308 * 126);
        EXPECT_EQ(bmp.left(2), QByteArray("BM"));
        EXPECT_EQ(uchar(bmp[10]), 54);
        EXPECT_EQ(uchar(bmp[14]), 40);
        EXPECT_EQ(uchar(bmp[18]), 102);
        EXPECT_EQ(uchar(bmp[22]), 126);
        EXPECT_EQ(uchar(bmp[28]), 24);
        QImage photo;
        ASSERT_TRUE(photo.loadFromData(bmp, "BMP"));
        EXPECT_EQ(photo.size(), QSize(102, 126));
    }
    EXPECT_FALSE(QFile::exists(store + ".tmp"));
}

TEST_F(FillDb, SameSeedGivesTheSameHoldersInDeviceAndStore)
{
    const QString device = path("device.db");
    const QString templ = path("KeepTrackLog.db");
    const QString store = path("store.db");
    ASSERT_TRUE(testutil::makeFromScript(device, QStringLiteral("water_list.sql")));
    ASSERT_TRUE(testutil::makeFromScript(templ, QStringLiteral("KeepTrackLog.sql")));
    QString error;
    ASSERT_TRUE(fillDeviceDatabase(device, request(100, 20, 5), nullptr, &error));
    ASSERT_TRUE(createRecordStore(store, templ, request(30, 20, 5), nullptr, &error));
    const auto a = Sqlite(device).rows("SELECT DISTINCT ic, name, addr FROM water_list ORDER BY ic");
    const auto b = Sqlite(store).rows("SELECT idcardno, name, address FROM idcardinfo ORDER BY idcardno");
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.size(), 20u);
}

TEST_F(FillDb, FailuresChangeNothing)
{
    const QString templ = path("KeepTrackLog.db");
    ASSERT_TRUE(testutil::makeFromScript(templ, QStringLiteral("KeepTrackLog.sql")));
    const QString store = path("store.db");
    QString error;
    ASSERT_TRUE(createRecordStore(store, templ, request(20, 5), nullptr, &error));

    // Same seed again: the ID numbers are already there, and the whole batch is rolled back.
    EXPECT_FALSE(fillRecordStore(store, request(20, 5), nullptr, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("already"))) << error.toStdString();
    EXPECT_EQ(Sqlite(store).scalar("SELECT count(*) FROM idcardwater"), 20);
    EXPECT_EQ(Sqlite(store).scalar("SELECT count(*) FROM idcardinfo"), 5);
    // Another seed adds cleanly.
    EXPECT_TRUE(fillRecordStore(store, request(20, 5, 99), nullptr, &error)) << error.toStdString();
    EXPECT_EQ(Sqlite(store).scalar("SELECT count(*) FROM idcardinfo"), 10);

    // A missing file is an error, not a new empty database.
    const QString missing = path("missing.db");
    EXPECT_FALSE(fillDeviceDatabase(missing, request(1, 1), nullptr, &error));
    EXPECT_FALSE(QFile::exists(missing));
    EXPECT_FALSE(createRecordStore(path("out.db"), path("no-template.db"), request(1, 1), nullptr, &error));
    EXPECT_FALSE(QFile::exists(path("out.db")));

    // A store is not a device database.
    EXPECT_FALSE(fillDeviceDatabase(templ, request(1, 1), nullptr, &error));
    EXPECT_TRUE(error.contains(QStringLiteral("water_list"))) << error.toStdString();

    // Requests that cannot be met.
    const QString device = path("device.db");
    ASSERT_TRUE(testutil::makeFromScript(device, QStringLiteral("water_list.sql")));
    EXPECT_FALSE(fillDeviceDatabase(device, request(5, 10), nullptr, &error)) << "more holders than readings";
    EXPECT_FALSE(fillDeviceDatabase(device, request(5, 0), nullptr, &error));
    EXPECT_FALSE(fillDeviceDatabase(device, request(-1, 0), nullptr, &error));
    FillRequest oneDay = request(86401, 1);
    oneDay.options.to = oneDay.options.from;
    EXPECT_FALSE(fillDeviceDatabase(device, oneDay, nullptr, &error)) << "not enough distinct seconds";
    EXPECT_EQ(Sqlite(device).scalar("SELECT count(*) FROM water_list"), 0);
    EXPECT_TRUE(fillDeviceDatabase(device, request(0, 0), nullptr, &error)) << "an empty batch is fine";
}
