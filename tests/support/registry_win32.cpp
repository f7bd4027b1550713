// The settings key in tests (Windows only).

#include "tests/support/registry_win32.h"

namespace test {

const char kKeyPath[] = "Software\\Kro\\Velmorin";
static const char kParentPath[] = "Software\\Kro";

static bool KeyExists(const char* szPath)
{
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, szPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    RegCloseKey(hKey);
    return true;
}

void DeleteSettings()
{
    RegDeleteKeyA(HKEY_CURRENT_USER, kKeyPath);
}

bool Stored(const char* szName, DWORD* pdwType, std::string* pData)
{
    BYTE data[4096];
    DWORD cbData = sizeof data;
    if (RegGetValueA(HKEY_CURRENT_USER, kKeyPath, szName, RRF_RT_ANY | RRF_NOEXPAND, pdwType, data,
                     &cbData) != ERROR_SUCCESS)
        return false;
    pData->assign(reinterpret_cast<char*>(data), cbData);
    return true;
}

std::string StoredText(const char* szName)
{
    std::string data;
    return Stored(szName, nullptr, &data) ? std::string(data.c_str()) : "<none>";
}

void Store(const char* szName, DWORD dwType, const std::string& data)
{
    HKEY hKey;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, nullptr, 0, KEY_WRITE,
                                             nullptr, &hKey, nullptr));
    RegSetValueExA(hKey, szName, 0, dwType, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
    RegCloseKey(hKey);
}

void SavedSettings::SetUp()
{
    m_bParentExisted = KeyExists(kParentPath);
    m_bExisted = KeyExists(kKeyPath);
    HKEY hKey;
    if (!m_bExisted || RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return;
    for (DWORD i = 0; i < 1000; ++i) {
        char szName[256];
        DWORD cchName = sizeof szName;
        BYTE data[4096];
        DWORD cbData = sizeof data;
        DWORD dwType = 0;
        if (RegEnumValueA(hKey, i, szName, &cchName, nullptr, &dwType, data, &cbData) != ERROR_SUCCESS)
            break;
        m_values.push_back({szName, dwType, std::string(reinterpret_cast<char*>(data), cbData)});
    }
    RegCloseKey(hKey);
}

void SavedSettings::TearDown()
{
    DeleteSettings();
    if (!m_bParentExisted)
        RegDeleteKeyA(HKEY_CURRENT_USER, kParentPath);
    HKEY hKey;  // the key as it was, also where it held no value
    if (m_bExisted && RegCreateKeyA(HKEY_CURRENT_USER, kKeyPath, &hKey) == ERROR_SUCCESS)
        RegCloseKey(hKey);
    for (const SavedValue& value : m_values)
        Store(value.name.c_str(), value.dwType, value.data);
}

VolatileParent::VolatileParent()
{
    DeleteSettings();
    HKEY hKey;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kParentPath, 0, KEY_READ, &hKey) == ERROR_SUCCESS) {
        DWORD nSubKeys = 1, nValues = 1;
        RegQueryInfoKeyA(hKey, nullptr, nullptr, nullptr, &nSubKeys, nullptr, nullptr, &nValues,
                         nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(hKey);
        if (nSubKeys != 0 || nValues != 0 || RegDeleteKeyA(HKEY_CURRENT_USER, kParentPath) != ERROR_SUCCESS)
            return;
    }
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kParentPath, 0, nullptr, REG_OPTION_VOLATILE, KEY_READ,
                        nullptr, &hKey, nullptr) != ERROR_SUCCESS)
        return;
    RegCloseKey(hKey);
    m_bMade = true;
    HKEY hProbe;
    m_bLocked = RegCreateKeyA(HKEY_CURRENT_USER, kKeyPath, &hProbe) != ERROR_SUCCESS;
    if (!m_bLocked)
        RegCloseKey(hProbe);
}

VolatileParent::~VolatileParent()
{
    if (m_bMade) {
        DeleteSettings();
        RegDeleteKeyA(HKEY_CURRENT_USER, kParentPath);
    }
}

}  // namespace test
