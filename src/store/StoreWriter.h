#pragma once
// The writes of the import: is a holder stored, store a holder, store a reading.

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>

#include <initializer_list>

struct sqlite3;
struct sqlite3_stmt;

struct PersonRecord {
    QString idcardno;
    QString name;
    QString sex;
    QString nationName;
    QString address;
    QString birthText;
    QString validBegin;
    QString validEnd;
    QString issuer;
};

class StoreWriter {
public:
    enum class ReadingResult { Stored, AlreadyStored, BadTime, Failed };

    // station: written with each reading where the store keeps the importing station.
    explicit StoreWriter(QSqlDatabase db, QString station = QString());
    ~StoreWriter();
    StoreWriter(const StoreWriter&) = delete;
    StoreWriter& operator=(const StoreWriter&) = delete;

    // true when idcardinfo has a row for the ID number. A failing lookup is not an answer: it
    // returns false with error set, and the caller must stop.
    bool PersonExists(const QString& idcardno, QString* error);

    // Stores one reading. false when the time text does not convert or the insert fails.
    bool SaveReading(const QString& idcardno, const QString& readTimeText);
    // The same with the reason; a reading already stored (same ID number and time) is not
    // stored again.
    ReadingResult SaveReadingChecked(const QString& idcardno, const QString& readTimeText, QString* error);
    // The same for a time already in the store's form; checkFirst false when the caller knows
    // the reading is not stored yet. existing: the serial number of the stored one when the result
    // is AlreadyStored.
    ReadingResult StoreReading(const QString& idcardno, const QString& storeTime, bool checkFirst, QString* error,
                               qint64* existing = nullptr, int checks = 0);
    // Whether the reading (same ID number and time in the store's form) is stored, with its serial
    // number in existing; false with error set when the lookup fails.
    bool ReadingStored(const QString& idcardno, const QString& storeTime, qint64* existing, QString* error);
    // The serial number of the reading StoreReading stored last.
    qint64 LastSerial() const;
    // Whether the store holds any reading of the ID number, with a holder row or without; false
    // with error set when the lookup fails.
    bool HasReadings(const QString& idcardno, QString* error);

    // Stores a holder, then the reading (whose result does not change the answer). photo null:
    // the holder is stored without one.
    bool SavePerson(const PersonRecord& person, const QString& readTimeText, const QByteArray& photo);
    // The holder alone; false with error when the insert fails. listed: the ID number is on the
    // watch list, which sets the holder's black-list flag.
    bool InsertPerson(const PersonRecord& person, const QByteArray& photo, QString* error, bool listed = false);

    // Whether the watch list holds the ID number; its reason and the stored holder's name (empty
    // when none) when it does. The store must have the list. false with error when the lookup fails.
    bool Listed(const QString& idcardno, QString* reason, QString* name, QString* error);
    // Flags a stored holder as listed, for an entry added to the list outside the program.
    bool FlagListed(const QString& idcardno, QString* error);

    // Card checks (stores of version 3 on; without the column, checks are not kept).
    bool KeepsChecks() const { return m_keepsChecks; }
    // The stored holder's birth date and validity texts; false when there is none, or with error.
    bool HolderDates(const QString& idcardno, QString* born, QString* begin, QString* end, QString* error);
    // The latest reading of the ID number before storeTime and the earliest after it, empty when
    // there is none (next: with its serial number and checks); false with error when a lookup fails.
    bool Neighbours(const QString& idcardno, const QString& storeTime, QString* previous, QString* next, qint64* nextSerial,
                    int* nextChecks, QString* error);
    // Adds checks to a stored reading.
    bool AddChecks(qint64 serialno, int checks, QString* error);

    // Removes a holder stored by this import whose reading then failed; false with error.
    bool RemovePerson(const QString& idcardno, QString* error);

    // A reading time in the store's form, as StoreTimeParam gives it; empty when it does not
    // convert. A text already in that form is checked without a trip through the local clock.
    static QString ReadingTime(const QString& text);

    // Birth text cut to characters 1-4, 6-7 and 9-10 (the separators dropped).
    static QString CutBirth(const QString& birthText);

private:
    // One value to bind: text, blob, integer or null.
    struct Value {
        Value(const QString& s) : text(&s) {}
        Value(const QByteArray& b) : blob(&b) {}
        Value(int i) : number(i) {}
        Value(qint64 i) : number(i) {}
        const QString* text = nullptr;
        const QByteArray* blob = nullptr;
        qint64 number = 0;
    };
    // A statement prepared on first use and kept for the writer's life. The import runs tens of
    // thousands of them, so they go to SQLite directly rather than through QSqlQuery.
    struct Statement {
        explicit Statement(const char* text) : sql(text) {}
        const char* sql;
        sqlite3_stmt* handle = nullptr;
    };
    // Binds values by position and steps once; the row, if any, stays readable until released.
    // Returns SQLITE_ROW or SQLITE_DONE, or 0 with error set.
    int run(Statement& statement, std::initializer_list<Value> values, QString* error);
    // Whether the statement finds a row; its first column in `first` when asked for.
    // Takes the store's current connection when it changed.
    void follow();
    void finalize();
    // Ends a statement's run and lets go of its values.
    static void release(Statement& statement);
    bool found(Statement& statement, std::initializer_list<Value> values, QString* error, qint64* first = nullptr);

    QSqlDatabase m_db;
    sqlite3* m_connection = nullptr;
    Statement m_exists, m_save1, m_save2, m_readingExists, m_remove, m_anyReading, m_listed, m_flag;
    Statement m_holderDates, m_previous, m_next, m_addChecks;
    bool m_keepsChecks = false;
    bool m_keepsStation = false;
    QString m_station;
};
