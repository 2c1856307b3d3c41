// Card checks over a large store: the store step that judges 1,000,000 stored readings, and the
// listing with 只显示异常 over them.
//   bench_cardchecks [--store-readings N] [--store-holders N]

#include "BenchSupport.h"
#include "CardCheckStore.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "StoreUpgrade.h"

#include <QApplication>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>

#include <cstdio>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int readings = BenchOption(QStringLiteral("--store-readings"), QStringLiteral("1000000")).toInt();
    const int holders = BenchOption(QStringLiteral("--store-holders"), QStringLiteral("100000")).toInt();
    QString error;
    const QDate today = QDate::currentDate();
    const QString source = BenchRecordStore(BenchDataDir(), readings, holders, today, &error);
    if (source.isEmpty()) {
        std::fprintf(stderr, "store: %s\n", qPrintable(error));
        return 1;
    }
    // A copy brought back to version 2, as a store made before the checks.
    const QString store = BenchDataDir() + QStringLiteral("/cardchecks.db");
    QFile::remove(store);
    QFile::remove(store + QStringLiteral(".v2.bak"));
    if (!QFile::copy(source, store))
        return 1;
    TDM_Main dm;
    if (!dm.OpenFile(store, &error)) {
        std::fprintf(stderr, "open: %s\n", qPrintable(error));
        return 1;
    }
    QSqlQuery q(dm.con1());
    for (const char* sql : {"drop index if exists idcardwater_odd_readtime", "drop index if exists idcardwater_odd_idcardno",
                            "alter table idcardwater drop column checkflags", "pragma user_version = 2"})
        if (!q.exec(QString::fromLatin1(sql))) {
            std::fprintf(stderr, "%s\n", sql);
            return 1;
        }
    QList<UpgradeStep> steps = ProgramUpgradeSteps();
    QList<UpgradeStep> upTo3;
    for (const UpgradeStep& s : steps)
        if (s.version <= 3)
            upTo3 << s;
    QElapsedTimer t;
    t.start();
    const StoreUpgradeResult result = UpgradeStore(dm.con1(), upTo3);
    const double stepMs = Ms(t);
    if (result.outcome != StoreUpgradeResult::Upgraded) {
        std::fprintf(stderr, "upgrade: %s\n", qPrintable(result.error));
        return 1;
    }
    q.exec(QStringLiteral("select count(*), sum(checkflags<>0) from idcardwater"));
    q.next();
    std::printf("step to version 3 over %lld readings (%lld flagged), copy of the store included: %.0f ms\n", q.value(0).toLongLong(),
                q.value(1).toLongLong(), stepMs);
    q.finish();
    {
        // The judging alone, without the copy the upgrade makes first: the step's SQL and its work
        // in one transaction, over the same readings brought back to version 2.
        for (const char* sql : {"drop index if exists idcardwater_odd_readtime", "drop index if exists idcardwater_odd_idcardno",
                                "alter table idcardwater drop column checkflags"})
            q.exec(QString::fromLatin1(sql));
        QElapsedTimer jt;
        jt.start();
        bool ok = dm.con1().transaction();
        for (const UpgradeStep& s : upTo3) {
            if (s.version != 3)
                continue;
            QStringList code;
            for (const QString& line : s.sql.split(u'\n'))
                if (!line.trimmed().startsWith(QLatin1String("--")))
                    code << line;
            for (const QString& statement : code.join(u'\n').split(u';', Qt::SkipEmptyParts))
                if (ok && !statement.trimmed().isEmpty())
                    ok = q.exec(statement);
        }
        ok = ok && JudgeStoredReadings(dm.con1(), &error) && dm.con1().commit();
        if (!ok) {
            std::fprintf(stderr, "judging alone failed: %s %s\n", qPrintable(error), qPrintable(q.lastError().text()));
            return 1;
        }
        std::printf("the step's SQL and judging alone, no copy: %.0f ms\n", Ms(jt));
    }

    for (bool oddOnly : {false, true}) {
        std::vector<double> times;
        int rows = 0;
        for (int run = 0; run < 5; ++run) {
            ReadingLogModel model;
            ReadingLogFilter filter;
            filter.begin = today.addDays(-365).startOfDay();
            filter.end = today.startOfDay();
            filter.oddOnly = oddOnly;
            QElapsedTimer lt;
            lt.start();
            if (!model.Run(dm.con1(), BuildReadingLogQuery(filter), &error)) {
                std::fprintf(stderr, "listing failed: %s\n", qPrintable(error));
                return 1;
            }
            int coloured = 0; // the first screen of rows, as the grid asks for it
            for (int row = 0; row < std::min(30, model.rowCount()); ++row)
                coloured += model.data(model.index(row, 0), Qt::ForegroundRole).isValid();
            times.push_back(Ms(lt));
            rows = model.rowCount();
        }
        std::printf("listing %s: %d rows; first rows and total, median of 5: %.0f ms\n", oddOnly ? "只显示异常" : "all readings (coloured)", rows,
                    Median(times));
    }
    return 0;
}
