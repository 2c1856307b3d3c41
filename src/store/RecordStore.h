#pragma once
// The record store: the program's own database of card holders (idcardinfo), readings
// (idcardwater) and nation names (nation_mes). The connection con1 is opened once at start-up and
// used by every query of the program.

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

#include <memory>

class PgStore;

class TDM_Main {
public:
    static constexpr const char* kConnectionName = "con1";

    TDM_Main();
    ~TDM_Main();
    TDM_Main(const TDM_Main&) = delete;
    TDM_Main& operator=(const TDM_Main&) = delete;

    // The store file of a program folder (given with its trailing separator).
    static QString StorePath(const QString& programFolder);

    // Opens the store of the program folder: the PostgreSQL store its settings name (idcard.ini,
    // [store] connection), else its store file. The file must already exist and hold the three
    // tables: the program never creates one. On failure the connection stays closed and the
    // error says why.
    bool Open(const QString& programFolder, QString* error);
    // Opens a store on PostgreSQL (a libpq connection text without password) of the program's
    // version. Writes go through Pg(); con1 is a connection of Qt's driver to the same store for
    // the reads, and Listing() a third one that the list keeps busy while it reads its rows.
    bool OpenPg(const QString& connection, QString* error);
    // Opens a store file by path (tests, tools, benchmarks).
    bool OpenFile(const QString& path, QString* error);
    void Close();
    // Closes the store that opened but may not be used; reason is kept as why it is not open.
    void Close(const QString& reason)
    {
        Close();
        m_openError = reason;
    }

    bool IsOpen() const;
    // On PostgreSQL a connection that the server ended while idle is made again here, once per
    // loss; when that fails, the statements on it fail and say so.
    QSqlDatabase con1() const;
    // The connection the list reads its rows on: con1 for the store file. On PostgreSQL rows are
    // streamed, and any other statement on that connection would discard those not read yet.
    QSqlDatabase Listing() const;
    // The store on PostgreSQL; null for the store file.
    PgStore* Pg() const { return m_pg.get(); }
    // Why the last opening failed; empty after a successful one.
    QString LastOpenError() const { return m_openError; }

private:
    bool openFile(const QString& path, QString* error);
    bool openPg(const QString& connection, QString* error);
    QSqlDatabase pgConnection(const QString& name) const;

    std::unique_ptr<PgStore> m_pg;
    QString m_connectionName;
    QString m_listingName; // PostgreSQL only
    QString m_openError;
};

// Begins a write transaction that holds the store to itself until commit or rollback. Taken at the
// start, the wait for another program's readers is one busy time-out; a deferred transaction
// would wait again each time its cache spilled, minutes on end behind a second reader. An invalid
// error when it began; IsStoreBusy tells whether another program kept it from beginning.
QSqlError BeginExclusive(QSqlDatabase db);
// The text of a store error for the operator: SQLite's own words, and the driver's only when
// they add something (its "unable to fetch row" ends every failed statement, whatever failed).
QString StoreErrorText(const QSqlError& error);
// Whether a store error means that another program holds the store (busy or locked).
bool IsStoreBusy(const QSqlError& error);
// Whether the transaction on the connection is known to have ended. A failed write can end one
// by itself (a full disk rolls the whole transaction back), after which nothing of it is in the
// store. false when it cannot be told.
bool TransactionEnded(QSqlDatabase db);
// Ends a write transaction that failed, so that the store file alone is whole again. A failed
// write (a full disk) can leave the file half-written beside a hot journal that SQLite plays back
// only when the store is next read: a copy taken meanwhile would be damaged, and the space stays
// taken. Rolls back what is still open, reads once so that the journal is played back, and when
// it is still there closes and opens the connection again. storeFile: StoreFileOf(db), asked
// before the failure. false with error when the journal is still there.
bool EndFailedWrite(QSqlDatabase db, const QString& storeFile, QString* error = nullptr);
// The file of the store a connection works on; empty when it cannot be told.
QString StoreFileOf(QSqlDatabase db);

// Whether a connection is to a store on PostgreSQL, whose SQL differs from the file's in a few
// places (times are timestamps, LIKE minds case).
bool IsPgStore(const QSqlDatabase& db);
// A reading time as the program shows and writes it, "YYYY-MM-DD hh:mm:ss", from a time column
// of either store.
QString StoredTimeText(const QVariant& value);

// Program folder of the running executable, with its trailing separator.
QString ProgramFolder();
