// Host texts as a user may type them, through a real worker: which reach the
// remote end, which leave the worker without one, and the status lines of
// each. A worker without a remote end must reach nothing on this machine.
// Names are only ones that fail without asking the network.

#include <gtest/gtest.h>

#include <string>

#include "tests/support/worker_test.h"
#include "ui/fields.h"

using namespace test;
using HostText = WorkerTest;

// Texts that start like a dotted address but that inet_addr rejects (a part
// above 255, a fifth part, a trailing dot, a leading space) give the
// all-ones address, and texts that are no address and no name give none at
// all. The onward connect then fails; the read on that socket fails too and
// stops the worker. A service listening on every local address stays
// untouched, also at 0.0.0.0, which reaches this machine on Linux.
TEST_F(HostText, UnusableHostReachesNothingAndStopsWorker)
{
    for (const char* szHost : {"127.0.0.1.", " 127.0.0.1", "1.2.3.4.5", "999.1.1.1", "", " ",
                               "127 .0.0.1", "nohost.invalid"}) {
        SCOPED_TRACE(std::string("host \"") + szHost + "\"");
        unsigned short nRemotePort = FreePort();
        SOCKET sService = Listen(nRemotePort, true);
        ASSERT_NE(sService, INVALID_SOCKET);
        Start(nRemotePort, szHost);

        SOCKET sClient = Connect(m_nPort);
        ASSERT_NE(sClient, INVALID_SOCKET);
        SendAll(sClient, "x");
        std::string received;
        EXPECT_EQ(ReceiveUntilEnd(sClient, &received), kEndOrderly) << "the client's connection was not ended";
        EXPECT_EQ(received, "");
        EXPECT_EQ(EndedWith(), kStopped);
        EXPECT_EQ(Status(), Run(1, true));
        EXPECT_FALSE(ErrorBoxShown()) << "a box was shown";
        EXPECT_FALSE(Readable(sService, milliseconds(200))) << "a local service was reached";
        Close(sClient);
        Close(sService);
        Restart();
    }
}

// inet_addr reads a dotted address up to white space and ignores the rest;
// a shortened address does not pass the four-number test and goes to the
// lookup, which reads it as a number without asking the network. All of
// these reach the remote end and pass bytes both ways.
TEST_F(HostText, AddressWithTrailingTextOrShortenedReachesRemote)
{
    for (const char* szHost : {"127.0.0.1 ", "127.0.0.1\t", "127.0.0.1 and more", "127.1", "2130706433"}) {
        SCOPED_TRACE(std::string("host \"") + szHost + "\"");
        Start(m_echo.Port(), szHost);

        std::string data = RandomBytes(5000, 7);
        EXPECT_EQ(RoundTripTo(m_nPort, data), data);
        EXPECT_TRUE(WaitForLine(m_hDlg, kLineEnded));
        EXPECT_EQ(StopAndEnd(), kStopped);
        EXPECT_EQ(Status(), Run(1, true));
        Restart();
    }
}

// The longest host the dialog hands over (254 characters) is used whole: an
// address padded with spaces to that length still reaches the remote end.
TEST_F(HostText, LongestHostFromDialogIsUsedWhole)
{
    std::string host = "127.0.0.1" + std::string(254 - 9, ' ');
    Start(m_echo.Port(), host);
    ASSERT_EQ(RoundTripTo(m_nPort, "ping"), "ping");
    EXPECT_TRUE(WaitForLine(m_hDlg, kLineEnded));
}

// The record keeps at most 255 characters of the host, and every port
// number as given.
TEST(HostRecord, KeepsHostCutTo255AndPortsAsGiven)
{
    std::string longHost(300, 'h');
    ForwardState* pfs = NewForwardState(nullptr, longHost.c_str(), 65535, 0);
    EXPECT_EQ(std::string(pfs->szHost), longHost.substr(0, 255));
    EXPECT_EQ(pfs->nLocalPort, 65535);
    EXPECT_EQ(pfs->nRemotePort, 0);
    ReleaseForwardState(pfs);
    ReleaseForwardState(pfs);

    std::string host254(254, 'h');
    pfs = NewForwardState(nullptr, host254.c_str(), 22, 22);
    EXPECT_EQ(std::string(pfs->szHost), host254);
    ReleaseForwardState(pfs);
    ReleaseForwardState(pfs);

    // From texts longer than the dialog's fields give, a run takes what the
    // fields would: 254 characters of host, seven digits of each port.
    pfs = NewRunFromFields(nullptr, longHost.c_str(), "65537999", "-1234567");
    EXPECT_EQ(std::string(pfs->szHost), host254);
    EXPECT_EQ(pfs->nRemotePort, 6553799 % 65536);
    EXPECT_EQ(pfs->nLocalPort, 65536 * 2 - 123456);
    ReleaseForwardState(pfs);
    ReleaseForwardState(pfs);
}
