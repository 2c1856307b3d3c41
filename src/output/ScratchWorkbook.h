#pragma once
// The temporary file a workbook is written to beside its target, so that the target is replaced
// only by a complete workbook. Removed unless it was moved into place.

#include <QFileInfo>
#include <QString>

class ScratchWorkbook {
public:
    ScratchWorkbook() = default;
    ~ScratchWorkbook();
    ScratchWorkbook(const ScratchWorkbook&) = delete;
    ScratchWorkbook& operator=(const ScratchWorkbook&) = delete;

    // Creates a new, empty file with a unique name beside target; its permissions are those of
    // target when that exists, else those a new file gets.
    bool Create(const QFileInfo& target, QString* error);

    const QString& Path() const { return m_path; }

    // Replaces target in one step (a rename within the folder).
    bool MoveTo(const QFileInfo& target, QString* error);

private:
    QString m_path;
};
