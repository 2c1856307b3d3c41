#pragma once

// Thin object layer over the SQLite C API, used to read the handheld's
// device database (water_list).

#include "MemoryStream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class ESQLiteException : public std::runtime_error {
public:
    explicit ESQLiteException(const std::string& msg) : std::runtime_error(msg) {}
};

std::string SQLiteErrorText(int code);

// One positional argument. The implicit constructors cover the common cases;
// the named factories make the kind explicit where overloads would be ambiguous.
class SQLiteArg {
public:
    enum class Kind {
        Int32,
        Int64,
        Boolean,
        Real,
        Pointer,     // only null is bindable (binds NULL)
        Char,
        ByteString,  // every byte kept, embedded zeros included
        CString,     // zero-terminated
        WideString,  // converted to UTF-8
        Stream,      // TMemoryStream: bytes from its position; other TStream: whole stream
    };

    SQLiteArg(int32_t v) : kind_(Kind::Int32), int_(v) {}
    SQLiteArg(int64_t v) : kind_(Kind::Int64), int_(v) {}
    SQLiteArg(bool v) : kind_(Kind::Boolean), int_(v ? 1 : 0) {}
    SQLiteArg(double v) : kind_(Kind::Real), real_(v) {}
    SQLiteArg(std::nullptr_t) : kind_(Kind::Pointer) {}
    SQLiteArg(char v) : kind_(Kind::Char), int_(static_cast<unsigned char>(v)) {}
    SQLiteArg(std::string v) : kind_(Kind::ByteString), bytes_(std::move(v)) {}
    // The text is copied up to its zero: the argument may outlive the buffer it came from.
    SQLiteArg(const char* v) : kind_(Kind::CString), null_(v == nullptr), bytes_(v ? v : "") {}
    SQLiteArg(std::wstring v) : kind_(Kind::WideString), wide_(std::move(v)) {}
    SQLiteArg(TStream* v) : kind_(Kind::Stream), stream_(v) {}
    // Any other object pointer takes the pointer path instead of converting to bool; only null
    // is bindable.
    SQLiteArg(const void* v) : kind_(Kind::Pointer), ptr_(v) {}

    static SQLiteArg Int32(int32_t v) { return SQLiteArg(v); }
    static SQLiteArg Int64(int64_t v) { return SQLiteArg(v); }
    static SQLiteArg Boolean(bool v) { return SQLiteArg(v); }
    static SQLiteArg Real(double v) { return SQLiteArg(v); }
    static SQLiteArg Pointer(const void* p) { return SQLiteArg(p); }
    static SQLiteArg Char(char v) { return SQLiteArg(v); }
    static SQLiteArg Bytes(std::string v) { return SQLiteArg(std::move(v)); }
    static SQLiteArg CString(const char* v) { return SQLiteArg(v); }
    static SQLiteArg Wide(std::wstring v) { return SQLiteArg(std::move(v)); }
    static SQLiteArg Stream(TStream* v) { return SQLiteArg(v); }

    Kind kind() const { return kind_; }
    int64_t intValue() const { return int_; }
    double realValue() const { return real_; }
    const void* pointer() const { return ptr_; }
    bool isNullText() const { return null_; } // a CString made from a null pointer
    const std::string& bytes() const { return bytes_; }
    const std::wstring& wide() const { return wide_; }
    TStream* stream() const { return stream_; }

private:
    Kind kind_;
    bool null_ = false;
    int64_t int_ = 0;
    double real_ = 0.0;
    const void* ptr_ = nullptr;
    std::string bytes_;
    std::wstring wide_;
    TStream* stream_ = nullptr;
};

using SQLiteArgs = std::vector<SQLiteArg>;

// Named parameter applied to the next statement the database prepares.
struct TSQLiteParam {
    enum Kind { Integer = 1, Real = 2, Text = 3, Null = 5 };
    std::string name;
    int kind = Null;
    int64_t intValue = 0;
    double realValue = 0.0;
    std::string textValue;
};

class TSQLiteTable;

class TSQLiteDatabase {
public:
    using QueryHook = std::function<void(TSQLiteDatabase&, const std::string&)>;

    explicit TSQLiteDatabase(const std::string& fileName);
    // Over a VFS of that name (null: the default one).
    TSQLiteDatabase(const std::string& fileName, const char* vfs);
    ~TSQLiteDatabase();
    TSQLiteDatabase(const TSQLiteDatabase&) = delete;
    TSQLiteDatabase& operator=(const TSQLiteDatabase&) = delete;

    sqlite3* DbHandle() const { return db_; }

    bool InTransaction() const { return inTransaction_; }
    void SetInTransaction(bool v) { inTransaction_ = v; }
    // Runs BEGIN and marks the transaction so destruction rolls it back.
    void BeginTransaction();

    const std::vector<TSQLiteParam>& PendingParams() const { return params_; }
    void AddParam(TSQLiteParam p) { params_.push_back(std::move(p)); }
    void AddParamInt(const std::string& name, int64_t v);
    void AddParamFloat(const std::string& name, double v);
    void AddParamText(const std::string& name, const std::string& v);
    void AddParamNull(const std::string& name);
    void ClearParams() { params_.clear(); }

    void SetQueryHook(QueryHook hook) { hook_ = std::move(hook); }

    void ExecuteSQL(const std::string& sql);
    void ExecuteSQL(const std::string& sql, const SQLiteArgs& args);
    std::unique_ptr<TSQLiteTable> QueryTable(const std::string& sql, const SQLiteArgs& args = {});
    bool HasTable(const std::string& name);
    void Rollback();

    void BindData(sqlite3_stmt* stmt, const SQLiteArgs& args);
    void ApplyParams(sqlite3_stmt* stmt);
    void NotifyQuery(const std::string& sql);
    [[noreturn]] void RaiseLastError(const std::string& msg, const std::string& sql);

    struct StmtDeleter {
        void operator()(sqlite3_stmt* s) const;
    };
    using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

    // Prepares the first statement of sql, applies pending params and binds args.
    StmtPtr Prepare(const std::string& sql, const SQLiteArgs& args);

private:
    void Close();

    sqlite3* db_ = nullptr;
    bool inTransaction_ = false;
    std::vector<TSQLiteParam> params_;
    QueryHook hook_;
};

// The field readers over the current row of a result, shared by the loading table and the
// streaming cursor so that a value reads the same through both.
class TSQLiteRow {
public:
    enum ColumnType { Integer = 1, Float = 2, Text = 3, Blob = 4, Null = 5 };

    virtual ~TSQLiteRow() = default;

    int32_t ColumnCount() const { return columnCount_; }
    const std::vector<std::string>& ColumnNames() const { return columnNames_; }
    const std::vector<int>& ColumnTypes() const { return columnTypes_; }

    virtual bool AtEnd() const = 0;
    int IndexOfField(const std::string& name) const;

    std::string FieldText(int i) const;
    std::string FieldTextOrEmpty(int i) const;
    int64_t FieldInt64(int i) const;
    double FieldReal(int i) const;
    TMemoryStream* FieldBlob(int i) const;
    std::string FieldBlobText(int i) const;

protected:
    using Cell = std::variant<std::monostate, int64_t, double, std::string, std::unique_ptr<TMemoryStream>>;

    // Cell i of the current row; AtEnd() has been checked.
    virtual const Cell& CellAt(int i) const = 0;
    // Names and types of the columns, from the first row of a statement.
    void LearnColumns(sqlite3_stmt* s);
    // Column k of the statement's current row, in the form its column type asks for.
    Cell ReadCell(sqlite3_stmt* s, int k) const;

    int32_t columnCount_ = 0;
    std::vector<std::string> columnNames_;
    std::vector<int> columnTypes_;

    // Cell i of the current row, after the end-of-file and index checks every reader makes.
    const Cell& CurrentCell(int i) const;

private:
    int TypeOf(int i) const { return columnTypes_[static_cast<size_t>(i)]; }
};

class TSQLiteTable : public TSQLiteRow {
public:
    // Runs the query and loads every row; keeps nothing of the database afterwards.
    TSQLiteTable(TSQLiteDatabase& db, const std::string& sql, const SQLiteArgs& args = {});
    TSQLiteTable(const TSQLiteTable&) = delete;
    TSQLiteTable& operator=(const TSQLiteTable&) = delete;

    int32_t RowCount() const { return rowCount_; }
    int32_t CurrentRow() const { return currentRow_; }

    bool AtEnd() const override { return currentRow_ >= rowCount_; }
    bool MoveNext();
    // Back to the first row, for a second pass over the same result.
    void Rewind() { currentRow_ = 0; }

private:
    const Cell& CellAt(int i) const override;

    std::vector<Cell> cells_;
    int32_t rowCount_ = 0;
    int32_t currentRow_ = 0;
};

// Steps a query one row at a time and holds only the current row, so a result of any size costs
// the memory of one row. The statement stays open on the database until the cursor is destroyed.
// Column names and types are learnt at the first row, as the loading table learns them.
class TSQLiteCursor : public TSQLiteRow {
public:
    // Prepares the query and steps to its first row; raises as loading a table does.
    TSQLiteCursor(TSQLiteDatabase& db, const std::string& sql, const SQLiteArgs& args = {});
    TSQLiteCursor(const TSQLiteCursor&) = delete;
    TSQLiteCursor& operator=(const TSQLiteCursor&) = delete;

    // Runs the same statement again with other arguments, from its first row.
    void Restart(const SQLiteArgs& args);

    // Rows stepped past so far: the 0-based number of the current row.
    int64_t CurrentRow() const { return currentRow_; }

    // Column i of the current row as the text it is stored as, read by the value's own storage
    // class rather than the column's declared type, so that an ID number in a column declared
    // INTEGER or NUMERIC keeps every character: text and BLOB bytes as they are, an integer in
    // decimal digits, NULL as empty. false for a floating-point value, which has no one text.
    bool FieldStoredText(int i, std::string& text) const;
    bool AtEnd() const override { return atEnd_; }
    // Steps to the next row. true when it moved, also onto the end; false when already there.
    // A failing step raises, and the cursor is then at its end.
    bool MoveNext();

private:
    const Cell& CellAt(int i) const override;
    void Step();

    TSQLiteDatabase& db_;
    std::string sql_;
    TSQLiteDatabase::StmtPtr stmt_;
    std::vector<Cell> row_;
    std::vector<int> stored_; // storage class of each value of the current row
    int64_t currentRow_ = 0;
    bool atEnd_ = true;
    bool learnt_ = false;
};
