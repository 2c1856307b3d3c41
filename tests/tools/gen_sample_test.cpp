#include "testutil.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using testutil::Sqlite;

namespace {

testutil::Run genSample(const QStringList &args)
{
    return testutil::run(QStringLiteral(IDCARD_GEN_SAMPLE), args);
}

} // namespace

TEST(GenSample, WritesFilesAndPrintsOnlyCounts)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString device = dir.filePath(QStringLiteral("device.db"));
    auto r = genSample({QStringLiteral("device"), device, QStringLiteral("--readings"),
                        QStringLiteral("120"), QStringLiteral("--holders"), QStringLiteral("30"),
                        QStringLiteral("--seed"), QStringLiteral("4"), QStringLiteral("--rare-chars"),
                        QStringLiteral("--script"), QStringLiteral(IDCARD_DATA_DIR "/water_list.sql"),
                        QStringLiteral("--from"), QStringLiteral("2026-06-01"),
                        QStringLiteral("--to"), QStringLiteral("2026-06-30")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_TRUE(r.out.contains("120 readings, 30 holders")) << r.out.constData();

    const QString templ = dir.filePath(QStringLiteral("KeepTrackLog.db"));
    ASSERT_TRUE(testutil::makeFromScript(templ, QStringLiteral("KeepTrackLog.sql")));
    const QString store = dir.filePath(QStringLiteral("store.db"));
    auto s = genSample({QStringLiteral("store"), store, QStringLiteral("--template"), templ,
                        QStringLiteral("--readings"), QStringLiteral("50"),
                        QStringLiteral("--holders"), QStringLiteral("10")});
    ASSERT_EQ(s.exitCode, 0) << s.err.constData();
    EXPECT_TRUE(s.out.contains("50 readings, 10 holders")) << s.out.constData();
    EXPECT_EQ(Sqlite(store).scalar("SELECT count(*) FROM idcardwater"), 50);

    // Neither names, ID numbers, addresses nor issuers reach the console.
    const QByteArray console = r.out + r.err + s.out + s.err;
    Sqlite db(device);
    EXPECT_EQ(db.scalar("SELECT count(*) FROM water_list WHERE read_time BETWEEN '2026-06-01' AND '2026-06-30 23:59:59'"), 120);
    for (const auto &row : db.rows("SELECT DISTINCT ic, name, addr, issue FROM water_list")) {
        for (const QByteArray &field : row)
            EXPECT_FALSE(console.contains(field)) << "console shows a holder field";
        EXPECT_FALSE(console.contains(row[0].left(6))) << "not even a region code";
    }
    for (const auto &row : Sqlite(store).rows("SELECT idcardno, name FROM idcardinfo"))
        EXPECT_FALSE(console.contains(row[0]) || console.contains(row[1]));
}

TEST(GenSample, BadArgumentsFailWithoutWritingAFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString out = dir.filePath(QStringLiteral("x.db"));
    const QString script = QStringLiteral(IDCARD_DATA_DIR "/water_list.sql");
    const QList<QStringList> bad = {
        {},
        {QStringLiteral("phone"), out, QStringLiteral("--readings"), QStringLiteral("1"), QStringLiteral("--holders"), QStringLiteral("1")},
        {QStringLiteral("device"), out, QStringLiteral("--readings"), QStringLiteral("1")},
        {QStringLiteral("device"), out, QStringLiteral("--readings"), QStringLiteral("x1"), QStringLiteral("--holders"), QStringLiteral("1")},
        {QStringLiteral("device"), out, QStringLiteral("--readings"), QStringLiteral("-3"), QStringLiteral("--holders"), QStringLiteral("1")},
        {QStringLiteral("device"), out, QStringLiteral("--readings"), QStringLiteral("3"), QStringLiteral("--holders"), QStringLiteral("5"), QStringLiteral("--script"), script},
        {QStringLiteral("device"), out, QStringLiteral("--readings"), QStringLiteral("3"), QStringLiteral("--holders"), QStringLiteral("1"), QStringLiteral("--from"), QStringLiteral("2026-02-30"), QStringLiteral("--script"), script},
        {QStringLiteral("device"), out, QStringLiteral("--readings"), QStringLiteral("3"), QStringLiteral("--holders"), QStringLiteral("1"), QStringLiteral("--from"), QStringLiteral("2026-05-01"), QStringLiteral("--to"), QStringLiteral("2026-04-01"), QStringLiteral("--script"), script},
        {QStringLiteral("store"), out, QStringLiteral("--readings"), QStringLiteral("3"), QStringLiteral("--holders"), QStringLiteral("1"), QStringLiteral("--template"), dir.filePath(QStringLiteral("none.db"))},
        {QStringLiteral("device"), out, QStringLiteral("--readings"), QStringLiteral("3"), QStringLiteral("--holders"), QStringLiteral("1"), QStringLiteral("--bogus")},
    };
    for (const QStringList &args : bad) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        const auto r = genSample(args);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_TRUE(r.err.startsWith("gen_sample: ")) << r.err.constData();
        EXPECT_FALSE(QFile::exists(out));
        EXPECT_FALSE(QFile::exists(out + ".tmp"));
    }

    const auto help = genSample({QStringLiteral("--help")});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.contains("gen_sample device OUT.db"));
    EXPECT_TRUE(help.out.contains("--rare-chars"));
}
