#pragma once
// Copying the device database from and to the handheld with adb.

#include <QString>
#include <QStringList>

#include <memory>

// Shown while an external program runs; lets the operator give up waiting.
class OperationProgress {
public:
    virtual ~OperationProgress() = default;
    // cancellable false: a step that runs to its end once started (shown at once, no Cancel).
    virtual void Begin(const QString& text, bool cancellable = true) = 0;
    virtual bool Cancelled() = 0;
    virtual void End() = 0;
};

struct ProcessResult {
    bool started = false;
    bool exitedNormally = false; // neither crashed nor killed
    int exitCode = -1;
    bool timedOut = false;
    bool cancelled = false;
    QString errorText;           // why it did not start, or what it printed on failure
    QByteArray output;           // what it printed, both channels

    bool Succeeded() const { return started && exitedNormally && exitCode == 0 && !timedOut && !cancelled; }
};

// A program left to run while the caller goes on; ended when dropped before its end.
class RunningProcess {
public:
    virtual ~RunningProcess() = default;
    // Waits for its end, as ProcessRunner::Run does, the timeout counted from this call.
    virtual ProcessResult Finish(int timeoutMs, OperationProgress* progress) = 0;
};

// Runs a program to its end. The real one keeps the event loop turning, so the window stays
// responsive; tests may put another in its place.
class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;
    virtual ProcessResult Run(const QString& program, const QStringList& arguments, int timeoutMs, OperationProgress* progress) = 0;
    virtual std::unique_ptr<RunningProcess> Start(const QString& program, const QStringList& arguments) = 0;
};

class QtProcessRunner : public ProcessRunner {
public:
    ProcessResult Run(const QString& program, const QStringList& arguments, int timeoutMs, OperationProgress* progress) override;
    std::unique_ptr<RunningProcess> Start(const QString& program, const QStringList& arguments) override;
};

// What a pull copied: the database and, when the handheld had one, its -wal beside it (path +
// "-wal"), with the hashes of both as they arrived. They cannot be taken later: opening the copy
// moves its -wal into the database when the last connection closes.
struct DeviceCopy {
    QString path;
    QByteArray dbMd5; // lower-case hex; empty when no copy was made
    bool hasWal = false;
    QByteArray walMd5;
};

class DeviceTransfer {
public:
    static constexpr const char* kDevicePath = "/sdcard/quintara/idcard/db/idcard.db";
    static constexpr int kDefaultTimeoutMs = 10 * 60 * 1000;

    // programFolder with its trailing separator; adb is expected in it.
    DeviceTransfer(QString programFolder, ProcessRunner& runner, OperationProgress* progress = nullptr);
    // Earlier copies that the pulls moved aside are deleted from here on, on another thread.
    ~DeviceTransfer();

    QString AdbPath() const { return m_folder + QStringLiteral("adb"); }
    void SetTimeout(int ms) { m_timeoutMs = ms; }

    // Copies the device database to localPath, with its -wal when the handheld has one: 0 when
    // adb reported success for both (or that there is no -wal) and the files are in place, -1
    // otherwise (nothing at localPath then). Older files there, -wal and -shm included, are
    // removed first. The handheld's -shm is never copied: SQLite rebuilds it from the -wal.
    int PullDeviceDb(const QString& localPath);
    // What the last successful pull copied.
    const DeviceCopy& LastCopy() const { return m_copy; }
    // Replaces the handheld's database with localPath: its -wal and -shm are removed first, and
    // the file is pushed only once they are known to be gone, so that no stale -wal can be
    // replayed onto it. 0 when adb reported success, -1 when the file is missing, adb cannot be
    // started, the -wal or -shm stays, or the push fails.
    int PushDeviceDb(const QString& localPath);

    // Asks the handheld, while the caller imports the copy, for its files' inode, size and time of
    // change, and then their hashes. When the hashes are those of the copy, the check before
    // clearing has only to see that the state is still the same.
    void StartEarlyCheck(const DeviceCopy& copy);

    // Whether the handheld still holds exactly what was copied (the database, and the -wal or
    // its absence), asked of the handheld itself (its md5sum, which busybox and toybox shells both have and which
    // hashes faster than sha1sum without hashing instructions) so that nothing is copied.
    // Unknown when it cannot say: no such command there, adb failed or was cancelled, an answer
    // that does not read as one. After StartEarlyCheck, when its answer showed this copy's
    // hashes, a state unchanged since then is enough.
    enum class Match { Same, Different, Unknown };
    Match DeviceDbMatches(const DeviceCopy& copy);

    // What stat says of a handheld file: "inode:size:seconds:path", or empty when it says
    // nothing of it or more than once.
    static QByteArray StatFromAnswer(const QByteArray& output, const QByteArray& remote);
    // Whether stat's answer says that a handheld file does not exist (and gives no state of it).
    static bool StatSaysMissing(const QByteArray& output, const QByteArray& remote);
    // The early check's answer, read against the copy: the state of the database and the -wal
    // (empty when the -wal is missing), or nothing (known false) when the handheld did not show
    // the copy's hashes or its files changed too lately for their times to tell a later change.
    struct EarlyState {
        bool known = false;
        QByteArray db;
        QByteArray wal;
    };
    static EarlyState EarlyStateFromAnswer(const QByteArray& output, const DeviceCopy& copy);

    const ProcessResult& LastResult() const { return m_last; }

    // Removes a local copy with its -wal and -shm; false when one of them stays.
    static bool RemoveCopy(const QString& localPath);

    // The hash in md5sum's answer for a handheld file; empty when it holds none or several.
    static QByteArray Md5FromAnswer(const QByteArray& output, const QByteArray& remote = kDevicePath);
    // Whether md5sum's answer says that a handheld file does not exist (and gives no hash for it).
    static bool AnswerSaysMissing(const QByteArray& output, const QByteArray& remote);
    // Whether adb's answer to a pull says that the handheld has no such file, as opposed to any
    // other failure.
    static bool PullSaysMissing(const QByteArray& output, const QByteArray& remote);

private:
    enum class Pulled { Copied, Missing, Failed };
    Pulled pullFile(const QByteArray& remote, const QString& partial, QByteArray* md5, bool mayBeMissing);
    // Whether a handheld file is gone, told by a pull of it into scratch.
    bool remoteMissing(const QByteArray& remote, const QString& scratch);

    Match stateUnchanged(const DeviceCopy& copy);

    QString m_folder;
    ProcessRunner& m_runner;
    OperationProgress* m_progress;
    int m_timeoutMs = kDefaultTimeoutMs;
    ProcessResult m_last;
    DeviceCopy m_copy;
    std::unique_ptr<RunningProcess> m_early;
    QStringList m_aside;   // earlier copies moved aside by the pulls
};
