#include "FileState.h"

#include <windows.h>

namespace {

// FILETIME counts 100 ns from 1601; the state counts ns from 1970, as on the other systems.
std::int64_t unixNs(std::int64_t fileTime) { return (fileTime - 116444736000000000LL) * 100; }

} // namespace

FileState StateOfFile(const QString& path)
{
    FileState state;
    // Shared for every access, so a program that has the file open is not disturbed.
    HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return state;
    BY_HANDLE_FILE_INFORMATION info {};
    FILE_BASIC_INFO basic {};
    if (GetFileInformationByHandle(file, &info)) {
        state.exists = true;
        state.device = info.dwVolumeSerialNumber;
        state.inode = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
        state.size = std::int64_t((std::uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
        state.modifiedNs = unixNs(std::int64_t((std::uint64_t(info.ftLastWriteTime.dwHighDateTime) << 32)
                                               | info.ftLastWriteTime.dwLowDateTime));
        if (GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
            state.changedNs = unixNs(basic.ChangeTime.QuadPart);
    }
    CloseHandle(file);
    return state;
}
