// What the operator reads from a record store on PostgreSQL is what the file store shows for the
// same readings: the details pane, the holder printed, the exported workbook, the statistics and
// the audit trail. Both stores get their readings through their own import of one device database.
#include "AuditLog.h"
#include "CardPrint.h"
#include "ExportReadingsCommand.h"
#include "PgReadingImport.h"
#include "PgStore.h"
#include "PgTestServer.h"
#include "ReadingDetails.h"
#include "ReadingLogImport.h"
#include "ReadingStats.h"
#include "RecordStore.h"
#include "TestSupport.h"
#include "WatchList.h"

#include <QCryptographicHash>
#include <QLabel>
#include <QLineEdit>
#include <QSqlQuery>
#include <QtTest>

#include <zip.h>

namespace {

QString Id(int n) { return SyntheticId(110101, QDate(1980, 1, 1).addDays(n * 37), n); }

// Holder h read on the given days at an hour of its own; some cards expired, one holder a minor.
QList<DeviceRow> Readings()
{
    const QStringList days = {"2023-05-02", "2024-12-30", "2025-10-06", "2026-02-28", "2026-03-01", "2026-03-02"};
    QList<DeviceRow> rows;
    for (int h = 1; h <= 8; ++h)
        for (int d = h % 3; d < days.size(); d += 1 + h % 2) {
            DeviceRow r;
            r.ic = Id(h);
            r.readTime = QStringLiteral("%1 %2:%3:00").arg(days[d]).arg(h * 3 % 24, 2, 10, QLatin1Char('0')).arg(d * 7, 2, 10, QLatin1Char('0'));
            r.name = QStringLiteral("%1测试%2").arg(h % 2 ? QStringLiteral("Ab") : QStringLiteral("ab")).arg(h);
            r.sex = h % 2 ? QStringLiteral("男") : QStringLiteral("女");
            r.birth = h == 8 ? QStringLiteral("2015-05-05") : QDate(1980, 1, 1).addDays(h * 37).toString(Qt::ISODate);
            r.validEnd = h == 3 ? QStringLiteral("2020.01.01") : QStringLiteral("2035.07.01");
            r.photo = h == 5 ? QVariant() : QVariant(SyntheticPng(102, 126, qRgb(h * 30, 90, 140)));
            rows << r;
        }
    rows << rows.last(); // 5 minutes after the same holder's reading: a repeat
    rows.last().readTime = rows.last().readTime.left(14) + QStringLiteral("59:00");
    return rows;
}

// The readings of a store by ID number and time: serial number, ID number, name, time, flag.
std::vector<ScriptedView::Row> StoredReadings(QSqlDatabase db)
{
    std::vector<ScriptedView::Row> rows;
    QSqlQuery q(db);
    q.exec(QStringLiteral("select a.serialno,a.idcardno,b.name,a.readtime,b.blackflag from idcardwater a join idcardinfo b "
                          "on b.idcardno=a.idcardno order by a.idcardno,a.readtime"));
    while (q.next())
        rows.push_back({q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(), StoredTimeText(q.value(3)),
                        q.value(4).toString()});
    return rows;
}

QByteArray ZipPart(const QString& path, const char* name)
{
    zip_t* archive = zip_open(QFile::encodeName(path).constData(), ZIP_RDONLY, nullptr);
    zip_file_t* part = archive ? zip_fopen(archive, name, 0) : nullptr;
    QByteArray bytes;
    char buffer[4096];
    for (zip_int64_t n; part && (n = zip_fread(part, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, int(n));
    if (part)
        zip_fclose(part);
    if (archive)
        zip_discard(archive);
    return bytes;
}

QString StatsText(const ReadingStatsResult& s)
{
    QStringList t{QString::number(int(s.period)), QString::number(s.readings), QString::number(s.holders),
                  QString::number(s.unplacedReadings), s.busiestDay.toString(Qt::ISODate), QString::number(s.busiestDayReadings),
                  QString::number(s.busiestHour), QString::number(s.busiestHourReadings),
                  QString::number(s.watchListedReadings.value_or(-1)), QString::number(s.checkedReadings.value_or(-1))};
    for (const StatsBucket& b : s.buckets)
        t << QStringLiteral("%1:%2/%3").arg(b.start.toString(Qt::ISODate)).arg(b.readings).arg(b.holders);
    for (qint64 n : s.byHour)
        t << QString::number(n);
    return t.join(u' ');
}

} // namespace

class TestPgReads : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    TempProgramFolder m_folder;
    TDM_Main m_file, m_pg;
    struct Kind {
        const char* name;
        TDM_Main* store;
    };
    const Kind m_kinds[2] = {{"file", &m_file}, {"postgres", &m_pg}};

    // The output of a read path for each store kind; the PostgreSQL store's must be the file's.
    template <typename F> void compareKinds(F output)
    {
        QStringList outputs[2];
        for (int k = 0; k < 2; ++k)
            outputs[k] = output(m_kinds[k].store->con1());
        QVERIFY(!outputs[0].isEmpty());
        QCOMPARE(outputs[1], outputs[0]);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_folder.isValid());
        QString error;
        QVERIFY2(m_file.OpenFile(m_folder.storePath(), &error), qPrintable(error));
        // The store in a schema of its own, as the stations reach it through their search path.
        const QString db = PgTestServer::CreateDatabase(&error);
        QVERIFY2(!db.isEmpty(), qPrintable(error));
        QVERIFY2(PgTestServer::Psql(db, {"-c", "create schema store; alter database " + db + " set search_path = store"}, &error), qPrintable(error));
        QVERIFY2(PgTestServer::Psql(db, {"-f", IDCARD_SOURCE_DIR "/data/postgres/create_store.sql"}, &error), qPrintable(error));
        QVERIFY2(m_pg.OpenPg(PgTestServer::ConnInfo(db), &error), qPrintable(error));

        const QString device = m_dir.filePath(QStringLiteral("device.db"));
        QVERIFY2(CreateDeviceDb(device, &error) && AddDeviceRows(device, Readings(), &error), qPrintable(error));
        const QString listSql = QStringLiteral("insert into watchlist (idcardno, reason, addtime, station) values "
                                               "('%1', '测试原因', '2026-02-01 10:00:00', 'S1'), ('%2', '', '2026-02-01 10:00:00', 'S2')")
                                    .arg(Id(2), Id(4));
        QSqlQuery(m_file.con1()).exec(listSql);
        QVERIFY2(m_pg.Pg()->Exec(listSql.toUtf8().constData(), &error).Ok(), qPrintable(error));
        QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("f")) && QDir(m_dir.path()).mkpath(QStringLiteral("p")));
        const ImportOutcome onFile = ReadingLogImporter(m_file.con1(), m_dir.filePath(QStringLiteral("f"))).ImportDeviceDb(device);
        const ImportOutcome onPg = PgReadingImporter(*m_pg.Pg(), m_dir.filePath(QStringLiteral("p"))).ImportDeviceDb(device);
        QVERIFY2(onFile.Complete() && onPg.Complete(), qPrintable(onFile.error + onPg.error));

        // Audit rows of other days, both bounds of a day among them.
        const char* const times[] = {"2025-05-31 23:59:59", "2025-06-01 00:00:00", "2025-06-01 12:00:00", "2025-06-02 00:00:00"};
        for (int i = 0; i < 8; ++i) {
            const AuditRow row{QString::fromLatin1(times[i % 4]), QStringLiteral("站点%1").arg(i % 3), QStringLiteral("op"),
                               AuditActions()[i % 3 + 4], i, i % 2 ? Id(i) : QString()};
            QVERIFY2(WriteAudit(m_file.con1(), row, &error) && WriteAudit(*m_pg.Pg(), row, &error), qPrintable(error));
        }
    }

    void detailsPane()
    {
        QLineEdit edits[5];
        QLabel photo, listed, checks, station;
        photo.resize(102, 126);
        ReadingDetails details({&edits[0], &edits[1], &edits[2], &edits[3], &edits[4], &photo, &listed, &checks, &station});
        compareKinds([&](QSqlDatabase db) {
            QStringList shown;
            for (const ScriptedView::Row& r : StoredReadings(db)) {
                details.Show(db, r.serialno, r.idcardno);
                QStringList texts;
                for (QLineEdit& e : edits)
                    texts << e.text();
                const QImage image = photo.pixmap().toImage();
                shown << texts.join(u'|') + u'|' + listed.text() + u'|' + checks.text() + u'|' + station.toolTip() + u'|'
                             + QCryptographicHash::hash(QByteArray(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes()),
                                                        QCryptographicHash::Sha1).toHex();
            }
            return shown;
        });
        // The pane had each kind of thing to show.
        QVERIFY2(station.toolTip().startsWith(QStringLiteral("采集站点：")) && !photo.pixmap().isNull(), qPrintable(station.toolTip()));
    }

    void printedHolder()
    {
        compareKinds([&](QSqlDatabase db) {
            QStringList records;
            for (const ScriptedView::Row& r : StoredReadings(db)) {
                CardHolderFields holder;
                bool found = false;
                QString error;
                if (!ReadCardHolder(db, r.serialno, &holder, &found, &error) || !found)
                    return QStringList{error};
                const CardPrintRecord record = MakeCardPrintRecord(holder, QStringLiteral("/p/lstmp.bmp"));
                records << QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(&record), sizeof record).toHex() + ' '
                                               + QCryptographicHash::hash(holder.photo, QCryptographicHash::Sha1).toHex());
            }
            return records;
        });
    }

    void exportedWorkbook()
    {
        ScriptedMessages messages;
        compareKinds([&](QSqlDatabase db) {
            ScriptedView view(db);
            view.rows = StoredReadings(db);
            for (int i = 0; i < int(view.rows.size()); ++i)
                view.chosen.push_back(i);
            const QString path = m_dir.filePath(QStringLiteral("readings.xlsx"));
            const int written = ExportReadingsCommand(view, m_folder.path(), true, QString(), db).Export(path);
            QList<AuditRow> audit;
            QString error;
            ReadAudit(db, {QDate(), QDate(), QString::fromUtf8(AuditAction::kExport)}, &audit, &error);
            return QStringList{QString::number(written), QString::fromUtf8(ZipPart(path, "xl/worksheets/sheet1.xml")),
                               audit.isEmpty() ? error : audit[0].detail + QString::number(audit[0].count)};
        });
        QVERIFY2(messages.Texts().filter(QStringLiteral("操作日志")).isEmpty(), qPrintable(messages.Texts().join(u'\n')));
    }

    void statistics_data()
    {
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("narrowed"); // 1: listed only, 2: checked only
        QTest::newRow("days") << "2026-02-20" << "2026-03-01" << "" << "" << 0;
        QTest::newRow("weeks") << "2025-09-01" << "2026-03-31" << "" << "" << 0;
        QTest::newRow("months") << "2023-01-01" << "2026-03-31" << "" << "" << 0;
        QTest::newRow("ID number prefix") << "2023-01-01" << "2026-03-31" << Id(3).left(8) << "" << 0;
        QTest::newRow("name prefix, other case") << "2023-01-01" << "2026-03-31" << "" << "AB" << 0;
        QTest::newRow("listed only") << "2024-01-01" << "2026-03-31" << "" << "" << 1;
        QTest::newRow("checked only") << "2023-01-01" << "2026-03-31" << "" << "" << 2;
    }
    void statistics()
    {
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, id);
        QFETCH(QString, name);
        QFETCH(int, narrowed);
        const ReadingLogFilter filter{QDateTime(QDate::fromString(from, Qt::ISODate), {}), QDateTime(QDate::fromString(to, Qt::ISODate), {}),
                                      id, name, narrowed == 1, narrowed == 2};
        compareKinds([&](QSqlDatabase db) {
            ReadingStatsResult stats;
            QString error;
            if (!ReadingStats(db).Count(filter, &stats, &error))
                return QStringList{error};
            return stats.IsEmpty() ? QStringList() : QStringList{StatsText(stats)};
        });
    }

    void auditTrail_data()
    {
        QTest::addColumn<QDate>("from");
        QTest::addColumn<QDate>("to");
        QTest::addColumn<QString>("action");
        QTest::newRow("one day") << QDate(2025, 6, 1) << QDate(2025, 6, 1) << "";
        QTest::newRow("no lower bound, one action") << QDate() << QDate(2025, 6, 1) << QString::fromUtf8(AuditAction::kPrint);
        QTest::newRow("no bounds, one action") << QDate() << QDate() << QString::fromUtf8(AuditAction::kWatchAdd);
    }
    void auditTrail()
    {
        QFETCH(QDate, from);
        QFETCH(QDate, to);
        QFETCH(QString, action);
        compareKinds([&](QSqlDatabase db) {
            QList<AuditRow> rows;
            QString error;
            if (!ReadAudit(db, {from, to, action}, &rows, &error))
                return QStringList{error};
            QStringList shown;
            for (const AuditRow& r : rows)
                shown << QStringList{r.time, r.station, r.user, r.action, QString::number(r.count), r.detail}.join(u'|');
            return shown;
        });
    }

    void watchListEntries()
    {
        compareKinds([&](QSqlDatabase db) {
            QList<WatchEntry> entries;
            QString error;
            if (!WatchList(db).Entries(&entries, &error))
                return QStringList{error};
            QStringList shown;
            for (const WatchEntry& e : entries)
                shown << QStringList{e.idcardno, e.name, e.reason, e.addtime, e.station}.join(u'|');
            return shown;
        });
    }
};

QTEST_MAIN(TestPgReads)
#include "test_pg_reads.moc"
