#include "ReadingStats.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>
#include <functional>
#include <map>

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

// The period of a reading as the store computes it: the text of its first day (or month).
QString periodKeySql(StatsPeriod period)
{
    switch (period) {
    case StatsPeriod::Week:
        // The Monday of the reading's week: forward to its Sunday, back six days.
        return QStringLiteral("date(substr(a.readtime,1,10),'weekday 0','-6 days')");
    case StatsPeriod::Month:
        return QStringLiteral("substr(a.readtime,1,7)");
    case StatsPeriod::Day:
        break;
    }
    return QStringLiteral("substr(a.readtime,1,10)");
}

QDate parseDay(const QString& text) { return text.size() == 10 ? QDate::fromString(text, Qt::ISODate) : QDate(); }

QDate parsePeriodKey(StatsPeriod period, const QString& key)
{
    if (period == StatsPeriod::Month)
        return key.size() == 7 ? parseDay(key + QStringLiteral("-01")) : QDate();
    return parseDay(key);
}

// "YYYY-MM-DD HH" into its day and hour; false for a text of another form.
bool parseDayHour(const QString& key, QDate* day, int* hour)
{
    if (key.size() != 13 || key[10] != u' ' || !key[11].isDigit() || !key[12].isDigit())
        return false;
    *day = parseDay(key.left(10));
    *hour = (key[11].unicode() - u'0') * 10 + (key[12].unicode() - u'0');
    return day->isValid() && *hour < 24;
}

bool runQuery(const QSqlDatabase& db, const QString& sql, const QStringList& params,
              const std::function<void(const QSqlQuery&)>& onRow, QString* error)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    bool ok = q.prepare(sql);
    if (ok) {
        for (int i = 0; i < params.size(); ++i)
            q.bindValue(i, params[i]);
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

} // namespace

bool ReadingStats::Count(const ReadingLogFilter& filter, ReadingStatsResult* result, QString* error) const
{
    *result = ReadingStatsResult();
    const ReadingLogQuery query = BuildReadingLogQuery(filter);
    const QDate first = filter.begin.date();
    const QDate last = filter.end.date();
    const StatsPeriod period = StatsPeriodFor(first, last);
    result->period = period;

    // Readings per day and hour: the days, the hours and the totals all follow from these few
    // thousand groups.
    std::map<QDate, qint64> perDay;
    QDate dataFirst;
    QDate dataLast;
    const QString dayHourSql = query.GroupedSql(QStringLiteral("substr(a.readtime,1,13),count(*)"), QStringLiteral("1"));
    bool ok = runQuery(m_db, dayHourSql, query.storeParams, [&](const QSqlQuery& q) {
        const qint64 n = q.value(1).toLongLong();
        result->readings += n;
        QDate day;
        int hour = 0;
        if (!parseDayHour(q.value(0).toString(), &day, &hour)) {
            result->unplacedReadings += n;
            return;
        }
        result->byHour[static_cast<size_t>(hour)] += n;
        perDay[day] += n;
        dataFirst = dataFirst.isValid() ? std::min(dataFirst, day) : day;
        dataLast = dataLast.isValid() ? std::max(dataLast, day) : day;
    }, error);
    if (!ok)
        return false;
    if (result->readings == 0)
        return true;

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

    ok = runQuery(m_db, query.GroupedSql(QStringLiteral("count(distinct a.idcardno)"), QString()), query.storeParams,
                  [&](const QSqlQuery& q) { result->holders = q.value(0).toLongLong(); }, error);
    if (!ok)
        return false;

    // The buckets span the filter's days, and the day after them when a reading at its midnight
    // is listed.
    QDate from = first;
    QDate to = dataLast.isValid() ? std::max(last, dataLast) : last;
    if (to < from || bucketIndex(period, PeriodStart(period, from), PeriodStart(period, to)) >= kMaxBuckets) {
        if (!dataFirst.isValid())
            return true;
        from = dataFirst;
        to = dataLast;
    }
    const QDate firstStart = PeriodStart(period, from);
    for (QDate s = firstStart; s <= to && result->buckets.size() < size_t(kMaxBuckets); s = NextPeriodStart(period, s))
        result->buckets.push_back({s, 0, 0});
    auto bucketOf = [&](const QDate& start) -> StatsBucket* {
        const qint64 i = bucketIndex(period, firstStart, start);
        return i >= 0 && i < qint64(result->buckets.size()) ? &result->buckets[size_t(i)] : nullptr;
    };
    for (const auto& [day, n] : perDay)
        if (StatsBucket* b = bucketOf(PeriodStart(period, day)))
            b->readings += n;

    const QString key = periodKeySql(period);
    ok = runQuery(m_db, query.GroupedSql(key + QStringLiteral(",count(distinct a.idcardno)"), QStringLiteral("1")),
                  query.storeParams, [&](const QSqlQuery& q) {
                      const QDate start = parsePeriodKey(period, q.value(0).toString());
                      if (!start.isValid())
                          return;
                      if (StatsBucket* b = bucketOf(start))
                          b->holders += q.value(1).toLongLong();
                  }, error);
    return ok;
}
