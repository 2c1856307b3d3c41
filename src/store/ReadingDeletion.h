#pragma once
// Deleting readings from the reading log. One command's deletions are one transaction: either
// every chosen reading is gone or, after a failure, none is. Holders are never touched.

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

#include <vector>

class ReadingDeletion {
public:
    explicit ReadingDeletion(QSqlDatabase db);
    ~ReadingDeletion(); // rolls back what was not committed
    ReadingDeletion(const ReadingDeletion&) = delete;
    ReadingDeletion& operator=(const ReadingDeletion&) = delete;

    bool Begin(QString* error);
    // "delete from idcardwater where serialno=:p1" for one reading; a serial number that is no
    // longer stored deletes nothing and is not an error.
    bool DeleteReading(qint64 serialno, QString* error);
    bool Commit(QString* error);
    void Rollback();
    // The number of readings deleted so far.
    int Deleted() const { return m_deleted; }

private:
    QSqlDatabase m_db;
    QSqlQuery m_delete;
    bool m_prepared = false;
    bool m_open = false;
    int m_deleted = 0;
};

// Deletes the readings of the given serial numbers, all or none, with the deletion's row in the
// audit trail (filterText: the list's filter) in the same transaction. false with the store's own
// error text when anything failed; the store is then as it was.
bool DeleteReadings(QSqlDatabase db, const std::vector<qint64>& serials, QString* error,
                    const QString& filterText = QString());
// The audit detail of a deletion.
QString DeletionDetail(const QString& filterText, int deleted);
