#pragma once
// A private copy of a device database that the operator chose, so that the import never opens
// the original: SQLite would write beside it (an -shm) and move its -wal into it.

#include <QString>

#include <functional>
#include <memory>

class QTemporaryDir;

class PrivateDbCopy {
public:
    enum class Failure { None, NoScratch, Missing, Directory, NotAFile, Unreadable, Changed, CopyFailed };

    PrivateDbCopy();
    ~PrivateDbCopy(); // removes the copy
    PrivateDbCopy(const PrivateDbCopy&) = delete;
    PrivateDbCopy& operator=(const PrivateDbCopy&) = delete;

    // Copies original, with its -wal and -journal when they lie beside it (never its -shm), into
    // a folder of its own below scratchFolder, each file readable by its owner only. The
    // originals' states (file, size, times) are taken before and after, and a file changed less
    // than two seconds before is hashed again: a file that changed meanwhile (or a -wal that came
    // or went) fails the copy. false with Error() set otherwise; nothing is left then.
    bool Take(const QString& original, const QString& scratchFolder);

    QString Path() const { return m_path; } // the copy of the database; empty before Take succeeds
    Failure Error() const { return m_failure; }
    QString Detail() const { return m_detail; } // the system's reason, where there is one

    // Folder names below the scratch folder; one left by an earlier run that ended abruptly is
    // removed by the next Take.
    static constexpr const char* kFolderPrefix = "import-";

    // Runs once the files are copied, before the originals are looked at again (tests change
    // them there).
    std::function<void()> afterCopy;

private:
    bool fail(Failure failure, const QString& detail = QString());

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    Failure m_failure = Failure::None;
    QString m_detail;
};
