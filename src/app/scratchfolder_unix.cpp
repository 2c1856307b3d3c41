// The private scratch files on Unix: written through the folder's descriptor, never through a link.

#include "ScratchFolder.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString systemError(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

// Closes a descriptor on every path.
struct Descriptor {
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Why a folder (open as fd) is no place for personal data; empty when it is one.
QString unsafeFolder(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return systemError(errno);
    if (st.st_uid != ::geteuid())
        return QStringLiteral("临时文件夹不属于当前用户，可能被他人放置，拒绝写入");
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return QStringLiteral("临时文件夹可被其他用户写入，拒绝写入");
    return QString();
}

} // namespace

bool OwnedByUser(const QString& folder)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(folder).constData(), &st) == 0 && st.st_uid == ::geteuid();
}


bool WritePrivateFile(const QString& path, const QByteArray& bytes, QString* error)
{
    auto fail = [error](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    const QFileInfo target(path);
    // The folder is opened once and everything below goes through it, so that a folder swapped
    // for a link meanwhile is not followed either.
    Descriptor folder;
    folder.fd = ::open(QFile::encodeName(target.absolutePath()).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (folder.fd < 0)
        return fail(errno == ELOOP || errno == ENOTDIR ? QStringLiteral("临时文件夹是一个链接，拒绝写入") : systemError(errno));
    if (const QString why = unsafeFolder(folder.fd); !why.isEmpty())
        return fail(why);

    // A new file under a name of its own, never one that is there (a planted link included), then
    // renamed over the final name: the rename replaces a link there instead of writing through it.
    const QByteArray name = QFile::encodeName(target.fileName());
    QByteArray scratchName;
    Descriptor file;
    for (int attempt = 0; attempt < 16 && file.fd < 0; ++attempt) {
        scratchName = '.' + name + '.' + QByteArray::number(QRandomGenerator::global()->generate64(), 36) + ".tmp";
        file.fd = ::openat(folder.fd, scratchName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (file.fd < 0 && errno != EEXIST)
            return fail(systemError(errno));
    }
    if (file.fd < 0)
        return fail(systemError(EEXIST));
    auto discard = [&](int code) {
        ::unlinkat(folder.fd, scratchName.constData(), 0);
        return fail(systemError(code));
    };
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(file.fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return discard(n < 0 ? errno : ENOSPC);
        done += n;
    }
    const int closed = ::close(file.fd);
    file.fd = -1;
    if (closed != 0)
        return discard(errno);
    if (::renameat(folder.fd, scratchName.constData(), folder.fd, name.constData()) != 0)
        return discard(errno);
    return true;
}
