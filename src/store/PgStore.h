#pragma once
// A record store shared by several stations on a PostgreSQL server, reached through libpq.
// The settings name it by a libpq connection string or a service (service=idcard); the password
// comes from libpq's password file (~/.pgpass) or the service file, never from the settings, and
// no text this class gives out carries one.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <initializer_list>

struct pg_conn;
struct pg_result;

// One parameter of a statement: text, bytes (sent as binary, for bytea), or SQL null.
struct PgParam {
    PgParam(const QString& text) : data(text.toUtf8()), null(text.isNull()) {}
    PgParam(const char* text) : data(text) {}
    PgParam(qint64 number) : data(QByteArray::number(number)) {}
    static PgParam Bytes(const QByteArray& bytes)
    {
        PgParam p{QString()};
        p.data = bytes;
        p.null = bytes.isNull();
        p.binary = true;
        return p;
    }
    QByteArray data;
    bool null = false;
    bool binary = false;
};

// The rows of one statement, freed with it.
class PgResult {
public:
    PgResult() = default;
    explicit PgResult(pg_result* result) : m_result(result) {}
    ~PgResult();
    PgResult(PgResult&& other) noexcept : m_result(other.m_result) { other.m_result = nullptr; }
    PgResult& operator=(PgResult&& other) noexcept;
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;

    // Whether the statement ran (with or without rows).
    bool Ok() const;
    int Rows() const;
    QString Text(int row, int column) const;
    qint64 Number(int row, int column) const;
    bool IsNull(int row, int column) const;
    // Rows an insert, update or delete touched.
    qint64 Affected() const;
    // The server's SQLSTATE of a failure ("42501": no right; "55P03": waited for another
    // station past the time-out), empty when there is none.
    QString SqlState() const;
    pg_result* handle() const { return m_result; }

private:
    pg_result* m_result = nullptr;
};

class PgStore;

// A PostgreSQL array literal of texts, each quoted: one parameter for a whole list.
QString PgTextArray(const QStringList& items);

// Rows sent to the server with COPY in its binary form, in chunks as they are added: bytes go as
// they are, with no escaping, and a photo is never held twice. Every value is text, bytes or a
// 32-bit integer; the statement's table takes them as text, bytea and integer.
class PgCopyIn {
public:
    // copySql: "copy T (columns) from stdin (format binary)".
    PgCopyIn(PgStore& store, const char* copySql);
    ~PgCopyIn();
    PgCopyIn(const PgCopyIn&) = delete;
    PgCopyIn& operator=(const PgCopyIn&) = delete;

    void Row(int fields);
    void Text(const QString& text);
    void Bytes(const QByteArray& bytes); // null: SQL null
    void Int(qint32 value);
    void Int16(qint16 value);
    // Ends the copy; false with the server's reason when it did not take every row.
    bool Finish(QString* error);

private:
    void put(const char* data, qsizetype size);
    void length(qint32 n);
    void send();

    PgStore& m_store;
    QByteArray m_buffer;
    QString m_error;
    bool m_started = false;
    bool m_finished = false;
};

class PgStore {
public:
    // Why opening failed.
    enum class Failure {
        None,
        Settings,      // the connection text cannot be read, or it carries a password
        Unreachable,   // no connection: libpq's own words say why
        NoPassword,    // the server asks for a password that neither file holds
        WrongPassword, // the server refused the password
        NotAStore,     // the database holds no record store of this program
        NoRights,      // the login role may not read the store
        OlderStore,    // a version the administrator must still upgrade with the scripts
        NewerStore,    // a version of a newer program
    };

    PgStore() = default;
    ~PgStore();
    PgStore(const PgStore&) = delete;
    PgStore& operator=(const PgStore&) = delete;

    // Checks a connection text from the settings: libpq must read it, and it must not hold a
    // password. false with the reason.
    static bool CheckConnectionText(const QString& connection, QString* error);
    // The same connection as keyword='value' pairs, the form Qt's PostgreSQL driver passes on as
    // its connect options; empty when libpq cannot read it.
    static QString KeywordConnectionText(const QString& connection);
    // Whether an idle connection is gone: the server's farewell is read off the socket, nothing
    // is sent. Also for the connections of Qt's driver.
    static bool ConnectionLost(pg_conn* conn);

    // Connects and checks that the database holds a store of version. On failure the store stays
    // closed, and LastFailure and error say why.
    bool Open(const QString& connection, int version, QString* error);
    void Close();
    bool IsOpen() const { return m_conn != nullptr; }
    Failure LastFailure() const { return m_failure; }

    // Runs one statement. A connection lost since the last statement is made again once first,
    // and error says so when that fails too; a statement the loss cuts short is not run again
    // (it may have been done), it fails and the next one reconnects. error: the reason, in words
    // for the operator, with the server's SQLSTATE in the result.
    PgResult Exec(const char* sql, std::initializer_list<PgParam> params, QString* error);
    PgResult Exec(const char* sql, QString* error) { return Exec(sql, {}, error); }
    // One transaction: what it changes is stored whole at Commit, or not at all. A connection lost
    // in it fails every statement until Rollback, and is made again only after that.
    bool Begin(QString* error);
    bool Commit(QString* error);
    void Rollback();
    bool InTransaction() const { return m_transaction; }
    // Inside a transaction: waits for this store's write turn, which every station's import and
    // retention take, so that they never interleave. Each holds it a second or two, so the wait
    // is longer than for a single row; false with the reason after 30 s.
    bool TakeWriteTurn(QString* error);
    // The SQLSTATE of the last statement or copy that failed on the server; empty after one that ran.
    QString LastSqlState() const { return m_lastState; }
    // How many times a lost connection was made again.
    int Reconnects() const { return m_reconnects; }
    // The server process serving this station (for tests and the administrator's views).
    int BackendPid() const;
    pg_conn* handle() const { return m_conn; }

private:
    bool connect(QString* error);
    bool ensureConnected(QString* error);
    void configureSession();

    pg_conn* m_conn = nullptr;
    QByteArray m_connection;
    Failure m_failure = Failure::None;
    int m_reconnects = 0;
    bool m_transaction = false;
    QString m_lastState;

    friend class PgCopyIn;
};
