// The watch list's costs: the first import of a device database with a large list against the same
// import with an empty one; the listing of a large store, all of it with the red rows and with
// "只显示黑名单"; and importing a list file of many lines.
//
//   bench_watchlist [--readings N --holders M --runs R]          the import (20,000 / 4,000 / 3)
//                   [--store-readings N --store-holders M --listed L]  the listing (1,000,000 / 100,000 / 1,000)
//                   [--list-lines N]                                    the list file (100,000)

#include "BenchSupport.h"
#include "IdNumberCheck.h"
#include "ReadingLogImport.h"
#include "ReadingLogModel.h"
#include "RecordStore.h"
#include "WatchList.h"
#include "WatchListFile.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

namespace {

int Option(const char* name, int fallback) { return BenchOption(QLatin1String(name), QString::number(fallback)).toInt(); }

bool Exec(QSqlDatabase db, const QString& sql)
{
    QSqlQuery q(db);
    if (q.exec(sql))
        return true;
    std::fprintf(stderr, "%s: %s\n", qPrintable(sql.left(60)), qPrintable(q.lastError().text()));
    return false;
}

// The list's store step, as the tests apply it.
bool ApplyWatchListStep(QSqlDatabase db)
{
    QFile file(QStringLiteral(IDCARD_SOURCE_DIR "/data/upgrades/0002.sql"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QStringList code;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n'))
        if (!line.trimmed().startsWith(QLatin1String("--")))
            code << line;
    for (const QString& statement : code.join(u'\n').split(u';', Qt::SkipEmptyParts))
        if (!statement.trimmed().isEmpty() && !Exec(db, statement))
            return false;
    return true;
}

// A synthetic valid ID number for a counter (region 990000 + n / 1000, so never a real region).
QString BenchId(qint64 n)
{
    const QString body = QStringLiteral("%1%2%3")
                             .arg(990000 + int(n / 365000) % 10000, 6, 10, QLatin1Char('0'))
                             .arg(QDate(1950, 1, 1).addDays(n / 1000 % 365 * 60 + n % 17).toString(QStringLiteral("yyyyMMdd")))
                             .arg(n % 1000, 3, 10, QLatin1Char('0'));
    return body + IdCheckCharacter(body);
}

// A fresh copy of the ready-made store with the list's step applied.
bool FreshStore(const QString& path, TDM_Main& dm)
{
    QFile::remove(path);
    QFile::copy(QStringLiteral(IDCARD_PROGRAM_DIR "/database/KeepTrackLog.db"), path);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    QString error;
    if (!dm.OpenFile(path, &error)) {
        std::fprintf(stderr, "cannot open the store: %s\n", qPrintable(error));
        return false;
    }
    return ApplyWatchListStep(dm.con1());
}

// `entries` list entries, `fromDevice` of them the ID numbers of holders in the device database.
bool FillList(QSqlDatabase db, const QString& device, int entries, int fromDevice)
{
    QStringList ids;
    {
        QSqlDatabase d = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("device"));
        d.setDatabaseName(device);
        d.open();
        QSqlQuery q(d);
        q.exec(QStringLiteral("select distinct ic from water_list limit %1").arg(fromDevice));
        while (q.next())
            ids << q.value(0).toString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("device"));
    for (qint64 n = 0; ids.size() < entries; ++n)
        ids << BenchId(n);
    db.transaction();
    QSqlQuery q(db);
    q.prepare(QStringLiteral("insert or ignore into watchlist(idcardno,reason,addtime,station) values(?,'测试原因','2024-01-01 00:00:00','bench')"));
    for (const QString& id : ids) {
        q.addBindValue(id);
        if (!q.exec())
            return false;
    }
    return db.commit();
}

void BenchImport()
{
    const int readings = Option("--readings", 20000);
    const int holders = Option("--holders", 4000);
    const int runs = std::max(1, Option("--runs", 3));
    const QString device = BenchDeviceDb(readings, holders);
    if (device.isEmpty())
        return;
    std::vector<double> empty, listed;
    int alerts = 0;
    for (int run = 1; run <= runs; ++run) {
        for (std::vector<double>* figures : {&empty, &listed}) {
            QTemporaryDir work;
            TDM_Main dm;
            if (!FreshStore(work.filePath(QStringLiteral("KeepTrackLog.db")), dm))
                return;
            if (figures == &listed && !FillList(dm.con1(), device, 100000, 1000))
                return;
            ReadingLogImporter importer(dm.con1(), work.path());
            QElapsedTimer t;
            t.start();
            const ImportOutcome o = importer.ImportDeviceDb(device);
            figures->push_back(Ms(t));
            if (figures == &listed)
                alerts = o.listedCount;
            std::printf("run %d, %s list: %.0f ms, count %d, listed readings %d\n", run, figures == &listed ? "100,000-entry" : "empty",
                        figures->back(), o.count, o.listedCount);
            std::fflush(stdout);
        }
    }
    std::printf("first import of %d readings, median of %d: empty list %.0f ms, 100,000-entry list %.0f ms (%+.1f%%), "
                "%d readings of listed holders\n",
                readings, runs, Median(empty), Median(listed), 100.0 * (Median(listed) - Median(empty)) / Median(empty), alerts);
}

// A store of readings over holders without photos (the listing reads none), generated once.
QString ListingStore(int readings, int holders, int listed)
{
    const QString path = BenchDataDir() + QStringLiteral("/watch-store-%1-%2-%3.db").arg(readings).arg(holders).arg(listed);
    if (QFileInfo::exists(path))
        return path;
    std::printf("generating %d readings over %d holders, %d listed...\n", readings, holders, listed);
    TDM_Main dm;
    if (!FreshStore(path + QStringLiteral(".part"), dm))
        return QString();
    QSqlDatabase db = dm.con1();
    db.transaction();
    QSqlQuery h(db), r(db), w(db);
    h.prepare(QStringLiteral("insert into idcardinfo(idcardno,name,sex,nation_no,address,blackflag) values(?,?,'男',1,'测试省测试市测试路1号',?)"));
    w.prepare(QStringLiteral("insert into watchlist(idcardno,reason,addtime,station) values(?,'测试原因','2024-01-01 00:00:00','bench')"));
    for (int i = 0; i < holders; ++i) {
        const bool isListed = i % (holders / listed) == 0 && i / (holders / listed) < listed;
        h.addBindValue(BenchId(i));
        h.addBindValue(QStringLiteral("测试%1").arg(i));
        h.addBindValue(isListed ? QStringLiteral("是") : QStringLiteral("否"));
        h.exec();
        if (isListed) {
            w.addBindValue(BenchId(i));
            w.exec();
        }
    }
    r.prepare(QStringLiteral("insert into idcardwater(idcardno,readtime) values(?,?)"));
    const QDateTime start(QDate::currentDate().addDays(-360), QTime(0, 0));
    QRandomGenerator random(7);
    for (int i = 0; i < readings; ++i) {
        r.addBindValue(BenchId(random.bounded(holders)));
        r.addBindValue(start.addSecs(qint64(i) * 360 * 86400 / readings).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        r.exec();
    }
    if (!db.commit())
        return QString();
    Exec(db, QStringLiteral("analyze"));
    dm.Close();
    QFile::rename(path + QStringLiteral(".part"), path);
    return path;
}

void BenchListing()
{
    const int readings = Option("--store-readings", 1000000);
    const int holders = Option("--store-holders", 100000);
    const int listed = Option("--listed", 1000);
    const QString store = ListingStore(readings, holders, listed);
    if (store.isEmpty())
        return;
    TDM_Main dm;
    QString error;
    if (!dm.OpenFile(store, &error))
        return;
    for (bool listedOnly : {false, true}) {
        std::vector<double> times;
        int rows = 0;
        for (int run = 0; run < 5; ++run) {
            ReadingLogModel model;
            ReadingLogFilter filter;
            filter.begin = QDate::currentDate().addDays(-365).startOfDay();
            filter.end = QDate::currentDate().startOfDay();
            filter.listedOnly = listedOnly;
            QElapsedTimer t;
            t.start();
            if (!model.Run(dm.con1(), BuildReadingLogQuery(filter), &error)) {
                std::fprintf(stderr, "listing failed: %s\n", qPrintable(error));
                return;
            }
            int red = 0; // the colour of the first screen of rows, as the grid asks for it
            for (int row = 0; row < std::min(30, model.rowCount()); ++row)
                red += model.data(model.index(row, 0), Qt::ForegroundRole).isValid();
            times.push_back(Ms(t));
            rows = model.rowCount();
        }
        std::printf("listing %s: %d rows; first rows and total, median of 5: %.0f ms\n",
                    listedOnly ? "只显示黑名单" : "all readings (red rows)", rows, Median(times));
    }
}

void BenchListFile()
{
    const int lines = Option("--list-lines", 100000);
    QTemporaryDir work;
    const QString csv = work.filePath(QStringLiteral("list.csv"));
    {
        QFile f(csv);
        f.open(QIODevice::WriteOnly);
        QByteArray text = "身份证号,原因\n";
        for (int i = 0; i < lines; ++i)
            text += BenchId(500000 + i).toLatin1() + ",测试原因第" + QByteArray::number(i) + "条\n";
        f.write(text);
    }
    TDM_Main dm;
    if (!FreshStore(work.filePath(QStringLiteral("KeepTrackLog.db")), dm))
        return;
    std::vector<double> times;
    for (int run = 0; run < 3; ++run) {
        Exec(dm.con1(), QStringLiteral("delete from watchlist"));
        QElapsedTimer t;
        t.start();
        const WatchListFile file = ReadWatchListFile(csv);
        const double readMs = Ms(t);
        const WatchListImportResult r = WatchList(dm.con1()).Import(file.lines);
        times.push_back(Ms(t));
        std::printf("list file of %d lines: read %.0f ms, read and stored %.0f ms; added %d, skipped %d %s\n", lines, readMs,
                    times.back(), r.added, r.skipped, r.ok ? "" : qPrintable(r.error));
    }
    std::printf("list file of %d lines, median of 3: %.0f ms\n", lines, Median(times));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool all = !args.contains(QStringLiteral("--only-import")) && !args.contains(QStringLiteral("--only-listing"))
        && !args.contains(QStringLiteral("--only-file"));
    if (all || args.contains(QStringLiteral("--only-file")))
        BenchListFile();
    if (all || args.contains(QStringLiteral("--only-listing")))
        BenchListing();
    if (all || args.contains(QStringLiteral("--only-import")))
        BenchImport();
    return 0;
}
