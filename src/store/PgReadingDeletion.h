#pragma once
// Deleting readings from a record store on PostgreSQL, as from the file store: every chosen reading
// with the deletion's row of the audit trail, in one transaction, or none.

#include <QString>

#include <vector>

class PgStore;

// false with the reason when anything failed; the store is then as it was. A login role without
// the right to delete gets a message of its own.
bool DeleteReadings(PgStore& store, const std::vector<qint64>& serials, QString* error, const QString& filterText = QString());
