// The worker over real loopback sockets: bytes, one client at a time, the
// status lines of every path, and teardowns that never hit a stranger.

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "tests/support/worker_test.h"

using namespace test;
using Forward = WorkerTest;

TEST_F(Forward, BytesPassUnchangedBothWaysAtOnce)
{
    const std::string up = RandomBytes(3 << 20, 1), down = RandomBytes(3 << 20, 2);
    std::string atBackend;
    std::atomic<bool> bBackendDone{false};
    Backend backend([&](SOCKET s) {
        std::thread sender([&] { SendAll(s, down); });
        atBackend = ReceiveN(s, up.size());
        sender.join();
        ReceiveUntilEnd(s);
        bBackendDone = true;
    });
    Start(backend.Port());

    SOCKET sClient = Connect(m_nPort);
    ASSERT_NE(sClient, INVALID_SOCKET);
    std::thread sender([&] { SendAll(sClient, up); });
    std::string atClient = ReceiveN(sClient, down.size());
    sender.join();
    Close(sClient);
    ASSERT_TRUE(WaitForLine(m_hDlg, kLineEnded));
    ASSERT_TRUE(WaitUntil([&] { return bBackendDone.load(); })) << "backend never saw the end";

    EXPECT_TRUE(atClient == down) << "client got " << atClient.size() << " of " << down.size()
                                  << " bytes, or changed ones";
    EXPECT_TRUE(atBackend == up) << "backend got " << atBackend.size() << " of " << up.size()
                                 << " bytes, or changed ones";
}

TEST_F(Forward, SecondClientWaitsUntilFirstEnds)
{
    Start(m_echo.Port());

    SOCKET sFirst = Connect(m_nPort);
    ASSERT_EQ(RoundTrip(sFirst, "one"), "one");

    // Accepted by the system into the backlog, but not served yet.
    SOCKET sSecond = Connect(m_nPort);
    ASSERT_NE(sSecond, INVALID_SOCKET);
    ASSERT_TRUE(SendAll(sSecond, "two"));
    EXPECT_FALSE(Readable(sSecond, milliseconds(300))) << "second client served during the first";

    Close(sFirst);
    EXPECT_EQ(ReceiveN(sSecond, 3), "two");
    Close(sSecond);
    ASSERT_TRUE(WaitUntil([&] { return Status().size() == 6; }));
    EXPECT_EQ(Status(), Run(2, false));
}

TEST_F(Forward, ClientCloseEndsConnectionAndStopEndsWorker)
{
    Start(m_echo.Port());

    SOCKET sClient = Connect(m_nPort);
    ASSERT_EQ(RoundTrip(sClient, "ping"), "ping");
    // The connected line is appended, not selected: the waiting line keeps it.
    EXPECT_EQ(Status().back(), kLineConnected);
    EXPECT_EQ(SelectedLine(m_hDlg), 1);

    Close(sClient);
    // The line and its selection are two messages: the selection comes last.
    EXPECT_TRUE(WaitUntil([&] { return SelectedLine(m_hDlg) == 3; }))
        << "selected: " << SelectedLine(m_hDlg) << ", lines: " << Status().size();

    EXPECT_EQ(StopAndEnd(), kStopped);
    EXPECT_EQ(Status(), Run(1, true));
    EXPECT_EQ(SelectedLine(m_hDlg), 4);
}

TEST_F(Forward, RemoteCloseEndsConnectionAndWorkerWaitsAgain)
{
    Backend backend([](SOCKET s) { SendAll(s, "bye"); });
    Start(backend.Port());

    // The next client is served too: the worker still accepts.
    for (int i = 0; i < 2; ++i) {
        SOCKET sClient = Connect(m_nPort);
        std::string received;
        EXPECT_EQ(ReceiveUntilEnd(sClient, &received), kEndOrderly) << "client connection not closed";
        EXPECT_EQ(received, "bye");
        Close(sClient);
        ASSERT_TRUE(WaitForLine(m_hDlg, kLineEnded));
    }
    ASSERT_TRUE(WaitUntil([&] { return Status().size() == 6; }));
    EXPECT_EQ(Status(), Run(2, false));
}

TEST_F(Forward, ClientResetStopsWorker)
{
    if (!ResetFailsRead())
        GTEST_SKIP() << "this system reads a peer's reset as an orderly end";
    Start(m_echo.Port());

    SOCKET sClient = Connect(m_nPort);
    ASSERT_EQ(RoundTrip(sClient, "x"), "x");
    ResetOnClose(sClient);
    Close(sClient);

    EXPECT_EQ(EndedWith(), kStopped);
    EXPECT_EQ(Status(), Run(1, true));
}

TEST_F(Forward, StopWhileWaiting)
{
    Start(FreePort());
    EXPECT_EQ(StopAndEnd(), kStopped);
    EXPECT_EQ(Status(), Run(0, true));
    EXPECT_EQ(Connect(m_nPort), INVALID_SOCKET) << "listener left open";
}

TEST_F(Forward, StopDuringConnection)
{
    Start(m_echo.Port());
    SOCKET sClient = Connect(m_nPort);
    ASSERT_EQ(RoundTrip(sClient, "abc"), "abc");

    EXPECT_EQ(StopAndEnd(), kStopped);
    EXPECT_EQ(ReceiveUntilEnd(sClient), kEndOrderly) << "client connection not closed";
    Close(sClient);
    EXPECT_EQ(Status(), Run(1, true));
}

TEST_F(Forward, PortInUseShowsBindBoxAndEnds)
{
    m_nPort = FreePort();
    SOCKET sTaken = Listen(m_nPort, true);
    ASSERT_NE(sTaken, INVALID_SOCKET);
    StartWorker(&m_worker, m_hDlg, "127.0.0.1", m_nPort, FreePort());

    std::string text;
    ASSERT_TRUE(TakeErrorBox("bind", &text)) << "no bind box";
    EXPECT_EQ(text, AddressInUseText());
    EXPECT_EQ(EndedWith(), kBindFailed);
    EXPECT_EQ(Status(), (Lines{kLineStarted}));
    Close(sTaken);
}

TEST_F(Forward, LocalPortZeroLetsSystemChoose)
{
    Start(FreePort(), "127.0.0.1", 0);
    EXPECT_EQ(StopAndEnd(), kStopped);
    EXPECT_EQ(Status(), Run(0, true));
}

// A host that does not resolve, and a dotted one with a part above 255, are
// not reported; the onward connection fails instead, and nothing on this
// machine is reached in its place.
TEST_F(Forward, UnusableRemoteIsSilentAndReachesNothingLocal)
{
    for (const char* szHost : {"nohost.invalid", "999.1.1.1"}) {
        SCOPED_TRACE(szHost);
        std::atomic<bool> bReached(false);
        Backend local([&](SOCKET) { bReached = true; });
        Start(local.Port(), szHost);
        EXPECT_EQ(Status(), Run(0, false));

        SOCKET sClient = Connect(m_nPort);
        SendAll(sClient, "x");
        Close(sClient);
        EXPECT_TRUE(WaitForLine(m_hDlg, kLineEnded));
        EXPECT_FALSE(bReached.load()) << "connected to a local service";
        EXPECT_FALSE(ErrorBoxShown()) << "a box was shown";

        EXPECT_EQ(StopAndEnd(), kStopped);
        EXPECT_EQ(Status().back(), kLineStopped);
        Restart();
    }
}
