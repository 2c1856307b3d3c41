// The import into a record store on PostgreSQL, beside the file store's in the same run, against a
// private server on a Unix socket that the benchmark starts and stops itself
// (scripts/pg_test_server.sh):
//   1. the first import of a busy day's device database into an empty store, then the same file
//      again, each run into a fresh store;
//   2. four stations importing at once into one store, half of each station's holders shared with
//      the others (read there at other times); every holder and reading must be stored once. The
//      file store's figure is the four imports one after the other, its writer being one at a time.
//
//   bench_pg_import [--readings N] [--holders M] [--runs R] [--stations S]

#include "BenchSupport.h"
#include "PgBench.h"
#include "PgReadingImport.h"
#include "PgStore.h"
#include "ReadingLogImport.h"
#include "RecordStore.h"

#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <thread>

namespace {

// A fresh file store in the folder.
bool FreshFileStore(TDM_Main& dm, const QString& folder)
{
    const QString store = QDir(folder).filePath(QStringLiteral("KeepTrackLog.db"));
    QFile::remove(store);
    QFile::copy(QStringLiteral(IDCARD_PROGRAM_DIR "/database/KeepTrackLog.db"), store);
    QFile::setPermissions(store, QFile::ReadOwner | QFile::WriteOwner);
    QString error;
    if (!dm.OpenFile(store, &error)) {
        std::fprintf(stderr, "cannot open the store: %s\n", qPrintable(error));
        return false;
    }
    return true;
}

QString Describe(const ImportOutcome& o)
{
    return QStringLiteral("count %1, already stored %2, complete %3%4")
        .arg(o.count)
        .arg(o.alreadyStored)
        .arg(o.Complete() ? QStringLiteral("yes") : QStringLiteral("no"))
        .arg(o.error.isEmpty() ? QString() : QStringLiteral(" (") + o.error + u')');
}

// Station k's device database: the readings of the first half of the base file's holders, moved
// k × 7 minutes later, and the readings of half the holders of a file of its own people.
QString StationDeviceDb(int k, int readings, int holders)
{
    const QString path = BenchDataDir() + QStringLiteral("/station%1-%2-%3.db").arg(k).arg(readings).arg(holders);
    if (QFileInfo::exists(path))
        return path;
    const QString base = BenchDeviceDb(readings, holders);
    const QString own = BenchDataDir() + QStringLiteral("/own%1-%2-%3.db").arg(k).arg(readings).arg(holders);
    QFile script(QStringLiteral(IDCARD_SOURCE_DIR "/data/water_list.sql"));
    script.open(QIODevice::ReadOnly);
    const QByteArray layout = script.readAll();
    idcard::sample::FillRequest request;
    request.readings = readings;
    request.holders = holders;
    request.options.seed = 100 + k;
    idcard::sample::FillReport report;
    QString error;
    if (!QFileInfo::exists(own) && !idcard::sample::createDeviceDatabase(own, layout, request, &report, &error)) {
        std::fprintf(stderr, "generation failed: %s\n", qPrintable(error));
        return QString();
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("station"));
        db.setDatabaseName(path);
        db.open();
        QSqlQuery q(db);
        for (const QString& statement : QString::fromUtf8(layout).split(u';', Qt::SkipEmptyParts))
            if (!statement.trimmed().isEmpty() && !q.exec(statement)) {
                std::fprintf(stderr, "%s\n", qPrintable(q.lastError().text()));
                return QString();
            }
        const QString half = QString::number(holders / 2);
        for (const QString& sql :
             {QStringLiteral("attach '%1' as base").arg(base), QStringLiteral("attach '%1' as own").arg(own),
              QStringLiteral("insert into water_list (ic, name, sex, nation, birth, addr, issue, valid_begin, valid_End, photo, read_time) "
                             "select ic, name, sex, nation, birth, addr, issue, valid_begin, valid_End, photo, "
                             "datetime(read_time, '+%1 minutes') from base.water_list where ic in "
                             "(select distinct ic from base.water_list order by ic limit %2) order by id")
                  .arg(k * 7)
                  .arg(half),
              QStringLiteral("insert into water_list (ic, name, sex, nation, birth, addr, issue, valid_begin, valid_End, photo, read_time) "
                             "select ic, name, sex, nation, birth, addr, issue, valid_begin, valid_End, photo, read_time "
                             "from own.water_list where ic in (select distinct ic from own.water_list order by ic limit %1) order by id")
                  .arg(half)}) {
            if (!q.exec(sql)) {
                std::fprintf(stderr, "%s\n", qPrintable(q.lastError().text()));
                return QString();
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("station"));
    return path;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int readings = BenchOption(QStringLiteral("--readings"), QStringLiteral("20000")).toInt();
    const int holders = BenchOption(QStringLiteral("--holders"), QStringLiteral("4000")).toInt();
    const int runs = std::max(1, BenchOption(QStringLiteral("--runs"), QStringLiteral("5")).toInt());
    const int stations = std::max(2, BenchOption(QStringLiteral("--stations"), QStringLiteral("4")).toInt());

    QTemporaryDir work;
    PgBenchServer server(work.path());
    if (!server.Started())
        return 1;

    const QString device = BenchDeviceDb(readings, holders);
    if (device.isEmpty())
        return 1;
    const int version = 5;

    std::vector<double> fileFirst, fileAgain, pgFirst, pgAgain;
    for (int run = 1; run <= runs; ++run) {
        const QString folder = work.filePath(QStringLiteral("run%1").arg(run));
        QDir().mkpath(folder);
        {
            TDM_Main dm;
            if (!FreshFileStore(dm, folder))
                return 1;
            ReadingLogImporter importer(dm.con1(), folder);
            for (auto* figures : {&fileFirst, &fileAgain}) {
                Quiesce();
                QElapsedTimer t;
                t.start();
                const ImportOutcome o = importer.ImportDeviceDb(device);
                figures->push_back(Ms(t));
                std::printf("run %d, file store, %s: %.0f ms; %s\n", run, figures == &fileFirst ? "first import" : "same file again",
                            figures->back(), qPrintable(Describe(o)));
            }
        }
        const QString db = FreshPgStore();
        PgStore store;
        QString error;
        if (db.isEmpty() || !store.Open(ConnInfo(db), version, &error)) {
            std::fprintf(stderr, "cannot open the PostgreSQL store: %s\n", qPrintable(error));
            return 1;
        }
        PgReadingImporter importer(store, folder);
        for (auto* figures : {&pgFirst, &pgAgain}) {
            Quiesce();
            QElapsedTimer t;
            t.start();
            const ImportOutcome o = importer.ImportDeviceDb(device);
            figures->push_back(Ms(t));
            std::printf("run %d, PostgreSQL, %s: %.0f ms; %s\n", run, figures == &pgFirst ? "first import" : "same file again",
                        figures->back(), qPrintable(Describe(o)));
        }
        std::fflush(stdout);
    }
    std::printf("median of %d, first import: file store %.0f ms, PostgreSQL %.0f ms; same file again: file store %.0f ms, "
                "PostgreSQL %.0f ms\n",
                runs, Median(fileFirst), Median(pgFirst), Median(fileAgain), Median(pgAgain));

    // Stations at once.
    QStringList files;
    for (int k = 0; k < stations; ++k) {
        files << StationDeviceDb(k, readings, holders);
        if (files.back().isEmpty())
            return 1;
    }
    {
        const QString folder = work.filePath(QStringLiteral("stations-file"));
        QDir().mkpath(folder);
        TDM_Main dm;
        if (!FreshFileStore(dm, folder))
            return 1;
        ReadingLogImporter importer(dm.con1(), folder);
        Quiesce();
        QElapsedTimer t;
        t.start();
        int stored = 0;
        for (const QString& file : files)
            stored += importer.ImportDeviceDb(file).count;
        std::printf("%d stations, file store, one after the other: %.0f ms, %d readings stored\n", stations, Ms(t), stored);
    }
    const QString db = FreshPgStore();
    Quiesce();
    std::vector<ImportOutcome> outcomes(static_cast<size_t>(stations));
    std::vector<double> done(static_cast<size_t>(stations));
    QElapsedTimer t;
    t.start();
    std::vector<std::thread> threads;
    for (int k = 0; k < stations; ++k)
        threads.emplace_back([&, k] {
            PgStore store;
            QString error;
            if (!store.Open(ConnInfo(db), version, &error)) {
                outcomes[size_t(k)].error = error;
                return;
            }
            const QString folder = work.filePath(QStringLiteral("station%1").arg(k));
            QDir().mkpath(folder);
            outcomes[size_t(k)] = PgReadingImporter(store, folder).ImportDeviceDb(files[k]);
            done[size_t(k)] = Ms(t);
        });
    for (auto& thread : threads)
        thread.join();
    const double all = Ms(t);
    int stored = 0;
    for (int k = 0; k < stations; ++k) {
        std::printf("station %d: done after %.0f ms; %s\n", k, done[size_t(k)], qPrintable(Describe(outcomes[size_t(k)])));
        stored += outcomes[size_t(k)].count;
    }
    PgStore check;
    QString error;
    if (!check.Open(ConnInfo(db), version, &error))
        return 1;
    const PgResult counts = check.Exec("select (select count(*) from idcardinfo), (select count(distinct idcardno) from idcardinfo), "
                                       "(select count(*) from idcardwater), (select count(distinct (idcardno, readtime)) from idcardwater)",
                                       &error);
    std::printf("%d stations at once on PostgreSQL: all done in %.0f ms; the stations report %d readings stored; the store holds "
                "%lld holders (%lld distinct), %lld readings (%lld distinct)\n",
                stations, all, stored, counts.Number(0, 0), counts.Number(0, 1), counts.Number(0, 2), counts.Number(0, 3));
    return 0;
}
