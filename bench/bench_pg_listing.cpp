// Listing a year of readings from a PostgreSQL store on a private server over its Unix socket, beside
// the same readings in a file store: time from the start of RefreshQuery until the grid shows its
// first rows and the status line the total, the background reading of every row, and resident memory.
// Both stores are filled by SQL with the same holders and readings (no photos: the list never reads
// them, and on PostgreSQL they lie out of line). The PostgreSQL store is listed first, so that the
// peak memory printed after it is its own.
//
//   bench_pg_listing [--readings N] [--holders M] [--runs R]

#include "BenchSupport.h"
#include "PgBench.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "TIdcardmainfrm.h"

#include <QApplication>
#include <QSqlError>
#include <QSqlQuery>
#include <QTableView>
#include <QTemporaryDir>

namespace {

// Times the window's query on an open store; prints and returns the median.
double ListOn(TDM_Main& dm, const QString& folder, const char* kind, int runs)
{
    TIdcardmainfrm window(&dm, folder);
    window.SetClock([] { return QDateTime::currentDateTime(); });
    window.show(); // the first show runs the query once
    QTableView* grid = window.findChild<QTableView*>(QStringLiteral("DBGrid1"));
    ReadingLogModel* model = window.Model();
    std::vector<double> firstRows;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer t;
        t.start();
        window.RefreshQuery();
        grid->viewport()->repaint();
        firstRows.push_back(Ms(t));
    }
    QElapsedTimer all;
    all.start();
    while (!model->FullyFetched())
        QCoreApplication::processEvents();
    std::printf("%s: %d rows, status \"%s\"\n  RefreshQuery to first rows and total (ms):", kind, model->rowCount(), qPrintable(window.StatusText()));
    for (double v : firstRows)
        std::printf(" %.0f", v);
    std::printf("  median %.0f\n  then every row read in the background: %.0f ms; resident %ld MB, peak %ld MB\n", Median(firstRows), Ms(all), RssMb(),
                PeakRssMb());
    std::fflush(stdout);
    return Median(firstRows);
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int readings = BenchOption(QStringLiteral("--readings"), QStringLiteral("1000000")).toInt();
    const int holders = BenchOption(QStringLiteral("--holders"), QStringLiteral("100000")).toInt();
    const int runs = std::max(1, BenchOption(QStringLiteral("--runs"), QStringLiteral("5")).toInt());
    QTemporaryDir work;
    PgBenchServer server(work.path());
    if (!server.Started())
        return 1;
    const QString folder = work.path() + QLatin1Char('/');
    // One reading every 30 s back from now: a million fill the year the window lists at start.
    const QString pgFill = QStringLiteral(
        "insert into idcardinfo (idcardno, name, sex, nation_no, address, blackflag) select lpad(g::text, 18, '0'), '测试' || g, '男', 1, "
        "'测试省测试市测试区测试路' || g || '号', '否' from generate_series(1, %1) g; "
        "insert into idcardwater (idcardno, readtime, checkflags, station) select lpad((g % %1 + 1)::text, 18, '0'), "
        "date_trunc('second', localtimestamp) - g * interval '30 seconds', (g % 50 = 0)::int, 'S' from generate_series(1, %2) g")
                               .arg(holders)
                               .arg(readings);
    const QStringList fileFill = {
        QStringLiteral("with recursive s(g) as (select 1 union all select g + 1 from s where g < %1) insert into idcardinfo "
                       "(idcardno, name, sex, nation_no, address, blackflag) select substr('00000000000000000' || g, -18), '测试' || g, '男', 1, "
                       "'测试省测试市测试区测试路' || g || '号', '否' from s")
            .arg(holders),
        QStringLiteral("with recursive s(g) as (select 1 union all select g + 1 from s where g < %1) insert into idcardwater "
                       "(idcardno, readtime, checkflags, station) select substr('00000000000000000' || (g % %2 + 1), -18), "
                       "datetime('now', 'localtime', '-' || (g * 30) || ' seconds'), g % 50 = 0, 'S' from s")
            .arg(readings)
            .arg(holders)};

    const QString db = FreshPgStore();
    // Vacuumed as autovacuum would have by then, so that the server may read the indexes alone.
    if (db.isEmpty() || !Psql(db, {QStringLiteral("-c"), pgFill}) || !Psql(db, {QStringLiteral("-c"), QStringLiteral("vacuum analyze")}))
        return 1;
    std::printf("%d readings of %d holders in each store\n", readings, holders);
    QString error;
    double pgMs = 0, fileMs = 0;
    {
        TDM_Main pg;
        if (!pg.OpenPg(ConnInfo(db), &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        Quiesce();
        pgMs = ListOn(pg, folder, "PostgreSQL", runs);
    }
    {
        const QString storePath = work.filePath(QStringLiteral("KeepTrackLog.db"));
        QFile::copy(QStringLiteral(IDCARD_PROGRAM_DIR "/database/KeepTrackLog.db"), storePath);
        QFile::setPermissions(storePath, QFile::ReadOwner | QFile::WriteOwner);
        TDM_Main file;
        if (!file.OpenFile(storePath, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        for (const QString& sql : fileFill) {
            QSqlQuery q(file.con1());
            if (!q.exec(sql)) {
                std::fprintf(stderr, "%s\n", qPrintable(q.lastError().text()));
                return 1;
            }
        }
        Quiesce();
        fileMs = ListOn(file, folder, "file store", runs);
    }
    std::printf("median of %d, first rows and total: PostgreSQL %.0f ms, file store %.0f ms\n", runs, pgMs, fileMs);
    return 0;
}
