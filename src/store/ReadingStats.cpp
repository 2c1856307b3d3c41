#include "ReadingStats.h"

#include "RecordStore.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

StatsPeriod StatsPeriodFor(const QDate& first, const QDate& last)
{
    if (!first.isValid() || !last.isValid() || last < first)
        return StatsPeriod::Day;
    if (last >= first.addYears(2))
        return StatsPeriod::Month;
    if (first.daysTo(last) + 1 > 92)
        return StatsPeriod::Week;
    return StatsPeriod::Day;
}

QDate PeriodStart(StatsPeriod period, const QDate& day)
{
    switch (period) {
    case StatsPeriod::Week:
        return day.addDays(1 - day.dayOfWeek());
    case StatsPeriod::Month:
        return QDate(day.year(), day.month(), 1);
    case StatsPeriod::Day:
        break;
    }
    return day;
}

QDate NextPeriodStart(StatsPeriod period, const QDate& start)
{
    switch (period) {
    case StatsPeriod::Week:
        return start.addDays(7);
    case StatsPeriod::Month:
        return start.addMonths(1);
    case StatsPeriod::Day:
        break;
    }
    return start.addDays(1);
}

namespace {

// More periods than a chart can show apart: the range is then cut to the periods with readings.
constexpr int kMaxBuckets = 750;

// The first day of a reading's period as the store computes it ("YYYY-MM-DD").
QString periodKeySql(StatsPeriod period)
{
    switch (period) {
    case StatsPeriod::Week:
        // The Monday of the reading's week: forward to its Sunday, back six days.
        return QStringLiteral("date(substr(a.readtime,1,10),'weekday 0','-6 days')");
    case StatsPeriod::Month:
        return QStringLiteral("substr(a.readtime,1,7)||'-01'");
    case StatsPeriod::Day:
        break;
    }
    return QStringLiteral("substr(a.readtime,1,10)");
}

// The start of the period holding a time (%1), and the step to the next one, as SQLite's
// date functions take them.
QString periodStartSql(StatsPeriod period)
{
    switch (period) {
    case StatsPeriod::Week:
        return QStringLiteral("datetime(%1,'start of day','weekday 0','-6 days')");
    case StatsPeriod::Month:
        return QStringLiteral("datetime(%1,'start of month')");
    case StatsPeriod::Day:
        break;
    }
    return QStringLiteral("datetime(%1,'start of day')");
}

QString periodStepSql(StatsPeriod period)
{
    switch (period) {
    case StatsPeriod::Week:
        return QStringLiteral("'+7 days'");
    case StatsPeriod::Month:
        return QStringLiteral("'+1 month'");
    case StatsPeriod::Day:
        break;
    }
    return QStringLiteral("'+1 day'");
}

// What a slot query counts in each slot.
enum class SlotCount { Readings, Holders };

// One row per time slot, from the slot of the first reading in the date range to that of the
// last, with the readings or distinct holders of the range within the slot. Each slot is a range
// of the reading-time index, so nothing is sorted but a slot's holders. startOf gives a slot's
// start from a time (%1); a first time that is no date-time counts as p1.
QString slotsSql(const QString& startOf, const QString& step, SlotCount what)
{
    const QString from = ReadingLogQuery::InRangeFrom();
    const QString first = QStringLiteral("coalesce(datetime((select min(a.readtime) %1)),:p1)").arg(from);
    const QString last = QStringLiteral("coalesce(datetime((select max(a.readtime) %1)),:p2)").arg(from);
    const QString inSlot = QStringLiteral("%1 and a.readtime>=s.t and a.readtime<datetime(s.t,%2)")
                               .arg(ReadingLogQuery::InRangeFrom(false), step);
    // Grouping a slot's readings by holder sorts them, which costs less than count(distinct)'s
    // look-up per reading.
    const QString count = what == SlotCount::Readings
                              ? QStringLiteral("select count(*) %1").arg(inSlot)
                              : QStringLiteral("select count(*) from (select 1 %1 group by a.idcardno)").arg(inSlot);
    return QStringLiteral("with recursive s(t) as (select %1 union all select datetime(t,%2) from s "
                          "where datetime(t,%2)<=%3) select t,(%4) from s")
        .arg(startOf.arg(first), step, last, count);
}

QDate parseDay(const QString& text) { return text.size() == 10 ? QDate::fromString(text, Qt::ISODate) : QDate(); }

// "YYYY-MM-DD" or "YYYY-MM-DD HH:MM:SS" into its day.
QDate parseSlotDay(const QString& key) { return key.size() >= 10 ? parseDay(key.left(10)) : QDate(); }

// "YYYY-MM-DD HH" into its day and hour; false for a text of another form.
bool parseDayHour(const QString& key, QDate* day, int* hour)
{
    if (key.size() != 13 || key[10] != u' ' || !key[11].isDigit() || !key[12].isDigit())
        return false;
    *day = parseDay(key.left(10));
    *hour = (key[11].unicode() - u'0') * 10 + (key[12].unicode() - u'0');
    return day->isValid() && *hour < 24;
}

// Parameters by position; the slot queries, which use p1 and p2 more than once, bind them by name.
enum class Binding { Position, Name };

bool runQuery(const QSqlDatabase& db, const QString& sql, const QStringList& params,
              const std::function<void(const QSqlQuery&)>& onRow, QString* error, Binding binding = Binding::Position)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    bool ok = q.prepare(sql);
    if (ok) {
        for (int i = 0; i < params.size(); ++i) {
            if (binding == Binding::Name)
                q.bindValue(QStringLiteral(":p%1").arg(i + 1), params[i]);
            else
                q.bindValue(i, params[i]);
        }
        ok = q.exec();
    }
    while (ok && q.next())
        onRow(q);
    // next() is false at the end and on a failing step alike.
    if (!ok || q.lastError().type() != QSqlError::NoError) {
        if (error)
            *error = q.lastError().text();
        return false;
    }
    return true;
}

// One slot query run on a read-only connection of its own, in a thread, while the caller's
// connection counts the rest: the holders per period are the longest query by far, and the
// machine has another core. The caller holds a read transaction from before the start to after
// Take(), so that no write can commit between the two connections' reads and both see one store.
class SideCount {
public:
    using Rows = std::vector<std::pair<QString, qint64>>;

    SideCount(const QString& file, const QString& sql, const QStringList& params)
        : m_thread([this, path = QFile::encodeName(file), text = sql.toUtf8(), params] { run(path, text, params); })
    {
    }
    ~SideCount()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            if (m_db)
                sqlite3_interrupt(m_db);
        }
        if (m_thread.joinable())
            m_thread.join();
    }

    // The rows; false when the side connection failed (the store busy, say), and the caller counts
    // them itself.
    bool Take(Rows* rows)
    {
        m_thread.join();
        m_thread = std::thread();
        *rows = std::move(m_rows);
        return m_ok;
    }

private:
    void run(const QByteArray& path, const QByteArray& sql, const QStringList& params)
    {
        sqlite3* db = nullptr;
        // No busy wait: a writer about to commit waits for the caller's read lock, so waiting
        // here for the writer would only delay the fallback.
        if (sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
            sqlite3_close(db);
            return;
        }
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_db = db;
        }
        // Read straight from the file's pages in the page cache, not copied into a cache of its own.
        sqlite3_exec(db, "PRAGMA mmap_size=1073741824", nullptr, nullptr, nullptr);
        sqlite3_stmt* stmt = nullptr;
        int rc = sqlite3_prepare_v2(db, sql.constData(), int(sql.size()), &stmt, nullptr);
        for (int i = 0; rc == SQLITE_OK && i < params.size(); ++i) {
            const int at = sqlite3_bind_parameter_index(stmt, QStringLiteral(":p%1").arg(i + 1).toUtf8().constData());
            if (at > 0)
                rc = sqlite3_bind_text(stmt, at, params[i].toUtf8().constData(), -1, SQLITE_TRANSIENT);
        }
        while (rc == SQLITE_OK && (rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            m_rows.emplace_back(QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))),
                                sqlite3_column_int64(stmt, 1));
            rc = SQLITE_OK;
        }
        m_ok = rc == SQLITE_DONE;
        sqlite3_finalize(stmt);
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_db = nullptr;
        }
        sqlite3_close(db);
    }

    std::mutex m_mutex;
    sqlite3* m_db = nullptr; // open while the query runs, for the destructor's interrupt
    Rows m_rows;
    bool m_ok = false;
    std::thread m_thread; // last: started once the rest is set up
};

// A read transaction on the caller's connection, ended on every path; not open when the
// connection was inside a transaction already.
class ReadSnapshot {
public:
    explicit ReadSnapshot(QSqlDatabase db) : m_db(std::move(db))
    {
        // BEGIN takes no lock; the first read takes the shared lock the transaction then keeps.
        m_began = m_db.transaction();
        QSqlQuery touch(m_db);
        m_open = m_began && touch.exec(QStringLiteral("select 1 from idcardwater limit 1"));
    }
    ~ReadSnapshot()
    {
        // Never left open: it would hold off every writer. Reads still pending on the connection
        // (the list's) do not stop a commit of a transaction that wrote nothing.
        if (m_began && !m_db.commit())
            m_db.rollback();
    }
    bool IsOpen() const { return m_open; }

private:
    QSqlDatabase m_db;
    bool m_began = false;
    bool m_open = false;
};

int monthIndex(const QDate& d) { return d.year() * 12 + d.month() - 1; }

// Position of a period among the buckets that begin with the period starting at first.
qint64 bucketIndex(StatsPeriod period, const QDate& first, const QDate& start)
{
    switch (period) {
    case StatsPeriod::Week:
        return first.daysTo(start) / 7;
    case StatsPeriod::Month:
        return monthIndex(start) - monthIndex(first);
    case StatsPeriod::Day:
        break;
    }
    return first.daysTo(start);
}

// The busiest day and hour, and the periods with their readings: they span the filter's days,
// and the day after them when a reading at its midnight is listed. Gives where a period's start
// goes among the buckets.
using BucketOf = std::function<StatsBucket*(const QDate&)>;
BucketOf placeReadings(StatsPeriod period, const QDate& first, const QDate& last, const std::map<QDate, qint64>& perDay,
                       ReadingStatsResult* result)
{
    for (const auto& [day, n] : perDay)
        if (n > result->busiestDayReadings) {
            result->busiestDay = day;
            result->busiestDayReadings = n;
        }
    for (int h = 0; h < 24; ++h)
        if (result->byHour[static_cast<size_t>(h)] > result->busiestHourReadings) {
            result->busiestHour = h;
            result->busiestHourReadings = result->byHour[static_cast<size_t>(h)];
        }

    const QDate dataFirst = perDay.begin()->first;
    const QDate dataLast = perDay.rbegin()->first;
    QDate from = first;
    QDate to = std::max(last, dataLast);
    if (to < from || bucketIndex(period, PeriodStart(period, from), PeriodStart(period, to)) >= kMaxBuckets) {
        from = dataFirst;
        to = dataLast;
    }
    const QDate firstStart = PeriodStart(period, from);
    for (QDate s = firstStart; s <= to && result->buckets.size() < size_t(kMaxBuckets); s = NextPeriodStart(period, s))
        result->buckets.push_back({s, 0, 0});
    BucketOf bucketOf = [period, firstStart, result](const QDate& start) -> StatsBucket* {
        const qint64 i = bucketIndex(period, firstStart, start);
        return i >= 0 && i < qint64(result->buckets.size()) ? &result->buckets[size_t(i)] : nullptr;
    };
    for (const auto& [day, n] : perDay)
        if (StatsBucket* b = bucketOf(PeriodStart(period, day)))
            b->readings += n;
    return bucketOf;
}

// The period of date_trunc that PeriodStart gives.
QString pgPeriodUnit(StatsPeriod period)
{
    switch (period) {
    case StatsPeriod::Week:
        return QStringLiteral("week"); // weeks from Monday, as PeriodStart's
    case StatsPeriod::Month:
        return QStringLiteral("month");
    case StatsPeriod::Day:
        break;
    }
    return QStringLiteral("day");
}

// A million readings grouped in memory: the server's default of 4 MB would spill them to disk.
const char* const kPgWorkMem = "set local work_mem = '64MB'";

// The holders per period (day texts) of the filter's readings.
QString pgHoldersSql(StatsPeriod period, const QString& condition)
{
    // Sorted by period and holder: cheaper than hashing as many pairs as there are readings.
    return QStringLiteral("select to_char(p,'YYYY-MM-DD'),count(distinct idcardno) from (select date_trunc('%1',a.readtime) p,a.idcardno "
                          "from idcardwater a,idcardinfo b,nation_mes c %2) s group by p")
        .arg(pgPeriodUnit(period), condition);
}

// The holders per period, counted in a thread on a connection of its own in the caller's snapshot:
// the longest query by far, while the caller's connection counts the rest.
class PgSideCount {
public:
    PgSideCount(const QString& connection, const QString& snapshot, const QString& sql, const QStringList& params)
        : m_thread([=] { run(connection, snapshot, sql, params); })
    {
    }
    ~PgSideCount() { m_thread.join(); }
    // false when the side connection failed; the caller then counts them itself.
    bool Take(std::vector<std::pair<QString, qint64>>* rows)
    {
        m_thread.join();
        m_thread = std::thread([] {});
        *rows = std::move(m_rows);
        return m_ok;
    }

private:
    void run(const QString& connection, const QString& snapshot, const QString& sql, const QStringList& params)
    {
        const QString name = QStringLiteral("%1_stats_%2").arg(connection).arg(quintptr(this));
        {
            QSqlDatabase db = QSqlDatabase::cloneDatabase(connection, name);
            QSqlQuery q(db);
            m_ok = db.open() && db.transaction()
                   && q.exec(QStringLiteral("set transaction isolation level repeatable read, read only"))
                   && q.exec(QStringLiteral("set transaction snapshot '%1'").arg(snapshot)) && q.exec(QString::fromLatin1(kPgWorkMem))
                   && runQuery(db, sql, params, [&](const QSqlQuery& r) { m_rows.emplace_back(r.value(0).toString(), r.value(1).toLongLong()); },
                               nullptr);
            q.finish();
            if (db.isOpen())
                db.rollback();
        }
        QSqlDatabase::removeDatabase(name);
    }

    std::vector<std::pair<QString, qint64>> m_rows;
    bool m_ok = false;
    std::thread m_thread; // last: started once the rest is set up
};

// The statistics on PostgreSQL: the same figures as the file store's, counted by the server in
// one snapshot, so that a write meanwhile cannot make the totals and the periods disagree.
bool countOnPg(QSqlDatabase db, const ReadingLogFilter& filter, ReadingStatsResult* result, QString* error)
{
    const ReadingLogQuery query = BuildReadingLogQuery(filter, true);
    const QString condition = query.condition;
    const StatsPeriod period = result->period;
    if (!db.transaction()) {
        *error = db.lastError().text();
        return false;
    }
    struct End {
        QSqlDatabase db;
        ~End() { db.rollback(); } // read only: nothing to keep
    } end{db};
    QString snapshot;
    QSqlQuery isolation(db); // SET cannot be prepared
    // The hours of a year are a few thousand groups: hashed, not sorted, though the server cannot
    // tell from the expression; a distinct count by grouping is hashed too.
    bool ok = isolation.exec(QStringLiteral("set transaction isolation level repeatable read, read only"))
              && isolation.exec(QString::fromLatin1(kPgWorkMem)) && isolation.exec(QStringLiteral("set local enable_sort = off"));
    if (!ok)
        *error = isolation.lastError().text();
    ok = ok && runQuery(db, QStringLiteral("select pg_export_snapshot()"), {}, [&](const QSqlQuery& q) { snapshot = q.value(0).toString(); },
                          error);
    if (!ok)
        return false;
    const QString holdersSql = pgHoldersSql(period, condition);
    std::optional<PgSideCount> side;
    side.emplace(db.connectionName(), snapshot, holdersSql, query.storeParams);

    // Readings per hour, of listed holders, with a card check; a listed ID number is in the list once.
    std::map<QDate, qint64> perDay;
    qint64 listed = 0, checked = 0, placed = 0;
    ok = runQuery(db, QStringLiteral("select to_char(h,'YYYY-MM-DD HH24'),n,l,o from (select date_trunc('hour',a.readtime) h,count(*) n,"
                                     "count(w.idcardno) l,count(*) filter (where a.checkflags<>0) o from idcardwater a "
                                     "left join watchlist w on w.idcardno=a.idcardno cross join idcardinfo b cross join nation_mes c %1 "
                                     "group by 1) s")
                          .arg(condition),
                  query.storeParams, [&](const QSqlQuery& q) {
                      QDate day;
                      int hour = 0;
                      const qint64 n = q.value(1).toLongLong();
                      result->readings += n;
                      listed += q.value(2).toLongLong();
                      checked += q.value(3).toLongLong();
                      if (parseDayHour(q.value(0).toString(), &day, &hour)) {
                          placed += n;
                          result->byHour[size_t(hour)] += n;
                          perDay[day] += n;
                      }
                  }, error)
         && runQuery(db, QStringLiteral("select count(*) from (select a.idcardno from idcardwater a,idcardinfo b,nation_mes c ") + condition
                             + QStringLiteral(" group by a.idcardno) s"),
                     query.storeParams, [&](const QSqlQuery& q) { result->holders = q.value(0).toLongLong(); }, error);
    if (!ok || result->readings == 0)
        return ok;
    result->watchListedReadings = listed;
    result->checkedReadings = checked;
    result->unplacedReadings = result->readings - placed;
    if (perDay.empty())
        return true;
    const BucketOf bucketOf = placeReadings(period, filter.begin.date(), filter.end.date(), perDay, result);
    std::vector<std::pair<QString, qint64>> holders;
    if (!side->Take(&holders)) {
        holders.clear();
        if (!runQuery(db, holdersSql, query.storeParams, [&](const QSqlQuery& q) { holders.emplace_back(q.value(0).toString(), q.value(1).toLongLong()); },
                      error))
            return false;
    }
    for (const auto& [slot, n] : holders)
        if (const QDate start = parseSlotDay(slot); start.isValid())
            if (StatsBucket* b = bucketOf(start))
                b->holders += n;
    return true;
}
} // namespace

bool ReadingStats::Count(const ReadingLogFilter& filter, ReadingStatsResult* result, QString* error) const
{
    *result = ReadingStatsResult();
    const ReadingLogQuery query = BuildReadingLogQuery(filter);
    const QDate first = filter.begin.date();
    const QDate last = filter.end.date();
    const StatsPeriod period = StatsPeriodFor(first, last);
    result->period = period;
    if (IsPgStore(m_db))
        return countOnPg(m_db, filter, result, error);
    const QStringList rangeParams = query.storeParams.mid(0, 2);
    const QString holdersBySlotSql = slotsSql(periodStartSql(period), periodStepSql(period), SlotCount::Holders);

    // Without a narrowing filter the holders per period are counted by slots of the reading-time
    // index (below): that count starts at once beside the rest, over the periods before one about
    // four fifths into the range; this connection counts the periods from there when its own
    // counts are done, so that both end at about the same time.
    ReadSnapshot snapshot(m_db);
    std::optional<SideCount> sideHolders;
    QStringList sideParams = rangeParams;
    QStringList ownParams;
    const bool rangeOnly = query.storeParams.size() == 2 && !filter.listedOnly && !filter.oddOnly;
    if (snapshot.IsOpen() && rangeOnly) {
        const QString file = StoreFileOf(m_db);
        const QDate split = PeriodStart(period, first.addDays(first.daysTo(last) * 4 / 5));
        const QString splitTime = split.toString(QStringLiteral("yyyy-MM-dd 00:00:00"));
        if (split.isValid() && rangeParams[0] < splitTime && splitTime <= rangeParams[1]) {
            sideParams[1] = split.addDays(-1).toString(QStringLiteral("yyyy-MM-dd 23:59:59"));
            ownParams = {splitTime, rangeParams[1]};
        }
        if (!file.isEmpty())
            sideHolders.emplace(file, holdersBySlotSql, sideParams);
    }

    // The totals over the listed readings, each holder's readings counted on the ID-number index.
    bool ok = runQuery(m_db, QStringLiteral("select count(*),coalesce(sum(n),0) from (%1)")
                                 .arg(query.GroupedSql(QStringLiteral("count(*) n"), QStringLiteral("b.idcardno"))),
                       query.storeParams, [&](const QSqlQuery& q) {
                           result->holders = q.value(0).toLongLong();
                           result->readings = q.value(1).toLongLong();
                       }, error);
    if (!ok)
        return false;
    if (result->readings == 0)
        return true;
    // Readings of listed holders and readings that raised a card check, under the same filter:
    // counted through the join per reading, so that the list and the flagged readings' own index
    // can serve them.
    auto countNarrowed = [&](ReadingLogFilter narrowed, std::optional<qint64>* into) {
        const ReadingLogQuery q = BuildReadingLogQuery(narrowed);
        return runQuery(m_db, q.CountSql(), q.storeParams, [&](const QSqlQuery& r) { *into = r.value(0).toLongLong(); }, error);
    };
    ReadingLogFilter listed = filter;
    listed.listedOnly = true;
    ReadingLogFilter odd = filter;
    odd.oddOnly = true;
    if (!countNarrowed(listed, &result->watchListedReadings) || !countNarrowed(odd, &result->checkedReadings))
        return false;
    qint64 inRange = -1;
    ok = runQuery(m_db, ReadingLogQuery::ReadingsInRangeSql(), rangeParams,
                  [&](const QSqlQuery& q) { inRange = q.value(0).toLongLong(); }, error);
    if (!ok)
        return false;
    // When every reading of the date range is listed, the range alone stands for the filter and
    // the slots are counted on the reading-time index; else the grouping runs over the listed
    // readings themselves, sorted by the store.
    const bool wholeRange = inRange == result->readings;

    std::map<QDate, qint64> perDay;
    qint64 placed = 0;
    auto addDayHour = [&](const QSqlQuery& q) {
        const qint64 n = q.value(1).toLongLong();
        QDate day;
        int hour = 0;
        if (n == 0 || !parseDayHour(q.value(0).toString().left(13), &day, &hour))
            return;
        placed += n;
        result->byHour[static_cast<size_t>(hour)] += n;
        perDay[day] += n;
    };
    if (wholeRange)
        ok = runQuery(m_db, slotsSql(QStringLiteral("strftime('%Y-%m-%d %H:00:00',%1)"), QStringLiteral("'+1 hour'"),
                                     SlotCount::Readings),
                      rangeParams, addDayHour, error, Binding::Name);
    else
        ok = runQuery(m_db, query.GroupedSql(QStringLiteral("substr(a.readtime,1,13),count(*)"), QStringLiteral("1")),
                      query.storeParams, addDayHour, error);
    if (!ok)
        return false;
    result->unplacedReadings = result->readings - placed;
    if (perDay.empty())
        return true;

    const BucketOf bucketOf = placeReadings(period, first, last, perDay, result);
    auto addSlotHolders = [&](const QString& slot, qint64 n) {
        const QDate start = parseSlotDay(slot);
        if (!start.isValid())
            return;
        if (StatsBucket* b = bucketOf(start))
            b->holders += n;
    };
    auto addHolders = [&](const QSqlQuery& q) { addSlotHolders(q.value(0).toString(), q.value(1).toLongLong()); };
    if (wholeRange && sideHolders) {
        if (!ownParams.isEmpty() && !runQuery(m_db, holdersBySlotSql, ownParams, addHolders, error, Binding::Name))
            return false;
        SideCount::Rows sideRows;
        if (!sideHolders->Take(&sideRows))
            return runQuery(m_db, holdersBySlotSql, sideParams, addHolders, error, Binding::Name);
        for (const auto& [slot, n] : sideRows)
            addSlotHolders(slot, n);
        return true;
    }
    if (wholeRange)
        return runQuery(m_db, holdersBySlotSql, rangeParams, addHolders, error, Binding::Name);
    return runQuery(m_db, query.GroupedSql(periodKeySql(period) + QStringLiteral(",count(distinct a.idcardno)"), QStringLiteral("1")),
                    query.storeParams, addHolders, error);
}
