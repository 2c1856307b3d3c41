#include "CardCheckStore.h"

#include "CardChecks.h"
#include "RecordStore.h"

#include <QSqlDriver>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

#include <utility>
#include <vector>

namespace {

QString columnText(sqlite3_stmt* s, int column)
{
    const void* text = sqlite3_column_text16(s, column);
    return text ? QString::fromUtf16(static_cast<const char16_t*>(text), sqlite3_column_bytes16(s, column) / 2) : QString();
}

// A prepared statement that is finalised however the work ends.
struct Stmt {
    sqlite3_stmt* s = nullptr;
    ~Stmt() { sqlite3_finalize(s); }
};

} // namespace

bool JudgeStoredReadings(QSqlDatabase db, QString* error)
{
    const QVariant handle = db.isOpen() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0) {
        *error = QStringLiteral("数据库未打开");
        return false;
    }
    sqlite3* con = *static_cast<sqlite3* const*>(handle.data());
    auto fail = [&] {
        *error = QString::fromUtf8(sqlite3_errmsg(con));
        return false;
    };
    // The ID-number index holds all three columns (serialno is the row id), so the pass reads no
    // table rows; holders are looked up once each.
    Stmt readings, holder, update;
    if (sqlite3_prepare_v2(con, "select idcardno,readtime,serialno from idcardwater order by idcardno,readtime", -1, &readings.s, nullptr)
            != SQLITE_OK
        || sqlite3_prepare_v2(con, "select born,UsefulLifeBegin,UsefulLifeEnd from idcardinfo where idcardno=?1", -1, &holder.s, nullptr)
            != SQLITE_OK
        || sqlite3_prepare_v2(con, "update idcardwater set checkflags=?1 where serialno=?2", -1, &update.s, nullptr) != SQLITE_OK)
        return fail();

    // Flags are written after the pass, so the pass never reads a table it is changing.
    std::vector<std::pair<sqlite3_int64, int>> flagged;
    QByteArray lastId;
    HolderChecks checks;
    qint64 lastSeconds = -1;
    int rc;
    while ((rc = sqlite3_step(readings.s)) == SQLITE_ROW) {
        const char* idText = reinterpret_cast<const char*>(sqlite3_column_text(readings.s, 0));
        const QByteArray id(idText ? idText : "", sqlite3_column_bytes(readings.s, 0));
        if (id != lastId) {
            lastId = id;
            lastSeconds = -1;
            QString born, begin, end;
            sqlite3_bind_text(holder.s, 1, id.constData(), int(id.size()), SQLITE_STATIC);
            const int found = sqlite3_step(holder.s);
            if (found == SQLITE_ROW) {
                born = columnText(holder.s, 0);
                begin = columnText(holder.s, 1);
                end = columnText(holder.s, 2);
            } else if (found != SQLITE_DONE) {
                return fail();
            }
            sqlite3_reset(holder.s);
            checks = PrepareHolder(QString::fromUtf8(id), born, begin, end);
        }
        const QString time = columnText(readings.s, 1);
        int flags = JudgeReading(checks, ReadingDate(time));
        const qint64 seconds = ReadingSeconds(time);
        if (IsRepeatAfter(lastSeconds, seconds))
            flags |= CheckRepeat;
        if (seconds >= 0)
            lastSeconds = seconds;
        if (flags)
            flagged.emplace_back(sqlite3_column_int64(readings.s, 2), flags);
    }
    if (rc != SQLITE_DONE)
        return fail();
    for (const auto& [serial, flags] : flagged) {
        sqlite3_bind_int(update.s, 1, flags);
        sqlite3_bind_int64(update.s, 2, serial);
        if (sqlite3_step(update.s) != SQLITE_DONE)
            return fail();
        sqlite3_reset(update.s);
    }
    return true;
}

QString CardCheckNote(QSqlDatabase db, qint64 serialno)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("select a.idcardno,a.readtime,a.checkflags,b.born,b.UsefulLifeBegin,b.UsefulLifeEnd "
                             "from idcardwater a left join idcardinfo b on b.idcardno=a.idcardno where a.serialno=:p1"));
    q.bindValue(0, serialno);
    if (!q.exec() || !q.next())
        return QString();
    const CardFacts facts{q.value(0).toString(), q.value(3).toString(), q.value(4).toString(), q.value(5).toString(),
                          ReadingDate(StoredTimeText(q.value(1)))};
    return CardCheckWords(q.value(2).toInt(), facts).join(QStringLiteral("；"));
}
