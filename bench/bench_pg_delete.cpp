// Deleting 100,000 of 300,000 readings (every third) in one transaction, from a PostgreSQL store on a
// private server over its Unix socket and from a file store, each run on fresh stores filled by SQL.
//
//   bench_pg_delete [--readings N] [--holders M] [--deleted D] [--runs R]

#include "BenchSupport.h"
#include "PgBench.h"
#include "PgReadingDeletion.h"
#include "PgStore.h"
#include "ReadingDeletion.h"
#include "RecordStore.h"

#include <QCoreApplication>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int readings = BenchOption(QStringLiteral("--readings"), QStringLiteral("300000")).toInt();
    const int holders = BenchOption(QStringLiteral("--holders"), QStringLiteral("30000")).toInt();
    const int deleted = BenchOption(QStringLiteral("--deleted"), QStringLiteral("100000")).toInt();
    const int runs = std::max(1, BenchOption(QStringLiteral("--runs"), QStringLiteral("3")).toInt());
    QTemporaryDir work;
    PgBenchServer server(work.path());
    if (!server.Started())
        return 1;
    std::vector<qint64> chosen;
    for (qint64 s = 1; qint64(chosen.size()) < deleted && s <= readings; s += 3)
        chosen.push_back(s);
    // A quarter of the readings carry a card check, so the partial indexes have their share.
    const QString pgFill = QStringLiteral(
        "insert into idcardinfo (idcardno, name, nation_no, blackflag) select lpad(g::text, 18, '0'), 'n' || g, 1, '否' "
        "from generate_series(1, %1) g; "
        "insert into idcardwater (idcardno, readtime, checkflags, station) select lpad((g % %1 + 1)::text, 18, '0'), "
        "timestamp '2026-01-01' + g * interval '90 seconds', (g % 4 = 0)::int, 'S' from generate_series(1, %2) g; analyze")
                               .arg(holders)
                               .arg(readings);
    const QStringList fileFill = {
        QStringLiteral("with recursive s(g) as (select 1 union all select g + 1 from s where g < %1) insert into idcardinfo "
                       "(idcardno, name, nation_no, blackflag) select substr('00000000000000000' || g, -18), 'n' || g, 1, '否' from s")
            .arg(holders),
        QStringLiteral("with recursive s(g) as (select 1 union all select g + 1 from s where g < %1) insert into idcardwater "
                       "(idcardno, readtime, checkflags, station) select substr('00000000000000000' || (g % %2 + 1), -18), "
                       "datetime('2026-01-01', '+' || (g * 90) || ' seconds'), g % 4 = 0, 'S' from s")
            .arg(readings)
            .arg(holders)};

    std::vector<double> fileMs, pgMs;
    for (int run = 1; run <= runs; ++run) {
        const QString storePath = work.filePath(QStringLiteral("KeepTrackLog%1.db").arg(run));
        QFile::copy(QStringLiteral(IDCARD_PROGRAM_DIR "/database/KeepTrackLog.db"), storePath);
        QFile::setPermissions(storePath, QFile::ReadOwner | QFile::WriteOwner);
        TDM_Main file;
        QString error;
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
        const QString db = FreshPgStore();
        if (db.isEmpty() || !Psql(db, {QStringLiteral("-c"), pgFill}))
            return 1;
        PgStore pg;
        if (!pg.Open(ConnInfo(db), 5, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }

        Quiesce();
        QElapsedTimer t;
        t.start();
        const bool fileOk = DeleteReadings(file.con1(), chosen, &error);
        fileMs.push_back(Ms(t));
        Quiesce();
        t.restart();
        const bool pgOk = DeleteReadings(pg, chosen, &error);
        pgMs.push_back(Ms(t));
        const PgResult left = pg.Exec("select count(*) from idcardwater", &error);
        QSqlQuery fileLeft(file.con1());
        fileLeft.exec(QStringLiteral("select count(*) from idcardwater"));
        fileLeft.next();
        std::printf("run %d: %zu of %d readings deleted; file store %.0f ms (%s, %d left), PostgreSQL %.0f ms (%s, %lld left)\n", run,
                    chosen.size(), readings, fileMs.back(), fileOk ? "ok" : "failed", fileLeft.value(0).toInt(), pgMs.back(),
                    pgOk ? "ok" : qPrintable(error), left.Number(0, 0));
        std::fflush(stdout);
    }
    std::printf("median of %d: file store %.0f ms, PostgreSQL %.0f ms\n", runs, Median(fileMs), Median(pgMs));
    return 0;
}
