#pragma once
// 联接设备: pulls the handheld's database, imports its readings, and clears the handheld when the
// operator asks and every reading is safely in the store.

#include "ReadingLogImport.h"

#include <QString>

class CommandView;
class ProcessRunner;
class TDM_Main;

// Imports a device database on disk and shows the outcome: the number of rows taken, or -1 when
// the file is not a readable device database. outcome receives the import's full outcome.
int ImportAndReport(TDM_Main* store, const QString& scratchFolder, CommandView& view, const QString& path,
                    ImportOutcome& outcome);

class ConnectDeviceCommand {
public:
    // programFolder with its trailing separator: adb, input/ and the empty database are there.
    ConnectDeviceCommand(TDM_Main* store, ProcessRunner& runner, QString programFolder, QString scratchFolder,
                         CommandView& view);

    void Run();
    const ImportOutcome& LastImport() const { return m_outcome; }

private:
    TDM_Main* m_store;
    ProcessRunner& m_runner;
    QString m_folder;
    QString m_scratch;
    CommandView& m_view;
    ImportOutcome m_outcome;
};
