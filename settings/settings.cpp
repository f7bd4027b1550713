// The settings store under HKEY_CURRENT_USER (Windows only). Each operation
// opens the key and closes it again: no handle outlives a call.

#include "settings/settings.h"

#include <cstring>

#include "settings/regtext.h"
#include "errorbox/errorbox.h"

static const char kKey[] = "Software\\Kro\\Velmorin";

// Opens (creating if need be) the settings key. On failure the status the
// registry returned becomes the thread's last error, which the registry
// calls themselves never set, so that a box shows the real reason.
static bool OpenKey(HKEY* phKey)
{
    LONG lStatus = RegCreateKeyA(HKEY_CURRENT_USER, kKey, phKey);
    if (lStatus != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(lStatus));
        return false;
    }
    return true;
}

static void SetText(HKEY hKey, const char* szName, const char* szText)
{
    RegSetValueExA(hKey, szName, 0, REG_SZ, reinterpret_cast<const BYTE*>(szText),
                   static_cast<DWORD>(std::strlen(szText)) + 1);
}

void WriteVersion()
{
    HKEY hKey;
    if (!OpenKey(&hKey))
        return;
    const BYTE version[4] = {1, 0, 0, 0};
    RegSetValueExA(hKey, "Version", 0, REG_BINARY, version, sizeof version);
    RegCloseKey(hKey);
}

void RegQryName(const char* szName, const char* defaultText, char* szBuffer, DWORD bufferSize)
{
    HKEY hKey;
    if (!OpenKey(&hKey)) {
        ShowLastError("RegQryName");
        return;
    }
    DWORD dwType = 0;
    DWORD cbData = bufferSize;
    LONG lStatus = RegQueryValueExA(hKey, szName, nullptr, &dwType,
                                    reinterpret_cast<BYTE*>(szBuffer), &cbData);
    if (lStatus != ERROR_SUCCESS) {
        SetText(hKey, szName, defaultText);
        // NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.strcpy): each buffer holds its default
        std::strcpy(szBuffer, defaultText);
    } else {
        TerminateRegText(szBuffer, bufferSize, cbData);
    }
    RegCloseKey(hKey);
}

void RegSetName(const char* szName, const char* szText)
{
    HKEY hKey;
    if (!OpenKey(&hKey)) {
        ShowLastError("RegSetName");
        return;
    }
    SetText(hKey, szName, szText);
    RegCloseKey(hKey);
}
