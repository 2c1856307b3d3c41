#include "ReadingLogQuery.h"

#include "DateText.h"

const char* const kReadingLogSelect =
    "select a.Idcardno,a.readtime,a.serialno,b.blackflag,b.name,b.address,b.sex,b.nation_no,b.grantdept,"
    "b.born,b.UsefulLifeBegin,b.UsefulLifeEnd,b.photo,c.nation from idcardwater a,idcardinfo b,nation_mes c ";

ReadingLogQuery BuildReadingLogQuery(const ReadingLogFilter& filter, bool pg)
{
    ReadingLogQuery q;
    q.pg = pg;
    q.byHolder = filter.listedOnly;
    const QString like = pg ? QStringLiteral(" ilike ") : QStringLiteral(" like ");
    const QString escape = pg ? QStringLiteral(" escape '' ") : QStringLiteral(" ");
    q.select = QString::fromUtf8(kReadingLogSelect);
    q.condition = QStringLiteral(" where a.idcardno=b.idcardno and b.nation_no=c.nation_no and (a.readtime between :p1 and :p2)");
    const QString id = TrimBlanks(filter.idText);
    const QString name = TrimBlanks(filter.nameText);
    if (!id.isEmpty())
        q.condition += QStringLiteral(" and a.idcardno") + like + QStringLiteral(":p3") + escape;
    if (!name.isEmpty())
        q.condition += QStringLiteral(" and b.name") + like + QStringLiteral(":p4") + escape;
    // By the list itself, which is small: the readings are found per listed ID number. Both
    // sides name it so that either loop order can start from the list.
    if (filter.listedOnly)
        q.condition += QStringLiteral(" and a.idcardno in (select idcardno from watchlist) and b.idcardno in (select idcardno from watchlist) ");
    // Written as the flagged readings' indexes are, so that they serve it.
    if (filter.oddOnly)
        q.condition += QStringLiteral(" and a.checkflags <> 0 ");

    // The upper bound is the day after the last day at 00:00, both ends included. A begin date
    // more than one day after the end gives a range that holds nothing.
    const QDate b = filter.begin.date();
    const QDate e = filter.end.date();
    if (b <= e.addDays(1)) {
        q.params << DateText(b) << DateText(e.addDays(1));
    } else {
        q.params << QStringLiteral("1998-1-1") << QStringLiteral("1998-1-1");
    }
    if (!id.isEmpty())
        q.params << id + u'%';
    if (!name.isEmpty())
        q.params << name + u'%';

    q.storeParams = q.params;
    q.storeParams[0] = StoreTimeParam(q.params[0]);
    q.storeParams[1] = StoreTimeParam(q.params[1]);
    return q;
}

QString ReadingLogQuery::ListingSql() const
{
    if (pg)
        return QStringLiteral("select a.idcardno,to_char(a.readtime,'YYYY-MM-DD HH24:MI:SS'),a.serialno,b.name,b.address,b.blackflag "
                              "from idcardwater a,idcardinfo b,nation_mes c ")
               + condition + (byHolder ? QStringLiteral(" order by a.idcardno,a.readtime") : QStringLiteral(" order by a.readtime,a.idcardno"));
    return QStringLiteral("select a.Idcardno,a.readtime,a.serialno,b.name,b.address,b.blackflag from idcardwater a,idcardinfo b,nation_mes c ")
        + condition;
}

QString ReadingLogQuery::CountSql() const
{
    return QStringLiteral("select count(*) from idcardwater a,idcardinfo b,nation_mes c ") + condition;
}

QString ReadingLogQuery::CountByHoldersSql() const
{
    // The cross joins fix the loop order; an inner join counts the same rows in any order.
    return QStringLiteral("select count(*) from idcardinfo b cross join nation_mes c cross join idcardwater a ") + condition;
}

QString ReadingLogQuery::GroupedSql(const QString& columns, const QString& groupBy) const
{
    QString sql = QStringLiteral("select ") + columns
                  + QStringLiteral(" from idcardinfo b cross join nation_mes c cross join idcardwater a") + condition;
    if (!groupBy.isEmpty())
        sql += QStringLiteral(" group by ") + groupBy;
    return sql;
}

QString ReadingLogQuery::ReadingsInRangeSql()
{
    return QStringLiteral("select count(*) ") + InRangeFrom();
}

QString ReadingLogQuery::InRangeFrom(bool indexed)
{
    // A unary plus keeps SQLite from using a column's index for the term.
    return indexed ? QStringLiteral("from idcardwater a where (a.readtime between :p1 and :p2)")
                   : QStringLiteral("from idcardwater a where (+a.readtime between :p1 and :p2)");
}

QString ReadingLogQuery::HoldersSql() { return QStringLiteral("select count(*) from idcardinfo"); }

QString ReadingLogQuery::CheckedInRangeSql()
{
    return QStringLiteral("select a.serialno from idcardwater a where a.checkflags <> 0 and (a.readtime between :p1 and :p2)");
}
