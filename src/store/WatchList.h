#pragma once
// The watch list: ID numbers of people to watch, with a reason. idcardinfo.blackflag is "是" for a
// holder whose ID number is listed and "否" otherwise; every change of the list here changes the
// flags in the same transaction.

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

struct WatchEntry {
    QString idcardno;
    QString name;    // the holder's, when the store has read the card; else empty
    QString reason;
    QString addtime; // "YYYY-MM-DD HH:MM:SS"
    QString station;
};

// One line of a list file, as read: line is 1-based in the file (a header row counts).
struct WatchListLine {
    int line = 0;
    QString idcardno; // as written in the file
    QString reason;
};

struct WatchListImportResult {
    bool ok = false;
    QString error;       // why nothing was changed
    int added = 0;
    int updated = 0;     // listed before: the reason is replaced when the line gives one
    int skipped = 0;     // bad ID numbers and repeats of an ID number earlier in the file
    QList<int> badLines; // lines whose ID number is not valid, never stored
};

extern const char* const kFlagListed;   // "是"
extern const char* const kFlagUnlisted; // "否"

// The name of this station in the list and the audit trail: the settings file's, else the host name.
QString LocalStationName();

// Why an ID number (normalised) cannot be listed; empty when it can.
QString WatchIdProblem(const QString& idcardno);

// The ID numbers of an addition, normalised, each once; false with the first one's problem.
bool WatchIdsToAdd(const QStringList& idcardnos, QStringList* ids, QString* error);
// The lines of a list file that an import stores (the first of each valid ID number) with their
// normalised ID numbers; the others are counted in r. false with r->error when none is valid.
bool WatchListLinesToImport(const QList<WatchListLine>& lines, QList<const WatchListLine*>* valid, QStringList* ids,
                            WatchListImportResult* r);

class WatchList {
public:
    explicit WatchList(QSqlDatabase db, QString station = LocalStationName());

    // Whether the store has the list (stores made before it have no table).
    bool Present() const;

    // Lists the ID numbers with the reason, or gives the listed ones the new reason. Every ID
    // number is checked first: one that is not valid refuses the whole change.
    bool Add(const QStringList& idcardnos, const QString& reason, QString* error);
    bool Remove(const QStringList& idcardnos, QString* error);
    // Every entry, the newest first.
    bool Entries(QList<WatchEntry>* entries, QString* error) const;
    // The reason of a listed ID number; false when it is not listed or the lookup failed (error).
    bool Reason(const QString& idcardno, QString* reason, QString* error) const;

    // Adds or updates the lines' ID numbers in one transaction. Nothing is changed when no line
    // has a valid ID number, or when the store refuses.
    WatchListImportResult Import(const QList<WatchListLine>& lines);

private:
    bool begin(QString* error);
    bool finish(bool ok, QString* error);
    // The change's row in the audit trail, in its transaction.
    bool audit(const char* action, const QStringList& ids, QString* error);

    QSqlDatabase m_db;
    QString m_station;
};
