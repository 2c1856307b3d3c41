// Small helpers shared by the tool tests: reading SQLite files and running the built tools.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <sqlite3.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testutil {

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Read-only view of an SQLite file; each query returns its rows as byte strings (NULL as empty).
class Sqlite
{
public:
    explicit Sqlite(const QString &path)
    {
        if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READONLY,
                            nullptr) != SQLITE_OK) {
            ADD_FAILURE() << "cannot open " << path.toStdString();
        }
    }
    ~Sqlite() { sqlite3_close(m_db); }
    Sqlite(const Sqlite &) = delete;
    Sqlite &operator=(const Sqlite &) = delete;

    std::vector<std::vector<QByteArray>> rows(const char *sql) const
    {
        std::vector<std::vector<QByteArray>> out;
        sqlite3_stmt *s = nullptr;
        if (sqlite3_prepare_v2(m_db, sql, -1, &s, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(m_db);
            return out;
        }
        while (sqlite3_step(s) == SQLITE_ROW) {
            std::vector<QByteArray> row;
            for (int i = 0; i < sqlite3_column_count(s); ++i) {
                const auto *data = static_cast<const char *>(sqlite3_column_blob(s, i));
                row.emplace_back(data, sqlite3_column_bytes(s, i));
            }
            out.push_back(std::move(row));
        }
        sqlite3_finalize(s);
        return out;
    }

    long long scalar(const char *sql) const
    {
        const auto r = rows(sql);
        if (r.empty() || r[0].empty()) {
            ADD_FAILURE() << "no result for " << sql;
            return -1;
        }
        return r[0][0].toLongLong();
    }

private:
    sqlite3 *m_db = nullptr;
};

// Builds an SQLite file from one of the scripts in data/ (independently of make_db).
inline bool makeFromScript(const QString &out, const QString &scriptName)
{
    const QByteArray script = readFile(QStringLiteral(IDCARD_DATA_DIR "/") + scriptName);
    if (script.isEmpty())
        return false;
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open(QFile::encodeName(out).constData(), &db) == SQLITE_OK
              && sqlite3_exec(db, script.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    qint64 ms = 0;
};

inline Run run(const QString &program, const QStringList &args,
               const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
               const QString &workDir = QString())
{
    QProcess p;
    p.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    QElapsedTimer timer;
    timer.start();
    p.start(program, args);
    Run r;
    if (!p.waitForStarted(10000) || !p.waitForFinished(120000)) {
        ADD_FAILURE() << "could not run " << program.toStdString() << ": "
                      << p.errorString().toStdString();
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.ms = timer.elapsed();
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

// The ISO 7064 MOD 11-2 check written out separately from the library, for checking its output.
inline char expectedCheck(const QByteArray &first17)
{
    const int w[17] = {7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2};
    int sum = 0;
    for (int i = 0; i < 17; ++i)
        sum += (first17[i] - '0') * w[i];
    return "10X98765432"[sum % 11];
}

} // namespace testutil
