// velmorin.exe run as a child process: each way of closing it ends the
// process with exit code 0, also while its worker is stuck (Windows only).

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <memory>

#include "res/resource.h"
#include "settings/settings.h"
#include "tests/support/program_win32.h"

namespace {

using Clock = std::chrono::steady_clock;

// Ending must take under two seconds; the margin is for a slow machine.
const test::milliseconds kEndTimeout(5000);

class Program : public ::testing::Test {
protected:
    void Run() { ASSERT_TRUE(m_pProgram->Run(VELMORIN_EXE)) << m_pProgram->Why(); }

    // Runs a new program with these settings and presses Start.
    void StartOn(unsigned short nRemote, unsigned short nLocal)
    {
        RegSetName("Host", "127.0.0.1");
        RegSetName("RPort", std::to_string(nRemote).c_str());
        RegSetName("LPort", std::to_string(nLocal).c_str());
        m_pProgram.reset(new test::Program);
        ASSERT_NO_FATAL_FAILURE(Run());
        m_pProgram->PostCommand(IDOK);
    }

    // Posts the closing message and expects the process to end with 0. With
    // bBehind a message waits behind it, queued while the program is held so
    // that the dialog cannot take it first: it is for the program's own loop,
    // and the exit code stays the quit code.
    void ExpectEndsWithZero(UINT uMsg, WPARAM wParam, LPARAM lParam, bool bBehind = false)
    {
        Clock::time_point start = Clock::now();
        if (bBehind)
            SuspendThread(m_pProgram->MainThread());
        PostMessageA(m_pProgram->Dialog(), uMsg, wParam, lParam);
        if (bBehind) {
            PostThreadMessageA(m_pProgram->MainThreadId(), WM_APP, 7, 0);
            ResumeThread(m_pProgram->MainThread());
        }
        DWORD dwExit = 99;
        bool bEnded = m_pProgram->Ended(kEndTimeout, &dwExit);
        long long nMs = std::chrono::duration_cast<test::milliseconds>(Clock::now() - start).count();
        ASSERT_TRUE(bEnded) << "still running after " << nMs << " ms";
        EXPECT_EQ(0u, dwExit);
        std::printf("  ended after %lld ms\n", nMs);
    }

    std::unique_ptr<test::Program> m_pProgram{new test::Program};
};

// Also when workers will not end within Beenden's grace: one held from
// outside, which the next Start's grace waits for in vain, and stopped, as
// one of its runs is after it.
TEST_F(Program, BeendenEndsIt)
{
    ASSERT_NO_FATAL_FAILURE(Run());
    ExpectEndsWithZero(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);

    ASSERT_NO_FATAL_FAILURE(StartOn(test::FreePort(), test::FreePort()));
    ASSERT_TRUE(test::WaitUntil([&] { return m_pProgram->StatusCount() >= 2; }));
    ASSERT_GT(test::HoldThreads(m_pProgram->Id(), m_pProgram->MainThreadId()), 0);
    ASSERT_TRUE(m_pProgram->Command(IDC_STOP));
    ASSERT_TRUE(m_pProgram->SetField(IDC_LPORT, std::to_string(test::FreePort())));
    ASSERT_TRUE(m_pProgram->Command(IDOK));
    ASSERT_TRUE(test::WaitUntil([&] { return m_pProgram->StatusCount() >= 4; })) << "no second run";
    ASSERT_TRUE(m_pProgram->Command(IDC_STOP));
    ExpectEndsWithZero(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

TEST_F(Program, EscEndsIt)
{
    ASSERT_NO_FATAL_FAILURE(Run());
    ExpectEndsWithZero(WM_KEYDOWN, VK_ESCAPE, 1, true);
}

TEST_F(Program, CloseBoxEndsIt)
{
    ASSERT_NO_FATAL_FAILURE(Run());
    ExpectEndsWithZero(WM_SYSCOMMAND, SC_CLOSE, 0);
}

TEST_F(Program, EscEndsItWhileTheWorkerShowsItsErrorBox)
{
    unsigned short nTaken = test::FreePort();
    SOCKET sTaken = test::Listen(nTaken, true);
    ASSERT_NE(INVALID_SOCKET, sTaken);
    ASSERT_NO_FATAL_FAILURE(StartOn(test::FreePort(), nTaken));
    ASSERT_NE(nullptr, test::WaitForDialog(m_pProgram->Id(), "bind", test::kTimeout));
    ExpectEndsWithZero(WM_KEYDOWN, VK_ESCAPE, 1);
    test::Close(sTaken);
}

TEST_F(Program, CloseBoxEndsItWhileTheWorkerIsBlockedInConnect)
{
    test::FullListener remote;
    ASSERT_TRUE(remote.Full()) << "could not fill the listener's queue";
    unsigned short nLocal = test::FreePort();
    ASSERT_NO_FATAL_FAILURE(StartOn(remote.Port(), nLocal));
    ASSERT_TRUE(test::WaitUntil([&] { return m_pProgram->StatusCount() >= 2; })) << "no waiting line";
    int nPending = test::PendingConnects(remote.Port());
    SOCKET sClient = test::Connect(nLocal);
    ASSERT_NE(INVALID_SOCKET, sClient);
    // The worker's own connect, not only its line "Verbunden mit ...".
    ASSERT_TRUE(test::WaitUntil([&] { return test::PendingConnects(remote.Port()) > nPending; }))
        << "the worker never began its connect";
    ExpectEndsWithZero(WM_SYSCOMMAND, SC_CLOSE, 0);
    test::Close(sClient);
}

// A worker blocked in send is not woken by the teardown under Wine; Beenden
// must end the program all the same, every time, also when Stop has left
// that worker on its way out before.
TEST_F(Program, BeendenEndsItWhileTheWorkerIsBlockedInSend)
{
    test::Flood flood;
    for (int nRound = 0; nRound < 5; ++nRound) {
        unsigned short nLocal = test::FreePort();
        ASSERT_NO_FATAL_FAILURE(StartOn(flood.Port(), nLocal));
        ASSERT_TRUE(test::WaitUntil([&] { return m_pProgram->StatusCount() >= 2; }));
        int nFloods = flood.Connections();
        SOCKET sClient = test::Connect(nLocal);
        ASSERT_NE(INVALID_SOCKET, sClient);
        ASSERT_TRUE(test::WaitUntil([&] { return flood.Connections() > nFloods; }));
        ASSERT_TRUE(test::WaitForStall([&] { return flood.Sent(); }, static_cast<size_t>(-1), test::milliseconds(100)))
            << "the worker never blocked in send";
        if (nRound % 2 == 1) {
            ASSERT_TRUE(m_pProgram->Command(IDC_STOP));
        }
        ExpectEndsWithZero(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        test::Close(sClient);
    }
}

}  // namespace
