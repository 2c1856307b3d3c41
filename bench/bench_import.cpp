// Importing a device database of a busy day into an empty record store, then the same file again.
//
//   bench_import [--readings N] [--holders M]

#include "BenchSupport.h"
#include "ReadingLogImport.h"
#include "RecordStore.h"
#include "sampledata.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    auto option = [&](const QString& name, const QString& fallback) {
        const int i = args.indexOf(name);
        return i >= 0 && i + 1 < args.size() ? args[i + 1] : fallback;
    };
    const int readings = option(QStringLiteral("--readings"), QStringLiteral("20000")).toInt();
    const int holders = option(QStringLiteral("--holders"), QStringLiteral("4000")).toInt();
    const QString dataDir = QCoreApplication::applicationDirPath() + QStringLiteral("/bench-data");
    QDir().mkpath(dataDir);
    const QString device = dataDir + QStringLiteral("/device-%1-%2.db").arg(readings).arg(holders);
    if (!QFileInfo::exists(device)) {
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
            return 1;
        }
        std::printf("generated: %lld readings, %lld holders, photos %.1f KB on average\n", report.readings, report.holders,
                    report.photoBytes / 1024.0 / std::max<qint64>(1, report.holders));
    }
    const double deviceMb = QFileInfo(device).size() / 1048576.0;
    std::printf("device database: %.1f MB\n", deviceMb);

    QTemporaryDir work;
    const QString store = work.filePath(QStringLiteral("KeepTrackLog.db"));
    QFile::copy(QStringLiteral(IDCARD_PROGRAM_DIR "/database/KeepTrackLog.db"), store);
    QFile::setPermissions(store, QFile::ReadOwner | QFile::WriteOwner);
    TDM_Main dm;
    QString error;
    if (!dm.OpenFile(store, &error)) {
        std::fprintf(stderr, "cannot open the store: %s\n", qPrintable(error));
        return 1;
    }
    ReadingLogImporter importer(dm.con1(), work.path());

    for (const char* label : {"first import (all holders new)", "same file again (all stored)"}) {
        const long base = RssMb();
        ResetPeakRss();
        QElapsedTimer t;
        t.start();
        const ImportOutcome o = importer.ImportDeviceDb(device);
        const double ms = Ms(t);
        std::printf("%s: %.0f ms; count %d, already stored %d, without photo %d, complete %s; "
                    "resident %ld MB before, peak %ld MB (+%ld MB)\n",
                    label, ms, o.count, o.alreadyStored, o.withoutPhoto, o.Complete() ? "yes" : "no", base, PeakRssMb(),
                    PeakRssMb() - base);
    }
    return 0;
}
