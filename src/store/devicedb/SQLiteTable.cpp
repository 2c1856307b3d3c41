#include "SQLiteTable.h"

#include <sqlite3.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string AsciiUpper(std::string s)
{
    for (char& c : s)
        c = AsciiUpper(c);
    return s;
}

std::string AsciiLower(std::string s)
{
    for (char& c : s)
        c = AsciiLower(c);
    return s;
}

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// wchar_t is UTF-32 on Linux and UTF-16 on Windows; handle both.
std::string WideToUtf8(const std::wstring& w)
{
    std::string out;
    out.reserve(w.size());
    for (size_t i = 0; i < w.size(); ++i) {
        uint32_t cp = static_cast<uint32_t>(w[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            cp &= 0xFFFF;
            if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < w.size()) {
                const uint32_t lo = static_cast<uint32_t>(w[i + 1]) & 0xFFFF;
                if (lo >= 0xDC00 && lo <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    ++i;
                }
            }
        }
        AppendUtf8(out, cp);
    }
    return out;
}

// 15 significant digits, shortest form: fixed while the value has at most
// 15 integer digits and is not below 1E-5, scientific ("1.5E-6") otherwise.
// std::to_chars keeps '.' whatever the process locale is.
std::string FormatFloat(double v)
{
    if (std::isnan(v))
        return "NAN";
    if (std::isinf(v))
        return v < 0 ? "-INF" : "INF";
    if (v == 0.0)
        return "0";

    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 14);
    std::string sci(buf, res.ptr);  // e.g. "-1.23450000000000e+02"

    const bool negative = sci[0] == '-';
    if (negative)
        sci.erase(0, 1);
    const size_t ePos = sci.find('e');
    const int exponent = std::atoi(sci.c_str() + ePos + 1);
    std::string digits;
    for (size_t i = 0; i < ePos; ++i)
        if (sci[i] != '.')
            digits += sci[i];
    while (digits.size() > 1 && digits.back() == '0')
        digits.pop_back();

    std::string out = negative ? "-" : "";
    if (exponent >= -5 && exponent < 15) {
        if (exponent < 0) {
            out += "0.";
            out.append(static_cast<size_t>(-exponent - 1), '0');
            out += digits;
        } else {
            const size_t intDigits = static_cast<size_t>(exponent) + 1;
            if (digits.size() <= intDigits) {
                out += digits;
                out.append(intDigits - digits.size(), '0');
            } else {
                out += digits.substr(0, intDigits);
                out += '.';
                out += digits.substr(intDigits);
            }
        }
    } else {
        out += digits[0];
        if (digits.size() > 1) {
            out += '.';
            out += digits.substr(1);
        }
        out += 'E';
        out += std::to_string(exponent);
    }
    return out;
}

// Truncation toward zero; values outside the int64 range are clamped, as
// SQLite's own CAST does, instead of the undefined float-to-int conversion.
int64_t TruncateToInt64(double v)
{
    if (std::isnan(v))
        return 0;
    if (v >= 9223372036854775808.0)
        return std::numeric_limits<int64_t>::max();
    if (v < -9223372036854775808.0)
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}

int ColumnTypeFromDecl(const char* decl, int firstRowType)
{
    if (decl == nullptr)
        return firstRowType;
    const std::string d(decl);
    if (d == "INTEGER" || d == "BOOLEAN")
        return TSQLiteTable::Integer;
    if (d == "NUMERIC" || d == "FLOAT" || d == "DOUBLE" || d == "REAL")
        return TSQLiteTable::Float;
    if (d == "BLOB")
        return TSQLiteTable::Blob;
    return TSQLiteTable::Text;
}

}  // namespace

std::string SQLiteErrorText(int code)
{
    switch (code) {
    case 0: return "Successful result";
    case 1: return "SQL error or missing database";
    case 2: return "An internal logic error in SQLite";
    case 3: return "Access permission denied";
    case 4: return "Callback routine requested an abort";
    case 5: return "The database file is locked";
    case 6: return "A table in the database is locked";
    case 7: return "A malloc() failed";
    case 8: return "Attempt to write a readonly database";
    case 9: return "Operation terminated by sqlite3_interrupt()";
    case 10: return "Some kind of disk I/O error occurred";
    case 11: return "The database disk image is malformed";
    case 12: return "(Internal Only) Table or record not found";
    case 13: return "Insertion failed because database is full";
    case 14: return "Unable to open the database file";
    case 15: return "Database lock protocol error";
    case 16: return "Database is empty";
    case 17: return "The database schema changed";
    case 18: return "Too much data for one row of a table";
    case 19: return "Abort due to contraint violation";
    case 20: return "Data type mismatch";
    case 21: return "Library used incorrectly";
    case 22: return "Uses OS features not supported on host";
    case 23: return "Authorization denied";
    case 24: return "Auxiliary database format error";
    case 25: return "2nd parameter to sqlite3_bind out of range";
    case 26: return "File opened that is not a database file";
    case 100: return "sqlite3_step() has another row ready";
    case 101: return "sqlite3_step() has finished executing";
    default: return "Unknown SQLite Error Code \"" + std::to_string(code) + "\"";
    }
}

// ---------------------------------------------------------------------------
// TSQLiteDatabase

void TSQLiteDatabase::StmtDeleter::operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }

TSQLiteDatabase::TSQLiteDatabase(const std::string& fileName) : TSQLiteDatabase(fileName, nullptr) {}

TSQLiteDatabase::TSQLiteDatabase(const std::string& fileName, const char* vfs)
{
    // The flags sqlite3_open uses.
    const int rc = sqlite3_open_v2(fileName.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, vfs);
    if (rc != SQLITE_OK) {
        const std::string detail = db_ ? sqlite3_errmsg(db_) : "unknown error";
        Close();
        throw ESQLiteException("Failed to open database \"" + fileName + "\" : " + detail);
    }
}

TSQLiteDatabase::~TSQLiteDatabase() { Close(); }

void TSQLiteDatabase::Close()
{
    if (inTransaction_ && db_) {
        try {
            Rollback();
        } catch (...) {
            // Closing below discards the open transaction anyway.
        }
    }
    if (db_) {
        // Statements prepared on DbHandle() by someone else would keep a
        // plain close from happening; let SQLite close once they are gone.
        if (sqlite3_close(db_) != SQLITE_OK)
            sqlite3_close_v2(db_);
        db_ = nullptr;
    }
    ClearParams();
}

void TSQLiteDatabase::BeginTransaction()
{
    ExecuteSQL("BEGIN");
    inTransaction_ = true;
}

void TSQLiteDatabase::AddParamInt(const std::string& name, int64_t v)
{
    TSQLiteParam p;
    p.name = name;
    p.kind = TSQLiteParam::Integer;
    p.intValue = v;
    AddParam(std::move(p));
}

void TSQLiteDatabase::AddParamFloat(const std::string& name, double v)
{
    TSQLiteParam p;
    p.name = name;
    p.kind = TSQLiteParam::Real;
    p.realValue = v;
    AddParam(std::move(p));
}

void TSQLiteDatabase::AddParamText(const std::string& name, const std::string& v)
{
    TSQLiteParam p;
    p.name = name;
    p.kind = TSQLiteParam::Text;
    p.textValue = v;
    AddParam(std::move(p));
}

void TSQLiteDatabase::AddParamNull(const std::string& name)
{
    TSQLiteParam p;
    p.name = name;
    p.kind = TSQLiteParam::Null;
    AddParam(std::move(p));
}

void TSQLiteDatabase::RaiseLastError(const std::string& msg, const std::string& sql)
{
    const int code = db_ ? sqlite3_errcode(db_) : 0;
    const char* detail = code != 0 ? sqlite3_errmsg(db_) : nullptr;
    if (code != 0 && detail != nullptr) {
        throw ESQLiteException(msg + ".\rError [" + std::to_string(code) + "]: " + SQLiteErrorText(code) +
                               ".\r\"" + sql + "\": " + detail);
    }
    throw ESQLiteException(msg);
}

void TSQLiteDatabase::NotifyQuery(const std::string& sql)
{
    if (hook_)
        hook_(*this, sql);
}

void TSQLiteDatabase::ApplyParams(sqlite3_stmt* stmt)
{
    // Pending params belong to this one statement, whatever happens while binding.
    struct ClearOnExit {
        TSQLiteDatabase& db;
        ~ClearOnExit() { db.ClearParams(); }
    } clear{*this};

    for (const TSQLiteParam& p : params_) {
        const int idx = sqlite3_bind_parameter_index(stmt, p.name.c_str());
        if (idx <= 0)
            continue;
        switch (p.kind) {
        case TSQLiteParam::Integer: sqlite3_bind_int64(stmt, idx, p.intValue); break;
        case TSQLiteParam::Real: sqlite3_bind_double(stmt, idx, p.realValue); break;
        case TSQLiteParam::Text:
            sqlite3_bind_text64(stmt, idx, p.textValue.data(), p.textValue.size(), SQLITE_TRANSIENT,
                                SQLITE_UTF8);
            break;
        case TSQLiteParam::Null: sqlite3_bind_null(stmt, idx); break;
        default: break;
        }
    }
}

void TSQLiteDatabase::BindData(sqlite3_stmt* stmt, const SQLiteArgs& args)
{
    // An empty, non-null pointer so a zero-length BLOB stays a BLOB rather than NULL.
    static const char kEmpty[1] = {0};

    for (size_t k = 0; k < args.size(); ++k) {
        const SQLiteArg& a = args[k];
        const int idx = static_cast<int>(k + 1);
        switch (a.kind()) {
        case SQLiteArg::Kind::Int32:
            if (sqlite3_bind_int(stmt, idx, static_cast<int>(a.intValue())) != SQLITE_OK)
                RaiseLastError("Could not bind integer", "BindData");
            break;
        case SQLiteArg::Kind::Boolean:
            if (sqlite3_bind_int(stmt, idx, a.intValue() ? 1 : 0) != SQLITE_OK)
                RaiseLastError("Could not bind boolean", "BindData");
            break;
        case SQLiteArg::Kind::Real:
            if (sqlite3_bind_double(stmt, idx, a.realValue()) != SQLITE_OK)
                RaiseLastError("Could not bind extended", "BindData");
            break;
        case SQLiteArg::Kind::Int64:
            if (sqlite3_bind_int64(stmt, idx, a.intValue()) != SQLITE_OK)
                RaiseLastError("Could not bind int64", "BindData");
            break;
        case SQLiteArg::Kind::Pointer:
            if (a.pointer() != nullptr)
                throw ESQLiteException("Unhandled pointer (<> nil)");
            if (sqlite3_bind_null(stmt, idx) != SQLITE_OK)
                RaiseLastError("Could not bind null", "BindData");
            break;
        case SQLiteArg::Kind::Char: {
            const char c = static_cast<char>(a.intValue());
            if (sqlite3_bind_text(stmt, idx, &c, 1, SQLITE_TRANSIENT) != SQLITE_OK)
                RaiseLastError("Could not bind text", "BindData");
            break;
        }
        case SQLiteArg::Kind::ByteString: {
            const std::string& s = a.bytes();
            if (sqlite3_bind_text64(stmt, idx, s.data(), s.size(), SQLITE_TRANSIENT,
                                    SQLITE_UTF8) != SQLITE_OK)
                RaiseLastError("Could not bind text", "BindData");
            break;
        }
        case SQLiteArg::Kind::CString:
            if (sqlite3_bind_text(stmt, idx, a.isNullText() ? nullptr : a.bytes().c_str(), -1, SQLITE_TRANSIENT) !=
                SQLITE_OK)
                RaiseLastError("Could not bind text", "BindData");
            break;
        case SQLiteArg::Kind::WideString: {
            const std::string utf8 = WideToUtf8(a.wide());
            if (sqlite3_bind_text(stmt, idx, utf8.c_str(), -1, SQLITE_TRANSIENT) != SQLITE_OK)
                RaiseLastError("Could not bind text", "BindData");
            break;
        }
        case SQLiteArg::Kind::Stream: {
            TStream* stream = a.stream();
            if (auto* mem = dynamic_cast<TMemoryStream*>(stream)) {
                const int64_t pos = mem->Position();
                const int64_t remaining = mem->Size() - pos;
                const char* p = remaining > 0 ? mem->Data() + pos : kEmpty;
                if (sqlite3_bind_blob64(stmt, idx, p, remaining > 0 ? static_cast<sqlite3_uint64>(remaining) : 0,
                                        SQLITE_STATIC) != SQLITE_OK)
                    RaiseLastError("Could not bind BLOB", "BindData");
            } else if (stream != nullptr) {
                const int64_t size = stream->Size();
                if (size <= 0 || static_cast<uint64_t>(size) > std::numeric_limits<size_t>::max())
                    throw ESQLiteException("Error getting memory to save blob");
                const auto n = static_cast<size_t>(size);
                char* buf = static_cast<char*>(std::malloc(n));
                if (buf == nullptr)
                    throw ESQLiteException("Error getting memory to save blob");
                stream->SetPosition(0);
                size_t got = 0;
                while (got < n) {
                    const size_t r = stream->Read(buf + got, n - got);
                    if (r == 0)
                        break;
                    got += r;
                }
                if (got != n) {
                    // A short read would store uninitialised bytes.
                    std::free(buf);
                    throw ESQLiteException("Could not bind BLOB");
                }
                // SQLite frees buf itself, also when the bind fails.
                if (sqlite3_bind_blob64(stmt, idx, buf, n, std::free) != SQLITE_OK)
                    RaiseLastError("Could not bind BLOB", "BindData");
            } else {
                throw ESQLiteException("Unhandled object-type in binding");
            }
            break;
        }
        }
    }
}

TSQLiteDatabase::StmtPtr TSQLiteDatabase::Prepare(const std::string& sql, const SQLiteArgs& args)
{
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &raw, nullptr);
    StmtPtr stmt(raw);
    if (rc != SQLITE_OK)
        RaiseLastError("Error executing SQL", sql);
    if (!stmt)
        RaiseLastError("Could not prepare SQL statement", sql);
    NotifyQuery(sql);
    ApplyParams(stmt.get());
    BindData(stmt.get(), args);
    return stmt;
}

void TSQLiteDatabase::ExecuteSQL(const std::string& sql) { ExecuteSQL(sql, {}); }

void TSQLiteDatabase::ExecuteSQL(const std::string& sql, const SQLiteArgs& args)
{
    StmtPtr stmt = Prepare(sql, args);
    if (sqlite3_step(stmt.get()) != SQLITE_DONE) {
        sqlite3_reset(stmt.get());
        RaiseLastError("Error executing SQL statement", sql);
    }
}

std::unique_ptr<TSQLiteTable> TSQLiteDatabase::QueryTable(const std::string& sql, const SQLiteArgs& args)
{
    return std::make_unique<TSQLiteTable>(*this, sql, args);
}

bool TSQLiteDatabase::HasTable(const std::string& name)
{
    // Only A-Z are folded, the same as SQLite's built-in lower().
    auto table = QueryTable("select [sql] from sqlite_master where [type] = 'table' and lower(name) = ? ",
                            {SQLiteArg::Bytes(AsciiLower(name))});
    return table->RowCount() > 0;
}

void TSQLiteDatabase::Rollback()
{
    ExecuteSQL("ROLLBACK");
    inTransaction_ = false;
}

// ---------------------------------------------------------------------------
// TSQLiteRow

void TSQLiteRow::LearnColumns(sqlite3_stmt* s)
{
    columnCount_ = sqlite3_column_count(s);
    columnNames_.clear();
    columnTypes_.clear();
    columnNames_.reserve(static_cast<size_t>(columnCount_));
    columnTypes_.reserve(static_cast<size_t>(columnCount_));
    for (int k = 0; k < columnCount_; ++k) {
        const char* name = sqlite3_column_name(s, k);
        columnNames_.push_back(AsciiUpper(name ? std::string(name) : std::string()));
    }
    for (int k = 0; k < columnCount_; ++k)
        columnTypes_.push_back(ColumnTypeFromDecl(sqlite3_column_decltype(s, k), sqlite3_column_type(s, k)));
}

TSQLiteRow::Cell TSQLiteRow::ReadCell(sqlite3_stmt* s, int k) const
{
    if (sqlite3_column_type(s, k) == SQLITE_NULL)
        return Cell();
    switch (columnTypes_[static_cast<size_t>(k)]) {
    case Integer: return Cell(static_cast<int64_t>(sqlite3_column_int64(s, k)));
    case Float: return Cell(sqlite3_column_double(s, k));
    case Blob: {
        const void* p = sqlite3_column_blob(s, k);
        const int n = sqlite3_column_bytes(s, k);
        if (p == nullptr || n <= 0)
            return Cell();
        // Left at its end, as if just written.
        auto stream = std::make_unique<TMemoryStream>(p, static_cast<size_t>(n));
        stream->SetPosition(stream->Size());
        return Cell(std::move(stream));
    }
    default: {
        const auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, k));
        return Cell(std::string(t ? t : ""));
    }
    }
}

// ---------------------------------------------------------------------------
// TSQLiteTable

TSQLiteTable::TSQLiteTable(TSQLiteDatabase& db, const std::string& sql, const SQLiteArgs& args)
{
    TSQLiteDatabase::StmtPtr stmt = db.Prepare(sql, args);
    sqlite3_stmt* s = stmt.get();

    for (;;) {
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_DONE)
            break;
        if (rc == SQLITE_BUSY)
            throw ESQLiteException("Could not prepare SQL statement");
        if (rc != SQLITE_ROW) {
            sqlite3_reset(s);
            db.RaiseLastError("Could not retrieve data", sql);
        }
        if (rowCount_ == std::numeric_limits<int32_t>::max())
            throw ESQLiteException("Could not retrieve data");
        ++rowCount_;

        if (rowCount_ == 1)
            LearnColumns(s);
        for (int k = 0; k < columnCount_; ++k)
            cells_.push_back(ReadCell(s, k));
    }
    currentRow_ = 0;
}

bool TSQLiteTable::MoveNext()
{
    if (AtEnd())
        return false;
    ++currentRow_;
    return true;
}

const TSQLiteRow::Cell& TSQLiteTable::CellAt(int i) const
{
    return cells_[static_cast<size_t>(currentRow_) * static_cast<size_t>(columnCount_) + static_cast<size_t>(i)];
}

// ---------------------------------------------------------------------------
// TSQLiteCursor

TSQLiteCursor::TSQLiteCursor(TSQLiteDatabase& db, const std::string& sql, const SQLiteArgs& args)
    : db_(db), sql_(sql), stmt_(db.Prepare(sql, args))
{
    atEnd_ = false;
    Step();
}

void TSQLiteCursor::Restart(const SQLiteArgs& args)
{
    row_.clear();
    atEnd_ = true;
    currentRow_ = 0;
    if (!stmt_)
        stmt_ = db_.Prepare(sql_, args);
    else {
        sqlite3_reset(stmt_.get());
        sqlite3_clear_bindings(stmt_.get());
        db_.BindData(stmt_.get(), args);
    }
    atEnd_ = false;
    Step();
}

void TSQLiteCursor::Step()
{
    row_.clear();
    sqlite3_stmt* s = stmt_.get();
    const int rc = sqlite3_step(s);
    if (rc == SQLITE_ROW) {
        if (!learnt_) {
            LearnColumns(s);
            learnt_ = true;
        }
        row_.reserve(static_cast<size_t>(columnCount_));
        stored_.resize(static_cast<size_t>(columnCount_));
        // The storage classes first: reading a value in another form may change what
        // sqlite3_column_type reports.
        for (int k = 0; k < columnCount_; ++k)
            stored_[static_cast<size_t>(k)] = sqlite3_column_type(s, k);
        for (int k = 0; k < columnCount_; ++k)
            row_.push_back(ReadCell(s, k));
        return;
    }
    atEnd_ = true;
    if (rc == SQLITE_DONE)
        return;
    // A failed step ends the result; the statement is finalized, as loading leaves nothing open.
    if (rc == SQLITE_BUSY) {
        stmt_.reset();
        throw ESQLiteException("Could not prepare SQL statement");
    }
    sqlite3_reset(s);
    try {
        db_.RaiseLastError("Could not retrieve data", sql_);
    } catch (...) {
        stmt_.reset();
        throw;
    }
}

bool TSQLiteCursor::MoveNext()
{
    if (atEnd_)
        return false;
    ++currentRow_;
    Step();
    return true;
}

const TSQLiteRow::Cell& TSQLiteCursor::CellAt(int i) const { return row_[static_cast<size_t>(i)]; }

bool TSQLiteCursor::FieldStoredText(int i, std::string& text) const
{
    CurrentCell(i); // the same end-of-file and index checks as every reader
    sqlite3_stmt* s = stmt_.get();
    text.clear();
    switch (stored_[static_cast<size_t>(i)]) {
    case SQLITE_NULL: return true;
    case SQLITE_INTEGER: text = std::to_string(sqlite3_column_int64(s, i)); return true;
    case SQLITE_FLOAT: return false;
    case SQLITE_BLOB: {
        const void* bytes = sqlite3_column_blob(s, i);
        if (bytes)
            text.assign(static_cast<const char*>(bytes), static_cast<size_t>(sqlite3_column_bytes(s, i)));
        return true;
    }
    default: {
        const unsigned char* chars = sqlite3_column_text(s, i);
        if (chars)
            text.assign(reinterpret_cast<const char*>(chars), static_cast<size_t>(sqlite3_column_bytes(s, i)));
        return true;
    }
    }
}

// ---------------------------------------------------------------------------
// Field readers

int TSQLiteRow::IndexOfField(const std::string& name) const
{
    if (columnNames_.empty())
        throw ESQLiteException("Field " + name + " Not found. Empty dataset");
    const std::string upper = AsciiUpper(name);
    for (size_t k = 0; k < columnNames_.size(); ++k)
        if (AsciiUpper(columnNames_[k]) == upper)
            return static_cast<int>(k);
    throw ESQLiteException("Field not found in dataset: " + name);
}

const TSQLiteRow::Cell& TSQLiteRow::CurrentCell(int i) const
{
    if (AtEnd())
        throw ESQLiteException("Table is at End of File");
    if (i < 0 || i >= columnCount_)
        throw std::out_of_range("List index out of bounds (" + std::to_string(i) + ")");
    return CellAt(i);
}

int64_t TSQLiteRow::FieldInt64(int i) const
{
    const Cell& c = CurrentCell(i);
    if (std::holds_alternative<std::monostate>(c))
        return 0;
    switch (TypeOf(i)) {
    case Integer: return std::get<int64_t>(c);
    case Float: return TruncateToInt64(std::get<double>(c));
    default: throw ESQLiteException("Not an integer or numeric field");
    }
}

double TSQLiteRow::FieldReal(int i) const
{
    const Cell& c = CurrentCell(i);
    if (std::holds_alternative<std::monostate>(c))
        return 0.0;
    switch (TypeOf(i)) {
    case Integer: return static_cast<double>(std::get<int64_t>(c));
    case Float: return std::get<double>(c);
    default: throw ESQLiteException("Not an integer or numeric field");
    }
}

TMemoryStream* TSQLiteRow::FieldBlob(int i) const
{
    const Cell& c = CurrentCell(i);
    if (std::holds_alternative<std::monostate>(c))
        return nullptr;
    if (TypeOf(i) != Blob)
        throw ESQLiteException("Not a Blob field");
    return std::get<std::unique_ptr<TMemoryStream>>(c).get();
}

std::string TSQLiteRow::FieldBlobText(int i) const
{
    TMemoryStream* stream = FieldBlob(i);
    if (stream == nullptr || stream->Size() == 0)
        return std::string();
    std::string out(static_cast<size_t>(stream->Size()), '\0');
    stream->SetPosition(0);
    out.resize(stream->Read(&out[0], out.size()));
    return out;
}

std::string TSQLiteRow::FieldText(int i) const
{
    const Cell& c = CurrentCell(i);
    const int type = TypeOf(i);
    if (std::holds_alternative<std::monostate>(c))
        return (type == Integer || type == Float) ? "0" : "";
    switch (type) {
    case Integer: return std::to_string(FieldInt64(i));
    case Float: return FormatFloat(FieldReal(i));
    case Blob: return FieldBlobText(i);
    default:
        // Columns typed NULL from their first row still hold the text of later rows.
        return std::get<std::string>(c);
    }
}

std::string TSQLiteRow::FieldTextOrEmpty(int i) const
{
    if (std::holds_alternative<std::monostate>(CurrentCell(i)))
        return std::string();
    return FieldText(i);
}
