// The settings key in tests (Windows only): put back as a test program
// found it, and made unopenable on purpose.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace test {

extern const char kKeyPath[];  // Software\Kro\Velmorin

void DeleteSettings();
// What the settings key holds under a name: its type (if asked) and bytes, or false.
bool Stored(const char* szName, DWORD* pdwType, std::string* pData);
// The text stored under a name, up to its terminator, or "<none>".
std::string StoredText(const char* szName);
// Stores the bytes as they are (a text only with its terminator, if given
// one), creating the key if need be.
void Store(const char* szName, DWORD dwType, const std::string& data);

// Puts the settings key back as this test program found it, whatever the
// tests (and the programs they start) stored meanwhile. Register it with
// ::testing::AddGlobalTestEnvironment.
class SavedSettings : public ::testing::Environment {
public:
    void SetUp() override;
    void TearDown() override;

private:
    struct SavedValue {
        std::string name;
        DWORD dwType;
        std::string data;
    };
    bool m_bParentExisted = false;
    bool m_bExisted = false;
    std::vector<SavedValue> m_values;
};

// The same for as long as it lives, in a program that is no test.
struct KeptSettings : SavedSettings {
    KeptSettings() { SetUp(); }
    ~KeptSettings() override { TearDown(); }
};

// Replaces Software\Kro, as long as it lives, by a volatile key, below
// which the lasting settings key cannot be created or opened. Only done
// when Software\Kro holds nothing but the settings key, which SavedSettings
// puts back at the program's end.
class VolatileParent {
public:
    VolatileParent();
    ~VolatileParent();
    bool Locked() const { return m_bLocked; }

private:
    bool m_bMade = false;
    bool m_bLocked = false;
};

}  // namespace test
