#include "Global.h"

#include <windows.h>

// Excel 2007 registers its install folder under this key; any value named "Path" counts. The key
// is opened for full access, as the probe always did, so a user without write access gets false.
bool IsExcel2007Installed()
{
    HKEY software = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_ALL_ACCESS, &software) != ERROR_SUCCESS)
        return false;
    RegCloseKey(software);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Office\\12.0\\Excel\\InstallRoot", 0,
                      KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return false;
    const bool found = RegQueryValueExW(key, L"Path", nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}
