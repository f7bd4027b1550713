// The main dialog, made from the real template in this process and driven
// through its controls: the fields, the buttons, the status list and the
// settings in the real registry (Windows only).

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "res/resource.h"
#include "tests/support/program_win32.h"
#include "tests/support/registry_win32.h"
#include "ui/maindlg.h"

namespace {

using namespace test;
using Texts = std::vector<std::string>;

::testing::Environment* const g_pSavedSettings =
    ::testing::AddGlobalTestEnvironment(new test::SavedSettings);

// Stores the host, remote port and local port as Start does: texts with their terminator.
void StoreFields(const std::string& host, const std::string& rport, const std::string& lport)
{
    Store("Host", REG_SZ, host + '\0');
    Store("RPort", REG_SZ, rport + '\0');
    Store("LPort", REG_SZ, lport + '\0');
}

// Whether a box other than the dialog itself is open in this process.
bool BoxBesides(HWND hDlg)
{
    return test::FindBox([&](HWND hBox, DWORD dwProcess, const std::string&) {
               return hBox != hDlg && dwProcess == GetCurrentProcessId();
           }) != nullptr;
}

size_t CountOf(const std::vector<std::string>& lines, const std::string& line)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// Closes the settings boxes that come up meanwhile, from a thread of its
// own: the dialog thread is inside the box's loop while it is shown.
struct BoxCloser {
    std::atomic<bool> bStop{false};
    std::atomic<int> nClosed{0};
    std::thread thread{[this] {
        for (int i = 0; i < 20000 && !bStop.load(); ++i) {
            for (const char* szCaption : {"RegQryName", "RegSetName"})
                CloseBox(GetCurrentProcessId(), szCaption, nullptr, milliseconds(0), &nClosed);
            Sleep(1);
        }
    }};
    ~BoxCloser()
    {
        bStop.store(true);
        thread.join();
    }
};

class MainDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Settings the tests below start from, unless a test sets its own.
        StoreFields("127.0.0.1", "1", "0");
    }

    void TearDown() override
    {
        if (m_hDlg != nullptr) {
            Command(IDCANCEL);
            DestroyWindow(m_hDlg);
        }
        // The dialog's end posts a quit message meant for the program's
        // loop; it goes with the rest.
        test::PumpMessages();
    }

    void Open()
    {
        m_hDlg = CreateDialogParamA(GetModuleHandleA(nullptr), "maindialog", nullptr, MainDlgProc, 0);
        ASSERT_NE(nullptr, m_hDlg) << "error " << GetLastError();
    }

    void Command(int nId) { SendMessageA(m_hDlg, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED), 0); }

    std::string Field(int nId) const
    {
        char szText[1024] = "";
        GetDlgItemTextA(m_hDlg, nId, szText, sizeof szText);
        return szText;
    }

    // The host, remote port and local port: as the fields show them, and as stored.
    Texts Fields() const { return {Field(IDC_HOST), Field(IDC_RPORT), Field(IDC_LPORT)}; }
    static Texts StoredFields() { return {StoredText("Host"), StoredText("RPort"), StoredText("LPort")}; }

    void SetField(int nId, const std::string& text) { SetDlgItemTextA(m_hDlg, nId, text.c_str()); }

    bool Enabled(int nId) const { return IsWindowEnabled(GetDlgItem(m_hDlg, nId)) != FALSE; }

    std::vector<std::string> Lines() const { return test::StatusText(m_hDlg); }

    bool WaitForCount(const std::string& line, size_t n)
    {
        return WaitUntil([&] { return CountOf(Lines(), line) >= n; });
    }

    // Start with the local port given as text; waits for the listener. Its
    // waiting line is told from earlier ones by count: the earlier runs
    // must have ended.
    void StartOn(const std::string& localPort, unsigned short nShown)
    {
        SetField(IDC_LPORT, localPort);
        size_t nBefore = CountOf(Lines(), WaitingLine(nShown));
        Command(IDOK);
        ASSERT_TRUE(WaitForCount(WaitingLine(nShown), nBefore + 1))
            << "no line \"" << WaitingLine(nShown) << "\" for the field \"" << localPort << "\"";
    }

    void StopAndWait()
    {
        size_t nBefore = CountOf(Lines(), kLineStopped);
        Command(IDC_STOP);
        ASSERT_TRUE(WaitForCount(kLineStopped, nBefore + 1));
    }

    HWND m_hDlg = nullptr;
    Backend m_echo{Echo};
};

TEST_F(MainDialog, FirstStartShowsAndStoresDefaults)
{
    DeleteSettings();
    Open();
    char szCaption[64] = "";
    GetWindowTextA(m_hDlg, szCaption, sizeof szCaption);
    EXPECT_STREQ("Velmorin", szCaption);
    const Texts defaults = {"192.168.0.1", "22", "22"};
    EXPECT_EQ(defaults, Fields());
    EXPECT_EQ(defaults, StoredFields());
    EXPECT_TRUE(Enabled(IDOK));
    EXPECT_FALSE(Enabled(IDC_STOP));
    EXPECT_TRUE(Enabled(IDCANCEL));
    EXPECT_TRUE(Lines().empty());
}

TEST_F(MainDialog, StartUpShowsStoredSettings)
{
    StoreFields("forward.example", "4711", "1234567");
    Open();
    EXPECT_EQ((Texts{"forward.example", "4711", "1234567"}), Fields());
    EXPECT_TRUE(Enabled(IDOK));
    EXPECT_FALSE(Enabled(IDC_STOP));
}

TEST_F(MainDialog, StartForwardsStopStopsAndTheListKeepsEveryRun)
{
    unsigned short nLocal = test::FreePort();
    Open();
    SetField(IDC_HOST, "127.0.0.1");
    SetField(IDC_RPORT, std::to_string(m_echo.Port()));
    StartOn(std::to_string(nLocal), nLocal);
    EXPECT_FALSE(Enabled(IDOK));
    EXPECT_TRUE(Enabled(IDC_STOP));
    EXPECT_EQ((Texts{"127.0.0.1", std::to_string(m_echo.Port()), std::to_string(nLocal)}), StoredFields());

    SOCKET sClient = test::Connect(nLocal);
    ASSERT_NE(INVALID_SOCKET, sClient);
    std::string data = test::RandomBytes(5000, 4);
    ASSERT_TRUE(test::SendAll(sClient, data));
    ASSERT_EQ(data, test::ReceiveN(sClient, data.size()));
    test::Close(sClient);
    ASSERT_TRUE(WaitForCount(kLineEnded, 1));

    StopAndWait();
    EXPECT_TRUE(Enabled(IDOK));
    EXPECT_FALSE(Enabled(IDC_STOP));
    test::Lines firstRun = test::RunLines(nLocal, 1, true);
    EXPECT_EQ(firstRun, Lines());

    StartOn(std::to_string(nLocal), nLocal);
    StopAndWait();
    test::Lines secondRun = test::RunLines(nLocal, 0, true);
    firstRun.insert(firstRun.end(), secondRun.begin(), secondRun.end());
    EXPECT_EQ(firstRun, Lines());
}

TEST_F(MainDialog, PortFieldsAreReadAsAtoiCutToSixteenBits)
{
    Open();
    unsigned short nPort = test::FreePort();
    // Eight digits: the first seven are a number whose low 16 bits are nPort.
    std::string seven = std::to_string(nPort + 65536 * 20);
    struct Case {
        std::string text;
        unsigned short nShown;
    } cases[] = {
        {"", 0},
        {"abc", 0},
        {std::to_string(nPort + 65536), nPort},
        {"-1", 65535},
        {seven + "9", nPort},
    };
    for (const Case& c : cases) {
        StartOn(c.text, c.nShown);
        EXPECT_EQ(c.text.substr(0, 7), StoredText("LPort"));
        StopAndWait();
    }
}

TEST_F(MainDialog, HostFieldIsCutTo254Characters)
{
    Open();
    // A dotted start keeps the worker from looking the name up.
    std::string host = "127.0.0.1" + std::string(291, 'x');
    SetField(IDC_HOST, host);
    StartOn("0", 0);
    EXPECT_EQ(host.substr(0, 254), StoredText("Host"));
    StopAndWait();
}

TEST_F(MainDialog, BindFailureLeavesStopForTheUserToPress)
{
    unsigned short nTaken = test::FreePort();
    SOCKET sTaken = test::Listen(nTaken, true);
    ASSERT_NE(INVALID_SOCKET, sTaken);
    Open();
    SetField(IDC_LPORT, std::to_string(nTaken));
    Command(IDOK);
    std::string text;
    ASSERT_TRUE(test::TakeErrorBox("bind", &text));
    EXPECT_EQ(test::AddressInUseText(), text);
    EXPECT_FALSE(Enabled(IDOK));
    EXPECT_TRUE(Enabled(IDC_STOP));
    Command(IDC_STOP);
    EXPECT_TRUE(Enabled(IDOK));
    EXPECT_FALSE(Enabled(IDC_STOP));
    EXPECT_EQ(0u, CountOf(Lines(), WaitingLine(nTaken)));
    test::Close(sTaken);
}

// Enter reaches the dialog as IDOK, through the dialog manager, also while
// Start is disabled.
TEST_F(MainDialog, EnterWhileRunningStartsNothing)
{
    unsigned short nFirst = test::FreePort(), nSecond = test::FreePort();
    Open();
    MSG enter = {m_hDlg, WM_KEYDOWN, VK_RETURN, 1, 0, {0, 0}};
    SetField(IDC_LPORT, std::to_string(nFirst));
    IsDialogMessageA(m_hDlg, &enter);
    ASSERT_TRUE(WaitForCount(WaitingLine(nFirst), 1)) << "Enter did not start";

    SetField(IDC_LPORT, std::to_string(nSecond));
    IsDialogMessageA(m_hDlg, &enter);
    Command(IDOK);
    // A second Start would have stored the field before starting a worker.
    EXPECT_EQ(std::to_string(nFirst), StoredText("LPort"));
    EXPECT_EQ(INVALID_SOCKET, test::Connect(nSecond)) << "a second worker listens";

    // The first worker is still the one Stop reaches.
    StopAndWait();
    EXPECT_EQ(INVALID_SOCKET, test::Connect(nFirst)) << "the first worker still listens";
    EXPECT_EQ(1u, CountOf(Lines(), kLineStarted));
}

// Workers stopped before they reached their listener must not take the
// port from the run after them. Stop comes before any of a run's lines, so
// each of them still listens, then stops, while the last Start comes at
// once.
TEST_F(MainDialog, RapidStopStartCyclesLeaveOneWorkingListener)
{
    unsigned short nLocal = test::FreePort();
    Open();
    SetField(IDC_RPORT, std::to_string(m_echo.Port()));
    SetField(IDC_LPORT, std::to_string(nLocal));
    const size_t kStoppedRuns = 6;
    for (size_t i = 0; i < kStoppedRuns; ++i) {
        Command(IDOK);
        Command(IDC_STOP);
    }
    Command(IDOK);

    // Only the new run answers: a stopped run's listener may still take a
    // client into its queue, but nobody serves it.
    ASSERT_TRUE(WaitUntil([&] { return RoundTripTo(nLocal, "ping", milliseconds(1000)) == "ping"; }))
        << "no echo through the new run" << (BoxBesides(m_hDlg) ? ", and a box is open" : "")
        << "; the list holds: " << ::testing::PrintToString(Lines());
    EXPECT_FALSE(BoxBesides(m_hDlg));

    Command(IDC_STOP);
    ASSERT_TRUE(WaitForCount(kLineStopped, kStoppedRuns + 1));
    EXPECT_TRUE(WaitUntilRefused(nLocal)) << "a listener outlived its run";
    EXPECT_EQ(kStoppedRuns + 1, CountOf(Lines(), kLineStarted));
    EXPECT_FALSE(BoxBesides(m_hDlg));
}

TEST_F(MainDialog, BeendenLetsARunningWorkerEndByItself)
{
    unsigned short nLocal = test::FreePort();
    Open();
    StartOn(std::to_string(nLocal), nLocal);
    Command(IDCANCEL);
    // The worker's last line arrived while Beenden waited for it.
    EXPECT_EQ(1u, CountOf(Lines(), kLineStopped));
    EXPECT_FALSE(IsWindowVisible(m_hDlg));
    EXPECT_FALSE(Enabled(IDOK)) << "Beenden must leave the buttons alone";
    EXPECT_EQ(INVALID_SOCKET, test::Connect(nLocal));
}

TEST_F(MainDialog, UnopenableSettingsGiveEmptyFieldsAndPortZero)
{
    VolatileParent locked;
    if (!locked.Locked())
        GTEST_SKIP() << "could not make the settings key unopenable";
    BoxCloser closer;
    Open();
    EXPECT_EQ(3, closer.nClosed.load()) << "one box for each setting read";
    EXPECT_EQ((Texts{"", "", ""}), Fields());
    EXPECT_TRUE(Enabled(IDOK));
    // An empty host would be looked up; the local port stays empty.
    SetField(IDC_HOST, "127.0.0.1");
    Command(IDOK);
    EXPECT_EQ(6, closer.nClosed.load()) << "one more box for each setting stored";
    ASSERT_TRUE(WaitForCount(WaitingLine(0), 1));
    StopAndWait();

    // Beenden, then Stop, clicked while the next Start shows its boxes: the
    // program ends, and neither that Start nor the Stop does anything more.
    PostMessageA(m_hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    PostMessageA(m_hDlg, WM_COMMAND, MAKEWPARAM(IDC_STOP, BN_CLICKED), 0);
    Command(IDOK);
    EXPECT_EQ(9, closer.nClosed.load());
    EXPECT_FALSE(IsWindowVisible(m_hDlg));
    EXPECT_TRUE(Enabled(IDOK) && !Enabled(IDC_STOP)) << "a run was started after Beenden";
}

}  // namespace
