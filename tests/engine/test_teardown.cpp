// Teardowns from the dialog's side: repeated, on empty records, and racing
// a worker that is still on its way out while the next one starts. Sockets
// and a pipe opened meanwhile by someone else must never be touched.

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/support.h"

using namespace test;

namespace {

struct ForwardRun {
    HWND hDlg = CreateStatusWindow();
    Worker worker;
    unsigned short nPort = FreePort();
    ~ForwardRun() { DestroyStatusWindow(hDlg); }
};

}  // namespace

TEST(Teardown, EmptyAndRepeatedTeardownsTouchNothing)
{
    Canary canary;
    ForwardState* pfs = NewForwardState(nullptr, "127.0.0.1", 0, 0);
    CloseSockets(pfs);
    CloseSockets(pfs);
    EXPECT_TRUE(canary.Intact());

    // After a worker has ended by itself, the dialog's teardowns still come.
    ForwardRun run;
    StartWorker(&run.worker, run.hDlg, "127.0.0.1", run.nPort, FreePort());
    ASSERT_TRUE(WaitForLine(run.hDlg, WaitingLine(run.nPort)));
    Close(Connect(run.nPort));  // nothing listens on the remote port
    EXPECT_TRUE(WaitForLine(run.hDlg, kLineEnded));
    StopWorker(&run.worker);
    ASSERT_TRUE(JoinWorker(&run.worker));
    Canary late;
    CloseSockets(pfs);
    EXPECT_TRUE(canary.Intact());
    EXPECT_TRUE(late.Intact());

    ReleaseForwardState(pfs);
    ReleaseForwardState(pfs);  // the reference a worker would have given up
}

// Stop at random moments (setting up, waiting, connecting, copying), each
// followed at once by the next Start, without waiting for the old worker.
TEST(Teardown, RapidStartStopNeverTouchesAnotherSocket)
{
    Backend backend(Echo);
    std::mt19937 rng(7);
    std::vector<std::unique_ptr<ForwardRun>> runs;
    std::vector<std::unique_ptr<Canary>> canaries;
    std::vector<SOCKET> clients;

    for (int i = 0; i < kAffordableStarts; ++i) {
        canaries.push_back(std::make_unique<Canary>());
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
            if (WaitForLine(run.hDlg, WaitingLine(run.nPort))) {
                clients.push_back(Connect(run.nPort));
                EXPECT_EQ(RoundTrip(clients.back(), "hi"), "hi");
            }
            break;
        default:  // stop once the worker waits
            WaitForLine(run.hDlg, WaitingLine(run.nPort));
            break;
        }
        StopWorker(&run.worker);
        PumpMessages();
        if (i > 0) {
            ASSERT_TRUE(canaries[i - 1]->Intact()) << "canary hit in cycle " << i;
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
            EXPECT_EQ(lines, std::vector<std::string>{kLineStarted}) << "worker " << i;
        } else {
            EXPECT_EQ(dwExit, kStopped) << "worker " << i;
            EXPECT_EQ(lines.back(), kLineStopped) << "worker " << i;
        }
        EXPECT_EQ(Connect(run.nPort), INVALID_SOCKET) << "listener of worker " << i << " left open";
    }
    for (std::unique_ptr<Canary>& pCanary : canaries)
        EXPECT_TRUE(pCanary->Intact());
    for (SOCKET s : clients)
        Close(s);
}
