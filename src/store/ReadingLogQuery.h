#pragma once
// The reading-log query of the main window: SQL text and parameters built from the filter.

#include <QDateTime>
#include <QString>
#include <QStringList>

struct ReadingLogFilter {
    QDateTime begin;     // date picker values; only the date counts
    QDateTime end;
    QString idText;      // as typed; trimmed here
    QString nameText;
    bool listedOnly = false; // only readings of watch-listed holders
    bool oddOnly = false;    // only readings that raised a card check
};

struct ReadingLogQuery {
    QString select;       // the select part, ending in a blank
    QString condition;    // the condition part, beginning with a blank
    QStringList params;   // by position: p1, p2, then p3 / p4 when the filters are given
    QStringList storeParams; // params with the two date texts in the store's form
    bool pg = false;          // the store is on PostgreSQL
    bool byHolder = false;    // the watch-list filter: the file store lists holder by holder

    QString Sql() const { return select + condition; }
    // The same rows without the photo column, in the same order: the list reads a photo only for
    // the row being shown.
    // On PostgreSQL the order is given, as the file store's plans give it: by reading time and
    // ID number, or holder by holder (ID number, time) when only the watch list is shown.
    QString ListingSql() const;
    QString CountSql() const;
    // The same count with the holders as the outer loop: cheaper when the range holds many more
    // readings than there are holders, since each holder's readings are then counted on an index.
    QString CountByHoldersSql() const;
    // Grouped counts over the same rows: "select <columns> ... group by <groupBy>", with the
    // holders as the outer loop (as CountByHoldersSql).
    QString GroupedSql(const QString& columns, const QString& groupBy) const;
    // Upper bounds of the count that need no join: the readings in the date range (index only;
    // bound to p1 and p2 only), and the holders.
    static QString ReadingsInRangeSql();
    // "from ... where ..." of the readings in the date range alone (bound to p1 and p2 only).
    // Without the index: the range is only a filter, for a query that walks the reading-time
    // index by narrower bounds of its own (else the store may walk the whole range for each).
    static QString InRangeFrom(bool indexed = true);
    static QString HoldersSql();
    // The serial numbers of the readings in the date range that raised a card check (bound to p1
    // and p2 only); their index holds nothing else.
    static QString CheckedInRangeSql();
};

extern const char* const kReadingLogSelect;

// pg: in the SQL of a store on PostgreSQL, where LIKE minds case and takes a backslash as escape;
// both are dropped so that it finds what the file store finds.
ReadingLogQuery BuildReadingLogQuery(const ReadingLogFilter& filter, bool pg = false);

// Columns of ListingSql, by position.
enum ListingColumn { LcIdcardno = 0, LcReadtime, LcSerialno, LcName, LcAddress, LcBlackflag };
