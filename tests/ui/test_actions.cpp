// Start, Stop and Beenden pressed in every state of the worker, in a long
// random sequence, through the dialog of velmorin.exe running as a child
// process (Windows only). Never a crash, a hang, a lost status line, a box
// nobody caused, or a listener left behind.

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "res/resource.h"
#include "tests/support/program_win32.h"

namespace {

using namespace test;
using Clock = std::chrono::steady_clock;

// How long a worker may take to end after Stop once nothing holds it.
const milliseconds kEnd(20000);

// Where a run is when the next button is pressed.
enum class Where {
    SettingUp,   // right after Start: resolving or opening the listener
    Waiting,     // in accept
    Connecting,  // in connect, to a remote end that never answers
    Copying,     // in select with a client and the echo backend
    Sending,     // in send, to a client that reads nothing
    ErrorBox,    // in its "bind" box: the local port is taken
};
const char* const kWhereNames[] = {"setting up", "waiting", "connecting", "copying", "sending", "error box"};

// The status lines of one program, counted by kind, read as they come.
struct LineCounts {
    int nRead = 0;
    std::map<std::string, int> count;

    bool Update(Program* pProgram)
    {
        std::vector<std::string> lines;
        if (!pProgram->StatusLines(nRead, &lines))
            return false;
        for (const std::string& line : lines) {
            ++count[line];
            if (line.compare(0, std::strlen(kLineWaitingPrefix), kLineWaitingPrefix) == 0)
                ++count[kLineWaitingPrefix];
        }
        nRead += static_cast<int>(lines.size());
        return true;
    }
    int Of(const std::string& kind) { return count[kind]; }
};

class Actions : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_remoteSilent.Full()) << "could not fill the silent listener's queue";
        m_nTaken = FreePort();
        m_sTaken = Listen(m_nTaken, true);
        ASSERT_NE(INVALID_SOCKET, m_sTaken);
        const char* szActions = std::getenv("VELMORIN_ACTIONS");
        m_nActionsWanted = szActions != nullptr ? std::atoi(szActions) : 500;
    }

    void TearDown() override
    {
        Close(m_sClient);
        Close(m_sTaken);
    }

    // What happened lately, for the message of a failure.
    void Note(const std::string& event)
    {
        m_history.push_back(event);
        if (m_history.size() > 16)
            m_history.erase(m_history.begin());
    }

    std::string History()
    {
        std::string text = "\nlately:";
        for (const std::string& event : m_history)
            text += " " + event + ";";
        std::vector<std::string> lines;
        if (m_pProgram != nullptr && m_pProgram->StatusLines(std::max(0, m_pProgram->StatusCount() - 12), &lines)) {
            text += "\nlast lines:";
            for (const std::string& line : lines)
                text += " \"" + line + "\"";
        }
        if (m_pProgram != nullptr && WaitForDialog(m_pProgram->Id(), "bind", milliseconds(0)) != nullptr)
            text += "\na \"bind\" box is open";
        return text;
    }

    void Press(int nId)
    {
        Note(nId == IDOK ? "Start" : nId == IDC_STOP ? "Stop" : "?");
        ++m_nActions;
        ASSERT_TRUE(m_pProgram->Command(nId)) << "the dialog hangs after " << m_nActions << " actions";
    }

    // Counts every run's lines once all workers have ended: nothing lost,
    // nothing twice, no box that was not caused, no connection left open.
    void ExpectSettled()
    {
        bool bSettled = WaitUntil(
            [&] {
                return m_lines.Update(m_pProgram.get()) && m_lines.Of(kLineStarted) == m_nStarts &&
                       m_lines.Of(kLineStopped) == m_lines.Of(kLineWaitingPrefix) &&
                       m_lines.Of(kLineEnded) == m_lines.Of(kLineConnected) && m_flood.Open() == 0 &&
                       m_nEchoOpen.load() == 0;
            },
            kEnd);
        int nListened = m_lines.Of(kLineWaitingPrefix);
        ASSERT_TRUE(bSettled) << "after " << m_nActions << " actions: " << m_nStarts << " starts, "
                              << m_lines.Of(kLineStarted) << " \"" << kLineStarted << "\", " << nListened
                              << " waiting lines, " << m_lines.Of(kLineStopped) << " \"" << kLineStopped << "\", "
                              << m_lines.Of(kLineConnected) << " connected, "
                              << m_lines.Of(kLineEnded) << " ended, onward connections left open: "
                              << m_flood.Open() << " flood, " << m_nEchoOpen.load() << " echo" << History();
        // A run stopped while setting up may end before its listener.
        EXPECT_LE(nListened, m_nStarts - m_nErrorRuns);
        EXPECT_EQ(m_lines.Of(kLineConnected), m_nClients);
        EXPECT_EQ(m_lines.Of(kLineWaitingPrefix) + m_lines.Of(kLineStarted) + m_lines.Of(kLineStopped) +
                      m_lines.Of(kLineConnected) + m_lines.Of(kLineEnded),
                  m_lines.nRead)
            << "a line of another kind";
        EXPECT_EQ(nullptr, WaitForDialog(m_pProgram->Id(), "bind", milliseconds(0))) << "an unexplained box";
        // Nobody listens any more on any port of this program's runs, and
        // no port had two listeners.
        for (unsigned short nPort : m_ports) {
            EXPECT_LE(m_lines.Of(WaitingLine(nPort)), 1);
            EXPECT_TRUE(WaitUntilRefused(nPort)) << "a listener was left on port " << nPort << History();
        }
        EXPECT_TRUE(m_pProgram->Enabled(IDOK));
        EXPECT_FALSE(m_pProgram->Enabled(IDC_STOP));
    }

    // Starts a run and brings its worker to where.
    void StartRun(Where where)
    {
        unsigned short nRemote = where == Where::Connecting ? m_remoteSilent.Port()
                                 : where == Where::Sending  ? m_flood.Port()
                                                            : m_echo.Port();
        // Every run its own port, so that its waiting line is its own.
        m_nPort = where == Where::ErrorBox ? m_nTaken : FreePort();
        if (where != Where::ErrorBox)
            m_ports.push_back(m_nPort);
        const char* szHost = m_random() % 4 == 0 ? "localhost" : "127.0.0.1";
        Note(std::string(kWhereNames[static_cast<int>(where)]) + " " + szHost + ":" + std::to_string(m_nPort));
        ASSERT_TRUE(m_pProgram->SetField(IDC_HOST, szHost));
        ASSERT_TRUE(m_pProgram->SetField(IDC_RPORT, std::to_string(nRemote)));
        ASSERT_TRUE(m_pProgram->SetField(IDC_LPORT, std::to_string(m_nPort)));
        ASSERT_NO_FATAL_FAILURE(Press(IDOK));
        ++m_nStarts;
        m_where = where;
        EXPECT_FALSE(m_pProgram->Enabled(IDOK));
        EXPECT_TRUE(m_pProgram->Enabled(IDC_STOP));
        if (where == Where::SettingUp)
            return;
        if (where == Where::ErrorBox) {
            ++m_nErrorRuns;
            ASSERT_NE(nullptr, WaitForDialog(m_pProgram->Id(), "bind", kTimeout)) << "no \"bind\" box" << History();
            return;
        }
        std::string waiting = WaitingLine(m_nPort);
        ASSERT_TRUE(WaitUntil([&] { return m_lines.Update(m_pProgram.get()) && m_lines.Of(waiting) > 0; }))
            << "no waiting line" << History();
        if (where == Where::Waiting)
            return;

        // Counted before the client connects: the worker may take it and
        // reach the flood before Connect has returned here.
        int nFloods = m_flood.Connections();
        m_sClient = Connect(m_nPort);
        ASSERT_NE(INVALID_SOCKET, m_sClient) << "no listener" << History();
        ++m_nClients;
        int nConnected = m_lines.Of(kLineConnected);
        ASSERT_TRUE(WaitUntil([&] {
            return m_lines.Update(m_pProgram.get()) && m_lines.Of(kLineConnected) > nConnected;
        })) << "the client was not taken" << History();
        if (where == Where::Copying) {
            std::string data = RandomBytes(4096 + m_random() % 65536, m_random());
            ASSERT_EQ(data, RoundTrip(m_sClient, data)) << "bytes lost or changed" << History();
        } else if (where == Where::Sending) {
            // Held up once this run's flood stops making progress.
            ASSERT_TRUE(WaitUntil([&] { return m_flood.Connections() > nFloods; })) << "no onward connection to the flood (" << m_flood.Connections() << " so far, "
                << m_flood.Open() << " open)" << History();
            ASSERT_TRUE(WaitForStall([&] { return m_flood.Sent(); }, static_cast<size_t>(-1), milliseconds(100)))
                << "the worker never blocked in send" << History();
        }
    }

    void Exit()
    {
        Note("Beenden");
        Clock::time_point pressed = Clock::now();
        ++m_nActions;
        m_pProgram->PostCommand(IDCANCEL);
        DWORD dwExit = 99;
        if (!m_pProgram->Ended(milliseconds(5000), &dwExit)) {
            std::string history = History();
            bool bLater = m_pProgram->Ended(milliseconds(30000), &dwExit);
            FAIL() << "Beenden did not end the program within 5 s (worker "
                   << kWhereNames[static_cast<int>(m_where)] << "), " << (bLater ? "but within 35 s" : "nor in 35 s")
                   << history;
        }
        EXPECT_EQ(0u, dwExit);
        m_msExitMax = std::max(m_msExitMax,
                               static_cast<long long>(std::chrono::duration_cast<milliseconds>(Clock::now() - pressed).count()));
        m_pProgram.reset();
        Close(std::exchange(m_sClient, INVALID_SOCKET));
        ++m_nExits;
    }

    std::mt19937 m_random{20261208};
    std::unique_ptr<Program> m_pProgram;
    std::atomic<int> m_nEchoOpen{0};
    Backend m_echo{[this](SOCKET s) {
        ++m_nEchoOpen;
        Echo(s);
        --m_nEchoOpen;
    }};
    Flood m_flood;
    FullListener m_remoteSilent;
    SOCKET m_sTaken = INVALID_SOCKET;
    unsigned short m_nTaken = 0;
    SOCKET m_sClient = INVALID_SOCKET;
    LineCounts m_lines;
    unsigned short m_nPort = 0;
    std::vector<unsigned short> m_ports;  // of the running program's runs
    Where m_where = Where::Waiting;
    int m_nStarts = 0, m_nErrorRuns = 0, m_nClients = 0;
    int m_nActions = 0, m_nActionsWanted = 500, m_nExits = 0;
    long long m_msExitMax = 0;
    std::vector<std::string> m_history;
};

TEST_F(Actions, RandomSequenceThroughTheDialog)
{
    int nPerWhere[6] = {};
    Clock::time_point start = Clock::now();
    for (int nCycle = 0; nCycle < 10 * m_nActionsWanted && m_nActions < m_nActionsWanted; ++nCycle) {
        if (m_pProgram == nullptr) {
            m_pProgram.reset(new Program);
            ASSERT_TRUE(m_pProgram->Run(VELMORIN_EXE)) << m_pProgram->Why();
            m_lines = LineCounts();
            m_nStarts = m_nErrorRuns = m_nClients = 0;
            m_ports.clear();
        }
        // Stop (and Start) pressed again where they do nothing: Enter
        // reaches the dialog as Start whatever the buttons show.
        if (m_random() % 8 == 0) {
            ASSERT_NO_FATAL_FAILURE(Press(IDC_STOP));
        }
        Where where = static_cast<Where>(m_random() % 6);
        ++nPerWhere[static_cast<int>(where)];
        ASSERT_NO_FATAL_FAILURE(StartRun(where));
        if (m_random() % 4 == 0) {
            ASSERT_NO_FATAL_FAILURE(Press(IDOK));
        }

        if (m_random() % 5 == 0) {
            ASSERT_NO_FATAL_FAILURE(Exit());
            continue;
        }
        ASSERT_NO_FATAL_FAILURE(Press(IDC_STOP));
        EXPECT_TRUE(m_pProgram->Enabled(IDOK));
        EXPECT_FALSE(m_pProgram->Enabled(IDC_STOP));
        // What holds a stopped worker is let go: Wine wakes a blocked send or
        // connect late or not at all when its socket is closed, and the box
        // waits for its user.
        Close(std::exchange(m_sClient, INVALID_SOCKET));
        bool bBox = m_where == Where::ErrorBox;
        for (int i = 0; i < 100 && bBox; ++i)
            bBox = CloseBox(m_pProgram->Id(), "bind", nullptr, milliseconds(0));
        // Either the next Start comes at once, while this worker may still
        // be on its way out, or everything settles first and is counted.
        if (m_random() % 2 == 0) {
            Note("settle");
            ASSERT_NO_FATAL_FAILURE(ExpectSettled());
        }
    }
    if (m_pProgram != nullptr) {
        ASSERT_NO_FATAL_FAILURE(ExpectSettled());
        ASSERT_NO_FATAL_FAILURE(Exit());
    }
    EXPECT_GE(m_nActions, m_nActionsWanted);
    std::printf("  %d actions (%d Beenden), runs per state:", m_nActions, m_nExits);
    for (int i = 0; i < 6; ++i)
        std::printf(" %s %d,", kWhereNames[i], nPerWhere[i]);
    std::printf(" longest Beenden %lld ms, %.0f s\n", m_msExitMax,
                std::chrono::duration<double>(Clock::now() - start).count());
}

}  // namespace
