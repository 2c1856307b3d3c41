#include "DeviceTransfer.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

ProcessResult QtProcessRunner::Run(const QString& program, const QStringList& arguments, int timeoutMs, OperationProgress* progress)
{
    ProcessResult result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            loop.quit();
    });
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

#ifdef Q_OS_UNIX
    // What adb writes is a copy of the handheld's readings: nobody but the operator may read it.
    process.setChildProcessModifier([] { ::umask(077); });
#endif
    process.start(program, arguments, QIODevice::ReadOnly);
    if (!process.waitForStarted(10000)) {
        result.errorText = process.errorString();
        return result;
    }
    result.started = true;
    poll.start();
    deadline.start(timeoutMs);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitedNormally = !result.timedOut && !result.cancelled && process.exitStatus() == QProcess::NormalExit;
    result.exitCode = process.exitCode();
    if (!result.Succeeded())
        result.errorText = QString::fromLocal8Bit(process.readAll()).trimmed();
    return result;
}

DeviceTransfer::DeviceTransfer(QString programFolder, ProcessRunner& runner, OperationProgress* progress)
    : m_folder(std::move(programFolder)), m_runner(runner), m_progress(progress)
{
}

int DeviceTransfer::PullDeviceDb(const QString& localPath)
{
    m_last = ProcessResult();
    if (QFile::exists(localPath) && !QFile::remove(localPath))
        return -1;
    // adb writes into a name of its own; only a finished, successful copy gets the real name.
    const QString partial = localPath + QStringLiteral(".part");
    QFile::remove(partial);
    if (m_progress)
        m_progress->Begin(QStringLiteral("正在从手持机读取数据…"));
    m_last = m_runner.Run(AdbPath(), {QStringLiteral("pull"), QString::fromLatin1(kDevicePath), QDir::toNativeSeparators(partial)},
                          m_timeoutMs, m_progress);
    if (m_progress)
        m_progress->End();
    // The mode is set again in case the copy came out with the handheld's own.
    if (!m_last.Succeeded() || !QFile::exists(partial) || !QFile::setPermissions(partial, QFile::ReadOwner | QFile::WriteOwner)
        || !QFile::rename(partial, localPath)) {
        QFile::remove(partial);
        return -1;
    }
    return 0;
}

int DeviceTransfer::PushDeviceDb(const QString& localPath)
{
    m_last = ProcessResult();
    if (!QFile::exists(localPath))
        return -1;
    if (m_progress)
        m_progress->Begin(QStringLiteral("正在清除手持机内流水记录…"));
    m_last = m_runner.Run(AdbPath(), {QStringLiteral("push"), QDir::toNativeSeparators(localPath), QString::fromLatin1(kDevicePath)},
                          m_timeoutMs, m_progress);
    if (m_progress)
        m_progress->End();
    return m_last.Succeeded() ? 0 : -1;
}
