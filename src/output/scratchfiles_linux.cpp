#include "ScratchFiles.h"

#include <QDir>
#include <QFile>

#include <algorithm>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

bool HoldScratchFile(int fd)
{
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

bool ScratchFileHeld(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd); // drops the lock taken to look
    return held;
}

std::vector<OpenDescriptor> OpenDescriptors()
{
    std::vector<OpenDescriptor> open;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& name : fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const int fd = name.toInt(&ok);
        char target[4096];
        const ssize_t n = ok ? ::readlink(QFile::encodeName(fds.filePath(name)).constData(), target, sizeof target) : -1;
        if (n > 0)
            open.push_back({fd, QByteArray(target, int(n))});
    }
    std::sort(open.begin(), open.end());
    return open;
}

void CloseFilesLeftOpen(const std::vector<OpenDescriptor>& before, const QString& folder)
{
    const QByteArray prefix = QFile::encodeName(QDir(folder).absolutePath()) + '/';
    for (const OpenDescriptor& d : OpenDescriptors()) {
        // Only a file in that folder (a deleted one too), nothing below it, nothing open before.
        if (d.file.startsWith(prefix) && !d.file.mid(prefix.size()).contains('/')
            && !std::binary_search(before.begin(), before.end(), d))
            ::close(d.fd);
    }
}
