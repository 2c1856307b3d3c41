#include "PgStore.h"

#include <libpq-fe.h>

#include <QVarLengthArray>

#ifdef _WIN32
#include <winsock2.h>
#define poll WSAPoll
#else
#include <poll.h>
#endif

namespace {

// Whether the server has sent something on an idle connection.
bool SocketReadable(PGconn* conn)
{
    pollfd p{};
    p.fd = PQsocket(conn);
    p.events = POLLIN;
    return p.fd >= 0 && poll(&p, 1, 0) > 0;
}

// libpq's words end with a line feed; the boxes do not need it.
QString LibpqText(const char* text) { return QString::fromUtf8(text).trimmed(); }

QString StatementError(const PGresult* result, PGconn* conn)
{
    const char* state = result ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    const QString text = LibpqText(result ? PQresultErrorMessage(result) : PQerrorMessage(conn));
    if (state && qstrcmp(state, "42501") == 0)
        return QStringLiteral("记录库的登录角色没有这项操作的权限，请管理员授权：%1").arg(text);
    if (state && qstrcmp(state, "55P03") == 0)
        return QStringLiteral("记录库中的记录正被另一站点写入，等待超时，本次操作未完成，请稍后再试：%1").arg(text);
    if (PQstatus(conn) == CONNECTION_BAD)
        return QStringLiteral("与记录库服务器的连接在执行中断开，本次操作未完成：%1").arg(text);
    return QStringLiteral("记录库服务器执行失败：%1").arg(text);
}

} // namespace

QString PgTextArray(const QStringList& items)
{
    QString out = QStringLiteral("{");
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (i)
            out += u',';
        out += u'"';
        for (const QChar c : items[i]) {
            if (c == u'"' || c == u'\\')
                out += u'\\';
            out += c;
        }
        out += u'"';
    }
    return out + u'}';
}

PgResult::~PgResult()
{
    if (m_result)
        PQclear(m_result);
}

PgResult& PgResult::operator=(PgResult&& other) noexcept
{
    if (this != &other) {
        if (m_result)
            PQclear(m_result);
        m_result = other.m_result;
        other.m_result = nullptr;
    }
    return *this;
}

bool PgResult::Ok() const
{
    const ExecStatusType status = m_result ? PQresultStatus(m_result) : PGRES_FATAL_ERROR;
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

int PgResult::Rows() const { return m_result ? PQntuples(m_result) : 0; }

QString PgResult::Text(int row, int column) const { return QString::fromUtf8(PQgetvalue(m_result, row, column)); }

qint64 PgResult::Number(int row, int column) const { return QByteArray(PQgetvalue(m_result, row, column)).toLongLong(); }

bool PgResult::IsNull(int row, int column) const { return PQgetisnull(m_result, row, column) != 0; }

qint64 PgResult::Affected() const { return m_result ? QByteArray(PQcmdTuples(m_result)).toLongLong() : 0; }

QString PgResult::SqlState() const
{
    const char* state = m_result ? PQresultErrorField(m_result, PG_DIAG_SQLSTATE) : nullptr;
    return state ? QString::fromLatin1(state) : QString();
}

PgStore::~PgStore() { Close(); }

bool PgStore::CheckConnectionText(const QString& connection, QString* error)
{
    char* parseError = nullptr;
    PQconninfoOption* options = PQconninfoParse(connection.toUtf8().constData(), &parseError);
    if (!options) {
        if (error)
            *error = QStringLiteral("设置文件中的记录库连接无法识别：%1").arg(parseError ? LibpqText(parseError) : QStringLiteral("内存不足"));
        PQfreemem(parseError);
        return false;
    }
    bool password = false;
    for (const PQconninfoOption* o = options; o->keyword; ++o)
        if (qstrcmp(o->keyword, "password") == 0 && o->val && *o->val)
            password = true;
    PQconninfoFree(options);
    if (password) {
        if (error)
            *error = QStringLiteral("设置文件中的记录库连接不能写密码：请把密码放在 libpq 的密码文件（~/.pgpass，仅本人可读）或服务文件（pg_service.conf）中");
        return false;
    }
    return true;
}

QString PgStore::KeywordConnectionText(const QString& connection)
{
    PQconninfoOption* options = PQconninfoParse(connection.toUtf8().constData(), nullptr);
    if (!options)
        return QString();
    QStringList pairs;
    for (const PQconninfoOption* o = options; o->keyword; ++o) {
        if (!o->val)
            continue;
        QString value = QString::fromUtf8(o->val);
        value.replace(u'\\', QLatin1String("\\\\")).replace(u'\'', QLatin1String("\\'"));
        pairs << QString::fromUtf8(o->keyword) + QStringLiteral("='") + value + u'\'';
    }
    PQconninfoFree(options);
    return pairs.join(u' ');
}

bool PgStore::ConnectionLost(pg_conn* conn)
{
    if (!conn)
        return true;
    // A server that ended this session meanwhile has said so on the socket (its farewell, then
    // the end): reading both marks the connection bad without sending anything that could be
    // half done.
    for (int reads = 0; reads < 4 && PQstatus(conn) == CONNECTION_OK && SocketReadable(conn); ++reads) {
        if (!PQconsumeInput(conn))
            break;
        while (PGnotify* n = PQnotifies(conn))
            PQfreemem(n);
    }
    return PQstatus(conn) != CONNECTION_OK;
}

bool PgStore::Open(const QString& connection, int version, QString* error)
{
    Close();
    m_failure = Failure::None;
    m_reconnects = 0;
    QString failed;
    if (!error)
        error = &failed;
    if (!CheckConnectionText(connection, error)) {
        m_failure = Failure::Settings;
        return false;
    }
    m_connection = connection.toUtf8();
    if (!connect(error))
        return false;

    PgResult stored = Exec("select version from store_version", error);
    if (!stored.Ok()) {
        const QString state = stored.SqlState();
        if (state == QLatin1String("42P01")) {
            m_failure = Failure::NotAStore;
            *error = QStringLiteral("该数据库中没有记录库（缺少版本表 store_version），请管理员先用 data/postgres/create_store.sql 建立记录库");
        } else if (state == QLatin1String("42501")) {
            m_failure = Failure::NoRights;
            *error = QStringLiteral("记录库的登录角色没有读取记录库的权限，请管理员用 data/postgres/create_station_role.sql 授权：%1")
                         .arg(LibpqText(PQresultErrorMessage(stored.handle())));
        } else {
            m_failure = Failure::Unreachable;
        }
        Close();
        return false;
    }
    if (stored.Rows() != 1) {
        m_failure = Failure::NotAStore;
        *error = QStringLiteral("记录库的版本表 store_version 应有一行，实有 %1 行").arg(stored.Rows());
        Close();
        return false;
    }
    const qint64 found = stored.Number(0, 0);
    if (found != version) {
        m_failure = found < version ? Failure::OlderStore : Failure::NewerStore;
        *error = found < version
                     ? QStringLiteral("记录库版本 %1 低于本程序的版本 %2，请管理员运行 data/postgres/ 中到版本 %2 的升级脚本").arg(found).arg(version)
                     : QStringLiteral("记录库版本 %1 高于本程序支持的版本 %2，请使用新版程序").arg(found).arg(version);
        Close();
        return false;
    }
    return true;
}

bool PgStore::connect(QString* error)
{
    // The settings' text is expanded in place of dbname: what it names overrides the time-out
    // before it, and the encoding after it holds whatever it says.
    const char* keywords[] = {"connect_timeout", "fallback_application_name", "dbname", "client_encoding", nullptr};
    const char* values[] = {"10", "idcard", m_connection.constData(), "UTF8", nullptr};
    m_conn = PQconnectdbParams(keywords, values, 1);
    if (!m_conn) {
        m_failure = Failure::Unreachable;
        *error = QStringLiteral("无法连接记录库服务器：内存不足");
        return false;
    }
    if (PQstatus(m_conn) != CONNECTION_OK) {
        const QString text = LibpqText(PQerrorMessage(m_conn));
        if (PQconnectionNeedsPassword(m_conn)) {
            m_failure = Failure::NoPassword;
            *error = QStringLiteral("记录库服务器要求密码，但密码文件（~/.pgpass）和服务文件中都没有这个登录角色的密码：%1").arg(text);
        } else if (PQconnectionUsedPassword(m_conn)) {
            m_failure = Failure::WrongPassword;
            *error = QStringLiteral("记录库服务器不接受密码文件或服务文件中的密码：%1").arg(text);
        } else {
            m_failure = Failure::Unreachable;
            *error = QStringLiteral("无法连接记录库服务器：%1").arg(text);
        }
        PQfinish(m_conn);
        m_conn = nullptr;
        return false;
    }
    configureSession();
    return true;
}

void PgStore::configureSession()
{
    // The server's notices (a session ended by the administrator) are not for the console.
    PQsetNoticeProcessor(m_conn, [](void*, const char*) {}, nullptr);
    // A row another station is writing is waited for as long as the file store waits for a
    // busy file, then the statement fails and says so.
    PGresult* r = PQexec(m_conn, "set lock_timeout = 5000");
    PQclear(r);
}

void PgStore::Close()
{
    m_transaction = false;
    if (m_conn)
        PQfinish(m_conn);
    m_conn = nullptr;
}

bool PgStore::Begin(QString* error)
{
    if (m_transaction) {
        if (error)
            *error = QStringLiteral("记录库的事务已经开始");
        return false;
    }
    if (!Exec("begin", error).Ok())
        return false;
    m_transaction = true;
    return true;
}

bool PgStore::Commit(QString* error)
{
    const PgResult result = Exec("commit", error);
    // A transaction a failed statement aborted answers its commit with ROLLBACK, not an error.
    const bool committed = result.Ok() && qstrcmp(PQcmdStatus(result.handle()), "COMMIT") == 0;
    if (result.Ok() && !committed && error)
        *error = QStringLiteral("记录库的事务中有语句失败，全部改动已撤销");
    // A commit that fails ends the transaction all the same: nothing of it stays.
    m_transaction = false;
    return committed;
}

void PgStore::Rollback()
{
    if (!m_transaction)
        return;
    if (m_conn && PQstatus(m_conn) == CONNECTION_OK) {
        QString ignored;
        Exec("rollback", &ignored);
    }
    m_transaction = false;
}

bool PgStore::TakeWriteTurn(QString* error)
{
    const bool taken = Exec("set local lock_timeout = 30000", error).Ok()
                       && Exec("select pg_advisory_xact_lock(7526745373011014401)", error).Ok();
    if (!taken && m_lastState == QLatin1String("55P03") && error)
        *error = QStringLiteral("其他站点正在写入记录库，等待 30 秒后仍未轮到本站点，本次操作未完成，请稍后再试");
    return taken && Exec("set local lock_timeout = 5000", error).Ok();
}

int PgStore::BackendPid() const { return m_conn ? PQbackendPID(m_conn) : 0; }

bool PgStore::ensureConnected(QString* error)
{
    if (!m_conn) {
        *error = QStringLiteral("记录库未打开");
        return false;
    }
    if (!ConnectionLost(m_conn))
        return true;
    // What the transaction did is gone with the session; a new one must not take its place
    // unnoticed, so its statements fail until it is ended.
    if (m_transaction) {
        *error = QStringLiteral("与记录库服务器的连接在事务中断开，本次操作的改动都未保存");
        return false;
    }
    PQreset(m_conn);
    if (PQstatus(m_conn) != CONNECTION_OK) {
        *error = QStringLiteral("与记录库服务器的连接已断开，重新连接未成功：%1").arg(LibpqText(PQerrorMessage(m_conn)));
        return false;
    }
    ++m_reconnects;
    configureSession();
    return true;
}

PgResult PgStore::Exec(const char* sql, std::initializer_list<PgParam> params, QString* error)
{
    QString failed;
    if (!error)
        error = &failed;
    if (!ensureConnected(error))
        return PgResult();
    QVarLengthArray<const char*, 16> values;
    QVarLengthArray<int, 16> lengths;
    QVarLengthArray<int, 16> formats;
    for (const PgParam& p : params) {
        values.append(p.null ? nullptr : p.data.constData());
        lengths.append(int(p.data.size()));
        formats.append(p.binary ? 1 : 0);
    }
    PgResult result(PQexecParams(m_conn, sql, int(values.size()), nullptr, values.constData(), lengths.constData(),
                                 formats.constData(), 0));
    m_lastState = result.SqlState();
    if (!result.Ok())
        *error = StatementError(result.handle(), m_conn);
    return result;
}

namespace {
constexpr qsizetype kCopyChunk = 1 << 20;
const char kCopyHeader[] = "PGCOPY\n\377\r\n\0\0\0\0\0\0\0\0\0";

void putBigEndian(QByteArray& out, quint32 v, int bytes)
{
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out.append(char((v >> shift) & 0xff));
}
} // namespace

PgCopyIn::PgCopyIn(PgStore& store, const char* copySql) : m_store(store)
{
    PgResult started = m_store.Exec(copySql, &m_error);
    if (started.handle() && PQresultStatus(started.handle()) == PGRES_COPY_IN) {
        m_error.clear();
        m_started = true;
        m_buffer.reserve(kCopyChunk + 4096);
        m_buffer.append(kCopyHeader, sizeof kCopyHeader - 1);
    } else if (m_error.isEmpty()) {
        m_error = QStringLiteral("记录库服务器没有开始接收数据");
    }
}

PgCopyIn::~PgCopyIn()
{
    if (m_started && !m_finished) {
        QString ignored;
        m_error = QStringLiteral("copy abandoned");
        Finish(&ignored);
    }
}

void PgCopyIn::put(const char* data, qsizetype size)
{
    if (!m_started || !m_error.isEmpty())
        return;
    if (m_buffer.size() + size > kCopyChunk)
        send();
    if (size > kCopyChunk) {
        // A large value goes on its own rather than through the buffer.
        if (PQputCopyData(m_store.handle(), data, int(size)) != 1)
            m_error = LibpqText(PQerrorMessage(m_store.handle()));
        return;
    }
    m_buffer.append(data, size);
}

void PgCopyIn::send()
{
    if (m_buffer.isEmpty() || !m_error.isEmpty())
        return;
    if (PQputCopyData(m_store.handle(), m_buffer.constData(), int(m_buffer.size())) != 1)
        m_error = LibpqText(PQerrorMessage(m_store.handle()));
    m_buffer.clear();
}

void PgCopyIn::length(qint32 n)
{
    char bytes[4] = {char((quint32(n) >> 24) & 0xff), char((quint32(n) >> 16) & 0xff), char((quint32(n) >> 8) & 0xff),
                     char(quint32(n) & 0xff)};
    put(bytes, 4);
}

void PgCopyIn::Int16(qint16 value)
{
    length(2);
    const char bytes[2] = {char((quint16(value) >> 8) & 0xff), char(quint16(value) & 0xff)};
    put(bytes, 2);
}

void PgCopyIn::Row(int fields)
{
    const char bytes[2] = {char((fields >> 8) & 0xff), char(fields & 0xff)};
    put(bytes, 2);
}

void PgCopyIn::Text(const QString& text)
{
    if (text.isNull()) {
        length(-1);
        return;
    }
    const QByteArray utf8 = text.toUtf8();
    length(qint32(utf8.size()));
    put(utf8.constData(), utf8.size());
}

void PgCopyIn::Bytes(const QByteArray& bytes)
{
    if (bytes.isNull()) {
        length(-1);
        return;
    }
    length(qint32(bytes.size()));
    put(bytes.constData(), bytes.size());
}

void PgCopyIn::Int(qint32 value)
{
    length(4);
    QByteArray v;
    putBigEndian(v, quint32(value), 4);
    put(v.constData(), 4);
}

bool PgCopyIn::Finish(QString* error)
{
    if (!m_started) {
        *error = m_error;
        return false;
    }
    if (m_finished) {
        *error = m_error;
        return m_error.isEmpty();
    }
    m_finished = true;
    PGconn* conn = m_store.handle();
    if (m_error.isEmpty()) {
        const char trailer[2] = {char(0xff), char(0xff)};
        put(trailer, 2);
        send();
    }
    // A copy cut short is refused as a whole by the server.
    const bool sent = m_error.isEmpty();
    if (PQputCopyEnd(conn, sent ? nullptr : "copy cut short") != 1 && sent)
        m_error = LibpqText(PQerrorMessage(conn));
    m_store.m_lastState.clear();
    while (PGresult* r = PQgetResult(conn)) {
        const PgResult result(r);
        if (!result.Ok() && m_error.isEmpty()) {
            m_error = StatementError(r, conn);
            m_store.m_lastState = result.SqlState();
        }
    }
    if (m_error.isEmpty() && PQstatus(conn) != CONNECTION_OK)
        m_error = StatementError(nullptr, conn);
    *error = m_error;
    return m_error.isEmpty();
}
