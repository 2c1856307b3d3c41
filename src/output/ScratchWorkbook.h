#pragma once
// The temporary file a workbook is written to beside its target, ".NAME.<random>.tmp", so that the
// target is replaced only by a complete workbook. It is held open (and marked in use) until it
// was moved into place or removed.

#include <QFile>
#include <QFileInfo>
#include <QString>

class ScratchWorkbook {
public:
    ScratchWorkbook() = default;
    ~ScratchWorkbook();
    ScratchWorkbook(const ScratchWorkbook&) = delete;
    ScratchWorkbook& operator=(const ScratchWorkbook&) = delete;

    // Removes temporary files of this naming that an export killed before its end left in the
    // folder, and only those: none that a running export still holds.
    static void RemoveLeftovers(const QString& folder);

    // Creates a new, empty file with a unique name beside target; its permissions are those of
    // target when that exists, else those a new file gets.
    bool Create(const QFileInfo& target, QString* error);

    const QString& Path() const { return m_path; }

    // Replaces target in one step (a rename within the folder).
    bool MoveTo(const QFileInfo& target, QString* error);

private:
    QFile m_file;
    QString m_path;
};
