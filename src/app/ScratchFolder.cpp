#include "ScratchFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

QString PrivateScratchFolderIn(const QString& base)
{
    if (base.isEmpty())
        return QString();
    const QString folder = QDir(base).filePath(QStringLiteral("idcard-scratch"));
    const QFileInfo info(folder);
    // A link planted in place of the folder is refused rather than followed.
    if (info.isSymLink())
        return QString();
    if (!info.exists() && !QDir().mkpath(folder))
        return QString();
    if (!QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return QString();
    return folder;
}

QString PrivateScratchFolder()
{
    return PrivateScratchFolderIn(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation));
}

bool WritePrivateFile(const QString& path, const QByteArray& bytes, QString* error)
{
    // Written beside and renamed into place, so the file is never seen half-written.
    QSaveFile file(path);
    const bool ok = file.open(QIODevice::WriteOnly) && file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)
        && file.write(bytes) == bytes.size() && file.commit();
    if (!ok && error)
        *error = file.errorString();
    return ok;
}
