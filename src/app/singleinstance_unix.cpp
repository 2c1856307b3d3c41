#include "SingleInstance.h"

#include <QByteArray>
#include <QDir>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

SingleInstanceGuard::SingleInstanceGuard(const QString& lockFolder) : m_folder(lockFolder)
{
    if (m_folder.isEmpty()) {
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        m_folder = runtime.isEmpty() ? QDir::tempPath() : QString::fromLocal8Bit(runtime);
    }
}

SingleInstanceGuard::~SingleInstanceGuard()
{
    if (m_handle >= 0)
        ::close(static_cast<int>(m_handle)); // drops the lock
}

bool SingleInstanceGuard::Acquire()
{
    if (m_handle >= 0)
        return true;
    // The user id keeps users of a shared temporary folder apart; O_NOFOLLOW refuses a planted link.
    const QString path = QDir(m_folder).filePath(QStringLiteral("%1-%2.lock").arg(QLatin1String(kName)).arg(::getuid()));
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        ::close(fd);
        return !held;
    }
    m_handle = fd;
    return true;
}
