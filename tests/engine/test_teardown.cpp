// Teardowns from the dialog's side: repeated, on empty records, and racing
// a worker that is still on its way out while the next one starts. Sockets
// and a pipe opened meanwhile by someone else must never be touched.

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/support.h"

#ifndef _WIN32
#include <sys/socket.h>
#include <unistd.h>
#endif

using namespace test;

namespace {

// A connected socket pair and a pipe, as an unrelated part of the process
// would hold them. They take the numbers that closed sockets leave free.
struct Canary {
    SOCKET a = INVALID_SOCKET;
    SOCKET b = INVALID_SOCKET;
#ifdef _WIN32
    HANDLE hRead = nullptr;
    HANDLE hWrite = nullptr;
#else
    int pipe[2] = {-1, -1};
#endif
};

void OpenCanary(Canary* pCanary)
{
#ifdef _WIN32
    SOCKET sListen = Listen(0);
    struct sockaddr_in addr;
    socklen_t cb = sizeof addr;
    getsockname(sListen, reinterpret_cast<struct sockaddr*>(&addr), &cb);
    pCanary->a = Connect(ntohs(addr.sin_port));
    pCanary->b = Accept(sListen);
    Close(sListen);
    CreatePipe(&pCanary->hRead, &pCanary->hWrite, nullptr, 0);
#else
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    pCanary->a = pair[0];
    pCanary->b = pair[1];
    ASSERT_EQ(pipe(pCanary->pipe), 0);
#endif
}

// Both directions of the pair and the pipe still carry a byte.
bool CanaryIntact(Canary* pCanary)
{
    if (!SendAll(pCanary->a, "a") || ReceiveN(pCanary->b, 1, milliseconds(5000)) != "a")
        return false;
    if (!SendAll(pCanary->b, "b") || ReceiveN(pCanary->a, 1, milliseconds(5000)) != "b")
        return false;
    char c = 0;
#ifdef _WIN32
    DWORD cb = 0;
    return WriteFile(pCanary->hWrite, "p", 1, &cb, nullptr) && cb == 1 &&
           ReadFile(pCanary->hRead, &c, 1, &cb, nullptr) && cb == 1 && c == 'p';
#else
    return write(pCanary->pipe[1], "p", 1) == 1 && read(pCanary->pipe[0], &c, 1) == 1 && c == 'p';
#endif
}

void CloseCanary(Canary* pCanary)
{
    Close(pCanary->a);
    Close(pCanary->b);
#ifdef _WIN32
    CloseHandle(pCanary->hRead);
    CloseHandle(pCanary->hWrite);
#else
    close(pCanary->pipe[0]);
    close(pCanary->pipe[1]);
#endif
}

struct ForwardRun {
    HWND hDlg = CreateStatusWindow();
    Worker worker;
    unsigned short nPort = FreePort();
    ~ForwardRun() { DestroyStatusWindow(hDlg); }
};

#ifdef _WIN32
const int kCycles = 120;  // each Start costs far more under Wine
#else
const int kCycles = 400;
#endif

}  // namespace

TEST(Teardown, EmptyAndRepeatedTeardownsTouchNothing)
{
    Canary canary;
    OpenCanary(&canary);
    ForwardState* pfs = NewForwardState(nullptr, "127.0.0.1", 0, 0);
    CloseSockets(pfs);
    CloseSockets(pfs);
    EXPECT_TRUE(CanaryIntact(&canary));

    // After a worker has ended by itself, the dialog's teardowns still come.
    HWND hDlg = CreateStatusWindow();
    Worker worker;
    unsigned short nPort = FreePort();
    StartWorker(&worker, hDlg, "127.0.0.1", nPort, FreePort());
    ASSERT_TRUE(WaitForLine(hDlg, "Warte auf Port " + std::to_string(nPort) + "..."));
    Close(Connect(nPort));  // nothing listens on the remote port
    EXPECT_TRUE(WaitForLine(hDlg, "Verbindung beendet."));
    StopWorker(&worker);
    ASSERT_TRUE(JoinWorker(&worker));
    Canary late;
    OpenCanary(&late);
    CloseSockets(pfs);
    EXPECT_TRUE(CanaryIntact(&canary));
    EXPECT_TRUE(CanaryIntact(&late));

    ReleaseForwardState(pfs);
    ReleaseForwardState(pfs);  // the reference a worker would have given up
    CloseCanary(&late);
    CloseCanary(&canary);
    DestroyStatusWindow(hDlg);
}

// Stop at random moments (setting up, waiting, connecting, copying), each
// followed at once by the next Start, without waiting for the old worker.
TEST(Teardown, RapidStartStopNeverTouchesAnotherSocket)
{
    Backend backend(Echo);
    std::mt19937 rng(7);
    std::vector<std::unique_ptr<ForwardRun>> runs;
    std::vector<Canary> canaries(kCycles);
    std::vector<SOCKET> clients;

    for (int i = 0; i < kCycles; ++i) {
        OpenCanary(&canaries[i]);
        runs.push_back(std::make_unique<ForwardRun>());
        ForwardRun& run = *runs.back();
        StartWorker(&run.worker, run.hDlg, "127.0.0.1", run.nPort, backend.Port());
        switch (rng() % 4) {
        case 0:  // stop during set-up or while waiting
            break;
        case 1:  // stop while a client is being connected onward
            clients.push_back(Connect(run.nPort));
            break;
        case 2:  // stop while copying
            if (WaitForLine(run.hDlg, "Warte auf Port " + std::to_string(run.nPort) + "...")) {
                SOCKET s = Connect(run.nPort);
                EXPECT_TRUE(SendAll(s, "hi"));
                EXPECT_EQ(ReceiveN(s, 2), "hi");
                clients.push_back(s);
            }
            break;
        default:  // stop once the worker waits
            WaitForLine(run.hDlg, "Warte auf Port " + std::to_string(run.nPort) + "...");
            break;
        }
        StopWorker(&run.worker);
        PumpMessages();
        if (i > 0) {
            ASSERT_TRUE(CanaryIntact(&canaries[i - 1])) << "canary hit in cycle " << i;
        }
    }

    for (size_t i = 0; i < runs.size(); ++i) {
        ForwardRun& run = *runs[i];
        ASSERT_TRUE(JoinWorker(&run.worker)) << "worker " << i << " did not end";
        std::vector<std::string> lines = StatusText(run.hDlg);
        ASSERT_FALSE(lines.empty());
        DWORD dwExit = run.worker.dwExit.load();
        // Where a Stop closes the sockets, one that comes between socket
        // and listen fails that step: the worker ends there, as on a
        // set-up failure, but without a box, since the user stopped it.
        if (!kShutdownWakes && (dwExit == kBindFailed || dwExit == kListenFailed)) {
            EXPECT_EQ(lines, std::vector<std::string>{"Gestarted."}) << "worker " << i;
        } else {
            EXPECT_EQ(dwExit, kStopped) << "worker " << i;
            EXPECT_EQ(lines.back(), "Gestoppt.") << "worker " << i;
        }
        EXPECT_EQ(Connect(run.nPort), INVALID_SOCKET) << "listener of worker " << i << " left open";
    }
    for (Canary& canary : canaries) {
        EXPECT_TRUE(CanaryIntact(&canary));
        CloseCanary(&canary);
    }
    for (SOCKET s : clients)
        Close(s);
}
