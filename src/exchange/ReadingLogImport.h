#pragma once
// Moves the readings of a device database (table water_list) into the record store.

#include "CardChecks.h"

#include <QByteArray>
#include <QList>
#include <QSqlDatabase>
#include <QString>

// A reading of a watch-listed holder that the import stored, for the operator's alert.
struct ListedReading {
    QString name;
    QString idcardno;
    QString readTime; // the store's form
    QString reason;
};

struct ImportOutcome {
    enum class Validation { Ok, NoTable, OpenFailed };

    Validation validation = Validation::Ok;
    int count = 0;          // rows taken into the store (a reading already stored is not counted)
    int rowsInDevice = 0;   // rows of water_list
    int failedRow = 0;      // 1-based row that ended the import, 0 when none did
    QString error;          // why it ended
    int withoutPhoto = 0;   // new holders stored without a photo because it could not be read
    int alreadyStored = 0;  // readings skipped because the store had them before this import
    int repeatsInFile = 0;  // rows repeating an earlier row of the same file (same ID number and time)
    int badTimes = 0;       // rows whose reading time did not convert: their reading is not stored
    bool readFailed = false; // the rows could not be read or written at all; nothing was imported
    bool storeBusy = false;  // because another program held the record store
    int listedCount = 0;     // readings of watch-listed holders stored by this import
    QList<ListedReading> listed; // the first kListedKept of them, in the order of the file
    CardCheckCounts checks;      // card checks of the readings stored by this import

    static constexpr int kListedKept = 10;

    // Every reading of the device database is now in the store, so clearing it loses nothing.
    bool Complete() const { return validation == Validation::Ok && !readFailed && failedRow == 0 && badTimes == 0; }
};

class ReadingLogImporter {
public:
    // scratchFolder: private folder for the bitmap side file; empty to write none.
    ReadingLogImporter(QSqlDatabase store, QString scratchFolder);

    ImportOutcome::Validation ValidateDeviceDb(const QString& path) const;
    ImportOutcome ImportDeviceDb(const QString& path);

    // Whether every reading of a device database is in the store (its holder included), so that
    // clearing the handheld loses nothing. false with a reason otherwise; unknown is set when the
    // answer could not be had at all (the store or the file could not be read) rather than a
    // reading found missing.
    bool AllReadingsStored(const QString& path, QString* why, bool* unknown = nullptr) const;

    static constexpr const char* kSideFileName = "l1.bmp";

private:
    QSqlDatabase m_store;
    QString m_scratch;
};

// The operator's texts for an outcome: the closing information, and a warning when the import did
// not take every reading (empty when it did).
QString ImportSummaryText(const ImportOutcome& outcome);
QString ImportIncompleteText(const ImportOutcome& outcome);
