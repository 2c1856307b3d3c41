// Importing a device database of a busy day into an empty record store, then the same file again,
// a number of times, each into a fresh store; the medians close the report.
//
//   bench_import [--readings N] [--holders M] [--runs R] [--without-checks | --compare-checks]

#include "BenchSupport.h"
#include "ReadingLogImport.h"
#include "RecordStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <vector>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int readings = BenchOption(QStringLiteral("--readings"), QStringLiteral("20000")).toInt();
    const int holders = BenchOption(QStringLiteral("--holders"), QStringLiteral("4000")).toInt();
    const int runs = std::max(1, BenchOption(QStringLiteral("--runs"), QStringLiteral("5")).toInt());
    // The same import into a store without the card checks' column, which the import then skips:
    // what the checks cost, measured by one build.
    const bool withoutChecksOnly = QCoreApplication::arguments().contains(QStringLiteral("--without-checks"));
    // Each run imports into both stores, in turns of order, so that the machine's drift between
    // runs falls on both alike.
    const bool compare = QCoreApplication::arguments().contains(QStringLiteral("--compare-checks"));
    const QString device = BenchDeviceDb(readings, holders);
    if (device.isEmpty())
        return 1;
    const double deviceMb = QFileInfo(device).size() / 1048576.0;
    std::printf("device database: %.1f MB\n", deviceMb);

    struct Figures {
        std::vector<double> ms;
        std::vector<long> extraMb;
    } first, again, firstWithout, againWithout;
    auto importRun = [&](int run, bool withoutChecks, Figures* firstFigures, Figures* againFigures) {
        QTemporaryDir work;
        const QString store = work.filePath(QStringLiteral("KeepTrackLog.db"));
        QFile::copy(QStringLiteral(IDCARD_PROGRAM_DIR "/database/KeepTrackLog.db"), store);
        QFile::setPermissions(store, QFile::ReadOwner | QFile::WriteOwner);
        TDM_Main dm;
        QString error;
        if (!dm.OpenFile(store, &error)) {
            std::fprintf(stderr, "cannot open the store: %s\n", qPrintable(error));
            return false;
        }
        if (withoutChecks) {
            QSqlQuery q(dm.con1());
            for (const char* sql : {"drop index idcardwater_odd_readtime", "drop index idcardwater_odd_idcardno",
                                    "alter table idcardwater drop column checkflags"})
                if (!q.exec(QString::fromLatin1(sql))) {
                    std::fprintf(stderr, "%s: %s\n", sql, qPrintable(q.lastError().text()));
                    return false;
                }
        }
        ReadingLogImporter importer(dm.con1(), work.path());
        for (Figures* figures : {firstFigures, againFigures}) {
            const long base = RssMb();
            ResetPeakRss();
            QElapsedTimer t;
            const double cpu = CpuMs();
            t.start();
            const ImportOutcome o = importer.ImportDeviceDb(device);
            const double ms = Ms(t);
            const double cpuMs = CpuMs() - cpu;
            const char* label = figures == firstFigures ? "first import (all holders new)" : "same file again (all stored)";
            std::printf("run %d%s, %s: %.0f ms (processor %.0f ms); count %d, already stored %d, without photo %d, complete %s; "
                        "resident %ld MB before, peak %ld MB (+%ld MB)\n",
                        run, withoutChecks ? " without checks" : "", label, ms, cpuMs, o.count, o.alreadyStored, o.withoutPhoto,
                        o.Complete() ? "yes" : "no", base, PeakRssMb(), PeakRssMb() - base);
            if (o.checks.Any())
                std::printf("  checks: expired %d, not yet valid %d, minor %d, ID number %d, repeat %d\n", o.checks.expired,
                            o.checks.notYetValid, o.checks.minor, o.checks.idNumber, o.checks.repeat);
            std::fflush(stdout);
            figures->ms.push_back(ms);
            figures->extraMb.push_back(PeakRssMb() - base);
        }
        return true;
    };
    // The first import of a process pays for cold caches; in a comparison it would fall on one side.
    Figures warmUp, warmUpAgain;
    if (compare && !importRun(0, false, &warmUp, &warmUpAgain))
        return 1;
    for (int run = 1; run <= runs; ++run) {
        const bool withoutFirst = withoutChecksOnly || (compare && run % 2 == 0);
        if (!importRun(run, withoutFirst, withoutFirst ? &firstWithout : &first, withoutFirst ? &againWithout : &again))
            return 1;
        if (compare && !importRun(run, !withoutFirst, withoutFirst ? &first : &firstWithout, withoutFirst ? &again : &againWithout))
            return 1;
    }
    if (compare) {
        std::vector<double> ratios;
        for (size_t i = 0; i < first.ms.size(); ++i)
            ratios.push_back(100.0 * (first.ms[i] / firstWithout.ms[i] - 1));
        std::printf("median of %d without checks: first import %.0f ms, same file again %.0f ms\n", runs, Median(firstWithout.ms),
                    Median(againWithout.ms));
        std::printf("first import, checks' share of each run (%%):");
        for (double r : ratios)
            std::printf(" %+.1f", r);
        std::printf("  median %+.1f\n", Median(ratios));
    }
    if (withoutChecksOnly) {
        first = firstWithout;
        again = againWithout;
    }
    std::printf("median of %d: first import %.0f ms (+%ld MB), same file again %.0f ms (+%ld MB)\n", runs, Median(first.ms),
                Median(first.extraMb), Median(again.ms), Median(again.extraMb));
    return 0;
}
