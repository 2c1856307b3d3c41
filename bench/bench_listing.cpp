// Listing a year of readings: time from the start of RefreshQuery until the grid shows its first
// rows and the status line the total, resident memory while they are listed, and how long the
// grid stalls while scrolling to the end.
//
//   bench_listing [--readings N] [--holders M] [--store PATH]
//
// Without --store a record store is generated once into bench-data/ beside the executable.

#include "BenchSupport.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "TIdcardmainfrm.h"
#include "sampledata.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QScrollBar>
#include <QTableView>

#include <algorithm>
#include <vector>

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int readings = BenchOption(QStringLiteral("--readings"), QStringLiteral("300000")).toInt();
    const int holders = BenchOption(QStringLiteral("--holders"), QStringLiteral("30000")).toInt();
    const QString dataDir = BenchDataDir();
    QString store = BenchOption(QStringLiteral("--store"), QString());
    const QDate today = QDate::currentDate();

    if (store.isEmpty()) {
        QString error;
        store = BenchRecordStore(dataDir, readings, holders, today, &error);
        if (store.isEmpty()) {
            std::fprintf(stderr, "generation failed: %s\n", qPrintable(error));
            return 1;
        }
    }
    std::printf("store: %s (%.0f MB)\n", qPrintable(QFileInfo(store).fileName()), QFileInfo(store).size() / 1048576.0);

    TDM_Main dm;
    QString error;
    if (!dm.OpenFile(store, &error)) {
        std::fprintf(stderr, "cannot open the store: %s\n", qPrintable(error));
        return 1;
    }
    const long rssBefore = RssMb();
    TIdcardmainfrm window(&dm, QDir(dataDir).absolutePath() + QLatin1Char('/'));
    window.SetClock([] { return QDateTime::currentDateTime(); });
    window.show(); // the first show runs the query once
    QTableView* grid = window.findChild<QTableView*>(QStringLiteral("DBGrid1"));
    ReadingLogModel* model = window.Model();

    std::vector<double> firstRows;
    for (int run = 0; run < 5; ++run) {
        QElapsedTimer t;
        t.start();
        window.RefreshQuery();
        grid->viewport()->repaint(); // the first rows on screen
        firstRows.push_back(Ms(t));
    }
    std::printf("rows listed: %d, status: %s\n", model->rowCount(), qPrintable(window.StatusText()));
    std::printf("RefreshQuery to first rows and total, 5 runs (ms):");
    for (double v : firstRows)
        std::printf(" %.0f", v);
    std::sort(firstRows.begin(), firstRows.end());
    std::printf("  median %.0f\n", firstRows[2]);

    // Jumping to the end at once, before the idle reading has caught up: the grid shows the
    // last screen straight away (rows not read yet are blank until they arrive).
    QElapsedTimer jump;
    window.RefreshQuery();
    QCoreApplication::processEvents(); // lay the grid out, as the event loop would
    jump.start();
    grid->verticalScrollBar()->setValue(grid->verticalScrollBar()->maximum());
    grid->viewport()->repaint();
    const double jumpMs = Ms(jump);
    jump.restart();
    while (model->data(model->index(model->rowCount() - 1, 0)).toString().isEmpty())
        QCoreApplication::processEvents();
    std::printf("jump to the last row straight after a refresh: %.1f ms; its rows filled in after %.0f ms\n", jumpMs, Ms(jump));
    // What a command pays for the last row when it needs it at once.
    window.RefreshQuery();
    jump.restart();
    (void)model->SerialAt(model->rowCount() - 1);
    std::printf("reading up to the last row at once (a command that needs it): %.0f ms\n", Ms(jump));

    // Normal use: the rows are read while the event loop is idle; the longest step is the
    // longest the window can stall.
    window.RefreshQuery();
    double longestStep = 0;
    int steps = 0;
    QElapsedTimer all;
    all.start();
    while (!model->FullyFetched()) {
        QElapsedTimer step;
        step.start();
        QCoreApplication::processEvents();
        longestStep = std::max(longestStep, Ms(step));
        ++steps;
    }
    std::printf("background reading of all rows: %.0f ms in %d steps, longest step %.1f ms\n", Ms(all), steps, longestStep);

    // Paging through to the end, one screen at a time.
    QScrollBar* bar = grid->verticalScrollBar();
    bar->setValue(0);
    double longestPage = 0;
    int pages = 0;
    QElapsedTimer paging;
    paging.start();
    while (bar->value() < bar->maximum()) {
        QElapsedTimer page;
        page.start();
        bar->setValue(std::min(bar->maximum(), bar->value() + bar->pageStep() * 50));
        grid->viewport()->repaint();
        longestPage = std::max(longestPage, Ms(page));
        ++pages;
    }
    std::printf("scrolling to the end in %d jumps of 50 screens: %.0f ms, longest %.1f ms\n", pages, Ms(paging), longestPage);
    std::printf("resident memory: %ld MB before the window, %ld MB while listing, peak %ld MB\n", rssBefore, RssMb(), PeakRssMb());
    return 0;
}
