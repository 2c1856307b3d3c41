#pragma once
#include <QString>

// The program's private per-user folder for scratch files (bitmaps of holders): created with
// owner-only access, and tightened if it already exists. Empty when it cannot be had. A folder of
// another user is returned untouched: WritePrivateFile refuses to write there and says why.
QString PrivateScratchFolder();
// The same below a given base folder (tests).
QString PrivateScratchFolderIn(const QString& base);

// Writes bytes to path with owner-only access, replacing what was there. A link at path is
// replaced, never written through, and a folder that is not the user's own and private is
// refused. false with error set (for the operator) when it cannot.
bool WritePrivateFile(const QString& path, const QByteArray& bytes, QString* error = nullptr);

// Platform part (scratchfolder_unix.cpp, scratchfolder_win.cpp): whether the folder (not a link
// to it) belongs to the user running the program.
bool OwnedByUser(const QString& folder);
