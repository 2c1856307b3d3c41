#include "SingleInstance.h"

#include <windows.h>

// A named mutex, not owned at creation; the system releases it when the process ends.
SingleInstanceGuard::SingleInstanceGuard(const QString& lockFolder) : m_folder(lockFolder) {}

SingleInstanceGuard::~SingleInstanceGuard()
{
    if (m_handle != -1 && m_handle != 0)
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

bool SingleInstanceGuard::Acquire()
{
    if (m_handle != -1)
        return true;
    const std::wstring name = L"quintaraIDcard20140307" + m_folder.toStdWString();
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    // A mutex that cannot be created lets the program start as a first copy.
    if (!mutex)
        return true;
    if (WaitForSingleObject(mutex, 0) == WAIT_TIMEOUT) {
        CloseHandle(mutex);
        return false;
    }
    m_handle = reinterpret_cast<intptr_t>(mutex);
    return true;
}
