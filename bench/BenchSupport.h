#pragma once
// Small helpers shared by the benchmarks: memory figures of this process and a stopwatch.

#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <cstdio>
#include <unistd.h>

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

#include "sampledata.h"

#include <QDate>
#include <QDir>
#include <QFileInfo>

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
