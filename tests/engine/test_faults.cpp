// Peers that misbehave: a client that closes at once, a remote end that
// refuses or never answers, a reader that stalls, a peer that resets in the
// middle of a transfer, and more clients at once than the backlog holds.
// Nothing may be lost, and Stop must still end the run.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/worker_test.h"

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace test;

namespace {

class Faults : public WorkerTest {
protected:
    void StopTowardSilent(bool bConnecting, milliseconds limit, const char* szLost);
    void StallThenStop(bool bRemoteStalls);
    void ResetMidTransfer(bool bClientResets, unsigned nSeed);
};

// Runs its function when the scope is left, also by a failed assertion.
struct OnExit {
    std::function<void()> f;
    ~OnExit() { f(); }
};

}  // namespace

TEST_F(Faults, ClientThatClosesAtOnceIsServedAndForgotten)
{
    Start(m_echo.Port());
    for (int i = 0; i < 3; ++i)
        Close(Connect(m_nPort));
    ASSERT_TRUE(WaitUntil([&] { return Status().size() == 8; }));
    EXPECT_EQ(Status(), Run(3, false));

    EXPECT_EQ(RoundTripTo(m_nPort, "ok"), "ok") << "no longer serving";
}

// Natively only: here a refused onward connect fails the next read, a Stop
// wakes a connect blocked in another thread, and the system limits the
// descriptors a process may hold.
#ifndef _WIN32
namespace {

// The process's own limit on descriptors, lowered to nLimit for as long as
// it lives: none numbered nLimit or above can be made.
struct DescriptorLimit {
    explicit DescriptorLimit(rlim_t nLimit)
    {
        getrlimit(RLIMIT_NOFILE, &saved);
        struct rlimit lowered = {nLimit, saved.rlim_max};
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved); }
    struct rlimit saved;
};

// The limit that leaves nFree descriptors to be made: they come lowest first.
rlim_t Leaving(int nFree)
{
    std::vector<int> taken;
    for (int i = 0; i <= nFree; ++i)
        taken.push_back(dup(0));
    for (int fd : taken)
        close(fd);
    return static_cast<rlim_t>(taken.back());
}

}  // namespace

// A refused onward connection fails the first read of the remote side:
// that stops the worker, as any failed read does, and as a wait does that
// the system refuses (poll, on more descriptors than the process may hold).
// Without a descriptor for the listener or the onward socket, the worker
// shows that step's box and ends.
TEST_F(Faults, RefusingRemoteEndsConnectionAndWorker)
{
    Start(FreePort());  // nothing listens there
    SOCKET sClient = Connect(m_nPort);
    EXPECT_TRUE(JoinWorker(&m_worker)) << "worker did not stop";
    EXPECT_EQ(Status(), Run(1, true));
    EXPECT_EQ(ReceiveUntilEnd(sClient), kEndOrderly) << "client left open";
    Close(sClient);

    // Descriptors are handed out lowest first, and a thread blocked in
    // accept holds the number of the one it will accept: so each worker
    // starts under its limit, and no other thread opens or closes one. With
    // none left the listener cannot be made; with three, the onward socket,
    // after the listener, the client's socket and the one accepted.
    for (int nFree : {0, 3}) {
        Restart();
        m_nPort = FreePort();
        std::string text;
        {
            DescriptorLimit limit(Leaving(nFree));
            StartWorker(&m_worker, m_hDlg, "127.0.0.1", m_nPort, m_echo.Port());
            if (nFree > 0 && WaitForLine(m_hDlg, WaitingLine(m_nPort)))
                sClient = Connect(m_nPort);
            EXPECT_TRUE(TakeErrorBox(nFree == 0 ? "socket1" : "socket2", &text));
            EXPECT_EQ(EndedWith(), nFree == 0 ? kNoListenSocket : kNoRemoteSocket);
        }
        EXPECT_EQ(text, SystemText(EMFILE));
        Lines shown = nFree == 0 ? Lines{kLineStarted} : Lines{kLineStarted, WaitingLine(m_nPort), kLineConnected};
        EXPECT_EQ(Status(), shown);
    }
    EXPECT_EQ(ReceiveUntilEnd(sClient), kEndOrderly) << "client left open";
    Close(sClient);

    // A remote end that accepts no more: the echo backend's next accept
    // would fail under the limit.
    SOCKET sListen = Listen(0);
    Restart();
    Start(LocalPort(sListen));
    sClient = Connect(m_nPort);
    SOCKET sRemote = accept(sListen, nullptr, nullptr);
    ASSERT_TRUE(SendAll(sClient, "x"));
    ASSERT_EQ(ReceiveN(sRemote, 1), "x");
    {
        DescriptorLimit one(1);
        ASSERT_TRUE(SendAll(sClient, "y"));  // passed on, then the next wait fails
        EXPECT_EQ(EndedWith(), kStopped);
    }
    EXPECT_EQ(Status(), Run(1, true));
    for (SOCKET s : {sClient, sRemote, sListen})
        Close(s);
}

// A worker toward a full listener, which never answers its connect, with a
// client in; Stop comes at the client's line, or once the worker waits in
// connect, and must end the worker within limit.
void Faults::StopTowardSilent(bool bConnecting, milliseconds limit, const char* szLost)
{
    FullListener silent;
    ASSERT_TRUE(silent.Full()) << "could not fill the silent listener's queue";
    Start(silent.Port());
    SOCKET sClient = Connect(m_nPort);
    if (bConnecting) {
        // The onward socket gets its port as its connect begins.
        ASSERT_TRUE(WaitUntil([&] { return LocalPort(m_worker.pfs->sRemote.load()) != 0; }));
    } else {
        // Woken by the line itself, not by polling for it.
        ASSERT_TRUE(WaitForLineCount(m_hDlg, 3));
    }
    StopWorker(&m_worker);
    EXPECT_TRUE(JoinWorker(&m_worker, limit)) << szLost;
    Close(sClient);
}

TEST_F(Faults, StopEndsWorkerWaitingForSilentRemote)
{
    ASSERT_NO_FATAL_FAILURE(StopTowardSilent(true, milliseconds(5000), "Stop did not end the connect"));
    EXPECT_EQ(Status().back(), kLineStopped);
}

// Stop as early as it can come once a client is in: when its line appears,
// before the worker connects onward. A shutdown of a socket that is not
// connecting yet wakes no later connect, so a worker that connected anyway
// would wait out the system's connect time-out against a silent remote.
TEST_F(Faults, StopRightAfterClientLineEndsWorker)
{
    for (int nRound = 0; nRound < 20; ++nRound) {
        SCOPED_TRACE("round " + std::to_string(nRound));
        ASSERT_NO_FATAL_FAILURE(StopTowardSilent(false, milliseconds(2000), "the Stop was lost"));
        // A closed remote refuses the next attempt, which frees a worker
        // that missed the Stop.
        ASSERT_TRUE(JoinWorker(&m_worker));
        Restart();
    }
}
#endif

// One side keeps sending while the other reads nothing: the worker blocks in
// send, spends no CPU there, loses nothing once the reader reads again, and
// Stop still ends it while it is blocked.
void Faults::StallThenStop(bool bRemoteStalls)
{
    const std::string data = RandomBytes(32 << 20, 5);
    std::atomic<size_t> nSent(0);
    std::atomic<bool> bDone(false);
    auto sendThenWait = [&](SOCKET s) {
        LimitSendTime(s, kTimeout);
        for (size_t nOff = 0; nOff < data.size() && SendAll(s, data.substr(nOff, 65536)); nOff += 65536)
            nSent += 65536;
        ReceiveUntilEnd(s);
        bDone = true;
    };
    // A stalled remote holds its connection unread until it is let go.
    std::atomic<SOCKET> sHeld(INVALID_SOCKET);
    std::atomic<bool> bLetGo(false);
    Backend backend([&](SOCKET s) {
        if (!bRemoteStalls) {
            sendThenWait(s);
            return;
        }
        sHeld = s;
        WaitUntil([&] { return bLetGo.load(); }, milliseconds(120000));
    });
    std::thread sender;
    SOCKET sClient = INVALID_SOCKET;
    OnExit cleanup{[&] {
        bLetGo = true;
        if (sender.joinable())
            sender.join();
        Close(sClient);
    }};

    Start(backend.Port());
    sClient = Connect(m_nPort);
    ASSERT_NE(sClient, INVALID_SOCKET);
    SOCKET sReader = sClient;
    if (bRemoteStalls) {
        sender = std::thread(sendThenWait, sClient);
        ASSERT_TRUE(WaitUntil([&] { return sHeld.load() != INVALID_SOCKET; }));
        sReader = sHeld.load();
    }

    ASSERT_TRUE(WaitForStall([&] { return nSent.load(); }, data.size())) << "the sender never stalled";

    double dCpu = ProcessCpuSeconds();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LT(ProcessCpuSeconds() - dCpu, 0.1) << "a blocked worker spends CPU";

    // Reading again, the reader gets every byte, in order.
    std::string received = ReceiveN(sReader, 4 << 20);
    ASSERT_EQ(received.size(), static_cast<size_t>(4 << 20));
    EXPECT_TRUE(received == data.substr(0, received.size())) << "bytes changed or lost";

    if (!StopWakesBlockedSend()) {
        // Stop cannot end this run before the reader reads or leaves; here
        // the reader reads the rest, which takes Wine's worker the better
        // part of the usual timeout.
        std::printf("this system's Stop wakes no blocked send: the reader reads the rest\n");
        received += ReceiveN(sReader, data.size() - received.size(), milliseconds(120000));
        EXPECT_TRUE(received == data) << "reader got " << received.size() << " of " << data.size()
                                      << " bytes, or changed ones";
    } else {
        ASSERT_TRUE(WaitForStall([&] { return nSent.load(); }, data.size())) << "the sender never stalled again";
        auto stopped = std::chrono::steady_clock::now();
        StopWorker(&m_worker);
        EXPECT_TRUE(JoinWorker(&m_worker, milliseconds(10000))) << "Stop did not wake a blocked send";
        EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
        EXPECT_EQ(Status().back(), kLineStopped);
    }
    // The reader leaves; the sender's connection must then end too.
    if (bRemoteStalls)
        bLetGo = true;
    else
        Close(std::exchange(sClient, INVALID_SOCKET));
    EXPECT_TRUE(WaitUntil([&] { return bDone.load(); })) << "sender's connection not closed";
}

TEST_F(Faults, StalledReaderLosesNothingAndStopWakesBlockedSend)
{
    StallThenStop(false);
}

TEST_F(Faults, StalledRemoteLosesNothingAndStopWakesBlockedSend)
{
    StallThenStop(true);
}

namespace {

const size_t kEachWay = 2 << 20;
const size_t kPiece = 16384;

// What one end of a cut transfer sent, read, and whether the worker closed
// its connection (an end or a reset) within the timeout.
struct End {
    std::string out;
    std::string in = "";
    bool bClosed = false;
};

// The end that cuts: sends while it reads, and once it has read nAfter bytes
// stops sending and arms a reset for its close.
void CutAfter(SOCKET s, End* pEnd, size_t nAfter)
{
    LimitSendTime(s, kTimeout);
    std::atomic<bool> bStop(false), bSent(false);
    std::thread sender([&] {
        size_t nOff = 0;
        while (nOff < pEnd->out.size() && !bStop && SendAll(s, pEnd->out.substr(nOff, kPiece)))
            nOff += kPiece;
        bSent = true;
    });
    pEnd->in = ReceiveN(s, nAfter);
    bStop = true;
    // Reading on until the sender has finished its piece: the worker may be
    // blocked sending here, and then reads nothing that the sender sends.
    WaitUntil([&] {
        pEnd->in += ReceiveN(s, 65536, milliseconds(10));
        return bSent.load();
    });
    sender.join();
    ResetOnClose(s);
}

// The end that goes on: sends everything while it reads until the worker
// closes its connection.
void GoOn(SOCKET s, End* pEnd)
{
    LimitSendTime(s, kTimeout);
    std::thread sender([&] { SendAll(s, pEnd->out); });
    pEnd->bClosed = ReceiveUntilEnd(s, &pEnd->in) != kEndNone;
    sender.join();
}

}  // namespace

// A peer resets at a random point of a transfer both ways. The connection
// ends, the worker closes the other peer's connection, and it either stops
// (the reset failed a read) or waits on (the reset read as an end, as under
// Wine, or a send consumed it first) and then serves the next client.
// Nothing is left open, and the next Start works.
void Faults::ResetMidTransfer(bool bClientResets, unsigned nSeed)
{
    std::mt19937 rng(nSeed);
    for (int nRound = 0; nRound < 4; ++nRound) {
        const size_t nAfter = 1 + rng() % (kEachWay - 1);
        SCOPED_TRACE("reset after " + std::to_string(nAfter) + " bytes");
        const long nHandles = OpenHandles();
        {
            End client{RandomBytes(kEachWay, nSeed + 2 * nRound)};
            End remote{RandomBytes(kEachWay, nSeed + 2 * nRound + 1)};
            std::atomic<int> nBackendCalls(0);
            std::atomic<bool> bRemoteDone(false);
            Backend backend([&](SOCKET s) {
                if (nBackendCalls++ > 0)
                    Echo(s);
                else if (bClientResets)
                    GoOn(s, &remote);
                else
                    CutAfter(s, &remote, nAfter);
                bRemoteDone = true;
            });
            Start(backend.Port());
            SOCKET sClient = Connect(m_nPort);
            ASSERT_NE(sClient, INVALID_SOCKET);
            if (bClientResets)
                CutAfter(sClient, &client, nAfter);
            else
                GoOn(sClient, &client);
            Close(sClient);
            ASSERT_TRUE(WaitUntil([&] { return bRemoteDone.load(); }, 2 * kTimeout));

            EXPECT_TRUE((bClientResets ? remote : client).bClosed)
                << "the worker left the other peer's connection open";
            EXPECT_TRUE(remote.out.compare(0, client.in.size(), client.in) == 0) << "client got changed bytes";
            EXPECT_TRUE(client.out.compare(0, remote.in.size(), remote.in) == 0) << "remote got changed bytes";

            ASSERT_TRUE(WaitForLine(m_hDlg, kLineEnded));
            // The flag is settled once the line is there: only a failed read
            // clears it, and that comes before the line.
            if (m_worker.pfs->bRunning.load() == 0) {
                EXPECT_EQ(EndedWith(), kStopped);
                EXPECT_EQ(Status(), Run(1, true));
            } else {
                EXPECT_EQ(Status(), Run(1, false));
                EXPECT_EQ(RoundTripTo(m_nPort, "next"), "next") << "the next client is not served";
                ASSERT_TRUE(WaitUntil([&] { return Status().size() >= 6; }));
                EXPECT_TRUE(m_worker.dwExit.load() == Worker::kStillRunning) << "the worker ended";
                EXPECT_EQ(StopAndEnd(), kStopped);
                EXPECT_EQ(Status(), Run(2, true));
            }
            // A fresh worker on a fresh port forwards, whatever the one before went through.
            Restart();
            Start(m_echo.Port());
            const std::string data = RandomBytes(100000, 9);
            EXPECT_TRUE(RoundTripTo(m_nPort, data) == data) << "a fresh worker does not forward";
            Restart();
        }
        // The backends close their side of a connection on their own
        // threads, after the peer has gone: the count waits for them.
        long nNow = nHandles;
        EXPECT_TRUE(WaitUntil([&] { return (nNow = OpenHandles()) == nHandles; }, milliseconds(5000)))
            << nNow << " descriptors open where there were " << nHandles;
        if (HasFailure())
            return;
    }
}

TEST_F(Faults, ClientResetMidTransferEndsConnectionCleanly)
{
    ResetMidTransfer(true, 101);
}

TEST_F(Faults, RemoteResetMidTransferEndsConnectionCleanly)
{
    ResetMidTransfer(false, 202);
}

// More clients at once than the backlog holds. Each one that gets in is
// served in turn and gets exactly its own bytes back; a refused one may try
// again a few times. Where the system drops a connection attempt for a full
// queue, the client's retries back off (1 s, 2 s, 4 s, ...), hence the long
// timeouts.
TEST_F(Faults, StormOfClientsIsServedOneAtATime)
{
    const int kClients = 50;
    const milliseconds kClientTimeout(90000);
    struct Client {
        std::string out, in;
        bool bConnected = false;
    };
    std::vector<Client> clients(kClients);
    std::mt19937 rng(50);
    for (int i = 0; i < kClients; ++i)
        clients[static_cast<size_t>(i)].out = RandomBytes(1024 + rng() % (15 * 1024 + 1), 1000 + i);

    Start(m_echo.Port());
    std::promise<void> go;
    std::shared_future<void> started(go.get_future());
    std::vector<std::thread> threads;
    for (Client& client : clients) {
        threads.emplace_back([&, pClient = &client, started] {
            started.wait();
            SOCKET s = Connect(m_nPort);
            for (int nTry = 1; nTry < 5 && s == INVALID_SOCKET; ++nTry) {
                std::this_thread::sleep_for(milliseconds(100 * nTry));
                s = Connect(m_nPort);
            }
            if (s == INVALID_SOCKET)
                return;
            pClient->bConnected = true;
            LimitSendTime(s, kClientTimeout);
            if (SendAll(s, pClient->out))
                pClient->in = ReceiveN(s, pClient->out.size(), kClientTimeout);
            Close(s);
        });
    }
    auto t0 = std::chrono::steady_clock::now();
    go.set_value();
    for (std::thread& thread : threads)
        thread.join();
    double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    int nConnected = 0, nServed = 0;
    for (const Client& client : clients) {
        nConnected += client.bConnected ? 1 : 0;
        nServed += client.bConnected && client.in == client.out ? 1 : 0;
    }
    std::printf("[          ] %d of %d clients served, %d refused, in %.1f s\n", nServed, kClients,
                kClients - nConnected, dSeconds);
    EXPECT_EQ(nServed, nConnected) << "clients that got in but not their own bytes back";
    EXPECT_GT(nServed, 0);
    if (!kFullQueueMayRefuse) {
        EXPECT_EQ(nConnected, kClients) << "attempts here are dropped and retried, never refused";
    }

    ASSERT_TRUE(WaitForLineCount(m_hDlg, 2 + 2 * static_cast<size_t>(nConnected)));
    EXPECT_EQ(Status(), Run(nConnected, false));
    EXPECT_TRUE(m_worker.dwExit.load() == Worker::kStillRunning) << "the worker ended";
}
