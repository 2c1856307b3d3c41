#include "sampledata.h"

#include <QElapsedTimer>
#include <QFile>

#include <sqlite3.h>

#include <cstdio>
#include <algorithm>
#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace idcard::sample {

namespace {

struct DbCloser
{
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

struct StmtFinalizer
{
    void operator()(sqlite3_stmt *s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

QString lastError(sqlite3 *db)
{
    return QString::fromUtf8(sqlite3_errmsg(db));
}

Db openExisting(const QString &path, QString *error)
{
    sqlite3 *raw = nullptr;
    // No SQLITE_OPEN_CREATE: a wrong path must fail, not quietly fill a new empty file.
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &raw,
                                   SQLITE_OPEN_READWRITE, nullptr);
    Db db(raw);
    if (rc != SQLITE_OK) {
        *error = QStringLiteral("cannot open %1: %2")
                     .arg(path, raw ? lastError(raw) : QString::fromUtf8(sqlite3_errstr(rc)));
        return nullptr;
    }
    return db;
}

bool exec(sqlite3 *db, const char *sql, QString *error)
{
    char *message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        *error = QString::fromUtf8(message ? message : sqlite3_errmsg(db));
        sqlite3_free(message);
        return false;
    }
    return true;
}

Stmt prepare(sqlite3 *db, const char *sql, QString *error)
{
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        *error = lastError(db);
        return nullptr;
    }
    return Stmt(raw);
}

void bindText(sqlite3_stmt *s, int index, const QByteArray &utf8)
{
    sqlite3_bind_text(s, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

void bindText(sqlite3_stmt *s, int index, const std::string &text)
{
    sqlite3_bind_text(s, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
}

void bindBlob(sqlite3_stmt *s, int index, const QByteArray &bytes)
{
    sqlite3_bind_blob(s, index, bytes.constData(), int(bytes.size()), SQLITE_STATIC);
}

bool step(sqlite3 *db, sqlite3_stmt *s, QString *error)
{
    const int rc = sqlite3_step(s);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    if (rc != SQLITE_DONE) {
        *error = lastError(db);
        return false;
    }
    return true;
}

bool checkRequest(const FillRequest &r, QString *error)
{
    if (r.readings < 0 || r.holders < 0) {
        *error = QStringLiteral("readings and holders must not be negative");
        return false;
    }
    if (r.holders > r.readings) {
        *error = QStringLiteral("holders (%1) must not exceed readings (%2)").arg(r.holders).arg(r.readings);
        return false;
    }
    if (r.readings > 0 && r.holders == 0) {
        *error = QStringLiteral("readings need at least one holder");
        return false;
    }
    if ((r.options.from.isValid() != r.options.to.isValid())
        || (r.options.from.isValid() && r.options.from > r.options.to)) {
        *error = QStringLiteral("the date range needs a from date not after the to date");
        return false;
    }
    return true;
}

// Each reading needs its own (holder, second) pair.
bool checkCapacity(const FillRequest &r, const Generator &gen, QString *error)
{
    if (qint64(r.readings) > qint64(r.holders) * gen.rangeSeconds()) {
        *error = QStringLiteral("too many readings for so few holders in the date range");
        return false;
    }
    return true;
}

// Connection settings for a bulk load into a file nobody else uses yet; nothing here is stored.
bool prepareForBulk(sqlite3 *db, QString *error)
{
    return exec(db, "PRAGMA synchronous = OFF; PRAGMA cache_size = -65536; PRAGMA foreign_keys = ON;",
                error);
}

bool inTransaction(sqlite3 *db, const std::function<bool(QString *)> &body, QString *error)
{
    if (!exec(db, "BEGIN IMMEDIATE", error))
        return false;
    if (!body(error)) {
        QString ignored;
        exec(db, "ROLLBACK", &ignored);
        return false;
    }
    if (!exec(db, "COMMIT", error)) {
        QString ignored;
        exec(db, "ROLLBACK", &ignored);
        return false;
    }
    return true;
}

struct HolderText
{
    QByteArray id, name, sex, nation, birth, address, issuer, validBegin, validEnd;
    int nationNo;
};

HolderText textOf(const Holder &h, const QString &birthFormat)
{
    return {h.idNumber.toUtf8(), h.name.toUtf8(), h.sex.toUtf8(), h.nation.toUtf8(),
            h.birth.toString(birthFormat).toUtf8(), h.address.toUtf8(), h.issuer.toUtf8(),
            h.validBegin.toUtf8(), h.validEnd.toUtf8(), h.nationNo};
}

bool finishReport(FillReport *report, const FillRequest &request, qint64 photoBytes,
                  const QElapsedTimer &timer)
{
    if (report) {
        report->readings = request.readings;
        report->holders = request.holders;
        report->photoBytes = photoBytes;
        report->seconds = timer.nsecsElapsed() / 1e9;
    }
    return true;
}

bool removeFile(const QString &path, QString *error)
{
    if (QFile::exists(path) && !QFile::remove(path)) {
        *error = QStringLiteral("cannot remove %1").arg(path);
        return false;
    }
    return true;
}

bool replaceWith(const QString &tmp, const QString &path, QString *error)
{
    if (std::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(path).constData()) != 0) {
        *error = QStringLiteral("cannot rename %1 to %2").arg(tmp, path);
        QFile::remove(tmp);
        return false;
    }
    return true;
}

// Drawing and encoding photos is most of the work: it runs on worker threads, a chunk ahead of
// the caller, who gets the photos in holder order on its own thread (SQLite stays single-threaded).
bool forEachPhoto(const Generator &gen, const std::vector<Holder> &holders,
                  QByteArray (*encode)(const QImage &),
                  const std::function<bool(std::size_t, const QByteArray &)> &consume)
{
    const std::size_t chunk = 256;
    const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
    auto encodeChunk = [&](std::size_t begin) {
        const std::size_t end = std::min(begin + chunk, holders.size());
        std::vector<QByteArray> out(end - begin);
        auto work = [&](unsigned w) {
            for (std::size_t i = begin + w; i < end; i += workers)
                out[i - begin] = encode(gen.photo(holders[i]));
        };
        std::vector<std::thread> threads;
        for (unsigned w = 1; w < workers; ++w)
            threads.emplace_back(work, w);
        work(0);
        for (auto &t : threads)
            t.join();
        return out;
    };
    if (holders.empty())
        return true;
    auto next = std::async(std::launch::async, encodeChunk, std::size_t(0));
    for (std::size_t begin = 0; begin < holders.size(); begin += chunk) {
        const std::vector<QByteArray> photos = next.get();
        if (begin + chunk < holders.size())
            next = std::async(std::launch::async, encodeChunk, begin + chunk);
        for (std::size_t i = 0; i < photos.size(); ++i) {
            if (!consume(begin + i, photos[i])) {
                if (next.valid())
                    next.wait();
                return false;
            }
        }
    }
    return true;
}

} // namespace

bool fillDeviceDatabase(const QString &path, const FillRequest &request, FillReport *report,
                        QString *error)
{
    QElapsedTimer timer;
    timer.start();
    if (!checkRequest(request, error))
        return false;
    Db db = openExisting(path, error);
    if (!db || !prepareForBulk(db.get(), error))
        return false;

    Generator gen(request.options);
    if (!checkCapacity(request, gen, error))
        return false;
    std::vector<Holder> people;
    std::vector<HolderText> holders;
    people.reserve(request.holders);
    holders.reserve(request.holders);
    for (int i = 0; i < request.holders; ++i) {
        people.push_back(gen.nextHolder());
        holders.push_back(textOf(people.back(), QStringLiteral("yyyy-MM-dd")));
    }
    // Every reading of a card carries the same photo, so each is encoded once.
    std::vector<QByteArray> photos(people.size());
    qint64 photoBytes = 0;
    const bool encoded = forEachPhoto(gen, people, toPng, [&](std::size_t i, const QByteArray &png) {
        photos[i] = png;
        photoBytes += png.size();
        return !png.isEmpty();
    });
    if (!encoded) {
        *error = QStringLiteral("PNG encoding failed");
        return false;
    }
    const auto readings = gen.readings(request.readings, request.holders);

    const bool ok = inTransaction(db.get(), [&](QString *err) {
        Stmt insert = prepare(db.get(),
                              "INSERT INTO water_list (ic, name, sex, nation, birth, addr, issue, "
                              "valid_begin, valid_End, photo, read_time) "
                              "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                              err);
        if (!insert)
            return false;
        sqlite3_stmt *s = insert.get();
        for (const auto &r : readings) {
            const HolderText &h = holders[r.holder];
            bindText(s, 1, h.id);
            bindText(s, 2, h.name);
            bindText(s, 3, h.sex);
            bindText(s, 4, h.nation);
            bindText(s, 5, h.birth);
            bindText(s, 6, h.address);
            bindText(s, 7, h.issuer);
            bindText(s, 8, h.validBegin);
            bindText(s, 9, h.validEnd);
            bindBlob(s, 10, photos[r.holder]);
            bindText(s, 11, gen.readTimeText(r.offset));
            if (!step(db.get(), s, err))
                return false;
        }
        return true;
    }, error);
    if (!ok) {
        *error = QStringLiteral("%1: %2").arg(path, *error);
        return false;
    }
    return finishReport(report, request, photoBytes, timer);
}

bool createDeviceDatabase(const QString &path, const QByteArray &script,
                          const FillRequest &request, FillReport *report, QString *error)
{
    if (!checkRequest(request, error))
        return false;
    const QString tmp = path + QStringLiteral(".tmp");
    if (!removeFile(tmp, error))
        return false;
    {
        sqlite3 *raw = nullptr;
        const int rc = sqlite3_open_v2(QFile::encodeName(tmp).constData(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
        Db db(raw);
        if (rc != SQLITE_OK) {
            *error = QStringLiteral("cannot create %1").arg(tmp);
            QFile::remove(tmp);
            return false;
        }
        if (!exec(db.get(), script.constData(), error)) {
            *error = QStringLiteral("device database script: %1").arg(*error);
            db.reset();
            QFile::remove(tmp);
            return false;
        }
    }
    if (!fillDeviceDatabase(tmp, request, report, error)) {
        QFile::remove(tmp);
        return false;
    }
    return replaceWith(tmp, path, error);
}

bool fillRecordStore(const QString &path, const FillRequest &request, FillReport *report,
                     QString *error)
{
    QElapsedTimer timer;
    timer.start();
    if (!checkRequest(request, error))
        return false;
    Db db = openExisting(path, error);
    if (!db || !prepareForBulk(db.get(), error))
        return false;

    Generator gen(request.options);
    if (!checkCapacity(request, gen, error))
        return false;
    std::vector<QByteArray> ids;
    ids.reserve(request.holders);
    qint64 photoBytes = 0;

    const bool ok = inTransaction(db.get(), [&](QString *err) {
        Stmt holder = prepare(db.get(),
                              "INSERT INTO idcardinfo (idcardno, name, sex, nation_no, born, "
                              "address, grantdept, UsefulLifeBegin, UsefulLifeEnd, blackflag, photo) "
                              "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                              err);
        Stmt reading = holder ? prepare(db.get(),
                                        "INSERT INTO idcardwater (idcardno, readtime) VALUES (?, ?)",
                                        err)
                              : nullptr;
        if (!holder || !reading)
            return false;
        const QByteArray notBlacklisted = QStringLiteral("否").toUtf8();
        std::vector<Holder> people;
        people.reserve(request.holders);
        for (int i = 0; i < request.holders; ++i)
            people.push_back(gen.nextHolder());
        sqlite3_stmt *s = holder.get();
        const bool stored = forEachPhoto(gen, people, toBmp, [&](std::size_t i, const QByteArray &bmp) {
            const HolderText t = textOf(people[i], QStringLiteral("yyyyMMdd"));
            if (bmp.isEmpty()) {
                *err = QStringLiteral("BMP encoding failed");
                return false;
            }
            photoBytes += bmp.size();
            bindText(s, 1, t.id);
            bindText(s, 2, t.name);
            bindText(s, 3, t.sex);
            sqlite3_bind_int(s, 4, t.nationNo);
            bindText(s, 5, t.birth);
            bindText(s, 6, t.address);
            bindText(s, 7, t.issuer);
            bindText(s, 8, t.validBegin);
            bindText(s, 9, t.validEnd);
            bindText(s, 10, notBlacklisted);
            bindBlob(s, 11, bmp);
            if (!step(db.get(), s, err)) {
                if (sqlite3_extended_errcode(db.get()) == SQLITE_CONSTRAINT_UNIQUE)
                    *err = QStringLiteral("a generated ID number is already in the store (same seed twice?)");
                return false;
            }
            ids.push_back(t.id);
            return true;
        });
        if (!stored)
            return false;
        s = reading.get();
        for (const auto &r : gen.readings(request.readings, request.holders)) {
            bindText(s, 1, ids[r.holder]);
            bindText(s, 2, gen.readTimeText(r.offset));
            if (!step(db.get(), s, err))
                return false;
        }
        return true;
    }, error);
    if (!ok) {
        *error = QStringLiteral("%1: %2").arg(path, *error);
        return false;
    }
    return finishReport(report, request, photoBytes, timer);
}

bool createRecordStore(const QString &path, const QString &templatePath,
                       const FillRequest &request, FillReport *report, QString *error)
{
    if (!checkRequest(request, error))
        return false;
    if (!QFile::exists(templatePath)) {
        *error = QStringLiteral("template store %1 does not exist").arg(templatePath);
        return false;
    }
    const QString tmp = path + QStringLiteral(".tmp");
    if (!removeFile(tmp, error))
        return false;
    if (!QFile::copy(templatePath, tmp)) {
        *error = QStringLiteral("cannot copy %1 to %2").arg(templatePath, tmp);
        return false;
    }
    // The template may come from a read-only tree; the copy must be writable.
    QFile::setPermissions(tmp, QFile::permissions(tmp) | QFile::ReadOwner | QFile::WriteOwner);
    if (!fillRecordStore(tmp, request, report, error)) {
        QFile::remove(tmp);
        return false;
    }
    return replaceWith(tmp, path, error);
}

} // namespace idcard::sample
