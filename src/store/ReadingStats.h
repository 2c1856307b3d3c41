#pragma once
// Statistics of the readings the main window lists under its filter: readings and distinct
// holders per day (per week or per month over long ranges), readings by hour of the day, and
// totals. The store does the counting with GROUP BY queries over the reading-time index; only the
// grouped figures are read, never the readings.

#include "ReadingLogQuery.h"

#include <QDate>
#include <QSqlDatabase>
#include <QString>

#include <array>
#include <optional>
#include <vector>

enum class StatsPeriod { Day, Week, Month };

// Ranges of up to 92 days are counted per day; longer ones per week; those longer than two years
// per month. first..last are the filter's days, both included.
StatsPeriod StatsPeriodFor(const QDate& first, const QDate& last);
// The first day of the period holding day: the day itself, the Monday of its week (weeks run
// Monday to Sunday, as ISO weeks do), or the first of its month.
QDate PeriodStart(StatsPeriod period, const QDate& day);
QDate NextPeriodStart(StatsPeriod period, const QDate& start);

struct StatsBucket {
    QDate start;        // first day of the period
    qint64 readings = 0;
    qint64 holders = 0; // distinct holders read within the period
};

struct ReadingStatsResult {
    StatsPeriod period = StatsPeriod::Day;
    // Every period from the filter's first day to its last in order, those without readings too.
    // A reading at 00:00 of the day after the last day is listed (the filter includes it), so
    // that day gets a period of its own when it has one.
    std::vector<StatsBucket> buckets;
    std::array<qint64, 24> byHour{};
    qint64 readings = 0;        // as many as the list shows
    qint64 holders = 0;         // distinct holders over the whole range
    qint64 unplacedReadings = 0; // counted in readings, but their time is no date-time
    QDate busiestDay;           // the earliest of the busiest; invalid without readings
    qint64 busiestDayReadings = 0;
    int busiestHour = -1;       // 0..23, the earliest of the busiest; -1 without readings
    qint64 busiestHourReadings = 0;
    // Readings of watch-listed holders and readings with a card check; unset when nothing is
    // listed at all.
    std::optional<qint64> watchListedReadings;
    std::optional<qint64> checkedReadings;

    bool IsEmpty() const { return readings == 0; }
};

class ReadingStats {
public:
    explicit ReadingStats(QSqlDatabase db) : m_db(std::move(db)) {}

    // Counts the readings of the filter; false with error when the store refused a query.
    bool Count(const ReadingLogFilter& filter, ReadingStatsResult* result, QString* error) const;

private:
    QSqlDatabase m_db;
};
