// Retention over a large store: time from the operator's yes until the expired readings, the
// holders left without readings and the audit row are committed; and the cost of one audit row.
//
//   bench_retention [--readings N] [--holders M] [--days D] [--runs R]
//
// The record store (1,000,000 readings over 100,000 holders by default, within the last year) is
// generated once into bench-data/; every run works on a fresh copy. D (256 by default) keeps the
// readings of the last D days, about 30% of them expired.

#include "AuditLog.h"
#include "BenchSupport.h"
#include "RecordStore.h"
#include "Retention.h"

#include <QCoreApplication>
#include <QSqlDatabase>

#include <algorithm>
#include <vector>

namespace {
double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int readings = BenchOption(QStringLiteral("--readings"), QStringLiteral("1000000")).toInt();
    const int holders = BenchOption(QStringLiteral("--holders"), QStringLiteral("100000")).toInt();
    const int days = BenchOption(QStringLiteral("--days"), QStringLiteral("256")).toInt();
    const int runs = std::max(1, BenchOption(QStringLiteral("--runs"), QStringLiteral("3")).toInt());
    const QString dataDir = BenchDataDir();
    const QDate today = QDate::currentDate();
    QString error;
    const QString store = BenchRecordStore(dataDir, readings, holders, today, &error);
    if (store.isEmpty()) {
        std::fprintf(stderr, "cannot make the record store: %s\n", qPrintable(error));
        return 1;
    }
    const QString work = dataDir + QStringLiteral("/retention-work.db");
    const QString cut = RetentionCut(today, days);

    std::vector<double> times, auditAlone, auditInside;
    RetentionResult last;
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
        QElapsedTimer clock;
        clock.start();
        last = DeleteExpired(dm.con1(), cut, days);
        times.push_back(Ms(clock));
        if (!last.ok) {
            std::fprintf(stderr, "retention failed: %s\n", qPrintable(last.error));
            return 1;
        }
        // An audit row on its own (export, print: its own commit) and inside a command's
        // transaction (delete, import, retention, watch list).
        for (int i = 0; i < 20; ++i) {
            clock.start();
            if (!WriteAudit(dm.con1(), QStringLiteral("导出"), 100000, QStringLiteral("/tmp/bench.xlsx"), &error)) {
                std::fprintf(stderr, "audit row failed: %s\n", qPrintable(error));
                return 1;
            }
            auditAlone.push_back(Ms(clock));
            QSqlDatabase db = dm.con1();
            BeginExclusive(db);
            clock.start();
            WriteAudit(db, QStringLiteral("删除"), 10, QStringLiteral("2024-01-01 至 2024-12-31，全选；删除 10 条"), &error);
            auditInside.push_back(Ms(clock));
            db.commit();
        }
    }
    std::printf("%d readings over %d holders; period %d days: %d readings and %d holders deleted\n", readings, holders, days,
                last.readings, last.holders);
    std::printf("  yes to committed, %d runs (ms):", runs);
    for (double v : times)
        std::printf(" %.0f", v);
    std::printf("  median %.0f\n", Median(times));
    std::printf("  one audit row with its own commit: median %.2f ms, max %.2f ms\n", Median(auditAlone),
                *std::max_element(auditAlone.begin(), auditAlone.end()));
    std::printf("  one audit row inside a transaction: median %.3f ms, max %.3f ms\n", Median(auditInside),
                *std::max_element(auditInside.begin(), auditInside.end()));
    QFile::remove(work);
    return 0;
}
