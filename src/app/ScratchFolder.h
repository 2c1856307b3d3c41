#pragma once
#include <QString>

// The program's private per-user folder for scratch files (bitmaps of holders): created with
// owner-only access, and tightened if it already exists. Empty when it cannot be had.
QString PrivateScratchFolder();
// The same below a given base folder (tests).
QString PrivateScratchFolderIn(const QString& base);
