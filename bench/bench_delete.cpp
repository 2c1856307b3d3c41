// Deleting a third of a year's readings with the box "select all" ticked: time from the operator's
// confirmation until the list has been re-run and painted, and the extra resident memory.
//
//   bench_delete [--readings N] [--holders M] [--days D] [--runs R]
//
// The record store (300,000 readings over 30,000 holders by default) is generated once into
// bench-data/ beside the executable; every run deletes from a fresh copy of it. The filter lists
// the readings of the last D days (121 by default, about 100,000 readings).

#include "BenchSupport.h"
#include "Global.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "TIdcardmainfrm.h"
#include "sampledata.h"

#include <QApplication>
#include <QCheckBox>
#include <QDateEdit>
#include <QDir>
#include <QFileInfo>
#include <QPushButton>
#include <QTableView>

#include <algorithm>
#include <vector>

namespace {

// Answers the confirmation with OK and starts the clock as it does.
class ConfirmingSink : public MessageSink {
public:
    QElapsedTimer clock;
    int shown = 0;
    void Show(MsgKind, const QString&, const QString&) override { ++shown; }
    bool Confirm(const QString&, const QString&) override
    {
        clock.start();
        return true;
    }
    QString SaveFileName(const SaveFileRequest&) override { return {}; }
};

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int readings = BenchOption(QStringLiteral("--readings"), QStringLiteral("300000")).toInt();
    const int holders = BenchOption(QStringLiteral("--holders"), QStringLiteral("30000")).toInt();
    const int days = BenchOption(QStringLiteral("--days"), QStringLiteral("121")).toInt();
    const int runs = std::max(1, BenchOption(QStringLiteral("--runs"), QStringLiteral("5")).toInt());
    const QString dataDir = BenchDataDir();
    const QDate today = QDate::currentDate();
    QString error;
    const QString store = BenchRecordStore(dataDir, readings, holders, today, &error);
    if (store.isEmpty()) {
        std::fprintf(stderr, "cannot make the record store: %s\n", qPrintable(error));
        return 1;
    }
    const QString work = dataDir + QStringLiteral("/delete-work.db");

    ConfirmingSink sink;
    SetMessageSink(&sink);
    // Two cases: the list has read its rows in the background before the operator confirms (as
    // it does within a second or so), and the click straight after a refresh, when the command
    // must read the rest of the list first.
    for (const bool readFirst : {true, false}) {
        std::vector<double> times;
        std::vector<long> extraMb;
        int listed = 0, left = -1;
        for (int run = 0; run < runs; ++run) {
            QFile::remove(work);
            if (!QFile::copy(store, work) || !SyncFile(work)) {
                std::fprintf(stderr, "cannot copy the store\n");
                return 1;
            }
            TDM_Main dm;
            if (!dm.OpenFile(work, &error)) {
                std::fprintf(stderr, "cannot open the store: %s\n", qPrintable(error));
                return 1;
            }
            TIdcardmainfrm window(&dm, QDir(dataDir).absolutePath() + QLatin1Char('/'));
            window.SetClock([] { return QDateTime::currentDateTime(); });
            window.show();
            window.findChild<QDateEdit*>(QStringLiteral("begin_pick"))->setDate(today.addDays(-days + 1));
            window.RefreshQuery();
            if (readFirst)
                window.Model()->FetchAll();
            listed = window.Model()->rowCount();
            window.findChild<QCheckBox*>(QStringLiteral("cb_all"))->setChecked(true);
            auto* grid = window.findChild<QTableView*>(QStringLiteral("DBGrid1"));
            const long rssBefore = RssMb();
            ResetPeakRss();

            window.findChild<QPushButton*>(QStringLiteral("delbtn"))->click();
            grid->viewport()->repaint();
            times.push_back(Ms(sink.clock));
            extraMb.push_back(PeakRssMb() - rssBefore);
            left = window.Model()->rowCount();
            if (sink.shown != 0) {
                std::fprintf(stderr, "the deletion reported a failure\n");
                return 1;
            }
        }
        std::printf("%s: %d readings over %d holders in the store; listed and deleted: %d; listed afterwards: %d\n",
                    readFirst ? "list read to its end" : "straight after a refresh", readings, holders, listed, left);
        std::printf("  confirmation to refreshed list, %d runs (ms):", runs);
        for (double v : times)
            std::printf(" %.0f", v);
        std::vector<double> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        std::printf("  median %.0f\n", sorted[sorted.size() / 2]);
        std::printf("  extra resident memory at the peak (MB):");
        for (long v : extraMb)
            std::printf(" %ld", v);
        std::printf("\n");
    }
    QFile::remove(work);
    return 0;
}
