#pragma once
// Small helpers shared by the benchmarks: memory figures of this process, a stopwatch, and the
// generated data they share.

#include "sampledata.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QString>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <unistd.h>
#include <vector>

inline long ProcStatusKb(const char* key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(key) + ':';
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').first().toLong();
    return -1;
}

inline long RssMb() { return ProcStatusKb("VmRSS") / 1024; }
inline long PeakRssMb() { return ProcStatusKb("VmHWM") / 1024; }

// Starts a new peak from the current resident size (Linux: writing 5 to clear_refs).
inline void ResetPeakRss()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

inline double Ms(const QElapsedTimer& t) { return t.nsecsElapsed() / 1e6; }

// Puts a freshly copied file on the disk, so that the first commit of a timed run does not pay
// for writing out the whole copy.
inline bool SyncFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadWrite) && ::fsync(f.handle()) == 0;
}

// A record store of `readings` readings over `holders` holders, all within the year up to `today`,
// generated once into dataDir and reused (the listing and deletion benchmarks share it). Empty
// with error on failure.
inline QString BenchRecordStore(const QString& dataDir, int readings, int holders, const QDate& today, QString* error)
{
    QDir().mkpath(dataDir);
    const QString store = dataDir + QStringLiteral("/store-%1-%2-%3.db").arg(readings).arg(holders).arg(today.toString(Qt::ISODate));
    if (QFileInfo::exists(store))
        return store;
    idcard::sample::FillRequest request;
    request.readings = readings;
    request.holders = holders;
    request.options.seed = 2026;
    request.options.from = today.addDays(-365);
    request.options.to = today;
    idcard::sample::FillReport report;
    std::printf("generating %d readings over %d holders...\n", readings, holders);
    if (!idcard::sample::createRecordStore(store, QStringLiteral(IDCARD_PROGRAM_DIR "/database/KeepTrackLog.db"), request,
                                           &report, error))
        return QString();
    std::printf("generated in %.1f s\n", report.seconds);
    return store;
}

// Processor time of the whole process (every thread) in ms: a figure that other work on the
// machine disturbs less than wall-clock time.
inline double CpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// The median of some figures (the lower middle one of an even count).
template <typename T>
T Median(std::vector<T> values)
{
    if (values.empty())
        return T();
    std::sort(values.begin(), values.end());
    return values[(values.size() - 1) / 2];
}

inline QString BenchDataDir()
{
    const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/bench-data");
    QDir().mkpath(dir);
    return dir;
}

// A device database of synthetic readings, generated once into bench-data/ and reused; empty on
// failure.
inline QString BenchDeviceDb(int readings, int holders)
{
    const QString device = BenchDataDir() + QStringLiteral("/device-%1-%2.db").arg(readings).arg(holders);
    if (QFileInfo::exists(device))
        return device;
    QFile script(QStringLiteral(IDCARD_SOURCE_DIR "/data/water_list.sql"));
    script.open(QIODevice::ReadOnly);
    idcard::sample::FillRequest request;
    request.readings = readings;
    request.holders = holders;
    request.options.seed = 7;
    idcard::sample::FillReport report;
    QString error;
    if (!idcard::sample::createDeviceDatabase(device, script.readAll(), request, &report, &error)) {
        std::fprintf(stderr, "generation failed: %s\n", qPrintable(error));
        return QString();
    }
    std::printf("generated: %lld readings, %lld holders, photos %.1f KB on average\n", report.readings, report.holders,
                report.photoBytes / 1024.0 / std::max<qint64>(1, report.holders));
    return device;
}

// Command-line options: "--name value", or the fallback.
inline QString BenchOption(const QString& name, const QString& fallback)
{
    const QStringList args = QCoreApplication::arguments();
    const int i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args[i + 1] : fallback;
}
