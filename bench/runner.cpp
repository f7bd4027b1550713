// Headless runner of the real engine for the benchmark: fills a
// ForwardState as the dialog would, runs ForwardThread on its own thread
// and stops it the way the dialog's Stop does.
//
//   runner LOCAL_PORT HOST REMOTE_PORT [--allocs]
// Prints "ready" once the worker listens. Runs until SIGTERM or SIGINT (or
// 15 minutes), then stops the worker and prints the worker's heap
// allocations during set-up and, with --allocs, for each client connection.

#include "engine/forward.h"
#include "engine/platform_posix.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

// The heap of the whole process goes through these, so nothing the worker
// asks of the heap, directly or through the C and C++ libraries, is missed.
// They count calls made on the worker thread and pass on to the C library.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

static thread_local bool t_bWorker = false;
static std::atomic<long> g_nWorkerAllocs(0);

static void Count()
{
    if (t_bWorker)
        g_nWorkerAllocs.fetch_add(1, std::memory_order_relaxed);
}

extern "C" {
void* malloc(size_t n)
{
    Count();
    return __libc_malloc(n);
}
void* calloc(size_t n, size_t size)
{
    Count();
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t n)
{
    Count();
    return __libc_realloc(p, n);
}
void* memalign(size_t align, size_t n)
{
    Count();
    return __libc_memalign(align, n);
}
int posix_memalign(void** pp, size_t align, size_t n)
{
    Count();
    *pp = __libc_memalign(align, n);
    return *pp != nullptr ? 0 : ENOMEM;
}
void* aligned_alloc(size_t align, size_t n)
{
    Count();
    return __libc_memalign(align, n);
}
void free(void* p)
{
    __libc_free(p);
}
}

static volatile sig_atomic_t g_bStop = 0;

static void OnSignal(int)
{
    g_bStop = 1;
}

int main(int argc, char** argv)
{
    if (argc != 4 && !(argc == 5 && std::strcmp(argv[4], "--allocs") == 0)) {
        std::fprintf(stderr, "usage: runner LOCAL_PORT HOST REMOTE_PORT [--allocs]\n");
        return 2;
    }
    const bool bPerConnection = argc == 5;
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);

    StatusLog log;
    ForwardState* pfs = NewForwardState(&log, argv[2],
                                        static_cast<unsigned short>(std::atoi(argv[1])),
                                        static_cast<unsigned short>(std::atoi(argv[3])));
    std::thread worker([pfs] {
        t_bWorker = true;
        ForwardThread(pfs);
    });
    if (!WaitForLines(&log, 2, std::chrono::seconds(10))) {
        std::fprintf(stderr, "runner: the worker did not start listening\n");
        std::_Exit(1);
    }
    long nSetup = g_nWorkerAllocs.load();
    std::printf("ready\n");
    std::fflush(stdout);

    // Each connection's count runs from the end of the previous one to its
    // own "Verbindung beendet.", so it holds the status lines' own strings
    // (the stand-in for the list control records them) and the copy loop.
    // Following the lines wakes this thread on each of them, so only the
    // cost run does it; otherwise the runner stays out of the way.
    std::vector<long> perConnection;
    long nBefore = nSetup;
    size_t nSeen = 2;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(15);
    while (!g_bStop && std::chrono::steady_clock::now() < deadline) {
        if (!bPerConnection) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        WaitForLines(&log, nSeen + 1, std::chrono::milliseconds(100));
        std::vector<StatusLine> lines = StatusLines(&log);
        for (; nSeen < lines.size(); ++nSeen) {
            if (lines[nSeen].text == "Verbindung beendet.") {
                long nNow = g_nWorkerAllocs.load();
                perConnection.push_back(nNow - nBefore);
                nBefore = nNow;
            }
        }
    }

    // The dialog's Stop: clear the flag, tear the sockets down, do not wait.
    // The runner waits (bounded) only so it can report and exit cleanly.
    StopForwarding(pfs);
    size_t nStopped = StatusLines(&log).size();
    bool bStopped = false;
    for (int i = 0; i < 50 && !bStopped; ++i) {
        WaitForLines(&log, nStopped + 1, std::chrono::milliseconds(100));
        std::vector<StatusLine> lines = StatusLines(&log);
        bStopped = !lines.empty() && lines.back().text == "Gestoppt.";
    }
    if (!bStopped) {
        std::fprintf(stderr, "runner: the worker did not stop\n");
        std::_Exit(1);
    }
    worker.join();
    ReleaseForwardState(pfs);

    std::printf("worker_allocs_setup=%ld\n", nSetup);
    if (bPerConnection)
        std::printf("worker_allocs_per_connection=");
    for (size_t i = 0; i < perConnection.size(); ++i)
        std::printf("%s%ld", i ? "," : "", perConnection[i]);
    std::printf("%sstatus_lines=%zu\n", bPerConnection ? "\n" : "", StatusLines(&log).size());
    return 0;
}
