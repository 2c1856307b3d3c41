#include "ReadAheadVfs.h"
#include "SQLiteTable.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

// A stream that is not a TMemoryStream, so it takes the copying path.
class TBytesStream : public TStream {
public:
    explicit TBytesStream(std::string b, int64_t claimedSize = -1)
        : bytes_(std::move(b)), size_(claimedSize < 0 ? static_cast<int64_t>(bytes_.size()) : claimedSize)
    {
    }
    int64_t Size() const override { return size_; }
    int64_t Position() const override { return pos_; }
    void SetPosition(int64_t p) override { pos_ = p; }
    size_t Read(void* buf, size_t n) override
    {
        if (pos_ >= static_cast<int64_t>(bytes_.size()))
            return 0;
        const size_t count = std::min(n, bytes_.size() - static_cast<size_t>(pos_));
        std::memcpy(buf, bytes_.data() + pos_, count);
        pos_ += static_cast<int64_t>(count);
        return count;
    }

private:
    std::string bytes_;
    int64_t size_;
    int64_t pos_ = 0;
};

// Statements left unfinalized would make sqlite3_close fail with SQLITE_BUSY.
void ExpectNoOpenStatements(const TSQLiteDatabase& db)
{
    EXPECT_EQ(sqlite3_next_stmt(db.DbHandle(), nullptr), nullptr);
}

template <typename F>
std::string ErrorOf(F&& f)
{
    try {
        f();
    } catch (const ESQLiteException& e) {
        return e.what();
    }
    return "<no ESQLiteException>";
}

class DeviceDbTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "devicedb-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return (dir_ / name).string(); }

    // Database with one untyped column, so bound values keep their storage class.
    std::unique_ptr<TSQLiteDatabase> ValueDb()
    {
        auto db = std::make_unique<TSQLiteDatabase>(Path("values.db"));
        db->ExecuteSQL("create table v (x)");
        return db;
    }

    fs::path dir_;
};

// ---------------------------------------------------------------------------

TEST(SQLiteErrorTextTest, KnownAndUnknownCodes)
{
    const std::vector<std::pair<int, std::string>> cases = {
        {0, "Successful result"},
        {1, "SQL error or missing database"},
        {5, "The database file is locked"},
        {11, "The database disk image is malformed"},
        {12, "(Internal Only) Table or record not found"},
        {19, "Abort due to contraint violation"},
        {25, "2nd parameter to sqlite3_bind out of range"},
        {26, "File opened that is not a database file"},
        {100, "sqlite3_step() has another row ready"},
        {101, "sqlite3_step() has finished executing"},
        {27, "Unknown SQLite Error Code \"27\""},
        {-1, "Unknown SQLite Error Code \"-1\""},
        {102, "Unknown SQLite Error Code \"102\""},
        {266, "Unknown SQLite Error Code \"266\""},
    };
    for (const auto& [code, text] : cases)
        EXPECT_EQ(SQLiteErrorText(code), text) << code;
}

TEST(MemoryStreamTest, PositionStaysInBoundsAndReadAdvances)
{
    TMemoryStream s("abcdef"s);
    EXPECT_EQ(s.Size(), 6);
    EXPECT_EQ(s.Position(), 0);
    EXPECT_EQ(s.Seek(-2, TSeekOrigin::End), 4);
    char buf[8] = {};
    EXPECT_EQ(s.Read(buf, sizeof buf), 2u);
    EXPECT_EQ(std::string(buf, 2), "ef");
    EXPECT_EQ(s.Read(buf, sizeof buf), 0u);
    s.SetPosition(100);
    EXPECT_EQ(s.Position(), 6);
    s.SetPosition(-3);
    EXPECT_EQ(s.Position(), 0);
    s.SetPosition(4);
    EXPECT_EQ(s.Write("XYZ", 3), 3u);
    EXPECT_EQ(std::string(s.Data(), static_cast<size_t>(s.Size())), "abcdXYZ");
    s.Clear();
    EXPECT_EQ(s.Size(), 0);
    EXPECT_NE(s.Data(), nullptr);
}

// ---------------------------------------------------------------------------
// Opening

TEST_F(DeviceDbTest, OpeningMissingFileCreatesEmptyDatabase)
{
    const std::string path = Path("new.db");
    ASSERT_FALSE(fs::exists(path));
    TSQLiteDatabase db(path);
    EXPECT_NE(db.DbHandle(), nullptr);
    EXPECT_FALSE(db.InTransaction());
    EXPECT_TRUE(fs::exists(path));
    EXPECT_FALSE(db.HasTable("water_list"));
    ExpectNoOpenStatements(db);
}

TEST_F(DeviceDbTest, OpenFailuresNameTheFile)
{
    fs::create_directory(Path("adir"));
    for (const std::string& path : {Path("adir"), Path("missing/folder/x.db")}) {
        EXPECT_EQ(ErrorOf([&] { TSQLiteDatabase db(path); }),
                  "Failed to open database \"" + path + "\" : unable to open database file");
    }
}

TEST_F(DeviceDbTest, FileThatIsNotADatabaseFailsAtFirstQuery)
{
    const std::string path = Path("junk.db");
    {
        std::ofstream f(path, std::ios::binary);
        for (int i = 0; i < 200; ++i)
            f << "this is not a database file ";
    }
    TSQLiteDatabase db(path);
    EXPECT_EQ(ErrorOf([&] { db.HasTable("water_list"); }),
              "Error executing SQL.\rError [26]: File opened that is not a database file.\r"
              "\"select [sql] from sqlite_master where [type] = 'table' and lower(name) = ? \": "
              "file is not a database");
    ExpectNoOpenStatements(db);
}

// ---------------------------------------------------------------------------
// Preparing and executing

TEST_F(DeviceDbTest, PrepareErrors)
{
    auto db = ValueDb();
    EXPECT_EQ(ErrorOf([&] { db->ExecuteSQL("selec 1"); }),
              "Error executing SQL.\rError [1]: SQL error or missing database.\r\"selec 1\": "
              "near \"selec\": syntax error");
    EXPECT_EQ(ErrorOf([&] { db->QueryTable("select * from nowhere"); }),
              "Error executing SQL.\rError [1]: SQL error or missing database.\r\"select * from nowhere\": "
              "no such table: nowhere");
    for (const char* blank : {"", "   \n\t", "-- only a comment", "/* c */  "}) {
        EXPECT_EQ(ErrorOf([&] { db->ExecuteSQL(blank); }), "Could not prepare SQL statement") << blank;
        EXPECT_EQ(ErrorOf([&] { db->QueryTable(blank); }), "Could not prepare SQL statement") << blank;
    }
    ExpectNoOpenStatements(*db);
    db->ExecuteSQL("insert into v values (1)");  // still usable
    EXPECT_EQ(db->QueryTable("select x from v")->RowCount(), 1);
}

TEST_F(DeviceDbTest, ExecuteSQLRejectsStatementsYieldingRows)
{
    auto db = ValueDb();
    // sqlite3_reset after a row leaves no error code, so the message has no detail.
    EXPECT_EQ(ErrorOf([&] { db->ExecuteSQL("select 1"); }), "Error executing SQL statement");
    ExpectNoOpenStatements(*db);
}

TEST_F(DeviceDbTest, OnlyFirstOfSeveralStatementsRuns)
{
    auto db = ValueDb();
    db->ExecuteSQL("insert into v values (1); insert into v values (2)");
    auto t = db->QueryTable("select x from v; select 99");
    ASSERT_EQ(t->RowCount(), 1);
    EXPECT_EQ(t->FieldInt64(0), 1);
}

TEST_F(DeviceDbTest, BusyDuringLoadingIsPlainError)
{
    const std::string path = Path("busy.db");
    TSQLiteDatabase writer(path);
    writer.ExecuteSQL("create table t (a)");
    writer.ExecuteSQL("insert into t values (1)");
    TSQLiteDatabase reader(path);
    ASSERT_EQ(reader.QueryTable("select a from t")->RowCount(), 1);  // schema now cached

    writer.ExecuteSQL("begin exclusive");
    EXPECT_EQ(ErrorOf([&] { reader.QueryTable("select a from t"); }), "Could not prepare SQL statement");
    EXPECT_EQ(ErrorOf([&] { reader.ExecuteSQL("insert into t values (2)"); }),
              "Error executing SQL statement.\rError [5]: The database file is locked.\r"
              "\"insert into t values (2)\": database is locked");
    ExpectNoOpenStatements(reader);
    writer.ExecuteSQL("rollback");
    EXPECT_EQ(reader.QueryTable("select a from t")->RowCount(), 1);
}

// ---------------------------------------------------------------------------
// Loading and the cursor

TEST_F(DeviceDbTest, QueryWithoutRows)
{
    auto db = ValueDb();
    auto t = db->QueryTable("select x from v");
    EXPECT_EQ(t->RowCount(), 0);
    EXPECT_EQ(t->ColumnCount(), 0);
    EXPECT_TRUE(t->AtEnd());
    EXPECT_FALSE(t->MoveNext());
    EXPECT_EQ(t->CurrentRow(), 0);
    EXPECT_EQ(ErrorOf([&] { t->IndexOfField("x"); }), "Field x Not found. Empty dataset");
    for (int col : {0, 5}) {
        EXPECT_EQ(ErrorOf([&] { t->FieldText(col); }), "Table is at End of File");
        EXPECT_EQ(ErrorOf([&] { t->FieldTextOrEmpty(col); }), "Table is at End of File");
        EXPECT_EQ(ErrorOf([&] { t->FieldInt64(col); }), "Table is at End of File");
        EXPECT_EQ(ErrorOf([&] { t->FieldReal(col); }), "Table is at End of File");
        EXPECT_EQ(ErrorOf([&] { t->FieldBlob(col); }), "Table is at End of File");
        EXPECT_EQ(ErrorOf([&] { t->FieldBlobText(col); }), "Table is at End of File");
    }
}

TEST_F(DeviceDbTest, CursorWalksRowsAndStopsPastTheEnd)
{
    auto db = ValueDb();
    db->ExecuteSQL("insert into v values (10), (20)");
    auto t = db->QueryTable("select x from v order by x");
    ASSERT_EQ(t->RowCount(), 2);
    EXPECT_FALSE(t->AtEnd());
    EXPECT_EQ(t->FieldInt64(0), 10);
    EXPECT_TRUE(t->MoveNext());
    EXPECT_EQ(t->FieldInt64(0), 20);
    EXPECT_TRUE(t->MoveNext());  // moving past the last row still reports a move
    EXPECT_TRUE(t->AtEnd());
    EXPECT_EQ(t->CurrentRow(), 2);
    EXPECT_FALSE(t->MoveNext());
    EXPECT_EQ(t->CurrentRow(), 2);
    EXPECT_EQ(ErrorOf([&] { t->FieldInt64(0); }), "Table is at End of File");

    auto two = db->QueryTable("select x, x from v");
    for (int col : {-1, 2, 1000}) {
        EXPECT_THROW(two->FieldText(col), std::out_of_range) << col;
        EXPECT_THROW(two->FieldBlob(col), std::out_of_range) << col;
    }
}

TEST_F(DeviceDbTest, ColumnTypesFollowExactDeclaredType)
{
    const std::vector<std::pair<std::string, int>> cases = {
        {"INTEGER", 1},  {"BOOLEAN", 1}, {"NUMERIC", 2},     {"FLOAT", 2},       {"DOUBLE", 2},
        {"REAL", 2},     {"BLOB", 4},    {"TEXT", 3},        {"INT", 3},         {"VARCHAR(20)", 3},
        {"DATE", 3},     {"boolean", 3}, {"Numeric", 3},     {"float", 3},       {"INTEGER(8)", 3},
        {"blob(10)", 3}, {"BLOB ID", 3},
        // SQLite itself reports its standard type names (INT, INTEGER, REAL,
        // TEXT, BLOB, ANY) in upper case, whatever case they were declared in.
        {"integer", 1},  {"Blob", 4},    {"real", 2},        {"int", 3},
    };
    TSQLiteDatabase db(Path("types.db"));
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::string table = "t" + std::to_string(i);
        db.ExecuteSQL("create table " + table + " (c " + cases[i].first + ")");
        db.ExecuteSQL("insert into " + table + " values (7)");
        auto t = db.QueryTable("select c from " + table);
        ASSERT_EQ(t->ColumnTypes().size(), 1u);
        EXPECT_EQ(t->ColumnTypes()[0], cases[i].second) << cases[i].first;
    }
    // Expressions have no declared type: the first row's value decides.
    auto t = db.QueryTable("select 1, 1.5, 'a', x'00', null");
    EXPECT_EQ(t->ColumnTypes(), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(DeviceDbTest, ColumnNamesAreUpperCasedAndFirstDuplicateWins)
{
    auto db = ValueDb();
    db->ExecuteSQL("insert into v values (1)");
    auto t = db->QueryTable("select 1 as Alpha, 2 as alpha, 3 as \"b\xC3\xA4r\" from v");
    EXPECT_EQ(t->ColumnNames(), (std::vector<std::string>{"ALPHA", "ALPHA", "B\xC3\xA4R"}));
    EXPECT_EQ(t->IndexOfField("alpha"), 0);
    EXPECT_EQ(t->IndexOfField("ALPHA"), 0);
    EXPECT_EQ(t->IndexOfField("B\xC3\xA4r"), 2);
    EXPECT_EQ(ErrorOf([&] { t->IndexOfField("gamma"); }), "Field not found in dataset: gamma");
    EXPECT_EQ(t->FieldInt64(t->IndexOfField("alpha")), 1);
}

TEST_F(DeviceDbTest, NullInEveryColumnType)
{
    TSQLiteDatabase db(Path("nulls.db"));
    db.ExecuteSQL("create table n (i INTEGER, f REAL, t TEXT, b BLOB, e)");
    db.ExecuteSQL("insert into n values (null, null, null, null, null)");
    auto t = db.QueryTable("select i, f, t, b, e from n");
    ASSERT_EQ(t->RowCount(), 1);
    EXPECT_EQ(t->ColumnTypes(), (std::vector<int>{1, 2, 3, 4, 5}));
    const std::vector<std::string> text = {"0", "0", "", "", ""};
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(t->FieldText(k), text[static_cast<size_t>(k)]) << k;
        EXPECT_EQ(t->FieldTextOrEmpty(k), "") << k;
        EXPECT_EQ(t->FieldInt64(k), 0) << k;
        EXPECT_EQ(t->FieldReal(k), 0.0) << k;
        EXPECT_EQ(t->FieldBlob(k), nullptr) << k;
        EXPECT_EQ(t->FieldBlobText(k), "") << k;
    }
}

TEST_F(DeviceDbTest, ReadersRejectOtherColumnTypes)
{
    TSQLiteDatabase db(Path("kinds.db"));
    db.ExecuteSQL("create table k (i INTEGER, f REAL, t TEXT, b BLOB)");
    db.ExecuteSQL("insert into k values (-42, 2.5, 'hello', x'00FF')");
    db.ExecuteSQL("insert into k values (1, 1, 'x', x'01')");
    // e: no declared type and NULL in the first row, so typed NULL.
    auto t = db.QueryTable("select i, f, t, b, case when i = 1 then 'later' end as e from k order by i");
    ASSERT_EQ(t->ColumnTypes(), (std::vector<int>{1, 2, 3, 4, 5}));

    EXPECT_EQ(t->FieldInt64(0), -42);
    EXPECT_EQ(t->FieldReal(0), -42.0);
    EXPECT_EQ(t->FieldText(0), "-42");
    EXPECT_EQ(t->FieldTextOrEmpty(0), "-42");
    EXPECT_EQ(t->FieldInt64(1), 2);
    EXPECT_EQ(t->FieldReal(1), 2.5);
    EXPECT_EQ(t->FieldText(1), "2.5");
    EXPECT_EQ(t->FieldText(2), "hello");
    EXPECT_EQ(t->FieldBlobText(3), "\x00\xFF"s);
    EXPECT_EQ(t->FieldText(3), "\x00\xFF"s);

    EXPECT_EQ(t->FieldText(4), "");
    ASSERT_TRUE(t->MoveNext());
    EXPECT_EQ(t->FieldText(4), "later");
    for (int k : {2, 3, 4}) {
        EXPECT_EQ(ErrorOf([&] { t->FieldInt64(k); }), "Not an integer or numeric field") << k;
        EXPECT_EQ(ErrorOf([&] { t->FieldReal(k); }), "Not an integer or numeric field") << k;
    }
    for (int k : {0, 1, 2, 4}) {
        EXPECT_EQ(ErrorOf([&] { t->FieldBlob(k); }), "Not a Blob field") << k;
        EXPECT_EQ(ErrorOf([&] { t->FieldBlobText(k); }), "Not a Blob field") << k;
    }
}

TEST_F(DeviceDbTest, BlobStreamIsOwnedByTableWhichOutlivesDatabase)
{
    const std::string bytes = "\x89PNG\x00\x01\x02\x00"s;
    std::unique_ptr<TSQLiteTable> t;
    {
        TSQLiteDatabase db(Path("blob.db"));
        db.ExecuteSQL("create table p (photo BLOB)");
        TMemoryStream in(bytes);
        db.ExecuteSQL("insert into p values (?), (x'')", {&in});
        t = db.QueryTable("select photo, typeof(photo) from p order by rowid");
    }
    ASSERT_EQ(t->RowCount(), 2);
    TMemoryStream* blob = t->FieldBlob(0);
    ASSERT_NE(blob, nullptr);
    EXPECT_EQ(blob->Position(), blob->Size());  // not rewound
    EXPECT_EQ(std::string(blob->Data(), static_cast<size_t>(blob->Size())), bytes);
    EXPECT_EQ(t->FieldBlobText(0), bytes);
    EXPECT_EQ(t->FieldText(0), bytes);
    EXPECT_EQ(t->FieldBlob(0), blob);
    EXPECT_EQ(blob->Position(), blob->Size());

    // A zero-length BLOB reads like NULL.
    ASSERT_TRUE(t->MoveNext());
    EXPECT_EQ(t->FieldText(1), "blob");
    EXPECT_EQ(t->FieldBlob(0), nullptr);
    EXPECT_EQ(t->FieldBlobText(0), "");
    EXPECT_EQ(t->FieldText(0), "");
}

TEST_F(DeviceDbTest, NonStandardBlobDeclarationIsText)
{
    TSQLiteDatabase db(Path("lower.db"));
    // A bare "blob" in any case comes back from SQLite as "BLOB"; this one stays as written.
    db.ExecuteSQL("create table p (photo blob(10))");
    db.ExecuteSQL("insert into p values (x'6162006364')");
    auto t = db.QueryTable("select photo from p");
    EXPECT_EQ(t->ColumnTypes()[0], 3);
    EXPECT_EQ(ErrorOf([&] { t->FieldBlob(0); }), "Not a Blob field");
    EXPECT_EQ(t->FieldText(0), "ab");
}

TEST_F(DeviceDbTest, ReadsDeviceTableByFieldName)
{
    TSQLiteDatabase db(Path("device.db"));
    db.ExecuteSQL(
        "CREATE TABLE water_list (id INTEGER PRIMARY KEY AUTOINCREMENT, ic TEXT, name TEXT, sex TEXT, "
        "nation TEXT, birth TEXT, addr TEXT, issue TEXT, valid_begin TEXT, valid_End TEXT, photo BLOB, "
        "read_time TEXT)");
    std::string photo;
    for (int i = 0; i < 300; ++i)
        photo += static_cast<char>(i * 7);
    for (int r = 0; r < 3; ++r) {
        TMemoryStream s(photo);
        db.ExecuteSQL("insert into water_list (ic, name, photo, read_time) values (?, ?, ?, ?)",
                      {"ID" + std::to_string(1000 + r), std::wstring(L"N\u00e4me") + wchar_t(L'0' + r), &s,
                       "2026-01-0" + std::to_string(r + 1)});
    }
    ASSERT_TRUE(db.HasTable("water_list"));
    auto t = db.QueryTable("SELECT * FROM water_list");
    ASSERT_EQ(t->RowCount(), 3);
    EXPECT_EQ(t->ColumnCount(), 12);
    const int ic = t->IndexOfField("ic"), name = t->IndexOfField("NAME"), pic = t->IndexOfField("Photo");
    const int validEnd = t->IndexOfField("valid_end");
    for (int r = 0; !t->AtEnd(); t->MoveNext(), ++r) {
        EXPECT_EQ(t->FieldInt64(0), r + 1);
        EXPECT_EQ(t->FieldText(ic), "ID" + std::to_string(1000 + r));
        EXPECT_EQ(t->FieldText(name), "N\xC3\xA4me" + std::to_string(r));
        EXPECT_EQ(t->FieldBlobText(pic), photo);
        EXPECT_EQ(t->FieldTextOrEmpty(validEnd), "");
    }
}

// ---------------------------------------------------------------------------
// Numbers

// ---------------------------------------------------------------------------
// Numbers

TEST_F(DeviceDbTest, FloatsTruncateClampAndFormat)
{
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max(), kMin = std::numeric_limits<int64_t>::min();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    const std::vector<std::tuple<double, int64_t, std::string>> cases = {
        {0.0, 0, "0"},
        {-0.0, 0, "0"},
        {1.5, 1, "1.5"},
        {2.9, 2, "2.9"},
        {-2.9, -2, "-2.9"},
        {100.0, 100, "100"},
        {1.0 / 3.0, 0, "0.333333333333333"},
        {-2.0 / 3.0, 0, "-0.666666666666667"},
        {123456789012345.0, 123456789012345, "123456789012345"},
        {9999999999999999.0, 10000000000000000, "1E16"},
        {1234567890123456.0, 1234567890123456, "1.23456789012346E15"},
        {1.23456789012346e20, kMax, "1.23456789012346E20"},
        {9223372036854775808.0, kMax, "9.22337203685478E18"},
        {-9223372036854775808.0, kMin, "-9.22337203685478E18"},
        {-1e300, kMin, "-1E300"},
        {0.00001, 0, "0.00001"},
        {-0.0000123, 0, "-0.0000123"},
        {0.000001, 0, "1E-6"},
        {-1.5e-6, 0, "-1.5E-6"},
        {kInf, kMax, "INF"},
        {-kInf, kMin, "-INF"},
    };
    TSQLiteDatabase db(Path("num.db"));
    db.ExecuteSQL("create table n (f REAL)");
    for (const auto& [v, truncated, text] : cases) {
        db.ExecuteSQL("delete from n");
        db.ExecuteSQL("insert into n values (?)", {v});
        auto t = db.QueryTable("select f from n");
        EXPECT_EQ(t->FieldInt64(0), truncated) << v;
        EXPECT_EQ(t->FieldText(0), text) << v;
        EXPECT_EQ(t->FieldTextOrEmpty(0), text) << v;
    }
}

// ---------------------------------------------------------------------------
// Binding

struct BindCase {
    const char* label;
    std::function<SQLiteArg()> make;
    std::string type;  // typeof() of the stored value
    std::string hex;   // hex() of the stored value
};

TEST_F(DeviceDbTest, EveryBindingKindRoundTrips)
{
    TMemoryStream mem("\x01\x02\x03\x04"s);
    TMemoryStream memAtEnd("\x05\x06"s);
    TBytesStream other("\x00\xFF\x10"s);
    const std::vector<BindCase> cases = {
        {"int32", [] { return SQLiteArg(int32_t(-7)); }, "integer", "2D37"},
        {"int64", [] { return SQLiteArg::Int64(int64_t(1) << 40); }, "integer", "31303939353131363237373736"},
        {"bool true", [] { return SQLiteArg(true); }, "integer", "31"},
        {"bool false", [] { return SQLiteArg(false); }, "integer", "30"},
        {"real", [] { return SQLiteArg(1.5); }, "real", "312E35"},
        {"null pointer", [] { return SQLiteArg(nullptr); }, "null", ""},
        {"char", [] { return SQLiteArg('x'); }, "text", "78"},
        {"char zero", [] { return SQLiteArg('\0'); }, "text", "00"},
        {"bytes", [] { return SQLiteArg("a\0b\xFF"s); }, "text", "610062FF"},
        {"empty bytes", [] { return SQLiteArg(""s); }, "text", ""},
        {"c string", [] { return SQLiteArg("hello"); }, "text", "68656C6C6F"},
        {"null c string", [] { return SQLiteArg::CString(nullptr); }, "null", ""},
        {"wide", [] { return SQLiteArg(std::wstring(L"\u00e9\u4e2d\U0001F600")); }, "text", "C3A9E4B8ADF09F9880"},
        {"memory stream", [&] { mem.SetPosition(2); return SQLiteArg(&mem); }, "blob", "0304"},
        {"memory stream at end", [&] { memAtEnd.SetPosition(2); return SQLiteArg(&memAtEnd); }, "blob", ""},
        {"other stream", [&] { other.SetPosition(2); return SQLiteArg::Stream(&other); }, "blob", "00FF10"},
    };
    auto db = ValueDb();
    for (const BindCase& c : cases) {
        db->ExecuteSQL("delete from v");
        db->ExecuteSQL("insert into v values (?)", {c.make()});
        auto t = db->QueryTable("select typeof(x), hex(x), length(cast(x as blob)) from v");
        ASSERT_EQ(t->RowCount(), 1) << c.label;
        EXPECT_EQ(t->FieldText(0), c.type) << c.label;
        EXPECT_EQ(t->FieldText(1), c.hex) << c.label;
        if (c.type != "null") {
            EXPECT_EQ(t->FieldInt64(2), static_cast<int64_t>(c.hex.size() / 2)) << c.label;
        }
    }
    ExpectNoOpenStatements(*db);
}

TEST_F(DeviceDbTest, OtherPointersTakeThePointerPathAndTextIsCopied)
{
    // Pointers of other types must not pass for the boolean true.
    const int x = 7;
    const unsigned char bytes[] = {1, 2};
    const TMemoryStream mem("ab"s);
    const std::vector<std::pair<const char*, SQLiteArg>> pointers = {
        {"const void*", SQLiteArg(static_cast<const void*>(&x))},
        {"const unsigned char*", SQLiteArg(bytes)},
        {"const TStream*", SQLiteArg(static_cast<const TStream*>(&mem))},
    };
    auto db = ValueDb();
    for (const auto& c : pointers) {
        EXPECT_EQ(c.second.kind(), SQLiteArg::Kind::Pointer) << c.first;
        EXPECT_EQ(ErrorOf([&] { db->ExecuteSQL("insert into v values (?)", {c.second}); }), "Unhandled pointer (<> nil)")
            << c.first;
    }
    db->ExecuteSQL("insert into v values (?)", {SQLiteArg(static_cast<const void*>(nullptr))});
    EXPECT_EQ(db->QueryTable("select typeof(x) from v")->FieldText(0), "null");

    // A zero-terminated text outlives the buffer it was made from.
    std::string owner = "hello";
    const SQLiteArg text(owner.c_str());
    owner.assign("XXXXX"); // same buffer, other bytes
    db->ExecuteSQL("delete from v");
    db->ExecuteSQL("insert into v values (?)", {text});
    EXPECT_EQ(db->QueryTable("select x from v")->FieldText(0), "hello");
    ExpectNoOpenStatements(*db);
}

TEST_F(DeviceDbTest, BindFailuresNameTheKind)
{
    TMemoryStream mem("ab"s);
    TBytesStream other("cd"s);
    const std::vector<std::pair<SQLiteArg, std::string>> cases = {
        {SQLiteArg(int32_t(1)), "Could not bind integer"},
        {SQLiteArg(true), "Could not bind boolean"},
        {SQLiteArg(1.5), "Could not bind extended"},
        {SQLiteArg::Int64(5), "Could not bind int64"},
        {SQLiteArg(nullptr), "Could not bind null"},
        {SQLiteArg('c'), "Could not bind text"},
        {SQLiteArg("bytes"s), "Could not bind text"},
        {SQLiteArg("cstr"), "Could not bind text"},
        {SQLiteArg(std::wstring(L"w")), "Could not bind text"},
        {SQLiteArg(&mem), "Could not bind BLOB"},
        {SQLiteArg::Stream(&other), "Could not bind BLOB"},
    };
    auto db = ValueDb();
    for (const auto& c : cases) {
        // The statement has no parameter, so binding #1 is out of range.
        EXPECT_EQ(ErrorOf([&] { db->ExecuteSQL("insert into v values (1)", {c.first}); }),
                  c.second + ".\rError [25]: 2nd parameter to sqlite3_bind out of range.\r\"BindData\": "
                        "column index out of range");
        ExpectNoOpenStatements(*db);
    }
    EXPECT_EQ(db->QueryTable("select x from v")->RowCount(), 0);
}

TEST_F(DeviceDbTest, UnbindableArgumentsArePlainErrors)
{
    int something = 0;
    TBytesStream empty("");
    TBytesStream shortRead("abc", 10);
    const std::vector<std::pair<SQLiteArg, std::string>> cases = {
        {SQLiteArg::Pointer(&something), "Unhandled pointer (<> nil)"},
        {SQLiteArg::Stream(&empty), "Error getting memory to save blob"},
        {SQLiteArg::Stream(nullptr), "Unhandled object-type in binding"},
        {SQLiteArg::Stream(&shortRead), "Could not bind BLOB"},
    };
    auto db = ValueDb();
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorOf([&] { db->ExecuteSQL("insert into v values (?)", {c.first}); }), c.second);
        ExpectNoOpenStatements(*db);
    }
    EXPECT_EQ(db->QueryTable("select x from v")->RowCount(), 0);
}

// ---------------------------------------------------------------------------
// Pending params, hook, transactions

TEST_F(DeviceDbTest, PendingParamsApplyToNextStatementOnly)
{
    auto db = ValueDb();
    db->AddParamInt(":i", -5);
    db->AddParamFloat("@f", 0.25);
    db->AddParamText("$t", "a\0b"s);
    db->AddParamNull(":n");
    db->AddParamInt(":absent", 1);
    TSQLiteParam odd;
    odd.name = ":k";
    odd.kind = 4;  // not a kind the layer binds
    odd.textValue = "ignored";
    db->AddParam(odd);
    ASSERT_EQ(db->PendingParams().size(), 6u);

    auto t = db->QueryTable("select :i, @f, hex($t), typeof(:n), typeof(:k)");
    EXPECT_TRUE(db->PendingParams().empty());
    EXPECT_EQ(t->FieldInt64(0), -5);
    EXPECT_EQ(t->FieldReal(1), 0.25);
    EXPECT_EQ(t->FieldText(2), "610062");
    EXPECT_EQ(t->FieldText(3), "null");
    EXPECT_EQ(t->FieldText(4), "null");

    auto again = db->QueryTable("select typeof(:i)");
    EXPECT_EQ(again->FieldText(0), "null");
}

TEST_F(DeviceDbTest, PendingParamsClearedWhenBindingFails)
{
    auto db = ValueDb();
    // A failing named bind is not examined.
    sqlite3_limit(db->DbHandle(), SQLITE_LIMIT_LENGTH, 30);
    db->AddParamText(":t", std::string(100, 'x'));
    db->AddParamInt(":i", 3);
    auto t = db->QueryTable("select typeof(:t), :i");
    EXPECT_TRUE(db->PendingParams().empty());
    EXPECT_EQ(t->FieldText(0), "null");
    EXPECT_EQ(t->FieldInt64(1), 3);

    // A failing positional bind raises after the named ones were applied.
    db->AddParamInt(":i", 3);
    EXPECT_EQ(ErrorOf([&] { db->QueryTable("select :i", {1, 2}); }),
              "Could not bind integer.\rError [25]: 2nd parameter to sqlite3_bind out of range.\r\"BindData\": "
              "column index out of range");
    EXPECT_TRUE(db->PendingParams().empty());
    ExpectNoOpenStatements(*db);
}

TEST_F(DeviceDbTest, QueryHookSeesEveryPreparedStatement)
{
    auto db = ValueDb();
    std::vector<std::string> seen;
    db->SetQueryHook([&](TSQLiteDatabase& d, const std::string& sql) {
        EXPECT_EQ(&d, db.get());
        seen.push_back(sql);
    });
    db->ExecuteSQL("insert into v values (1)");
    db->QueryTable("select x from v");
    db->HasTable("v");
    EXPECT_THROW(db->ExecuteSQL("bogus"), ESQLiteException);  // never prepared, so not reported
    EXPECT_EQ(seen, (std::vector<std::string>{
                        "insert into v values (1)", "select x from v",
                        "select [sql] from sqlite_master where [type] = 'table' and lower(name) = ? "}));
}

TEST_F(DeviceDbTest, OpenTransactionIsRolledBackOnDestruction)
{
    const std::string path = Path("tx.db");
    {
        TSQLiteDatabase db(path);
        db.ExecuteSQL("create table v (x)");
        db.BeginTransaction();
        EXPECT_TRUE(db.InTransaction());
        db.ExecuteSQL("insert into v values (1)");
    }
    TSQLiteDatabase db(path);
    EXPECT_EQ(db.QueryTable("select x from v")->RowCount(), 0);

    db.BeginTransaction();
    db.ExecuteSQL("insert into v values (2)");
    db.Rollback();
    EXPECT_FALSE(db.InTransaction());
    EXPECT_EQ(db.QueryTable("select x from v")->RowCount(), 0);
}

TEST_F(DeviceDbTest, FailedRollbackKeepsFlagAndDestructionStillCloses)
{
    auto db = ValueDb();
    db->SetInTransaction(true);  // flag set without a real transaction
    EXPECT_EQ(ErrorOf([&] { db->Rollback(); }),
              "Error executing SQL statement.\rError [1]: SQL error or missing database.\r\"ROLLBACK\": "
              "cannot rollback - no transaction is active");
    EXPECT_TRUE(db->InTransaction());
    ExpectNoOpenStatements(*db);
    EXPECT_NO_THROW(db.reset());
}

// ---------------------------------------------------------------------------
// HasTable

TEST_F(DeviceDbTest, HasTableFoldsOnlyAsciiLetters)
{
    TSQLiteDatabase db(Path("names.db"));
    db.ExecuteSQL("create table Water_List (id)");
    db.ExecuteSQL("create table \"it's\" (id)");
    db.ExecuteSQL("create table \"\xC3\x84x\" (id)");  // A-umlaut, then x
    db.ExecuteSQL("create view water_view as select 1");
    const std::vector<std::pair<std::string, bool>> cases = {
        {"water_list", true},
        {"WATER_LIST", true},
        {"Water_List", true},
        {"water_lis", false},
        {"water_list ", false},
        {"IT'S", true},
        {"x' or '1'='1", false},
        {"'); drop table Water_List; --", false},
        {"\xC3\x84X", true},
        {"\xC3\xA4x", false},  // lower-case umlaut is a different name
        {"water_view", false},
        {"", false},
    };
    for (const auto& [name, expected] : cases)
        EXPECT_EQ(db.HasTable(name), expected) << name;
    EXPECT_TRUE(db.HasTable("water_list"));
    ExpectNoOpenStatements(db);
}

}  // namespace

// ---------------------------------------------------------------------------
// The streaming cursor

namespace {

// Every reader's answer for every column of the current row, errors as their text.
template <typename R>
std::vector<std::string> ReadRow(const R& r, int columns)
{
    std::vector<std::string> out;
    auto add = [&](auto&& f) {
        try {
            out.push_back(f());
        } catch (const std::exception& e) {
            out.push_back(std::string("raised: ") + e.what());
        }
    };
    for (int k = 0; k < columns; ++k) {
        add([&] { return r.FieldText(k); });
        add([&] { return r.FieldTextOrEmpty(k); });
        add([&] { return std::to_string(r.FieldInt64(k)); });
        add([&] { return std::to_string(r.FieldReal(k)); });
        add([&] { return r.FieldBlobText(k); });
        add([&] { return std::string(r.FieldBlob(k) ? "stream" : "none"); });
    }
    return out;
}

} // namespace

TEST_F(DeviceDbTest, StreamingCursorReadsEveryRowAsTheTableDoes)
{
    TSQLiteDatabase db(Path("same.db"));
    db.ExecuteSQL("create table s (i INTEGER, f REAL, t TEXT, b BLOB, lb blob(4), u)");
    db.ExecuteSQL("insert into s values (7, 2.5, 'abc', x'00FF10', 'x', 3)");
    db.ExecuteSQL("insert into s values (null, null, null, null, null, null)");
    db.ExecuteSQL("insert into s values (-3, -2.9, '', x'', x'41004243', 'text in untyped')");
    db.ExecuteSQL("insert into s values ('12', '1e300', 42, 'as text', 5, x'0102')");
    const std::string sql = "select * from s order by rowid";
    auto table = db.QueryTable(sql);
    TSQLiteCursor cursor(db, sql);
    EXPECT_EQ(cursor.ColumnNames(), table->ColumnNames());
    EXPECT_EQ(cursor.ColumnTypes(), table->ColumnTypes());
    int rows = 0;
    for (; !table->AtEnd(); table->MoveNext(), ++rows) {
        ASSERT_FALSE(cursor.AtEnd()) << "row " << rows;
        EXPECT_EQ(cursor.CurrentRow(), table->CurrentRow());
        EXPECT_EQ(ReadRow(cursor, 6), ReadRow(*table, 6)) << "row " << rows;
        EXPECT_EQ(cursor.IndexOfField("lb"), table->IndexOfField("lb"));
        EXPECT_TRUE(cursor.MoveNext());
    }
    EXPECT_EQ(rows, 4);
    EXPECT_TRUE(cursor.AtEnd());
    EXPECT_EQ(cursor.CurrentRow(), 4);
    EXPECT_FALSE(cursor.MoveNext());
    EXPECT_EQ(ReadRow(cursor, 1)[0], "raised: Table is at End of File");
}

TEST_F(DeviceDbTest, StreamingCursorEdges)
{
    auto db = ValueDb();
    {
        TSQLiteCursor empty(*db, "select x from v");
        EXPECT_TRUE(empty.AtEnd());
        EXPECT_FALSE(empty.MoveNext());
        EXPECT_EQ(ErrorOf([&] { empty.IndexOfField("x"); }), "Field x Not found. Empty dataset");
        EXPECT_EQ(ErrorOf([&] { empty.FieldText(0); }), "Table is at End of File");
    }
    EXPECT_EQ(ErrorOf([&] { TSQLiteCursor(*db, "select nope from v"); }),
              ErrorOf([&] { db->QueryTable("select nope from v"); }));
    ExpectNoOpenStatements(*db);

    db->ExecuteSQL("insert into v values (1), (2), (3)");
    {
        // The statement stays open while the cursor lives; Restart runs it anew with other
        // arguments, and the column names learnt at the first row stay.
        TSQLiteCursor byValue(*db, "select x as value from v where x >= ? order by x", {SQLiteArg::Int32(2)});
        EXPECT_NE(sqlite3_next_stmt(db->DbHandle(), nullptr), nullptr);
        EXPECT_EQ(byValue.FieldInt64(0), 2);
        byValue.Restart({SQLiteArg::Int32(9)});
        EXPECT_TRUE(byValue.AtEnd());
        EXPECT_EQ(byValue.IndexOfField("value"), 0);
        byValue.Restart({SQLiteArg::Int32(1)});
        EXPECT_EQ(byValue.CurrentRow(), 0);
        EXPECT_EQ(byValue.FieldInt64(0), 1);
        EXPECT_TRUE(byValue.MoveNext());
        EXPECT_EQ(byValue.FieldInt64(0), 2);
    }
    ExpectNoOpenStatements(*db);
}

TEST_F(DeviceDbTest, StreamingCursorStopsAtADamagedPageAfterTheRowsBeforeIt)
{
    const std::string path = Path("damaged.db");
    {
        TSQLiteDatabase db(path);
        db.ExecuteSQL("create table d (n INTEGER, pad TEXT)");
        db.ExecuteSQL("begin");
        for (int i = 0; i < 300; ++i)
            db.ExecuteSQL("insert into d values (?, ?)", {SQLiteArg::Int32(i), SQLiteArg::Bytes(std::string(1000, 'p'))});
        db.ExecuteSQL("commit");
    }
    // A page in the middle of the table's leaves.
    {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(60 * 4096);
        const std::string junk(4096, '\xA5');
        file.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    TSQLiteDatabase db(path);
    EXPECT_NE(ErrorOf([&] { db.QueryTable("select n from d"); }).find("Could not retrieve data"), std::string::npos);

    TSQLiteCursor cursor(db, "select n from d");
    int64_t read = 0;
    std::string error;
    try {
        for (; !cursor.AtEnd(); cursor.MoveNext()) {
            EXPECT_EQ(cursor.FieldInt64(0), read);
            ++read;
        }
    } catch (const ESQLiteException& e) {
        error = e.what();
    }
    EXPECT_GT(read, 50);
    EXPECT_LT(read, 300);
    EXPECT_EQ(error.rfind("Could not retrieve data.\rError [11]: The database disk image is malformed.", 0), 0u) << error;
    EXPECT_TRUE(cursor.AtEnd());
    EXPECT_FALSE(cursor.MoveNext());
    ExpectNoOpenStatements(db);
}

// ---------------------------------------------------------------------------
// Read-ahead VFS

namespace {

// Row i's blob in a given version: sizes from under a page to several pages, so that rows use
// overflow chains and reads cross the read-ahead buffer's edges.
std::string RowBlob(int i, int version)
{
    std::string b(size_t(700 + (i * 977) % 30000), '\0');
    uint32_t x = uint32_t(i * 2654435761u + version * 40503u + 1);
    for (char& c : b) {
        x = x * 1664525u + 1013904223u;
        c = char(x >> 24);
    }
    return b;
}

constexpr int kRows = 300;

void WriteRows(sqlite3* db, int version)
{
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "insert or replace into t(id, b) values(?, ?)", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "begin", nullptr, nullptr, nullptr), SQLITE_OK);
    for (int i = 0; i < kRows; ++i) {
        const std::string b = RowBlob(i, version);
        sqlite3_bind_int(s, 1, i);
        sqlite3_bind_blob(s, 2, b.data(), int(b.size()), SQLITE_TRANSIENT);
        ASSERT_EQ(sqlite3_step(s), SQLITE_DONE);
        sqlite3_reset(s);
    }
    sqlite3_finalize(s);
    ASSERT_EQ(sqlite3_exec(db, "commit", nullptr, nullptr, nullptr), SQLITE_OK);
}

// Every row read whole through `db` is the given version's; the first that is not, as text.
std::string Mismatch(TSQLiteDatabase& db, int version)
{
    int n = 0;
    for (TSQLiteCursor rows(db, "select id, b from t order by id"); !rows.AtEnd(); rows.MoveNext(), ++n) {
        const int id = int(rows.FieldInt64(0));
        const TMemoryStream* b = rows.FieldBlob(1);
        const std::string expected = RowBlob(id, version);
        if (id != n || !b || size_t(b->Size()) != expected.size() || std::memcmp(b->Data(), expected.data(), expected.size()) != 0)
            return "row " + std::to_string(n);
    }
    return n == kRows ? "" : "rows: " + std::to_string(n);
}

} // namespace

class ReadAheadTest : public DeviceDbTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(ReadAheadTest, ReadsWhatIsInTheFileAfterOtherConnectionsWrite)
{
    ASSERT_NE(ReadAheadVfs(), nullptr);
    const std::string path = Path("rows.db");
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer, ("pragma journal_mode=" + std::string(GetParam())).c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    // A small table in the file's first pages, which one fill of the buffer holds whole.
    ASSERT_EQ(sqlite3_exec(writer, "create table s(x text); insert into s values('one'); create table t(id integer primary key, b blob)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    WriteRows(writer, 1);
    ASSERT_EQ(sqlite3_exec(writer, "pragma wal_checkpoint(truncate)", nullptr, nullptr, nullptr), SQLITE_OK);

    TSQLiteDatabase reader(path, ReadAheadVfs());
    EXPECT_EQ(Mismatch(reader, 1), "");
    EXPECT_EQ(Mismatch(reader, 1), "");   // again, from a buffer left by the first pass

    // Another connection rewrites every row; in WAL mode the rows are also moved into the file.
    // The reader last read the start of the file, which its buffer still holds.
    const auto firstBytes = [&] {
        TSQLiteCursor first(reader, "select hex(substr(b, 1, 16)) from t where id = 0");
        return first.FieldText(0);
    };
    const std::string before = firstBytes();
    WriteRows(writer, 2);
    ASSERT_EQ(sqlite3_exec(writer, "pragma wal_checkpoint(truncate)", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_NE(firstBytes(), before);
    EXPECT_EQ(Mismatch(reader, 2), "");

    const auto small = [&] {
        TSQLiteCursor row(reader, "select x from s");
        return row.FieldText(0);
    };
    // After a change the reader reads the file's first pages again, into its buffer; they are read
    // once more after the next change.
    ASSERT_EQ(sqlite3_exec(writer, "update s set x = 'one'; pragma wal_checkpoint(truncate)", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(small(), "one");
    ASSERT_EQ(sqlite3_exec(writer, "update s set x = 'two'; pragma wal_checkpoint(truncate)", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(small(), "two");

    // A write through the VFS itself.
    reader.ExecuteSQL("update t set b = zeroblob(10) where id = 0");
    TSQLiteCursor first(reader, "select length(b), hex(b) from t where id = 0");
    EXPECT_EQ(first.FieldInt64(0), 10);
    EXPECT_EQ(first.FieldText(1), std::string(20, '0'));
    sqlite3_close(writer);
}

INSTANTIATE_TEST_SUITE_P(JournalModes, ReadAheadTest, ::testing::Values("delete", "wal"));
