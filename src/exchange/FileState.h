#pragma once
// What the file system says of a file, to tell whether it changed between two looks: which file
// it is, its size and its times of change. The platform's part is in filestate_unix.cpp and
// filestate_win.cpp.

#include <QString>

#include <cstdint>

struct FileState {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;  // with device: a file renamed into its place is another file
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0; // since 1970
    std::int64_t changedNs = 0;  // the inode's change (0 where the system has none)

    bool operator==(const FileState& other) const
    {
        return exists == other.exists && device == other.device && inode == other.inode && size == other.size
            && modifiedNs == other.modifiedNs && changedNs == other.changedNs;
    }
    bool operator!=(const FileState& other) const { return !(*this == other); }
};

// The state of path, a link followed; exists false when there is no such file or it cannot be
// looked at.
FileState StateOfFile(const QString& path);
