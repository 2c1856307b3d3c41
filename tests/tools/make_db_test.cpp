#include "testutil.h"

#include <QDir>
#include <QTemporaryDir>

#include <sys/stat.h>

#include <gtest/gtest.h>

using testutil::Sqlite;

namespace {

class MakeDb : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }
    QString path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }
    testutil::Run makeDb(const QString &out, const QString &script)
    {
        return testutil::run(QStringLiteral(IDCARD_MAKE_DB), {out, script});
    }
    QTemporaryDir dir;
};

} // namespace

TEST_F(MakeDb, BuildsBothProgramDatabases)
{
    const QString store = path("KeepTrackLog.db");
    auto r = makeDb(store, QStringLiteral(IDCARD_DATA_DIR "/KeepTrackLog.sql"));
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    {
        Sqlite s(store);
        EXPECT_EQ(s.scalar("SELECT count(*) FROM nation_mes WHERE nation_no BETWEEN 1 AND 56"), 56);
        EXPECT_EQ(s.scalar("SELECT nation_no FROM nation_mes WHERE nation = '维吾尔'"), 5);
        EXPECT_EQ(s.scalar("PRAGMA page_size"), 16384);
        EXPECT_EQ(s.scalar("PRAGMA user_version"), 1);
        EXPECT_EQ(s.scalar("SELECT count(*) FROM sqlite_master WHERE type = 'index' "
                           "AND name LIKE 'idcard%'"),
                  4);
    }

    const QString empty = path("empty.db");
    r = makeDb(empty, QStringLiteral(IDCARD_DATA_DIR "/water_list.sql"));
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(Sqlite(empty).scalar("SELECT count(*) FROM water_list"), 0);
    EXPECT_FALSE(QFile::exists(empty + ".tmp"));
}

TEST_F(MakeDb, PrivateDatabaseIsOwnerOnlyFromTheStart)
{
    // The record store holds names, ID numbers and photos: nobody else may read it.
    const QString store = path("KeepTrackLog.db");
    auto r = testutil::run(QStringLiteral(IDCARD_MAKE_DB), {QStringLiteral("--private"), store,
                                                            QStringLiteral(IDCARD_DATA_DIR "/KeepTrackLog.sql")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(store).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Sqlite(store).scalar("SELECT count(*) FROM nation_mes WHERE nation_no BETWEEN 1 AND 56"), 56);

    // The store the build lays out is made the same way.
    ASSERT_EQ(::stat(IDCARD_PROGRAM_DIR "/database/KeepTrackLog.db", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(MakeDb, ReplacesAnExistingFile)
{
    const QString out = path("out.db");
    ASSERT_TRUE(testutil::writeFile(out, "not a database"));
    const QString script = path("s.sql");
    ASSERT_TRUE(testutil::writeFile(script, "CREATE TABLE t (x); INSERT INTO t VALUES (7);"));
    const auto r = makeDb(out, script);
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(Sqlite(out).scalar("SELECT x FROM t"), 7);
}

TEST_F(MakeDb, FailuresLeaveNoDatabase)
{
    const QString out = path("out.db");
    const QString script = path("bad.sql");
    struct Case
    {
        const char *name;
        QByteArray sql;
    };
    const Case cases[] = {
        {"syntax error in the middle", "CREATE TABLE a (x); CREATE TABLEX b (y); CREATE TABLE c (z);"},
        {"constraint violation", "CREATE TABLE a (x UNIQUE); INSERT INTO a VALUES (1), (1);"},
        {"transaction left open", "BEGIN; CREATE TABLE a (x);"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        // A stale output from an earlier run must not survive a failed one.
        ASSERT_TRUE(testutil::writeFile(out, "stale"));
        ASSERT_TRUE(testutil::writeFile(script, c.sql));
        const auto r = makeDb(out, script);
        EXPECT_NE(r.exitCode, 0);
        EXPECT_TRUE(r.err.startsWith("make_db: ")) << r.err.constData();
        EXPECT_FALSE(QFile::exists(out));
        EXPECT_FALSE(QFile::exists(out + ".tmp"));
        EXPECT_FALSE(QFile::exists(out + ".tmp-journal"));
    }

    const auto missing = makeDb(out, path("no-such.sql"));
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_TRUE(missing.err.contains("no-such.sql"));
    EXPECT_FALSE(QFile::exists(out));

    const auto usage = testutil::run(QStringLiteral(IDCARD_MAKE_DB), {out});
    EXPECT_NE(usage.exitCode, 0);
    EXPECT_TRUE(usage.err.contains("usage"));
}

TEST_F(MakeDb, UpgradeStepsRunInOrderUpToTheVersionAsked)
{
    // Steps 2 and 3 after the version-1 script; a file of another name is no step.
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("steps")));
    ASSERT_TRUE(testutil::writeFile(path("base.sql"), "CREATE TABLE a (x); PRAGMA user_version = 1;"));
    ASSERT_TRUE(testutil::writeFile(path("steps/0002.sql"), "CREATE TABLE b (x);"));
    ASSERT_TRUE(testutil::writeFile(path("steps/0003.sql"), "INSERT INTO b VALUES (3);"));
    ASSERT_TRUE(testutil::writeFile(path("steps/notes.sql"), "this is no SQL"));
    const QString out = path("out.db");
    struct Case
    {
        const char *name;
        QStringList version;
        const char *addedStep; // written before the run
        int made;              // the version made; 0: none
        const char *failure;
    };
    const Case cases[] = {
        {"every step", {}, nullptr, 3, ""}, // step 3 needs step 2's table
        {"stop at 2", {"--version", "2"}, nullptr, 2, ""},
        {"beyond the last step", {"--version", "4"}, nullptr, 0, "cannot make version 4"},
        {"a gap", {}, "steps/0005.sql", 0, "no upgrade step to version 4"},
        {"a step that commits by itself", {}, "steps/0004.sql", 0, "ends the transaction itself"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.addedStep)
            ASSERT_TRUE(testutil::writeFile(path(c.addedStep), "CREATE TABLE d (x); COMMIT;"));
        const auto r = testutil::run(QStringLiteral(IDCARD_MAKE_DB), c.version + QStringList{out, path("base.sql"), path("steps")});
        EXPECT_TRUE(r.err.contains(c.failure)) << r.err.constData();
        EXPECT_EQ(QFile::exists(out), c.made != 0);
        if (c.made != 0)
            EXPECT_EQ(Sqlite(out).scalar("PRAGMA user_version"), c.made);
    }
}
