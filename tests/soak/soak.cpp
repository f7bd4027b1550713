// Long run of the native worker: many connections one after the other and
// one large transfer both ways at once, every byte checked, and the process's
// descriptors, threads and resident memory compared before and after.
//
// Usage: soak [connections [bulk MiB each way]]; prints plain "soak: ..."
// lines and ends with 0 only when every check held.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "engine/forward.h"
#include "engine/platform_posix.h"
#include "tests/soak/traffic.h"

using namespace soak;

namespace {

const std::uint64_t kMaxSize = 1 << 20;
// Resident memory may move a little with allocator caches; a leak per
// connection over thousands of connections shows far above this.
const long kRssSlackKiB = 8 * 1024;

// Under a sanitizer freed memory is held back on purpose and shadow memory
// grows with use, so resident memory says nothing about leaks there; the
// address checker reports leaks itself when the process ends.
const bool kMemoryTells = VELMORIN_MEMORY_TELLS != 0;

struct Usage {
    long nDescriptors, nThreads, nRssKiB;
};

Usage Measure()
{
    std::string status = FileText("/proc/self/status");
    return Usage{OpenHandles(), StatusField(status, "Threads"), StatusField(status, "VmRSS")};
}

}  // namespace

int main(int argc, char** argv)
{
    std::uint64_t nConnections = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000;
    std::uint64_t cbBulk = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 64) << 20;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    SOCKET sBackend = Listen(0);
    unsigned short nLocalPort = FreePort();
    if (sBackend == INVALID_SOCKET || nLocalPort == 0)
        return Fail("no loopback port"), 1;
    StatusLog log;
    log.lines.reserve(64);

    // A runtime may start a helper thread with the first thread of the
    // process (ThreadSanitizer does); it belongs in the starting figures.
    std::thread([] {}).join();
    Usage before = Measure();
    Clock::time_point start = Clock::now();
    Worker worker;
    StartWorker(&worker, &log, "127.0.0.1", nLocalPort, LocalPort(sBackend));
    // The lines are let go of as they are checked, so that a long run does
    // not count its own record as a leak.
    LineChecker lines(
        nLocalPort,
        [&log](std::vector<std::string>* pLines) {
            std::lock_guard<std::mutex> lock(log.mutex);
            for (StatusLine& line : log.lines)
                pLines->push_back(std::move(line.text));
            log.lines.clear();
            return true;
        });

    std::uint64_t nServed = 0;
    bool bOk = RunConnections(nConnections, kMaxSize, cbBulk, nLocalPort, sBackend, &lines, &nServed);

    StopWorker(&worker);
    // The worker ends by itself after the teardown; wait for its last line
    // before joining, so that a hung worker fails instead of blocking here.
    if (!lines.WaitForStop(milliseconds(20000)))
        std::_Exit(1);
    worker.thread.join();
    bOk = bOk && lines.Drain() && lines.SawAll(nServed);

    Usage after = before;
    WaitUntil([&] {
        after = Measure();
        return after.nDescriptors <= before.nDescriptors && after.nThreads <= before.nThreads;
    });
    CloseSocket(sBackend);
    std::printf("soak: descriptors before %ld after %ld\n", before.nDescriptors, after.nDescriptors);
    std::printf("soak: threads before %ld after %ld\n", before.nThreads, after.nThreads);
    std::printf("soak: rss_kib before %ld after %ld\n", before.nRssKiB, after.nRssKiB);
    std::printf("soak: seconds %.1f\n", Seconds(start));
    if (after.nDescriptors > before.nDescriptors)
        bOk = Fail("descriptors grew");
    if (after.nThreads > before.nThreads)
        bOk = Fail("threads grew");
    if (!kMemoryTells)
        std::printf("soak: resident memory not judged under a sanitizer\n");
    else if (after.nRssKiB - before.nRssKiB > kRssSlackKiB)
        bOk = Fail("resident memory grew by more than " + std::to_string(kRssSlackKiB) + " KiB");
    std::printf("soak: %s\n", bOk ? "PASS" : "FAIL");
    return bOk ? 0 : 1;
}
