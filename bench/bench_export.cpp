// Exporting every listed reading with "选择全部记录" ticked: time from the save dialog's answer to
// the count message, and the resident memory the export adds, on the real window.
//
//   bench_export [--readings N] [--holders M] [--runs R] [--pg]
//
// The record store is generated once into bench-data/ beside the executable. With --pg the same
// holders and readings are also copied into a PostgreSQL store on a private server over its Unix
// socket, and exported from there after the file store.

#include "BenchSupport.h"
#include "Global.h"
#include "PgBench.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "TIdcardmainfrm.h"
#include "sampledata.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QTemporaryDir>

#include <algorithm>
#include <ctime>
#include <vector>

namespace {

// Answers the dialog at once and stops the clock at the count message.
class TimedMessages : public MessageSink {
public:
    QString fileName;
    QElapsedTimer clock;
    double elapsedMs = -1;
    QStringList texts;

    void Show(MsgKind, const QString&, const QString& text) override
    {
        if (text.startsWith(QStringLiteral("本次累计成功导出记录")))
            elapsedMs = Ms(clock);
        texts << text;
    }
    bool Confirm(const QString&, const QString&) override { return true; }
    QString SaveFileName(const SaveFileRequest&) override
    {
        clock.start();
        return fileName;
    }
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

// Exports from the window on an open store, runs times from each starting point; false when a
// run did not say what it should.
bool ExportRuns(TDM_Main& dm, const QString& dataDir, int runs, const char* kind)
{
    std::printf("== %s ==\n", kind);
    QTemporaryDir program(dataDir + QStringLiteral("/export-XXXXXX"));
    QDir(program.path()).mkpath(QStringLiteral("output"));
    TimedMessages messages;
    SetMessageSink(&messages);
    TIdcardmainfrm window(&dm, program.path() + QLatin1Char('/'));
    window.show();
    window.findChild<QCheckBox*>(QStringLiteral("cb_all"))->setChecked(true);
    auto* button = window.findChild<QPushButton*>(QStringLiteral("waterbtn"));
    ReadingLogModel* model = window.Model();

    // Two starting points: the list read to its end (the operator looked at it for a moment), and
    // straight after a refresh, when the export also reads the rest of the list.
    for (const bool fresh : {false, true}) {
        std::vector<double> times;
        std::vector<double> extraMb;
        std::vector<double> cpuMs; // the whole click, this process's processor time
        for (int run = 0; run < runs; ++run) {
            window.RefreshQuery();
            if (!fresh)
                while (!model->FullyFetched())
                    QCoreApplication::processEvents();
            messages.fileName = program.filePath(QStringLiteral("output/all-%1.xlsx").arg(run));
            messages.texts.clear();
            messages.elapsedMs = -1;
            const long beforeKb = ProcStatusKb("VmRSS");
            ResetPeakRss();
            const long resetKb = ProcStatusKb("VmHWM");
            const std::clock_t cpu = std::clock();
            button->click();
            cpuMs.push_back(double(std::clock() - cpu) * 1000.0 / CLOCKS_PER_SEC);
            extraMb.push_back((ProcStatusKb("VmHWM") - std::max(beforeKb, resetKb)) / 1024.0);
            times.push_back(messages.elapsedMs);
            const QString expected = QStringLiteral("本次累计成功导出记录 %1 笔").arg(model->rowCount());
            if (messages.texts != QStringList{expected}) {
                std::fprintf(stderr, "unexpected messages: %s\n", qPrintable(messages.texts.join(QStringLiteral(" | "))));
                return false;
            }
        }
        std::printf("%s: %d readings, file %.1f MB\n", fresh ? "straight after a refresh" : "list read to its end",
                    model->rowCount(), QFileInfo(messages.fileName).size() / 1048576.0);
        std::printf("  answer to count message (ms):");
        for (double t : times)
            std::printf(" %.0f", t);
        std::printf("  median %.0f\n", median(times));
        std::printf("  processor time of the click (ms):");
        for (double t : cpuMs)
            std::printf(" %.0f", t);
        std::printf("  median %.0f\n", median(cpuMs));
        std::printf("  extra resident memory, peak during the click (MB):");
        for (double m : extraMb)
            std::printf(" %.1f", m);
        std::printf("  median %.1f\n", median(extraMb));
    }
    SetMessageSink(nullptr);
    return true;
}

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int readings = BenchOption(QStringLiteral("--readings"), QStringLiteral("100000")).toInt();
    const int holders = BenchOption(QStringLiteral("--holders"), QStringLiteral("20000")).toInt();
    const int runs = std::max(1, BenchOption(QStringLiteral("--runs"), QStringLiteral("5")).toInt());
    const QString dataDir = BenchDataDir();
    const QDate today = QDate::currentDate();
    QString generationError;
    const QString store = BenchRecordStore(dataDir, readings, holders, today, &generationError);
    if (store.isEmpty()) {
        std::fprintf(stderr, "generation failed: %s\n", qPrintable(generationError));
        return 1;
    }

    TDM_Main dm;
    QString error;
    if (!dm.OpenFile(store, &error)) {
        std::fprintf(stderr, "cannot open the store: %s\n", qPrintable(error));
        return 1;
    }
    if (!ExportRuns(dm, dataDir, runs, "file store"))
        return 1;
    if (!AlsoOnPg(dm.con1(), true, [&](TDM_Main& pg) { return ExportRuns(pg, dataDir, runs, "PostgreSQL"); }))
        return 1;
    return 0;
}
