#pragma once
// The rows of the reading-log query, as the grid shows them.
//
// A year of readings is hundreds of thousands of rows, so the model keeps only what the grid
// needs (ID number, name, address per holder; serial number and time per reading) and none of the
// photos. The total comes from a count, so the grid and status line are right at once; the rows
// themselves are stepped in chunks while the event loop is idle, or at once when the grid asks
// for a row not yet read.

#include "CommandView.h"
#include "ReadingLogQuery.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QHash>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTimer>

#include <vector>

class ReadingLogModel : public QAbstractTableModel, public ReadingRows {
    Q_OBJECT
public:
    enum Column { ColName = 0, ColIdcardno, ColReadtime, ColAddress, ColumnCount };

    explicit ReadingLogModel(QObject* parent = nullptr);

    // Runs the query. On failure the model is empty and error says why.
    bool Run(const QSqlDatabase& db, const ReadingLogQuery& query, QString* error);
    void Clear();
    // Reads every remaining row now; needed before the store is written to or every row walked.
    // false when reading failed: the rows read so far stay, the count shrinks to them, error says
    // why, and fetchFailed reports it too (the window shows it once, from there).
    bool FetchAll(QString* error = nullptr);
    bool FullyFetched() const { return !m_query.isActive(); }
    int FetchedCount() const { return static_cast<int>(m_rows.size()); }

    qint64 SerialAt(int row) const override;
    QString IdcardnoAt(int row) const override;
    QString NameAt(int row) const override;
    QString AddressAt(int row) const;
    QString ReadtimeAt(int row) const override; // "YYYY-MM-DD hh:mm:ss"
    QString BlackflagAt(int row) const override;
    bool CheckedAt(int row) const; // the reading raised a card check

    void SetCurrentRow(int row);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    static constexpr int kChunk = 1000;
    // Text colour of readings with a card check, apart from the watch list's red.
    static constexpr QRgb kCheckedColour = 0xffc06000;

signals:
    // Reading the rows failed part-way (a damaged page, an I/O error): the rows read so far stay
    // and the count has shrunk to them. Queued, so it never arrives inside a reset.
    void fetchFailed(const QString& error);

private:
    struct Row {
        qint64 serialno;
        qint64 stamp; // YYYYMMDDhhmmss, or -1 - index into m_oddTimes
        int holder;
        bool checked;
    };
    struct Holder {
        QString idcardno;
        QString name;
        QString address;
        QString blackflag;
    };

    static int countRows(const QSqlDatabase& db, const ReadingLogQuery& query, QString* error); // -1 on failure
    bool ensureFetched(int row) const; // false when the row does not exist
    void fetchChunk(int upTo) const;
    void finishQuery() const;
    // PostgreSQL: the rows come from a cursor in a read-only snapshot, a batch at a time, so that
    // the connection is free between batches and a station importing meanwhile is seen whole or
    // not at all, in the count and the rows alike.
    bool fetchBatch() const;
    void endSnapshot() const;
    void idleFetch();
    void clearState();

    mutable QSqlQuery m_query;
    mutable QSqlDatabase m_db;      // PostgreSQL only: the connection holding the cursor
    mutable bool m_snapshot = false; // PostgreSQL only: its transaction is open
    mutable int m_batchRows = 0;
    QSet<qint64> m_checked; // serial numbers of readings in the range that raised a card check
    mutable std::vector<Row> m_rows;
    mutable std::vector<Holder> m_holders;
    mutable QHash<QString, int> m_holderIndex;
    mutable std::vector<QString> m_oddTimes;
    mutable int m_total = 0;
    mutable QString m_fetchError; // why the last reading of rows stopped early; empty when it did not
    bool m_resetting = false;     // inside Run's reset: the count changes without row signals
    int m_currentRow = -1;
    QTimer m_idle;
};
