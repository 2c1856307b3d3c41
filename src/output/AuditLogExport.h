#pragma once
// The audit trail as an .xlsx workbook: time, station, user, action, count, detail.

#include "AuditLog.h"

#include <QList>
#include <QString>

// Writes the rows to fileName, replacing it only when the whole workbook was written; false with
// error otherwise.
bool ExportAuditLog(const QString& fileName, const QList<AuditRow>& rows, QString* error);
