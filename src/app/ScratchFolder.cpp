#include "ScratchFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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
    // Another user's folder is left as it is (root could tighten it): WritePrivateFile refuses it
    // and says why.
    if (!OwnedByUser(folder))
        return folder;
    if (!QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner))
        return QString();
    return folder;
}

QString PrivateScratchFolder()
{
    return PrivateScratchFolderIn(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation));
}
