#pragma once
// The record store: the program's own database of card holders (idcardinfo), readings
// (idcardwater) and nation names (nation_mes). The connection con1 is opened once at start-up and
// used by every query of the program.

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

class TDM_Main {
public:
    static constexpr const char* kConnectionName = "con1";

    TDM_Main() = default;
    ~TDM_Main();
    TDM_Main(const TDM_Main&) = delete;
    TDM_Main& operator=(const TDM_Main&) = delete;

    // The store file of a program folder (given with its trailing separator).
    static QString StorePath(const QString& programFolder);

    // Opens the store of the program folder. The file must already exist and hold the three
    // tables: the program never creates one. On failure the connection stays closed and the
    // error says why.
    bool Open(const QString& programFolder, QString* error);
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
    QSqlDatabase con1() const;
    // Why the last opening failed; empty after a successful one.
    QString LastOpenError() const { return m_openError; }

private:
    bool openFile(const QString& path, QString* error);

    QString m_connectionName;
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

// Program folder of the running executable, with its trailing separator.
QString ProgramFolder();
