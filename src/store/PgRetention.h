#pragma once
// Retention on a record store on PostgreSQL, as on the file store: the readings before the cut,
// then the holders they leave without any reading (unless watch-listed), and the audit row, in one
// transaction taken in the stations' write turn, so that an import at another station never
// stores readings of a holder deleted meanwhile.

#include "Retention.h"

class PgStore;

bool CountExpired(PgStore& store, const QString& cut, int* count, QString* error);
RetentionResult DeleteExpired(PgStore& store, const QString& cut, int days);
