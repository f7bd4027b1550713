// velmorin.exe run as a child process: each way of closing it ends the
// process with exit code 0, also while its worker is stuck (Windows only).

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "res/resource.h"
#include "settings/settings.h"
#include "tests/support/program_win32.h"

namespace {

using Clock = std::chrono::steady_clock;

// Ending must take under two seconds; the margin is for a slow machine.
const test::milliseconds kEndTimeout(5000);

// A loopback listener whose queue is full, so that a connect to it blocks.
class FullListener {
public:
    FullListener()
    {
        m_sListen = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int cbAddr = sizeof addr;
        if (bind(m_sListen, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(m_sListen, 0) != 0 ||
            getsockname(m_sListen, reinterpret_cast<struct sockaddr*>(&addr), &cbAddr) != 0)
            return;
        m_nPort = ntohs(addr.sin_port);
        // Connects without waiting until one of them is left hanging.
        for (int i = 0; i < 16 && !m_bFull; ++i) {
            SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
            u_long bNonBlocking = 1;
            ioctlsocket(s, FIONBIO, &bNonBlocking);
            connect(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
            m_fillers.push_back(s);
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(s, &writable);
            struct timeval tv = {1, 0};
            m_bFull = select(0, nullptr, &writable, nullptr, &tv) == 0;
        }
    }

    ~FullListener()
    {
        for (SOCKET s : m_fillers)
            test::Close(s);
        test::Close(m_sListen);
    }

    bool Full() const { return m_bFull; }
    unsigned short Port() const { return m_nPort; }

private:
    SOCKET m_sListen = INVALID_SOCKET;
    unsigned short m_nPort = 0;
    bool m_bFull = false;
    std::vector<SOCKET> m_fillers;
};

class Program : public ::testing::Test {
protected:
    void Run()
    {
        ASSERT_TRUE(m_program.Run(VELMORIN_EXE))
            << "cannot start " << VELMORIN_EXE << " or it shows no dialog, error " << GetLastError();
    }

    void Click(int nId) { m_program.PostCommand(nId); }

    int StatusCount() { return m_program.StatusCount(); }

    // Posts the closing message and expects the process to end with 0.
    void ExpectEndsWithZero(UINT uMsg, WPARAM wParam, LPARAM lParam)
    {
        Clock::time_point start = Clock::now();
        PostMessageA(m_program.Dialog(), uMsg, wParam, lParam);
        DWORD dwExit = 99;
        bool bEnded = test::WaitUntil([&] { return m_program.Ended(test::milliseconds(0), &dwExit); },
                                      kEndTimeout);
        long long nMs =
            std::chrono::duration_cast<test::milliseconds>(Clock::now() - start).count();
        ASSERT_TRUE(bEnded) << "still running after " << nMs << " ms";
        EXPECT_EQ(0u, dwExit);
        std::printf("  ended after %lld ms\n", nMs);
    }

    test::Program m_program;
};

TEST_F(Program, BeendenEndsIt)
{
    ASSERT_NO_FATAL_FAILURE(Run());
    ExpectEndsWithZero(WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
}

TEST_F(Program, EscEndsIt)
{
    ASSERT_NO_FATAL_FAILURE(Run());
    ExpectEndsWithZero(WM_KEYDOWN, VK_ESCAPE, 1);
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
    RegSetName("Host", "127.0.0.1");
    RegSetName("LPort", std::to_string(nTaken).c_str());
    ASSERT_NO_FATAL_FAILURE(Run());
    Click(IDOK);
    ASSERT_NE(nullptr, test::WaitForDialog(m_program.Id(), "bind", test::kTimeout));
    ExpectEndsWithZero(WM_KEYDOWN, VK_ESCAPE, 1);
    test::Close(sTaken);
}

TEST_F(Program, CloseBoxEndsItWhileTheWorkerIsBlockedInConnect)
{
    FullListener remote;
    ASSERT_TRUE(remote.Full()) << "could not fill the listener's queue";
    unsigned short nLocal = test::FreePort();
    RegSetName("Host", "127.0.0.1");
    RegSetName("RPort", std::to_string(remote.Port()).c_str());
    RegSetName("LPort", std::to_string(nLocal).c_str());
    ASSERT_NO_FATAL_FAILURE(Run());
    Click(IDOK);
    // Two lines: "Gestarted." and the waiting line.
    ASSERT_TRUE(test::WaitUntil([&] { return StatusCount() >= 2; }));
    SOCKET sClient = test::Connect(nLocal);
    ASSERT_NE(INVALID_SOCKET, sClient);
    // "Verbunden mit ..." comes right before the connect.
    ASSERT_TRUE(test::WaitUntil([&] { return StatusCount() >= 3; }));
    ExpectEndsWithZero(WM_SYSCOMMAND, SC_CLOSE, 0);
    test::Close(sClient);
}

}  // namespace
