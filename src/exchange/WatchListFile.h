#pragma once
// Reading a watch list handed over as a file: .csv (UTF-8 with or without BOM, or GBK) or .xlsx
// (first sheet). The ID number is in the first column, the reason in the second; a header row is
// recognised and skipped. Nothing here judges the ID numbers: the store does, per line.

#include "WatchList.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct WatchListFile {
    bool ok = false;
    QString error; // why the file could not be read at all
    QList<WatchListLine> lines;
};

// By the file's extension; any other extension is refused.
WatchListFile ReadWatchListFile(const QString& path);
WatchListFile ReadWatchListCsv(const QByteArray& bytes);
WatchListFile ReadWatchListXlsx(const QString& path);

// Limits against damaged or hostile files.
constexpr qint64 kWatchFileMaxBytes = 64 << 20;      // the file itself
constexpr qint64 kWatchXmlMaxBytes = 256 << 20;      // one part of a workbook, unpacked
constexpr int kWatchFileMaxLines = 1000000;
