// make_db [--private] OUT.db SCRIPT.sql
//
// Builds a fresh SQLite file by running a whole SQL script. The file is written as OUT.db.tmp and
// renamed at the end, so a failed run never leaves a half-built database where the build or the
// program would pick it up. --private: the file is readable by its owner only (0600) from the
// moment it exists, for a database that will hold personal data.

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

} // namespace

int main(int argc, char **argv)
{
    const bool privateFile = argc == 4 && std::strcmp(argv[1], "--private") == 0;
    if (argc != 3 && !privateFile) {
        std::fprintf(stderr, "usage: make_db [--private] OUT.db SCRIPT.sql\n");
        return 2;
    }
    const std::string outPath = argv[argc - 2];
    const std::string scriptPath = argv[argc - 1];
    const std::string tmpPath = outPath + ".tmp";

    std::string error;
    std::string script;
    if (!readWholeFile(scriptPath, &script, &error))
        return fail(error);
    if (script.find('\0') != std::string::npos)
        return fail(scriptPath + " contains a NUL byte; it is not an SQL script");

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

    char *message = nullptr;
    rc = sqlite3_exec(db, script.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        error = scriptPath + ": " + (message ? message : sqlite3_errstr(rc));
        sqlite3_free(message);
        sqlite3_close(db);
        std::remove(tmpPath.c_str());
        std::remove((tmpPath + "-journal").c_str());
        return fail(error);
    }
    // A script that leaves a transaction open would otherwise lose its last statements silently.
    if (!sqlite3_get_autocommit(db)) {
        sqlite3_close(db);
        std::remove(tmpPath.c_str());
        std::remove((tmpPath + "-journal").c_str());
        return fail(scriptPath + ": the script leaves a transaction open (missing COMMIT)");
    }
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
