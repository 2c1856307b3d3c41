#pragma once
// Copying the device database from and to the handheld with adb.

#include <QString>
#include <QStringList>

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

// Runs a program to its end. The real one keeps the event loop turning, so the window stays
// responsive; tests may put another in its place.
class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;
    virtual ProcessResult Run(const QString& program, const QStringList& arguments, int timeoutMs, OperationProgress* progress) = 0;
};

class QtProcessRunner : public ProcessRunner {
public:
    ProcessResult Run(const QString& program, const QStringList& arguments, int timeoutMs, OperationProgress* progress) override;
};

class DeviceTransfer {
public:
    static constexpr const char* kDevicePath = "/sdcard/quintara/idcard/db/idcard.db";
    static constexpr int kDefaultTimeoutMs = 10 * 60 * 1000;

    // programFolder with its trailing separator; adb is expected in it.
    DeviceTransfer(QString programFolder, ProcessRunner& runner, OperationProgress* progress = nullptr);

    QString AdbPath() const { return m_folder + QStringLiteral("adb"); }
    void SetTimeout(int ms) { m_timeoutMs = ms; }

    // Copies the device database to localPath: 0 when adb reported success and the file is in
    // place, -1 otherwise (nothing at localPath then). An older file there is removed first.
    int PullDeviceDb(const QString& localPath);
    // Copies localPath to the handheld: 0 when adb reported success, -1 when the file is missing,
    // adb cannot be started or it fails.
    int PushDeviceDb(const QString& localPath);

    // Whether the handheld's device database is byte for byte the file at localPath, asked of
    // the handheld itself (its sha1sum) so that nothing is copied. Unknown when it cannot say:
    // no such command there, adb failed or was cancelled, an answer that does not read as one.
    enum class Match { Same, Different, Unknown };
    Match DeviceDbMatches(const QString& localPath);

    const ProcessResult& LastResult() const { return m_last; }

    // The SHA-1 of a local file in lower-case hex; empty when it cannot be read.
    static QByteArray FileSha1(const QString& path);
    // The hash in sha1sum's answer for the device database; empty when it holds none or several.
    static QByteArray Sha1FromAnswer(const QByteArray& output);

private:
    QString m_folder;
    ProcessRunner& m_runner;
    OperationProgress* m_progress;
    int m_timeoutMs = kDefaultTimeoutMs;
    ProcessResult m_last;
};
