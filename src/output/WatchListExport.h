#pragma once
// The watch list as an .xlsx workbook: ID number (as text), reason, name, added, station.

#include "WatchList.h"

#include <QList>
#include <QString>

// Writes the entries to fileName, replacing it only when the whole workbook was written; false
// with error otherwise.
bool ExportWatchList(const QString& fileName, const QList<WatchEntry>& entries, QString* error);
