#pragma once
// Asks the system to start writing a file's changed pages to disk without waiting for them, so
// that the sync at the end of a long transaction finds little left to write.

#include <QString>

void StartWriteback(const QString& path);
