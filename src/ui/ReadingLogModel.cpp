#include "ReadingLogModel.h"

#include "RecordStore.h"

#include <QBrush>
#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>

namespace {

// Where the 14 digits of YYYYMMDDhhmmss stand in "YYYY-MM-DD HH:MM:SS".
constexpr int digitPos[] = {0, 1, 2, 3, 5, 6, 8, 9, 11, 12, 14, 15, 17, 18};

// "YYYY-MM-DD HH:MM:SS" to YYYYMMDDhhmmss; -1 for anything else.
qint64 packStamp(const QString& text)
{
    if (text.size() != 19 || text[4] != u'-' || text[7] != u'-' || text[10] != u' ' || text[13] != u':' || text[16] != u':')
        return -1;
    qint64 value = 0;
    for (int p : digitPos) {
        const char16_t c = text[p].unicode();
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c - u'0');
    }
    return value;
}

// Digit by digit: exporting every row of a long list calls this for each of them.
QString unpackStamp(qint64 v)
{
    QString text(QStringLiteral("0000-00-00 00:00:00"));
    QChar* out = text.data();
    for (int i = 13; i >= 0; --i, v /= 10)
        out[digitPos[i]] = QChar(u'0' + int(v % 10));
    return text;
}

constexpr int kPgBatch = 5000;

// The query's SQL with its parameters written in as literals: a cursor cannot be declared by a
// prepared statement.
QString withLiterals(const QSqlDatabase& db, const QString& sql, const QStringList& params)
{
    // The placeholders stand in the order of the parameters, as they are bound by position.
    static const QRegularExpression placeholder(QStringLiteral(":p[0-9]"));
    QString out;
    qsizetype from = 0;
    int next = 0;
    for (auto it = placeholder.globalMatch(sql); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        QSqlField field(QString(), QMetaType(QMetaType::QString));
        field.setValue(params.value(next++));
        out += sql.mid(from, m.capturedStart() - from) + db.driver()->formatValue(field);
        from = m.capturedEnd();
    }
    return out + sql.mid(from);
}

// One count(*) with the first `bind` parameters of the query; -1 with error on failure.
qint64 scalarCount(const QSqlDatabase& db, const QString& sql, const QStringList& params, int bind, QString* error)
{
    QSqlQuery q(db);
    q.setForwardOnly(!IsPgStore(db));
    if (q.prepare(sql)) {
        for (int i = 0; i < bind && i < params.size(); ++i)
            q.bindValue(i, params[i]);
        if (q.exec() && q.next())
            return q.value(0).toLongLong();
    }
    *error = StoreErrorText(q.lastError());
    return -1;
}

} // namespace

ReadingLogModel::ReadingLogModel(QObject* parent) : QAbstractTableModel(parent)
{
    m_idle.setInterval(0);
    connect(&m_idle, &QTimer::timeout, this, &ReadingLogModel::idleFetch);
}

void ReadingLogModel::Clear()
{
    beginResetModel();
    clearState();
    endResetModel();
}

void ReadingLogModel::clearState()
{
    m_idle.stop();
    m_query.finish();
    m_query = QSqlQuery();
    endSnapshot();
    m_rows.clear();
    m_rows.shrink_to_fit();
    m_holders.clear();
    m_holderIndex.clear();
    m_oddTimes.clear();
    m_checked.clear();
    m_total = 0;
    m_fetchError.clear();
    m_currentRow = -1;
}

bool ReadingLogModel::Run(const QSqlDatabase& db, const ReadingLogQuery& query, QString* error)
{
    // One reset for the whole run, so views see one change per query.
    beginResetModel();
    clearState();
    auto fail = [&](const QSqlQuery& q) {
        if (error)
            *error = StoreErrorText(q.lastError());
        endSnapshot();
        endResetModel();
        return false;
    };
    if (!db.isOpen()) {
        if (error)
            *error = QStringLiteral("数据库未打开");
        endResetModel();
        return false;
    }
    const bool pg = IsPgStore(db);
    if (pg) {
        QSqlQuery begin(db);
        if (!begin.exec(QStringLiteral("start transaction isolation level repeatable read, read only")))
            return fail(begin);
        m_db = db;
        m_snapshot = true;
    }

    QString failure;
    // The server plans the join by its own statistics; the file store's choice of loops is moot.
    const int total = pg ? int(scalarCount(db, query.CountSql(), query.storeParams, int(query.storeParams.size()), &failure))
                         : countRows(db, query, &failure);
    if (total < 0) {
        if (error)
            *error = failure;
        endSnapshot();
        endResetModel();
        return false;
    }

    // The readings to colour, found on their own small index before the rows are stepped. A store
    // without card checks has none.
    QSqlQuery checked(db);
    checked.setForwardOnly(!pg);
    if (checked.prepare(ReadingLogQuery::CheckedInRangeSql())) {
        checked.bindValue(0, query.storeParams.value(0));
        checked.bindValue(1, query.storeParams.value(1));
        if (!checked.exec())
            return fail(checked);
        while (checked.next())
            m_checked.insert(checked.value(0).toLongLong());
        if (checked.lastError().isValid())
            return fail(checked);
    }
    QSqlQuery list(db);
    list.setForwardOnly(true);
    if (pg) {
        // A cursor also makes the server plan for the first rows rather than for the last.
        if (!list.exec(QStringLiteral("declare readinglist no scroll cursor for ") + withLiterals(db, query.ListingSql(), query.storeParams)))
            return fail(list);
        if (!fetchBatch())
            return fail(m_query);
    } else {
        if (!list.prepare(query.ListingSql()))
            return fail(list);
        for (int i = 0; i < query.storeParams.size(); ++i)
            list.bindValue(i, query.storeParams[i]);
        if (!list.exec())
            return fail(list);
        m_query = std::move(list);
    }

    m_total = total;
    m_rows.reserve(static_cast<size_t>(total));
    m_resetting = true;
    fetchChunk(kChunk);
    m_resetting = false;
    endResetModel();
    if (m_query.isActive())
        m_idle.start();
    return true;
}


int ReadingLogModel::countRows(const QSqlDatabase& db, const ReadingLogQuery& query, QString* error)
{
    // The listed rows are readings joined to their holder and nation, so the readings in the
    // date range bound the count from above at the cost of an index range. Counting through the
    // join per reading costs two lookups each; when the range holds more readings than there are
    // holders, counting each holder's readings on the ID-number index costs less.
    const qint64 inRange = scalarCount(db, ReadingLogQuery::ReadingsInRangeSql(), query.storeParams, 2, error);
    if (inRange <= 0)
        return static_cast<int>(inRange);
    const qint64 holders = scalarCount(db, ReadingLogQuery::HoldersSql(), query.storeParams, 0, error);
    if (holders < 0)
        return -1;
    const QString sql = inRange > holders ? query.CountByHoldersSql() : query.CountSql();
    return static_cast<int>(scalarCount(db, sql, query.storeParams, int(query.storeParams.size()), error));
}

void ReadingLogModel::fetchChunk(int upTo) const
{
    if (!m_query.isActive())
        return;
    while (static_cast<int>(m_rows.size()) < upTo) {
        if (!m_query.next()) {
            // next() is false at the end and on a failing step alike; only lastError tells them apart.
            QSqlError failure = m_query.lastError();
            // A full batch may have more behind it.
            if (failure.type() == QSqlError::NoError && m_snapshot && m_batchRows == kPgBatch) {
                if (fetchBatch())
                    continue;
                failure = m_query.lastError();
            }
            if (failure.type() != QSqlError::NoError) {
                m_fetchError = StoreErrorText(failure);
                QMetaObject::invokeMethod(const_cast<ReadingLogModel*>(this), "fetchFailed", Qt::QueuedConnection,
                                          Q_ARG(QString, m_fetchError));
            }
            finishQuery();
            return;
        }
        const QString id = m_query.value(LcIdcardno).toString();
        int holder;
        auto it = m_holderIndex.constFind(id);
        if (it != m_holderIndex.constEnd()) {
            holder = it.value();
        } else {
            holder = static_cast<int>(m_holders.size());
            m_holders.push_back({id, m_query.value(LcName).toString(), m_query.value(LcAddress).toString(),
                                 m_query.value(LcBlackflag).toString()});
            m_holderIndex.insert(id, holder);
        }
        const QString time = m_query.value(LcReadtime).toString();
        qint64 stamp = packStamp(time);
        if (stamp < 0) {
            stamp = -1 - static_cast<qint64>(m_oddTimes.size());
            m_oddTimes.push_back(time);
        }
        const qint64 serial = m_query.value(LcSerialno).toLongLong();
        ++m_batchRows;
        m_rows.push_back({serial, stamp, holder, m_checked.contains(serial)});
    }
}

bool ReadingLogModel::fetchBatch() const
{
    // Whole batches: the driver's row-by-row mode would keep the connection busy between them.
    m_query.finish();
    m_query = QSqlQuery();
    QSqlQuery batch(m_db);
    const bool ok = batch.exec(QStringLiteral("fetch %1 from readinglist").arg(kPgBatch));
    m_query = std::move(batch);
    m_batchRows = 0;
    return ok;
}

void ReadingLogModel::endSnapshot() const
{
    if (!m_snapshot)
        return;
    m_snapshot = false;
    // Read only: ending it either way keeps nothing and lets the server forget the snapshot.
    QSqlQuery(m_db).exec(QStringLiteral("rollback"));
    m_db = QSqlDatabase();
}

void ReadingLogModel::finishQuery() const
{
    m_query.finish();
    m_query = QSqlQuery();
    endSnapshot();
    const int fetched = static_cast<int>(m_rows.size());
    if (fetched != m_total && m_resetting) {
        m_total = fetched;
    } else if (fetched != m_total) {
        // The count and the rows disagree only if the store changed in between; the rows win.
        auto* self = const_cast<ReadingLogModel*>(this);
        if (fetched < m_total) {
            self->beginRemoveRows(QModelIndex(), fetched, m_total - 1);
            m_total = fetched;
            self->endRemoveRows();
        } else {
            self->beginInsertRows(QModelIndex(), m_total, fetched - 1);
            m_total = fetched;
            self->endInsertRows();
        }
    }
}

void ReadingLogModel::idleFetch()
{
    const int first = static_cast<int>(m_rows.size());
    fetchChunk(first + kChunk);
    const int last = std::min(static_cast<int>(m_rows.size()), m_total) - 1;
    if (last >= first)
        emit dataChanged(index(first, 0), index(last, ColumnCount - 1), {Qt::DisplayRole, Qt::ForegroundRole});
    if (!m_query.isActive())
        m_idle.stop();
}

bool ReadingLogModel::FetchAll(QString* error)
{
    fetchChunk(INT_MAX);
    m_idle.stop();
    if (error)
        *error = m_fetchError;
    return m_fetchError.isEmpty();
}

bool ReadingLogModel::ensureFetched(int row) const
{
    if (row < 0)
        return false;
    if (row >= static_cast<int>(m_rows.size()))
        fetchChunk(row + kChunk);
    return row < static_cast<int>(m_rows.size());
}

qint64 ReadingLogModel::SerialAt(int row) const { return ensureFetched(row) ? m_rows[row].serialno : -1; }
QString ReadingLogModel::IdcardnoAt(int row) const { return ensureFetched(row) ? m_holders[m_rows[row].holder].idcardno : QString(); }
QString ReadingLogModel::NameAt(int row) const { return ensureFetched(row) ? m_holders[m_rows[row].holder].name : QString(); }
QString ReadingLogModel::AddressAt(int row) const { return ensureFetched(row) ? m_holders[m_rows[row].holder].address : QString(); }
QString ReadingLogModel::BlackflagAt(int row) const { return ensureFetched(row) ? m_holders[m_rows[row].holder].blackflag : QString(); }

bool ReadingLogModel::CheckedAt(int row) const { return ensureFetched(row) && m_rows[row].checked; }
QString ReadingLogModel::ReadtimeAt(int row) const
{
    if (!ensureFetched(row))
        return QString();
    const qint64 stamp = m_rows[row].stamp;
    return stamp >= 0 ? unpackStamp(stamp) : m_oddTimes[static_cast<size_t>(-1 - stamp)];
}

void ReadingLogModel::SetCurrentRow(int row)
{
    const int old = m_currentRow;
    m_currentRow = row;
    if (old >= 0 && old < m_total)
        emit headerDataChanged(Qt::Vertical, old, old);
    if (row >= 0 && row < m_total)
        emit headerDataChanged(Qt::Vertical, row, row);
}

int ReadingLogModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : m_total; }
int ReadingLogModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant ReadingLogModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid())
        return {};
    if (role == Qt::TextAlignmentRole)
        return int((index.column() == ColAddress ? Qt::AlignLeft : Qt::AlignHCenter) | Qt::AlignVCenter);
    const int row = index.row();
    if (role == Qt::ForegroundRole) {
        // Readings of watch-listed holders in red; rows not read yet keep the default.
        if (row >= static_cast<int>(m_rows.size()))
            return {};
        if (m_holders[m_rows[row].holder].blackflag == u"是")
            return QBrush(Qt::red);
        // Readings that raised a card check in dark orange; the watch list's red wins.
        if (m_rows[row].checked)
            return QBrush(QColor(kCheckedColour));
        return {};
    }
    if (role != Qt::DisplayRole)
        return {};
    // Painting never waits for rows not read yet: they show empty until the idle reading
    // reaches them (dataChanged), so dragging to the end of a long list does not freeze.
    if (row >= static_cast<int>(m_rows.size()))
        return QString();
    switch (index.column()) {
    case ColName: return NameAt(row);
    case ColIdcardno: return IdcardnoAt(row);
    case ColReadtime: return ReadtimeAt(row);
    case ColAddress: return AddressAt(row);
    }
    return {};
}

QVariant ReadingLogModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Vertical) {
        // The row indicator: a mark on the current row, nothing elsewhere.
        if (role == Qt::DisplayRole)
            return section == m_currentRow ? QStringLiteral("▶") : QString();
        return {};
    }
    if (role == Qt::TextAlignmentRole)
        return int(Qt::AlignCenter);
    if (role != Qt::DisplayRole)
        return {};
    switch (section) {
    case ColName: return QStringLiteral("姓名");
    case ColIdcardno: return QStringLiteral("身份证号");
    case ColReadtime: return QStringLiteral("刷卡时间");
    case ColAddress: return QStringLiteral("住址");
    }
    return {};
}
