#pragma once
#include <QString>

class QApplication;
class QCoreApplication;

// Loads Qt's own Simplified Chinese texts; false when the translation is not installed.
bool InstallQtTranslation(QCoreApplication& app);

// Start-up after the application object exists: the single-instance guard, the record store,
// then the main window and the event loop. Returns the process exit code.
int RunIdcard(QApplication& app, const QString& lockFolder = QString());

// The second-copy check alone: false (after the warning box) when another copy runs.
class SingleInstanceGuard;
bool CheckFirstInstance(SingleInstanceGuard& guard);
