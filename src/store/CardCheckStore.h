#pragma once
// Card checks in the record store: the work of the store's version 3, and the words for a reading.

#include <QSqlDatabase>
#include <QString>

// Sets idcardwater.checkflags of every reading, in one pass over the readings ordered by ID number
// and time (the repeat rule needs each reading's predecessor) with each holder read once. Runs
// inside the upgrade's transaction; false with the store's error.
bool JudgeStoredReadings(QSqlDatabase db, QString* error);

// The words for every check of a stored reading, joined with "；"; empty when it raised none or
// is not there.
QString CardCheckNote(QSqlDatabase db, qint64 serialno);
