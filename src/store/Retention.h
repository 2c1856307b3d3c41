#pragma once
// Retention: readings older than the period set in the settings are deleted on the operator's
// word, with the holders they leave without any reading (unless watch-listed), in one
// transaction that also writes the audit row.
//
// The cut is 00:00 of the day `days` days before today: a reading is expired when its time is
// earlier than that. A reading exactly `days` days old (read on that day, at any time) stays.

#include <QDate>
#include <QSqlDatabase>
#include <QString>

// The first kept reading time in the store's form ("YYYY-MM-DD 00:00:00").
QString RetentionCut(const QDate& today, int days);

// The number of readings before the cut; false with the store's error.
bool CountExpired(QSqlDatabase db, const QString& cut, int* count, QString* error);

struct RetentionResult {
    bool ok = false;
    QString error;
    int readings = 0; // readings deleted
    int holders = 0;  // holders deleted with their photos
};

// Deletes the readings before the cut, then every holder left without a reading who is not on
// the watch list, and writes the audit row; all or nothing. days goes into the audit row.
RetentionResult DeleteExpired(QSqlDatabase db, const QString& cut, int days);
// The audit detail of a retention deletion.
QString RetentionDetail(const QString& cut, int days, const RetentionResult& result);
