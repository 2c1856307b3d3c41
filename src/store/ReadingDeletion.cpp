#include "ReadingDeletion.h"

#include "AuditLog.h"
#include "RecordStore.h"

#include <QSqlError>
#include <QVariant>

namespace {
const char* const kDeleteSql = "delete from idcardwater where serialno=:p1";

void setError(QString* error, const QSqlError& e)
{
    if (error)
        *error = StoreErrorText(e);
}
} // namespace

ReadingDeletion::ReadingDeletion(QSqlDatabase db) : m_db(db), m_delete(db) {}

ReadingDeletion::~ReadingDeletion() { Rollback(); }

bool ReadingDeletion::Begin(QString* error)
{
    const QSqlError failed = BeginExclusive(m_db);
    if (failed.isValid()) {
        setError(error, failed);
        return false;
    }
    m_open = true;
    return true;
}

bool ReadingDeletion::DeleteReading(qint64 serialno, QString* error)
{
    // The text is prepared once: re-preparing it per reading costs more than the delete itself.
    if (!m_prepared && !(m_prepared = m_delete.prepare(QString::fromLatin1(kDeleteSql)))) {
        setError(error, m_delete.lastError());
        return false;
    }
    m_delete.bindValue(0, serialno);
    if (!m_delete.exec()) {
        setError(error, m_delete.lastError());
        return false;
    }
    m_deleted += m_delete.numRowsAffected();
    return true;
}

bool ReadingDeletion::Commit(QString* error)
{
    m_delete.finish();
    if (!m_db.commit()) {
        setError(error, m_db.lastError());
        Rollback();
        return false;
    }
    m_open = false;
    return true;
}

void ReadingDeletion::Rollback()
{
    if (!m_open)
        return;
    m_delete.finish();
    m_db.rollback();
    m_open = false;
}

QString DeletionDetail(const QString& filterText, int deleted)
{
    return filterText.isEmpty() ? QStringLiteral("删除 %1 条").arg(deleted) : QStringLiteral("%1；删除 %2 条").arg(filterText).arg(deleted);
}

bool DeleteReadings(QSqlDatabase db, const std::vector<qint64>& serials, QString* error, const QString& filterText)
{
    ReadingDeletion deletion(db);
    if (!deletion.Begin(error))
        return false;
    for (qint64 serial : serials)
        if (!deletion.DeleteReading(serial, error))
            return false; // the destructor rolls back
    const int deleted = deletion.Deleted();
    if (!WriteAudit(db, QString::fromUtf8(AuditAction::kDelete), deleted, DeletionDetail(filterText, deleted), error))
        return false;
    return deletion.Commit(error);
}
