// Peers that misbehave: a client that closes at once, a remote end that
// refuses or never answers, a reader on either side that stalls. Nothing may
// be lost, and Stop must still end the run.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "tests/support/worker_test.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

using namespace test;
using Lines = std::vector<std::string>;

namespace {

class Faults : public WorkerTest {
protected:
    void StallThenStop(bool bRemoteStalls);
};

// Runs its function when the scope is left, also by a failed assertion.
struct OnExit {
    std::function<void()> f;
    ~OnExit() { f(); }
};

// A send that blocks longer than this fails, so that no helper thread of a
// test can hang on a peer that stopped reading for good.
void LimitSendTime(SOCKET s, milliseconds limit)
{
#ifdef _WIN32
    DWORD dwLimit = static_cast<DWORD>(limit.count());
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&dwLimit), sizeof dwLimit);
#else
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>(limit.count() % 1000 * 1000);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
#endif
}

}  // namespace

TEST_F(Faults, ClientThatClosesAtOnceIsServedAndForgotten)
{
    Backend backend(Echo);
    Start(backend.Port());
    for (int i = 0; i < 3; ++i)
        Close(Connect(m_nPort));
    ASSERT_TRUE(WaitUntil([&] { return StatusText(m_hDlg).size() == 8; }));
    EXPECT_EQ(StatusText(m_hDlg),
              (Lines{"Gestarted.", Waiting(), "Verbunden mit 127.0.0.1", "Verbindung beendet.",
                     "Verbunden mit 127.0.0.1", "Verbindung beendet.", "Verbunden mit 127.0.0.1",
                     "Verbindung beendet."}));

    // Still serving.
    SOCKET sClient = Connect(m_nPort);
    ASSERT_TRUE(SendAll(sClient, "ok"));
    EXPECT_EQ(ReceiveN(sClient, 2), "ok");
    Close(sClient);
}

#ifndef _WIN32
// A refused onward connection fails the first read of the remote side here:
// that stops the worker, as any failed read does.
TEST_F(Faults, RefusingRemoteEndsConnectionAndWorker)
{
    Start(FreePort());  // nothing listens there
    SOCKET sClient = Connect(m_nPort);
    EXPECT_TRUE(JoinWorker(&m_worker)) << "worker did not stop";
    EXPECT_EQ(StatusText(m_hDlg), (Lines{"Gestarted.", Waiting(), "Verbunden mit 127.0.0.1",
                                         "Verbindung beendet.", "Gestoppt."}));
    std::string rest;
    EXPECT_TRUE(ReceiveUntilEnd(sClient, &rest)) << "client left open";
    Close(sClient);
}

// A remote end whose queue is full never answers the connection attempt;
// Stop must still end the worker that waits in connect.
TEST_F(Faults, StopEndsWorkerWaitingForSilentRemote)
{
    SOCKET sSilent = Listen(0);
    struct sockaddr_in addr;
    socklen_t cb = sizeof addr;
    getsockname(sSilent, reinterpret_cast<struct sockaddr*>(&addr), &cb);
    unsigned short nSilent = ntohs(addr.sin_port);
    listen(sSilent, 0);
    // Fill the queue so that later attempts get no answer at all.
    std::vector<SOCKET> fillers;
    for (int i = 0; i < 4; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in to = addr;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        struct timeval tv = {1, 0};
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        connect(s, reinterpret_cast<struct sockaddr*>(&to), sizeof to);
        fillers.push_back(s);
    }

    Start(nSilent);
    SOCKET sClient = Connect(m_nPort);
    ASSERT_TRUE(WaitForLine(m_hDlg, "Verbunden mit 127.0.0.1"));
    StopWorker(&m_worker);
    EXPECT_TRUE(JoinWorker(&m_worker, milliseconds(5000))) << "Stop did not end the connect";
    EXPECT_EQ(StatusText(m_hDlg).back(), "Gestoppt.");
    Close(sClient);
    for (SOCKET s : fillers)
        Close(s);
    Close(sSilent);
}

// CPU time of the whole process over a stretch in which every thread should
// be blocked.
static double ProcessCpuSeconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
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
        for (size_t nOff = 0; nOff < data.size(); nOff += 65536) {
            if (!SendAll(s, data.substr(nOff, 65536)))
                break;
            nSent += 65536;
        }
        std::string rest;
        ReceiveUntilEnd(s, &rest);
        bDone = true;
    };
    // A stalled remote holds its connection unread until it is let go.
    std::atomic<SOCKET> sHeld(INVALID_SOCKET);
    std::promise<void> letGo;
    std::shared_future<void> released(letGo.get_future());
    Backend backend([&](SOCKET s) {
        if (!bRemoteStalls) {
            sendThenWait(s);
            return;
        }
        sHeld = s;
        released.wait_for(std::chrono::seconds(120));
    });
    std::thread sender;
    SOCKET sClient = INVALID_SOCKET;
    bool bLetGo = false;
    OnExit cleanup{[&] {
        if (!bLetGo)
            letGo.set_value();
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

    // Wait until the sender is held up: its progress stops short of the end.
    size_t nLast = 0;
    ASSERT_TRUE(WaitUntil([&] {
        size_t nNow = nSent.load();
        bool bStalled = nNow == nLast && nNow > 0 && nNow < data.size();
        nLast = nNow;
        if (!bStalled)
            std::this_thread::sleep_for(milliseconds(200));
        return bStalled;
    })) << "the sender never stalled";

#ifndef _WIN32
    double dCpu = ProcessCpuSeconds();
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_LT(ProcessCpuSeconds() - dCpu, 0.1) << "a blocked worker spends CPU";
#endif

    // Reading again, the reader gets every byte, in order.
    std::string received = ReceiveN(sReader, 4 << 20);
    ASSERT_EQ(received.size(), static_cast<size_t>(4 << 20));
    EXPECT_TRUE(received == data.substr(0, received.size())) << "bytes changed or lost";

#ifdef _WIN32
    // Wine wakes no send blocked in another thread when its socket is
    // closed, so Stop cannot end this run before the reader reads or
    // leaves; here the reader reads the rest, which takes Wine's worker
    // the better part of the usual timeout.
    received += ReceiveN(sReader, data.size() - received.size(), milliseconds(120000));
    EXPECT_TRUE(received == data) << "reader got " << received.size() << " of " << data.size()
                                  << " bytes, or changed ones";
#else
    ASSERT_TRUE(WaitUntil([&] {
        size_t nNow = nSent.load();
        bool bStalled = nNow == nLast && nNow < data.size();
        nLast = nNow;
        if (!bStalled)
            std::this_thread::sleep_for(milliseconds(200));
        return bStalled;
    })) << "the sender never stalled again";

    auto stopped = std::chrono::steady_clock::now();
    StopWorker(&m_worker);
    EXPECT_TRUE(JoinWorker(&m_worker, milliseconds(10000))) << "Stop did not wake a blocked send";
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
    EXPECT_EQ(StatusText(m_hDlg).back(), "Gestoppt.");
#endif
    // The reader leaves; the sender's connection must then end too.
    if (bRemoteStalls) {
        bLetGo = true;
        letGo.set_value();
    } else {
        Close(sClient);
        sClient = INVALID_SOCKET;
    }
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
