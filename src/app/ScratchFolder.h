#pragma once
#include <QString>

// The program's private per-user folder for scratch files (bitmaps of holders): created with
// owner-only access, and tightened if it already exists. Empty when it cannot be had.
QString PrivateScratchFolder();
// The same below a given base folder (tests).
QString PrivateScratchFolderIn(const QString& base);

// Writes bytes to path with owner-only access, replacing what was there. false with error set
// when it cannot.
bool WritePrivateFile(const QString& path, const QByteArray& bytes, QString* error = nullptr);
