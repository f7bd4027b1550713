// The settings store against the real registry (Windows only). Each test
// starts without the key; the key is put back as it was afterwards.

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "settings/settings.h"
#include "tests/support/registry_win32.h"
#include "tests/support/support.h"

namespace {

using namespace test;

::testing::Environment* const g_pSavedSettings =
    ::testing::AddGlobalTestEnvironment(new test::SavedSettings);

std::string Read(const char* szName, const char* szDefault, DWORD cbBuffer)
{
    std::vector<char> buffer(cbBuffer, 'X');
    RegQryName(szName, szDefault, buffer.data(), cbBuffer);
    return std::string(buffer.data(), strnlen(buffer.data(), cbBuffer));
}

class Settings : public ::testing::Test {
protected:
    void SetUp() override { test::DeleteSettings(); }

    // What a test reads back with Stored.
    DWORD m_dwType = 0;
    std::string m_data;
};

}  // namespace

TEST_F(Settings, FirstStartCreatesKeyVersionAndDefaults)
{
    WriteVersion();
    EXPECT_EQ(Read("Host", "192.168.0.1", 255), "192.168.0.1");
    EXPECT_EQ(Read("RPort", "22", 8), "22");
    EXPECT_EQ(Read("LPort", "22", 8), "22");

    ASSERT_TRUE(Stored("Version", &m_dwType, &m_data));
    EXPECT_EQ(m_dwType, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(m_data, std::string("\x01\0\0\0", 4));
    ASSERT_TRUE(Stored("Host", &m_dwType, &m_data));
    EXPECT_EQ(m_dwType, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(m_data, std::string("192.168.0.1\0", 12));
    ASSERT_TRUE(Stored("LPort", &m_dwType, &m_data));
    EXPECT_EQ(m_data, std::string("22\0", 3));

    // Written again on every start, with the same four bytes.
    Store("Version", REG_BINARY, "junk");
    WriteVersion();
    ASSERT_TRUE(Stored("Version", &m_dwType, &m_data));
    EXPECT_EQ(m_data, std::string("\x01\0\0\0", 4));
}

TEST_F(Settings, LongestFittingValuesReadUnchangedLongerOnesReplaced)
{
    std::string host254(254, 'h');
    RegSetName("Host", host254.c_str());
    RegSetName("RPort", "1234567");
    EXPECT_EQ(Read("Host", "192.168.0.1", 255), host254);
    EXPECT_EQ(Read("RPort", "22", 8), "1234567");

    RegSetName("Host", std::string(255, 'h').c_str());
    RegSetName("RPort", "12345678");
    EXPECT_EQ(Read("Host", "192.168.0.1", 255), "192.168.0.1");
    EXPECT_EQ(Read("RPort", "22", 8), "22");
    ASSERT_TRUE(Stored("Host", &m_dwType, &m_data));
    EXPECT_EQ(m_data, std::string("192.168.0.1\0", 12)) << "default not stored";
    ASSERT_TRUE(Stored("RPort", &m_dwType, &m_data));
    EXPECT_EQ(m_data, std::string("22\0", 3));
}

TEST_F(Settings, StoredTextCarriesExactlyItsTerminator)
{
    RegSetName("LPort", "8080");
    ASSERT_TRUE(Stored("LPort", &m_dwType, &m_data));
    EXPECT_EQ(m_dwType, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(m_data, std::string("8080\0", 5));
}

TEST_F(Settings, OddValueTypesGiveTerminatedTexts)
{
    Store("Host", REG_DWORD, std::string("\x78\x56\x34\x12", 4));
    Store("RPort", REG_SZ, "80");  // stored without its terminator
    Store("LPort", REG_BINARY, "12345678");  // fills the buffer, no zero
    EXPECT_EQ(Read("Host", "192.168.0.1", 255), "\x78\x56\x34\x12");
    EXPECT_EQ(Read("RPort", "22", 8), "80");
    EXPECT_EQ(Read("LPort", "22", 8), "1234567");
}

// The key cannot be created below a volatile parent: the boxes must give
// the registry's real reason, not the text for success.
TEST_F(Settings, UnopenableKeyShowsTheRealReason)
{
    test::VolatileParent locked;
    if (!locked.Locked())
        GTEST_SKIP() << "could not make the settings key unopenable";
    HKEY hProbe;
    LONG lReason = RegCreateKeyA(HKEY_CURRENT_USER, kKeyPath, &hProbe);
    SetLastError(ERROR_SUCCESS);

    char szBuffer[8] = "keep";
    std::thread reader([&] { RegQryName("LPort", "22", szBuffer, sizeof szBuffer); });
    std::string text;
    bool bReadBox = test::TakeErrorBox("RegQryName", &text);
    reader.join();
    EXPECT_TRUE(bReadBox) << "no RegQryName box";
    EXPECT_EQ(text, SystemText(lReason));
    EXPECT_NE(text, SystemText(ERROR_SUCCESS));
    EXPECT_STREQ(szBuffer, "keep") << "a failed read changed the buffer";

    std::thread writer([] { RegSetName("LPort", "80"); });
    bool bWriteBox = test::TakeErrorBox("RegSetName", &text);
    writer.join();
    EXPECT_TRUE(bWriteBox) << "no RegSetName box";
    EXPECT_EQ(text, SystemText(lReason));

    WriteVersion();  // silent: returns without a box to close
    EXPECT_FALSE(test::ErrorBoxShown());

    EXPECT_FALSE(Stored("LPort", &m_dwType, &m_data)) << "stored despite the failure";
}
