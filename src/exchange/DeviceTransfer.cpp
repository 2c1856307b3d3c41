#include "DeviceTransfer.h"

#include "GrowingFileHash.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

class QtRunningProcess : public RunningProcess {
public:
    QtRunningProcess(const QString& program, const QStringList& arguments)
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setStandardInputFile(QProcess::nullDevice());
#ifdef Q_OS_UNIX
        // What adb writes is a copy of the handheld's readings: nobody but the operator may read it.
        m_process.setChildProcessModifier([] { ::umask(077); });
#endif
        m_process.start(program, arguments, QIODevice::ReadOnly);
        m_started = m_process.waitForStarted(10000);
        if (!m_started)
            m_startError = m_process.errorString();
    }
    ~QtRunningProcess() override { stop(); }

    ProcessResult Finish(int timeoutMs, OperationProgress* progress) override
    {
        ProcessResult result;
        if (!m_started) {
            result.errorText = m_startError;
            return result;
        }
        result.started = true;
        QEventLoop loop;
        QObject::connect(&m_process, &QProcess::finished, &loop, &QEventLoop::quit);
        QTimer poll;
        poll.setInterval(50);
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (progress && progress->Cancelled()) {
                result.cancelled = true;
                loop.quit();
            }
        });
        QTimer deadline;
        deadline.setSingleShot(true);
        QObject::connect(&deadline, &QTimer::timeout, &loop, [&] {
            result.timedOut = true;
            loop.quit();
        });
        poll.start();
        deadline.start(timeoutMs);
        if (m_process.state() != QProcess::NotRunning)
            loop.exec();
        stop();
        result.exitedNormally = !result.timedOut && !result.cancelled && m_process.exitStatus() == QProcess::NormalExit;
        result.exitCode = m_process.exitCode();
        result.output = m_process.readAll();
        if (!result.Succeeded())
            result.errorText = QString::fromLocal8Bit(result.output).trimmed();
        return result;
    }

private:
    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QProcess m_process;
    bool m_started = false;
    QString m_startError;
};

} // namespace

std::unique_ptr<RunningProcess> QtProcessRunner::Start(const QString& program, const QStringList& arguments)
{
    return std::make_unique<QtRunningProcess>(program, arguments);
}

ProcessResult QtProcessRunner::Run(const QString& program, const QStringList& arguments, int timeoutMs, OperationProgress* progress)
{
    return Start(program, arguments)->Finish(timeoutMs, progress);
}

namespace {

QByteArray walOf(const QByteArray& remote) { return remote + "-wal"; }
QByteArray shmOf(const QByteArray& remote) { return remote + "-shm"; }

// Deletes files on a thread of its own while the program goes on; waited for only by the next
// deletion, the next pull, or the program's end.
class LaterRemoval {
public:
    static LaterRemoval& Instance()
    {
        static LaterRemoval removal;
        return removal;
    }
    ~LaterRemoval() { Wait(); }

    void Remove(const QStringList& files)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_thread.joinable())
            m_thread.join();
        // Names taken now: the thread may outlive the application object.
        std::vector<QByteArray> names;
        for (const QString& file : files)
            names.push_back(QFile::encodeName(file));
        m_thread = std::thread([names = std::move(names)] {
            for (const QByteArray& name : names)
                std::remove(name.constData());
        });
    }
    void Wait()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::thread m_thread;
};

// The lines of an answer, without line ends and blanks around them.
QList<QByteArray> lines(const QByteArray& output)
{
    QList<QByteArray> out;
    for (const QByteArray& line : output.split('\n'))
        out << line.trimmed();
    return out;
}

// What the one line of an answer that read() takes gives; empty when no line or several do.
template <typename Read>
QByteArray onlyAnswer(const QByteArray& output, Read read)
{
    QByteArray found;
    int answers = 0;
    for (const QByteArray& line : lines(output)) {
        const QByteArray value = read(line);
        if (value.isEmpty())
            continue;
        found = value;
        ++answers;
    }
    return answers == 1 ? found : QByteArray();
}

// Whether a text is made of the digits 0 to 9 alone, or of hex digits too.
bool digitsOnly(const QByteArray& text, bool hex)
{
    bool ok = !text.isEmpty();
    for (char c : text)
        ok = ok && ((c >= '0' && c <= '9') || (hex && c >= 'a' && c <= 'f'));
    return ok;
}

} // namespace

DeviceTransfer::DeviceTransfer(QString programFolder, ProcessRunner& runner, OperationProgress* progress)
    : m_folder(std::move(programFolder)), m_runner(runner), m_progress(progress)
{
}

DeviceTransfer::~DeviceTransfer()
{
    if (!m_aside.isEmpty())
        LaterRemoval::Instance().Remove(m_aside);
}

bool DeviceTransfer::RemoveCopy(const QString& localPath)
{
    bool gone = true;
    for (const QString& file : {localPath, localPath + QStringLiteral("-wal"), localPath + QStringLiteral("-shm")})
        gone = (!QFile::exists(file) || QFile::remove(file)) && gone;
    return gone;
}

bool DeviceTransfer::PullSaysMissing(const QByteArray& output, const QByteArray& remote)
{
    // adb's own words for a handheld file that is not there, in its two wordings; a refusal, a lost
    // connection or anything else is a failure, never an absence.
    const QByteArray quoted = '\'' + remote + '\'';
    const QByteArray missing[] = {"remote object " + quoted + " does not exist",
                                  "failed to stat remote object " + quoted + ": No such file or directory"};
    for (const QByteArray& line : lines(output))
        for (const QByteArray& text : missing)
            if (line == text || line == "adb: error: " + text)
                return true;
    return false;
}

DeviceTransfer::Pulled DeviceTransfer::pullFile(const QByteArray& remote, const QString& partial, QByteArray* md5, bool mayBeMissing)
{
    QFile::remove(partial);
    // The copy is hashed as it arrives, on another core, while adb waits on the handheld.
    GrowingFileMd5 hash(partial);
    m_last = m_runner.Run(AdbPath(), {QStringLiteral("pull"), QString::fromLatin1(remote), QDir::toNativeSeparators(partial)},
                          m_timeoutMs, m_progress);
    if (!m_last.Succeeded()) {
        const bool missing = mayBeMissing && m_last.started && m_last.exitedNormally && m_last.exitCode == 1
            && !QFile::exists(partial) && PullSaysMissing(m_last.output, remote);
        QFile::remove(partial);
        return missing ? Pulled::Missing : Pulled::Failed;
    }
    // The mode is set again in case the copy came out with the handheld's own.
    if (!QFile::exists(partial) || !QFile::setPermissions(partial, QFile::ReadOwner | QFile::WriteOwner))
        return Pulled::Failed;
    *md5 = hash.Finish();
    return md5->isEmpty() ? Pulled::Failed : Pulled::Copied;
}

int DeviceTransfer::PullDeviceDb(const QString& localPath)
{
    m_last = ProcessResult();
    m_copy = DeviceCopy();
    // Deleting an earlier copy of a few hundred megabytes takes a good part of a second of the
    // disk's and the processor's time, and slows what runs beside it: it is moved aside at once
    // and deleted when the command has ended. A -wal or -shm of it would be read with the new
    // copy, so they go first.
    const QString aside = localPath + QStringLiteral(".old");
    LaterRemoval::Instance().Wait();
    QFile::remove(aside); // left by a program that ended meanwhile
    if (QFile::exists(localPath) && QFile::rename(localPath, aside))
        m_aside << aside;
    if (!RemoveCopy(localPath))
        return -1;
    // adb writes into names of their own; only finished, successful copies get the real names.
    const QString wal = localPath + QStringLiteral("-wal");
    const QString dbPart = localPath + QStringLiteral(".part");
    const QString walPart = wal + QStringLiteral(".part");
    DeviceCopy copy;
    copy.path = localPath;
    if (m_progress)
        m_progress->Begin(QStringLiteral("正在从手持机读取数据…"));
    // The database first: while the handheld writes, only its -wal grows, so a -wal copied after
    // the database holds all that the copy lacks (unless a checkpoint came between, which the
    // check before clearing sees).
    const Pulled db = pullFile(kDevicePath, dbPart, &copy.dbMd5, false);
    Pulled walPulled = Pulled::Failed;
    if (db == Pulled::Copied)
        walPulled = pullFile(walOf(kDevicePath), walPart, &copy.walMd5, true);
    if (m_progress)
        m_progress->End();
    copy.hasWal = walPulled == Pulled::Copied;
    if (db != Pulled::Copied || walPulled == Pulled::Failed || (copy.hasWal && !QFile::rename(walPart, wal))
        || !QFile::rename(dbPart, localPath)) {
        QFile::remove(dbPart);
        QFile::remove(walPart);
        RemoveCopy(localPath);
        return -1;
    }
    m_copy = copy;
    return 0;
}

bool DeviceTransfer::remoteMissing(const QByteArray& remote, const QString& scratch)
{
    QByteArray unused;
    const Pulled pulled = pullFile(remote, scratch, &unused, true);
    QFile::remove(scratch);
    return pulled == Pulled::Missing;
}

int DeviceTransfer::PushDeviceDb(const QString& localPath)
{
    m_last = ProcessResult();
    if (!QFile::exists(localPath))
        return -1;
    if (m_progress)
        m_progress->Begin(QStringLiteral("正在清除手持机内流水记录…"));
    // A -wal left beside the new database would be replayed onto it the next time the handheld
    // opens it. So the -wal and -shm go first, and the database is pushed only when a pull of each
    // says it is not there: the handheld's shell may lack rm, and an older adb does not pass its
    // exit code on.
    const QString scratch = localPath + QStringLiteral(".check");
    m_last = m_runner.Run(AdbPath(), {QStringLiteral("shell"), QStringLiteral("rm"), QStringLiteral("-f"), QString::fromLatin1(walOf(kDevicePath)),
                                      QString::fromLatin1(shmOf(kDevicePath))},
                          m_timeoutMs, m_progress);
    bool ok = !m_last.cancelled && !m_last.timedOut && remoteMissing(walOf(kDevicePath), scratch)
        && remoteMissing(shmOf(kDevicePath), scratch);
    if (ok) {
        m_last = m_runner.Run(AdbPath(), {QStringLiteral("push"), QDir::toNativeSeparators(localPath), QString::fromLatin1(kDevicePath)},
                              m_timeoutMs, m_progress);
        ok = m_last.Succeeded();
    }
    if (m_progress)
        m_progress->End();
    return ok ? 0 : -1;
}

QByteArray DeviceTransfer::Md5FromAnswer(const QByteArray& output, const QByteArray& remote)
{
    // "<32 hex digits>  <path>"; anything else there (a shell's "not found", adb's own notes) is
    // no answer.
    return onlyAnswer(output, [&](const QByteArray& line) {
        const int gap = line.indexOf(' ');
        const QByteArray hash = line.left(32).toLower();
        return gap == 32 && line.mid(gap).trimmed() == remote && digitsOnly(hash, true) ? hash : QByteArray();
    });
}

bool DeviceTransfer::AnswerSaysMissing(const QByteArray& output, const QByteArray& remote)
{
    // "md5sum: <path>: No such file or directory", and no hash of it besides.
    bool missing = false;
    for (const QByteArray& line : lines(output)) {
        if (line == "md5sum: " + remote + ": No such file or directory")
            missing = true;
        else if (line.endsWith(' ' + remote))
            return false;
    }
    return missing;
}

namespace {

// inode:size:seconds:path. The inode tells a file put in its place, the size and time a write.
const char* const kStatFormat = "%i:%s:%Y:%n";

// The whole-second time of change in a state line.
qint64 secondsOf(const QByteArray& state) { return state.split(':').value(2).toLongLong(); }

} // namespace

QByteArray DeviceTransfer::StatFromAnswer(const QByteArray& output, const QByteArray& remote)
{
    return onlyAnswer(output, [&](const QByteArray& line) {
        const QList<QByteArray> fields = line.split(':');
        const bool state = fields.size() == 4 && fields[3] == remote && digitsOnly(fields[0], false) && digitsOnly(fields[1], false)
            && digitsOnly(fields[2], false);
        return state ? line : QByteArray();
    });
}

bool DeviceTransfer::StatSaysMissing(const QByteArray& output, const QByteArray& remote)
{
    // Each stat words it its own way ("stat: <path>: ...", "stat: can't stat '<path>': ..."), but
    // all name the file and end with the system's words.
    bool missing = false;
    for (const QByteArray& line : lines(output)) {
        const bool named = line.contains(remote + '\'') || line.contains(remote + ':');
        if (line.startsWith("stat: ") && named && line.endsWith(": No such file or directory"))
            missing = true;
    }
    return missing && StatFromAnswer(output, remote).isEmpty();
}

DeviceTransfer::EarlyState DeviceTransfer::EarlyStateFromAnswer(const QByteArray& output, const DeviceCopy& copy)
{
    EarlyState state;
    if (copy.dbMd5.isEmpty())
        return state;
    // date's answer: the only line of digits alone.
    bool clockRead = false;
    const qint64 clock = onlyAnswer(output, [](const QByteArray& line) { return digitsOnly(line, false) ? line : QByteArray(); }).toLongLong(&clockRead);
    const QByteArray wal = walOf(kDevicePath);
    const QByteArray db = StatFromAnswer(output, kDevicePath);
    const QByteArray walState = StatFromAnswer(output, wal);
    if (!clockRead || db.isEmpty() || Md5FromAnswer(output) != copy.dbMd5)
        return state;
    if (copy.hasWal ? walState.isEmpty() || Md5FromAnswer(output, wal) != copy.walMd5
                    : !StatSaysMissing(output, wal) || !AnswerSaysMissing(output, wal))
        return state;
    // A file changed in the last seconds could change again within the same second after stat
    // looked, unseen in its time: only files older than that are trusted to show a later change.
    for (const QByteArray& file : {db, walState})
        if (!file.isEmpty() && secondsOf(file) > clock - 2)
            return state;
    state.known = true;
    state.db = db;
    state.wal = walState;
    return state;
}

void DeviceTransfer::StartEarlyCheck(const DeviceCopy& copy)
{
    m_early.reset();
    if (copy.dbMd5.isEmpty())
        return;
    // The clock and the states before the hashes: a write while the handheld hashes changes the
    // state seen afterwards, whether or not the hash saw it.
    const QString db = QString::fromLatin1(kDevicePath);
    const QString wal = QString::fromLatin1(walOf(kDevicePath));
    const QString line = QStringLiteral("date +%s; stat -c %1 %2 %3; md5sum %2 %3").arg(QLatin1String(kStatFormat), db, wal);
    m_early = m_runner.Start(AdbPath(), {QStringLiteral("shell"), line});
}

DeviceTransfer::Match DeviceTransfer::stateUnchanged(const DeviceCopy& copy)
{
    const std::unique_ptr<RunningProcess> early = std::move(m_early);
    m_last = early->Finish(m_timeoutMs, m_progress);
    if (!m_last.exitedNormally) // not started, crashed, cancelled or timed out
        return Match::Unknown;
    const EarlyState then = EarlyStateFromAnswer(m_last.output, copy);
    if (!then.known)
        return Match::Unknown;
    const QByteArray wal = walOf(kDevicePath);
    m_last = m_runner.Run(AdbPath(), {QStringLiteral("shell"), QStringLiteral("stat"), QStringLiteral("-c"), QLatin1String(kStatFormat),
                                      QString::fromLatin1(kDevicePath), QString::fromLatin1(wal)},
                          m_timeoutMs, m_progress);
    if (!m_last.exitedNormally) // not started, crashed, cancelled or timed out
        return Match::Unknown;
    const QByteArray db = StatFromAnswer(m_last.output, kDevicePath);
    const bool same = !db.isEmpty() && db == then.db
        && (then.wal.isEmpty() ? StatSaysMissing(m_last.output, wal) : StatFromAnswer(m_last.output, wal) == then.wal);
    return same ? Match::Same : Match::Unknown;
}

DeviceTransfer::Match DeviceTransfer::DeviceDbMatches(const DeviceCopy& copy)
{
    m_last = ProcessResult();
    if (copy.dbMd5.isEmpty())
        return Match::Unknown;
    if (m_progress)
        m_progress->Begin(QStringLiteral("正在核对手持机数据…"));
    if (m_early) { // its answer is read against this copy's hashes
        const Match early = stateUnchanged(copy);
        if (early == Match::Same || m_last.cancelled) {
            if (m_progress)
                m_progress->End();
            return early;
        }
    }
    m_early.reset();
    // The database before its -wal: a card read meanwhile reaches the -wal first.
    const QByteArray wal = walOf(kDevicePath);
    m_last = m_runner.Run(AdbPath(), {QStringLiteral("shell"), QStringLiteral("md5sum"), QString::fromLatin1(kDevicePath), QString::fromLatin1(wal)},
                          m_timeoutMs, m_progress);
    if (m_progress)
        m_progress->End();
    // md5sum ends with 1 when a file is missing, as the -wal may be.
    if (!m_last.started || !m_last.exitedNormally || m_last.timedOut || m_last.cancelled || (m_last.exitCode != 0 && m_last.exitCode != 1))
        return Match::Unknown;
    const QByteArray db = Md5FromAnswer(m_last.output);
    const QByteArray walHash = Md5FromAnswer(m_last.output, wal);
    const bool walMissing = AnswerSaysMissing(m_last.output, wal);
    if (db.isEmpty() || (walHash.isEmpty() && !walMissing))
        return Match::Unknown;
    const bool same = db == copy.dbMd5 && (copy.hasWal ? walHash == copy.walMd5 : walMissing);
    return same ? Match::Same : Match::Different;
}
