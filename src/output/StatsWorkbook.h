#pragma once
// The figures of the statistics window as an .xlsx workbook (libxlsxwriter), one sheet per table:
// the periods, the hours of the day, the totals. Written to a temporary file beside fileName that
// replaces it only once complete; after a failure fileName is as it was.

#include "ReadingStats.h"

#include <QString>

bool WriteStatsWorkbook(const QString& fileName, const ReadingStatsResult& stats, QString* error);
