#include "PrivateDbCopy.h"

#include "FileState.h"
#include "GrowingFileHash.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <array>

namespace {

// The files that make up a database's state: a -wal holds committed readings not yet in the
// database, and a hot -journal undoes a write that did not finish. The -shm is only an index
// that SQLite rebuilds from the -wal.
const std::array<const char*, 3> kParts = {"", "-wal", "-journal"};

constexpr qint64 kChunk = 1 << 20;

// File times advance in coarse ticks (a few milliseconds on Linux), so a write in the same tick
// as the change before the copy leaves the state as it was. A file changed this shortly before
// the copy is compared by content instead.
constexpr std::int64_t kTimesTellAfterNs = 2'000'000'000;

} // namespace

PrivateDbCopy::PrivateDbCopy() = default;
PrivateDbCopy::~PrivateDbCopy() = default;

bool PrivateDbCopy::fail(Failure failure, const QString& detail)
{
    m_failure = failure;
    m_detail = detail;
    m_path.clear();
    m_dir.reset();
    return false;
}

bool PrivateDbCopy::Take(const QString& original, const QString& scratchFolder)
{
    m_failure = Failure::None;
    m_detail.clear();
    if (scratchFolder.isEmpty())
        return fail(Failure::NoScratch);
    const QFileInfo info(original);
    if (info.isDir())
        return fail(Failure::Directory);
    if (!info.exists())
        return fail(Failure::Missing);
    if (!info.isFile())
        return fail(Failure::NotAFile); // a pipe or a device would never end or never answer

    // Only one program instance runs, so an earlier copy is a leftover of a run that ended abruptly.
    QDir scratch(scratchFolder);
    const QString prefix = QLatin1String(kFolderPrefix);
    for (const QString& left : scratch.entryList({prefix + QLatin1Char('*')}, QDir::Dirs | QDir::NoDotAndDotDot))
        QDir(scratch.filePath(left)).removeRecursively();

    m_dir = std::make_unique<QTemporaryDir>(scratch.filePath(prefix + QStringLiteral("XXXXXX")));
    if (!m_dir->isValid())
        return fail(Failure::CopyFailed, m_dir->errorString());
    const QString copy = m_dir->filePath(QStringLiteral("idcard.db"));

    std::array<FileState, kParts.size()> before;
    std::array<QByteArray, kParts.size()> md5; // of the bytes copied
    const std::int64_t startedNs = QDateTime::currentMSecsSinceEpoch() * 1'000'000;
    for (size_t i = 0; i < kParts.size(); ++i)
        before[i] = StateOfFile(original + QLatin1String(kParts[i]));
    if (!before[0].exists)
        return fail(Failure::Missing); // gone since it was looked at
    for (size_t i = 0; i < kParts.size(); ++i) {
        if (!before[i].exists)
            continue;
        QFile in(original + QLatin1String(kParts[i]));
        if (!in.open(QIODevice::ReadOnly))
            return fail(Failure::Unreadable, in.errorString());
        QFile out(copy + QLatin1String(kParts[i]));
        if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFile::ReadOwner | QFile::WriteOwner))
            return fail(Failure::CopyFailed, out.errorString());
        QByteArray buffer(kChunk, Qt::Uninitialized);
        QCryptographicHash hash(QCryptographicHash::Md5);
        for (;;) {
            const qint64 n = in.read(buffer.data(), kChunk);
            if (n < 0)
                return fail(Failure::Unreadable, in.errorString());
            if (n == 0)
                break;
            if (out.write(buffer.constData(), n) != n)
                return fail(Failure::CopyFailed, out.errorString());
            hash.addData(QByteArrayView(buffer.constData(), n));
        }
        md5[i] = hash.result().toHex();
        if (!out.flush())
            return fail(Failure::CopyFailed, out.errorString());
    }
    if (afterCopy)
        afterCopy();
    for (size_t i = 0; i < kParts.size(); ++i) {
        const QString part = original + QLatin1String(kParts[i]);
        if (StateOfFile(part) != before[i])
            return fail(Failure::Changed);
        // Only the content's time counts: a write after an old one moves it to another tick.
        const bool recent = startedNs - before[i].modifiedNs < kTimesTellAfterNs;
        if (before[i].exists && recent && Md5OfFile(part) != md5[i])
            return fail(Failure::Changed);
    }
    m_path = copy;
    return true;
}
