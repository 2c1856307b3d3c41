#pragma once
// 文件导入: imports a device database that the operator chose or dropped on the window, for a
// handheld that adb cannot reach. The import reads a private copy; nothing goes to a handheld.

#include "ReadingLogImport.h"

#include <QString>
#include <QStringList>
#include <QUrl>

class CommandView;
class TDM_Main;

class FileImportCommand {
public:
    // programFolder with its trailing separator: the open dialog starts in its input/ folder.
    FileImportCommand(TDM_Main* store, QString programFolder, QString scratchFolder, CommandView& view);

    // Asks for the file, then imports it.
    void Run();
    // Imports the files dropped on the window: a single database, with its -wal, -shm or -journal
    // dropped beside it or not; anything more is refused, so that each box speaks of one file.
    void RunDropped(const QStringList& paths);

    const ImportOutcome& LastImport() const { return m_outcome; }

    // The databases among dropped files: a -wal, -shm or -journal whose database was dropped too
    // is part of it, not one of its own.
    static QStringList DatabasesAmong(const QStringList& paths);
    // The files of a drop; empty unless every one is a local file.
    static QStringList LocalFiles(const QList<QUrl>& urls);

private:
    void importFile(const QString& path);

    TDM_Main* m_store;
    QString m_folder;
    QString m_scratch;
    CommandView& m_view;
    ImportOutcome m_outcome;
};
