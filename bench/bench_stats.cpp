// The statistics window over a year of readings: time from the click on 统计图表 until both charts
// are painted, and the resident memory the window adds.
//
//   bench_stats [--readings N] [--holders M] [--store PATH] [--runs R] [--pg]
//
// Without --store the record store of the listing benchmark is generated once into bench-data/.
// With --pg its holders (without photos, which the statistics never read) and readings are also
// copied into a PostgreSQL store on a private server, and the same runs follow there.

#include "BenchSupport.h"
#include "PgBench.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "StatsWindow.h"
#include "TIdcardmainfrm.h"

#include <QApplication>
#include <QChartView>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>

#include <vector>

namespace {

// Clicks 统计图表 on the window of an open store, runs times; false when no window came.
bool StatsRuns(TDM_Main& dm, const QString& dataDir, int runs, const char* kind)
{
    std::printf("== %s ==\n", kind);
    TIdcardmainfrm window(&dm, QDir(dataDir).absolutePath() + QLatin1Char('/'));
    window.show(); // the first show lists the last year
    QCoreApplication::processEvents();
    auto* statbtn = window.findChild<QPushButton*>(QStringLiteral("statbtn"));

    std::vector<double> times;
    std::vector<double> cpu;
    std::vector<long> added;
    qint64 counted = 0;
    for (int run = 0; run < runs; ++run) {
        const long rssBefore = RssMb();
        ResetPeakRss();
        QElapsedTimer t;
        const double cpuStart = CpuMs();
        t.start();
        statbtn->click();
        auto* stats = window.findChild<StatsWindow*>();
        if (!stats) {
            std::fprintf(stderr, "no statistics window\n");
            return false;
        }
        QCoreApplication::processEvents(); // lay out: the axis labels follow the plot's width
        for (auto* view : stats->findChildren<QChartView*>())
            view->viewport()->repaint();
        times.push_back(Ms(t));
        cpu.push_back(CpuMs() - cpuStart);
        added.push_back(PeakRssMb() - rssBefore);
        counted = stats->Stats().readings;
        QPointer<StatsWindow> gone = stats;
        stats->close();
        while (gone)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    std::printf("readings counted: %lld, list: %d\n", counted, window.Model()->rowCount());
    std::printf("click to charts painted, %d runs (ms):", runs);
    for (double v : times)
        std::printf(" %.0f", v);
    std::printf("  median %.0f\n", Median(times));
    std::printf("processor time (ms): median %.0f\n", Median(cpu));
    std::printf("peak resident memory added (MB):");
    for (long v : added)
        std::printf(" %ld", v);
    std::printf("  median %ld\n", Median(added));
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int readings = BenchOption(QStringLiteral("--readings"), QStringLiteral("1000000")).toInt();
    const int holders = BenchOption(QStringLiteral("--holders"), QStringLiteral("100000")).toInt();
    const int runs = BenchOption(QStringLiteral("--runs"), QStringLiteral("5")).toInt();
    const QString dataDir = BenchDataDir();
    QString store = BenchOption(QStringLiteral("--store"), QString());
    QString error;
    if (store.isEmpty()) {
        store = BenchRecordStore(dataDir, readings, holders, QDate::currentDate(), &error);
        if (store.isEmpty()) {
            std::fprintf(stderr, "generation failed: %s\n", qPrintable(error));
            return 1;
        }
    }
    std::printf("store: %s (%.0f MB)\n", qPrintable(QFileInfo(store).fileName()), QFileInfo(store).size() / 1048576.0);

    TDM_Main dm;
    if (!dm.OpenFile(store, &error)) {
        std::fprintf(stderr, "cannot open the store: %s\n", qPrintable(error));
        return 1;
    }
    if (!StatsRuns(dm, dataDir, runs, "file store"))
        return 1;
    if (!AlsoOnPg(dm.con1(), false, [&](TDM_Main& pg) { return StatsRuns(pg, dataDir, runs, "PostgreSQL"); }))
        return 1;
    return 0;
}
