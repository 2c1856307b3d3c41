#pragma once
#include "StoreUpgrade.h"

#include <QString>

class QApplication;
class QCoreApplication;

// Loads Qt's own Simplified Chinese texts; false when the translation is not installed.
bool InstallQtTranslation(QCoreApplication& app);

// Opens the store of the program folder and brings it to the program's layout version, telling
// the operator in one box when it was upgraded. false (after the error box) when it did not open
// or may not be used: the store is closed then, with the reason kept for later commands.
class TDM_Main;
bool OpenStoreAtStart(TDM_Main& dm, const QString& programFolder, const QList<UpgradeStep>& steps = ProgramUpgradeSteps());

// Start-up after the application object exists: the single-instance guard, the record store,
// then the main window and the event loop. Returns the process exit code.
int RunIdcard(QApplication& app, const QString& lockFolder = QString());

// The second-copy check alone: false (after the warning box) when another copy runs.
class SingleInstanceGuard;
bool CheckFirstInstance(SingleInstanceGuard& guard);
