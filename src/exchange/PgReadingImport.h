#pragma once
// Imports a device database into a record store on PostgreSQL with every rule of the file store's
// import. The readings are first imported into a private scratch store that holds what the shared
// store knows of the same ID numbers (their holders, watch-list entries and readings near the
// file's times); what that import added is then written to the shared store in one transaction,
// in bulk, each holder and each reading at most once whichever station writes it first.

#include "ReadingLogImport.h"

#include <QString>

#include <functional>

class PgStore;

class PgReadingImporter {
public:
    // scratchFolder: the program's private folder; the scratch store lives there while it runs.
    PgReadingImporter(PgStore& store, QString scratchFolder);

    ImportOutcome ImportDeviceDb(const QString& path);
    // Whether every reading of the device database is in the store with its holder, as the file
    // store's importer answers it.
    bool AllReadingsStored(const QString& path, QString* why, bool* unknown = nullptr) const;

    // Called before each step of the write to the shared store ("turn", "holders", "readings",
    // "commit"): tests cut the connection or change the store there.
    std::function<void(const char* step)> beforeStep;

private:
    PgStore& m_store;
    QString m_scratch;
};
