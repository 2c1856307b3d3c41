// make_db [--private] [--version N] OUT.db SCRIPT.sql [UPGRADES]
//
// Builds a fresh SQLite file by running a whole SQL script. The file is written as OUT.db.tmp and
// renamed at the end, so a failed run never leaves a half-built database where the build or the
// program would pick it up. --private: the file is readable by its owner only (0600) from the
// moment it exists, for a database that will hold personal data.
//
// UPGRADES: a folder of numbered steps NNNN.sql, each bringing the layout version (PRAGMA
// user_version) the script left to NNNN. They run in order after the script, each in a transaction
// that also sets the version, as the program upgrades a store; so a fresh store and an upgraded
// one are the same by construction. --version N stops at version N (older layouts for tests).

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <fstream>
#include <sstream>
#include <string>

namespace {

int fail(const std::string &message)
{
    std::fprintf(stderr, "make_db: %s\n", message.c_str());
    return 1;
}

// Removes a file if it is there; a missing file is fine, anything else is an error.
bool removeIfPresent(const std::string &path, std::string *error)
{
    if (std::remove(path.c_str()) == 0 || errno == ENOENT)
        return true;
    *error = "cannot remove " + path + ": " + std::strerror(errno);
    return false;
}

bool readWholeFile(const std::string &path, std::string *out, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        *error = "read error on " + path;
        return false;
    }
    *out = buffer.str();
    return true;
}

// The numbered steps of a folder, in order; only names of four digits and .sql count.
bool listSteps(const std::string &folder, std::map<int, std::string> *steps, std::string *error)
{
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() == 8 && name.compare(4, 4, ".sql") == 0
            && std::all_of(name.begin(), name.begin() + 4, [](char c) { return c >= '0' && c <= '9'; }))
            (*steps)[std::stoi(name.substr(0, 4))] = entry.path().string();
    }
    if (ec)
        *error = "cannot list " + folder + ": " + ec.message();
    return !ec;
}

int userVersion(sqlite3 *db)
{
    sqlite3_stmt *stmt = nullptr;
    int version = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr) == SQLITE_OK
        && sqlite3_step(stmt) == SQLITE_ROW)
        version = sqlite3_column_int(stmt, 0);
    sqlite3_finalize(stmt);
    return version;
}

bool exec(sqlite3 *db, const std::string &sql, const std::string &where, std::string *error)
{
    char *message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK)
        return true;
    *error = where + ": " + (message ? message : sqlite3_errmsg(db));
    sqlite3_free(message);
    return false;
}

// Runs the steps above the script's version, up to target (-1: all); the version reached in
// *reached.
bool runSteps(sqlite3 *db, const std::map<int, std::string> &steps, int target, int *reached,
              std::string *error)
{
    *reached = userVersion(db);
    for (const auto &[version, path] : steps) {
        if (version <= *reached)
            continue;
        if (target >= 0 && version > target)
            break;
        if (version != *reached + 1) {
            *error = "no upgrade step to version " + std::to_string(*reached + 1);
            return false;
        }
        std::string sql;
        if (!readWholeFile(path, &sql, error) || !exec(db, "BEGIN EXCLUSIVE", path, error)
            || !exec(db, sql, path, error))
            return false;
        // A step that commits by itself would leave the version unset for its changes.
        if (sqlite3_get_autocommit(db)) {
            *error = path + ": the step ends the transaction itself";
            return false;
        }
        if (!exec(db, "PRAGMA user_version = " + std::to_string(version) + "; COMMIT", path, error))
            return false;
        *reached = version;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    bool privateFile = false;
    int target = -1;
    int arg = 1;
    for (; arg < argc && argv[arg][0] == '-' && argv[arg][1] == '-'; ++arg) {
        if (std::strcmp(argv[arg], "--private") == 0) {
            privateFile = true;
        } else if (std::strcmp(argv[arg], "--version") == 0 && arg + 1 < argc) {
            char *end = nullptr;
            const long n = std::strtol(argv[++arg], &end, 10);
            if (*end != '\0' || end == argv[arg] || n < 0 || n > 9999)
                return fail(std::string("not a version: ") + argv[arg]);
            target = static_cast<int>(n);
        } else {
            break;
        }
    }
    if (argc - arg != 2 && argc - arg != 3) {
        std::fprintf(stderr, "usage: make_db [--private] [--version N] OUT.db SCRIPT.sql [UPGRADES]\n");
        return 2;
    }
    const std::string outPath = argv[arg];
    const std::string scriptPath = argv[arg + 1];
    const std::string tmpPath = outPath + ".tmp";

    std::string error;
    std::string script;
    if (!readWholeFile(scriptPath, &script, &error))
        return fail(error);
    if (script.find('\0') != std::string::npos)
        return fail(scriptPath + " contains a NUL byte; it is not an SQL script");
    std::map<int, std::string> steps;
    if (argc - arg == 3 && !listSteps(argv[arg + 2], &steps, &error))
        return fail(error);

    // The old output goes first: after a failed run the build must not keep using a stale file.
    if (!removeIfPresent(outPath, &error))
        return fail(error);
    for (const char *suffix : {"", "-journal", "-wal", "-shm"}) {
        if (!removeIfPresent(tmpPath + suffix, &error))
            return fail(error);
    }

    if (privateFile) {
        // SQLite would create the file readable by everyone; an empty file is an empty database.
        const int fd = ::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL, S_IRUSR | S_IWUSR);
        if (fd < 0 || ::fchmod(fd, S_IRUSR | S_IWUSR) != 0) {
            error = "cannot create " + tmpPath + ": " + std::strerror(errno);
            if (fd >= 0)
                ::close(fd);
            return fail(error);
        }
        ::close(fd);
    }

    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(tmpPath.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                             nullptr);
    if (rc != SQLITE_OK) {
        error = "cannot create " + tmpPath + ": "
                + (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close(db);
        std::remove(tmpPath.c_str());
        return fail(error);
    }
    sqlite3_extended_result_codes(db, 1);

    const auto abandon = [&](const std::string &message) {
        sqlite3_close(db);
        std::remove(tmpPath.c_str());
        std::remove((tmpPath + "-journal").c_str());
        return fail(message);
    };
    if (!exec(db, script, scriptPath, &error))
        return abandon(error);
    // A script that leaves a transaction open would otherwise lose its last statements silently.
    if (!sqlite3_get_autocommit(db))
        return abandon(scriptPath + ": the script leaves a transaction open (missing COMMIT)");
    int reached = 0;
    if (!runSteps(db, steps, target, &reached, &error))
        return abandon(error);
    if (target >= 0 && reached != target)
        return abandon("cannot make version " + std::to_string(target) + ": the steps reach "
                       + std::to_string(reached));
    rc = sqlite3_close(db);
    if (rc != SQLITE_OK) {
        std::remove(tmpPath.c_str());
        return fail("cannot close " + tmpPath + ": " + sqlite3_errstr(rc));
    }

    if (std::rename(tmpPath.c_str(), outPath.c_str()) != 0) {
        error = "cannot rename " + tmpPath + " to " + outPath + ": " + std::strerror(errno);
        std::remove(tmpPath.c_str());
        return fail(error);
    }
    return 0;
}
