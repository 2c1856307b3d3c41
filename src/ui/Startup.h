#pragma once
#include <QString>

class QApplication;

// Start-up after the application object exists: the single-instance guard, the record store,
// then the main window and the event loop. Returns the process exit code.
int RunIdcard(QApplication& app, const QString& lockFolder = QString());

// The second-copy check alone: false (after the warning box) when another copy runs.
class SingleInstanceGuard;
bool CheckFirstInstance(SingleInstanceGuard& guard);
