// The private scratch files on Windows, below the user's own profile.

#include "ScratchFolder.h"

#include <QSaveFile>

bool OwnedByUser(const QString&)
{
    return true; // the profile's access rules keep other users out
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
