#pragma once
// Small helpers shared by the benchmarks: memory figures of this process and a stopwatch.

#include <QElapsedTimer>
#include <QFile>
#include <QString>

#include <cstdio>

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
