// The adb simulator, run as the program runs adb: a copy named "adb" in a program folder.
#include "testutil.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const QString kRemote = QStringLiteral("/sdcard/quintara/idcard/db/idcard.db");

class AdbSim : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(root.isValid());
        program = root.filePath(QStringLiteral("program"));
        handheld = program + QStringLiteral("/handheld");
        ASSERT_TRUE(QDir().mkpath(program));
        adb = program + QStringLiteral("/adb");
        ASSERT_TRUE(QFile::copy(QStringLiteral(IDCARD_ADB_SIM), adb));
        ASSERT_TRUE(QFileInfo(adb).isExecutable()) << "the script must keep its execute bit";
        env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("IDCARD_HANDHELD_DIR"));
        // Run from an unrelated folder: the script must find its handheld folder by itself.
        elsewhere = root.filePath(QStringLiteral("elsewhere"));
        ASSERT_TRUE(QDir().mkpath(elsewhere));
    }

    QString deviceFile() const { return handheld + QStringLiteral("/sdcard/quintara/idcard/db/idcard.db"); }

    QByteArray putOnHandheld(int size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            bytes[i] = char(QRandomGenerator::global()->bounded(256));
        EXPECT_TRUE(QDir().mkpath(QFileInfo(deviceFile()).path()));
        EXPECT_TRUE(testutil::writeFile(deviceFile(), bytes));
        return bytes;
    }

    void setSwitch(const char *name, const QByteArray &content = QByteArray())
    {
        ASSERT_TRUE(QDir().mkpath(handheld));
        ASSERT_TRUE(testutil::writeFile(handheld + QLatin1Char('/') + QLatin1String(name), content));
    }
    void clearSwitch(const char *name) { QFile::remove(handheld + QLatin1Char('/') + QLatin1String(name)); }

    testutil::Run adbRun(const QStringList &args) { return testutil::run(adb, args, env, elsewhere); }
    QString local(const char *name) const { return root.filePath(QString::fromLatin1(name)); }

    QStringList dbFolder() const
    {
        return QDir(QFileInfo(deviceFile()).path()).entryList(QDir::Files | QDir::Hidden);
    }

    QTemporaryDir root;
    QString program, handheld, adb, elsewhere;
    QProcessEnvironment env;
};

} // namespace

TEST_F(AdbSim, PullCopiesTheDeviceFile)
{
    const QByteArray bytes = putOnHandheld(300001);
    const auto r = adbRun({QStringLiteral("pull"), kRemote, local("pulled.db")});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(testutil::readFile(local("pulled.db")), bytes);
    EXPECT_TRUE(r.out.startsWith(kRemote.toUtf8() + ": 1 file pulled, 0 skipped.")) << r.out.constData();
    EXPECT_TRUE(r.out.contains("(300001 bytes in ")) << r.out.constData();

    // Into a folder, under the remote file's name, as adb does.
    const auto intoDir = adbRun({QStringLiteral("pull"), kRemote, root.path()});
    EXPECT_EQ(intoDir.exitCode, 0);
    EXPECT_EQ(testutil::readFile(root.filePath(QStringLiteral("idcard.db"))), bytes);
}

TEST_F(AdbSim, PullFailures)
{
    // Nothing on the handheld yet.
    auto r = adbRun({QStringLiteral("pull"), kRemote, local("a.db")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("adb: error: failed to stat remote object '" + kRemote.toUtf8()
                               + "': No such file or directory"))
        << r.err.constData();
    EXPECT_FALSE(QFile::exists(local("a.db")));

    const QByteArray bytes = putOnHandheld(10000);
    setSwitch("no-device");
    r = adbRun({QStringLiteral("pull"), kRemote, local("b.db")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("no devices/emulators found")) << r.err.constData();
    EXPECT_FALSE(QFile::exists(local("b.db")));
    clearSwitch("no-device");

    // A broken transfer leaves the start of the file behind and says so.
    setSwitch("break-pull");
    r = adbRun({QStringLiteral("pull"), kRemote, local("c.db")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.startsWith("adb: error: failed to read")) << r.err.constData();
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_EQ(testutil::readFile(local("c.db")), bytes.left(5000));
    // Aimed at the -wal, it leaves the database alone.
    setSwitch("break-pull", "-wal\n");
    r = adbRun({QStringLiteral("pull"), kRemote, local("c.db")});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    clearSwitch("break-pull");

    // Paths that leave the handheld folder are refused.
    ASSERT_TRUE(testutil::writeFile(root.filePath(QStringLiteral("program/secret")), "x"));
    r = adbRun({QStringLiteral("pull"), QStringLiteral("/../secret"), local("d.db")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(QFile::exists(local("d.db")));
    r = adbRun({QStringLiteral("pull")});
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(AdbSim, PushReplacesTheDeviceFileWhole)
{
    ASSERT_TRUE(testutil::writeFile(local("empty.db"), "fresh empty database"));
    // The folders are made on first push, like on a fresh handheld.
    auto r = adbRun({QStringLiteral("push"), local("empty.db"), kRemote});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_TRUE(r.out.contains("1 file pushed, 0 skipped.")) << r.out.constData();
    EXPECT_EQ(testutil::readFile(deviceFile()), QByteArray("fresh empty database"));

    putOnHandheld(5000);
    r = adbRun({QStringLiteral("push"), local("empty.db"), kRemote});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(testutil::readFile(deviceFile()), QByteArray("fresh empty database"));
    EXPECT_EQ(dbFolder(), QStringList{QStringLiteral("idcard.db")}) << "no temporary files left";
}

TEST_F(AdbSim, PushFailuresLeaveTheHandheldUnchanged)
{
    const QByteArray bytes = putOnHandheld(20000);
    ASSERT_TRUE(testutil::writeFile(local("empty.db"), "replacement"));

    setSwitch("fail-push");
    auto r = adbRun({QStringLiteral("push"), local("empty.db"), kRemote});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.startsWith("adb: error: failed to copy")) << r.err.constData();
    EXPECT_EQ(testutil::readFile(deviceFile()), bytes);
    EXPECT_EQ(dbFolder(), QStringList{QStringLiteral("idcard.db")});
    clearSwitch("fail-push");

    setSwitch("no-device");
    r = adbRun({QStringLiteral("push"), local("empty.db"), kRemote});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("no devices/emulators found"));
    EXPECT_EQ(testutil::readFile(deviceFile()), bytes);
    clearSwitch("no-device");

    r = adbRun({QStringLiteral("push"), local("missing.db"), kRemote});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("adb: error: cannot stat '" + local("missing.db").toUtf8()
                               + "': No such file or directory"))
        << r.err.constData();
    EXPECT_EQ(testutil::readFile(deviceFile()), bytes);
}

TEST_F(AdbSim, SlowTransfersTakeTheirTime)
{
    const QByteArray bytes = putOnHandheld(4000);
    setSwitch("slow", "0.6\n");
    auto r = adbRun({QStringLiteral("pull"), kRemote, local("slow.db")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_GE(r.ms, 550);
    EXPECT_EQ(testutil::readFile(local("slow.db")), bytes);

    ASSERT_TRUE(testutil::writeFile(local("empty.db"), "e"));
    r = adbRun({QStringLiteral("push"), local("empty.db"), kRemote});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_GE(r.ms, 550);
    EXPECT_EQ(testutil::readFile(deviceFile()), QByteArray("e"));

    // Content that is not a number is ignored rather than breaking the transfer.
    setSwitch("slow", "soon");
    r = adbRun({QStringLiteral("pull"), kRemote, local("slow2.db")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_LT(r.ms, 550);
}

TEST_F(AdbSim, CancelledSlowTransfersStopAtOnceAndLeaveNoHalfFileOnTheHandheld)
{
    const QByteArray bytes = putOnHandheld(4000);
    ASSERT_TRUE(testutil::writeFile(local("empty.db"), "e"));
    setSwitch("slow", "30");
    for (const QStringList &args : {QStringList{QStringLiteral("push"), local("empty.db"), kRemote},
                                    QStringList{QStringLiteral("pull"), kRemote, local("p.db")}}) {
        SCOPED_TRACE(args.first().toStdString());
        QProcess p;
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(elsewhere);
        p.start(adb, args);
        ASSERT_TRUE(p.waitForStarted());
        QThread::msleep(500);
        QElapsedTimer timer;
        timer.start();
        p.terminate();
        ASSERT_TRUE(p.waitForFinished(5000));
        EXPECT_LT(timer.elapsed(), 3000);
        EXPECT_NE(p.exitCode(), 0);
        EXPECT_EQ(testutil::readFile(deviceFile()), bytes);
        EXPECT_EQ(dbFolder(), QStringList{QStringLiteral("idcard.db")});
    }
}

TEST_F(AdbSim, OtherCommandsAndDeviceList)
{
    auto r = adbRun({QStringLiteral("devices")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.contains("List of devices attached\nSIM0001\tdevice\n")) << r.out.constData();
    setSwitch("no-device");
    r = adbRun({QStringLiteral("devices")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_FALSE(r.out.contains("SIM0001"));
    r = adbRun({QStringLiteral("get-state")});
    EXPECT_EQ(r.exitCode, 1);
    clearSwitch("no-device");
    r = adbRun({QStringLiteral("version")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.startsWith("Android Debug Bridge version"));
    r = adbRun({QStringLiteral("frobnicate")});
    EXPECT_EQ(r.exitCode, 1);
}

TEST_F(AdbSim, ShellHashesHandheldFiles)
{
    const QByteArray bytes = putOnHandheld(70001);
    const QByteArray sha1 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha1).toHex();
    const QByteArray md5 = QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
    // As separate arguments or as one command line, as adb passes both on to the shell.
    auto r = adbRun({QStringLiteral("shell"), QStringLiteral("sha1sum"), kRemote});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(r.out, sha1 + "  " + kRemote.toUtf8() + "\n");
    r = adbRun({QStringLiteral("shell"), QStringLiteral("md5sum ") + kRemote});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(r.out, md5 + "  " + kRemote.toUtf8() + "\n");

    r = adbRun({QStringLiteral("shell"), QStringLiteral("sha1sum"), QStringLiteral("/sdcard/none.db")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_TRUE(r.err.contains("No such file or directory")) << r.err.constData();
    r = adbRun({QStringLiteral("shell"), QStringLiteral("sha1sum"), QStringLiteral("/sdcard/../etc/passwd")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.out.isEmpty());

    // A handheld without the commands, and commands no handheld has here.
    setSwitch("no-hash");
    r = adbRun({QStringLiteral("shell"), QStringLiteral("sha1sum"), kRemote});
    EXPECT_EQ(r.exitCode, 127);
    EXPECT_TRUE(r.out.isEmpty());
    EXPECT_TRUE(r.err.contains("sha1sum: inaccessible or not found")) << r.err.constData();
    clearSwitch("no-hash");
    r = adbRun({QStringLiteral("shell"), QStringLiteral("cat"), kRemote});
    EXPECT_EQ(r.exitCode, 127);
    EXPECT_TRUE(r.out.isEmpty());

    // Several files, one of them missing: the others' hashes, the missing one named, status 1.
    r = adbRun({QStringLiteral("shell"), QStringLiteral("sha1sum"), kRemote, kRemote + QStringLiteral("-wal")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, sha1 + "  " + kRemote.toUtf8() + "\n");
    EXPECT_TRUE(r.err.contains("sha1sum: " + kRemote.toUtf8() + "-wal: No such file or directory")) << r.err.constData();
    setSwitch("no-device");
    r = adbRun({QStringLiteral("shell"), QStringLiteral("sha1sum"), kRemote});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("no devices/emulators found")) << r.err.constData();
}

TEST_F(AdbSim, ShellLineOfSeveralCommandsWithStatAndClock)
{
    const QByteArray bytes = putOnHandheld(5000);
    const QByteArray md5 = QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
    const QString wal = kRemote + QStringLiteral("-wal");
    auto r = adbRun({QStringLiteral("shell"), QStringLiteral("date +%s; stat -c %i:%s:%Y:%n %1 %2; md5sum %1").arg(kRemote, wal)});
    // The commands in turn; the status is the last one's, though stat found no -wal.
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    const QList<QByteArray> out = r.out.split('\n');
    ASSERT_EQ(out.size(), 4) << r.out.constData();
    EXPECT_LE(qAbs(out[0].toLongLong() - QDateTime::currentSecsSinceEpoch()), 5);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(deviceFile()).constData(), &st), 0);
    EXPECT_EQ(out[1], QStringLiteral("%1:5000:%2:%3").arg(st.st_ino).arg(qint64(st.st_mtime)).arg(kRemote).toUtf8());
    EXPECT_EQ(out[2], md5 + "  " + kRemote.toUtf8());
    EXPECT_EQ(r.err, "stat: " + wal.toUtf8() + ": No such file or directory\n");

    setSwitch("no-stat");
    r = adbRun({QStringLiteral("shell"), QStringLiteral("stat -c %s ") + kRemote + QStringLiteral(";date +%s")});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.contains("stat: inaccessible or not found")) << r.err.constData();
    r = adbRun({QStringLiteral("shell"), QStringLiteral("date +%s; stat -c %s ") + kRemote});
    EXPECT_EQ(r.exitCode, 127);
    // Each call is logged when it ends as well as when it starts.
    EXPECT_EQ(testutil::readFile(handheld + QStringLiteral("/ended.log")).count('\n'), 3);
}

TEST_F(AdbSim, ShellRmRemovesHandheldFiles)
{
    const QByteArray bytes = putOnHandheld(1000);
    const QString wal = deviceFile() + QStringLiteral("-wal");
    ASSERT_TRUE(testutil::writeFile(wal, "frames"));
    ASSERT_TRUE(testutil::writeFile(deviceFile() + QStringLiteral("-shm"), "index"));
    // With -f a missing file is no error; without it, it is.
    auto r = adbRun({QStringLiteral("shell"), QStringLiteral("rm"), QStringLiteral("-f"), kRemote + QStringLiteral("-wal"),
                     kRemote + QStringLiteral("-shm"), QStringLiteral("/sdcard/none")});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(dbFolder(), QStringList{QStringLiteral("idcard.db")});
    EXPECT_EQ(testutil::readFile(deviceFile()), bytes);
    r = adbRun({QStringLiteral("shell"), QStringLiteral("rm ") + kRemote + QStringLiteral("-wal")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("rm: " + kRemote.toUtf8() + "-wal: No such file or directory")) << r.err.constData();

    ASSERT_TRUE(testutil::writeFile(wal, "frames"));
    setSwitch("no-rm");
    r = adbRun({QStringLiteral("shell"), QStringLiteral("rm"), QStringLiteral("-f"), kRemote + QStringLiteral("-wal")});
    EXPECT_EQ(r.exitCode, 127);
    EXPECT_TRUE(r.err.contains("rm: inaccessible or not found")) << r.err.constData();
    EXPECT_TRUE(QFile::exists(wal));
}

TEST_F(AdbSim, CallsLogRecordsEveryInvocation)
{
    putOnHandheld(100);
    adbRun({QStringLiteral("devices")});
    adbRun({QStringLiteral("pull"), kRemote, local("x.db")});
    setSwitch("no-device");
    adbRun({QStringLiteral("push"), local("x.db"), kRemote});
    const QString log = QString::fromUtf8(testutil::readFile(handheld + QStringLiteral("/calls.log")));
    EXPECT_EQ(log, QStringLiteral("devices\npull %1 %2\npush %2 %1\n").arg(kRemote, local("x.db")));
}

TEST_F(AdbSim, HandheldFolderFromTheEnvironment)
{
    QTemporaryDir other;
    ASSERT_TRUE(other.isValid());
    env.insert(QStringLiteral("IDCARD_HANDHELD_DIR"), other.path());
    ASSERT_TRUE(QDir().mkpath(other.path() + QStringLiteral("/sdcard/quintara/idcard/db")));
    ASSERT_TRUE(testutil::writeFile(other.path() + QStringLiteral("/sdcard/quintara/idcard/db/idcard.db"), "elsewhere"));
    const auto r = adbRun({QStringLiteral("pull"), kRemote, local("env.db")});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(testutil::readFile(local("env.db")), QByteArray("elsewhere"));
    EXPECT_TRUE(QFile::exists(other.path() + QStringLiteral("/calls.log")));
    EXPECT_FALSE(QFile::exists(handheld + QStringLiteral("/calls.log")));
}
