// Long run of the native worker: many connections one after the other and
// one large transfer both ways at once, every byte checked, and the process's
// descriptors, threads and resident memory compared before and after.
//
// Usage: soak [connections [bulk MiB each way]]; prints plain "soak: ..."
// lines and ends with 0 only when every check held.

#include <dirent.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "engine/forward.h"
#include "engine/platform_posix.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A connection that moves no byte for this long has hung.
const milliseconds kStall(20000);
const int kPollStep = 1000;  // ms; each wait is short so the stall check runs
const std::size_t kChunk = 64 * 1024;
const std::uint64_t kMaxSize = 1 << 20;
// Resident memory may move a little with allocator caches; a leak per
// connection over thousands of connections shows far above this.
const long kRssSlackKiB = 8 * 1024;

// Under a sanitizer freed memory is held back on purpose and shadow memory
// grows with use, so resident memory says nothing about leaks there; the
// address checker reports leaks itself when the process ends.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kMemoryTells = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
const bool kMemoryTells = false;
#else
const bool kMemoryTells = true;
#endif
#else
const bool kMemoryTells = true;
#endif

bool Fail(const std::string& why)
{
    std::printf("soak: FAIL %s\n", why.c_str());
    std::fflush(stdout);
    return false;
}

// The byte pattern of one stream: byte k depends on the stream's key and k
// only, so either end can produce or check any part without keeping it.
std::uint64_t Mix(std::uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

void Pattern(std::uint64_t key, std::uint64_t offset, unsigned char* p, std::size_t n)
{
    std::uint64_t k = offset;
    std::size_t i = 0;
    while (i < n) {
        std::uint64_t word = Mix(key ^ (k >> 3) * 0x100000001b3ULL);
        std::size_t nFrom = static_cast<std::size_t>(k & 7);
        std::size_t nTake = 8 - nFrom;
        if (nTake > n - i)
            nTake = n - i;
        for (std::size_t j = 0; j < nTake; ++j)
            p[i + j] = static_cast<unsigned char>(word >> (8 * (nFrom + j)));
        i += nTake;
        k += nTake;
    }
}

long CountDescriptors()
{
    long n = 0;
    DIR* pDir = opendir("/proc/self/fd");
    if (pDir == nullptr)
        return -1;
    while (readdir(pDir) != nullptr)
        ++n;
    closedir(pDir);
    return n;  // ".", ".." and the directory's own descriptor included alike
}

long StatusField(const char* szName)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    std::string prefix = std::string(szName) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0)
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    }
    return -1;
}

struct Usage {
    long nDescriptors;
    long nThreads;
    long nRssKiB;
};

Usage Measure()
{
    return Usage{CountDescriptors(), StatusField("Threads"), StatusField("VmRSS")};
}

unsigned short PortOf(int s)
{
    struct sockaddr_in addr;
    socklen_t cb = sizeof addr;
    std::memset(&addr, 0, sizeof addr);
    getsockname(s, reinterpret_cast<struct sockaddr*>(&addr), &cb);
    return ntohs(addr.sin_port);
}

int ListenLoopback(unsigned short nPort)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return -1;
    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(s, 16) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// A port nobody holds right now, for the worker to listen on. Its own
// listener must not stay: the worker binds without address reuse.
unsigned short FreePort()
{
    int s = ListenLoopback(0);
    if (s < 0)
        return 0;
    unsigned short nPort = PortOf(s);
    close(s);
    return nPort;
}

int ConnectLoopback(unsigned short nPort)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    if (s < 0)
        return -1;
    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        close(s);
        return -1;
    }
    return s;
}

int AcceptWithin(int sListen, milliseconds timeout)
{
    struct pollfd pfd = {sListen, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0)
        return -1;
    return accept(sListen, nullptr, nullptr);
}

// The worker passes data on in pieces of 1513 bytes with Nagle's rule in
// force; against a peer that delays its acknowledgements, the last small
// piece of a burst then waits some 40 ms. The soak's ends send and
// acknowledge at once, so that thousands of connections take seconds, not
// minutes; the bytes and the order of events are the same either way.
void PromptPeer(int s)
{
    int nOne = 1;
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof nOne);
}

void AcknowledgeNow(int s)
{
    int nOne = 1;
    setsockopt(s, IPPROTO_TCP, TCP_QUICKACK, &nOne, sizeof nOne);
}

// One end of a connection as the soak drives it: what it sends, what it
// expects, and whether it has seen the other end's close.
struct End {
    const char* szName;
    int s = -1;
    std::uint64_t keyOut = 0, cbOut = 0, cbSent = 0;
    std::uint64_t keyIn = 0, cbIn = 0, cbReceived = 0;
    bool bEnded = false;  // the stream from the other end has ended
    std::vector<unsigned char> pending;
    std::size_t nPendingAt = 0;

    bool AllSent() const { return cbSent == cbOut; }
    bool AllReceived() const { return cbReceived == cbIn; }

    void Close()
    {
        if (s >= 0)
            close(s);
        s = -1;
    }
};

std::string Where(const End& end, const char* szWhat)
{
    return std::string(end.szName) + ": " + szWhat + " after " + std::to_string(end.cbReceived) +
           " of " + std::to_string(end.cbIn) + " bytes in, " + std::to_string(end.cbSent) + " of " +
           std::to_string(end.cbOut) + " out";
}

// Sends what the socket takes now. False on a failed send.
bool SendSome(End* pEnd)
{
    while (!pEnd->AllSent()) {
        if (pEnd->nPendingAt == pEnd->pending.size()) {
            std::uint64_t cbLeft = pEnd->cbOut - pEnd->cbSent;
            pEnd->pending.resize(cbLeft < kChunk ? static_cast<std::size_t>(cbLeft) : kChunk);
            Pattern(pEnd->keyOut, pEnd->cbSent, pEnd->pending.data(), pEnd->pending.size());
            pEnd->nPendingAt = 0;
        }
        ssize_t n = send(pEnd->s, pEnd->pending.data() + pEnd->nPendingAt,
                         pEnd->pending.size() - pEnd->nPendingAt, MSG_NOSIGNAL);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || Fail(Where(*pEnd, "send failed"));
        pEnd->nPendingAt += static_cast<std::size_t>(n);
        pEnd->cbSent += static_cast<std::uint64_t>(n);
    }
    return true;
}

// Reads and checks what has arrived. False on a wrong, extra or missing
// byte, or a reset.
bool ReceiveSome(End* pEnd, unsigned char* pBuffer, unsigned char* pExpected)
{
    for (;;) {
        ssize_t n = recv(pEnd->s, pBuffer, kChunk, 0);
        AcknowledgeNow(pEnd->s);
        if (n < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK || Fail(Where(*pEnd, std::strerror(errno)));
        if (n == 0) {
            pEnd->bEnded = true;
            return pEnd->AllReceived() || Fail(Where(*pEnd, "stream ended early"));
        }
        std::size_t cb = static_cast<std::size_t>(n);
        if (cb > pEnd->cbIn - pEnd->cbReceived)
            return Fail(Where(*pEnd, "more bytes than were sent"));
        Pattern(pEnd->keyIn, pEnd->cbReceived, pExpected, cb);
        if (std::memcmp(pBuffer, pExpected, cb) != 0) {
            std::size_t i = 0;
            while (pBuffer[i] == pExpected[i])
                ++i;
            return Fail(Where(*pEnd, "wrong byte") + " at offset " + std::to_string(pEnd->cbReceived + i));
        }
        pEnd->cbReceived += cb;
    }
}

struct Connection {
    std::uint64_t nIndex;
    std::uint64_t cbUp;    // client to backend
    std::uint64_t cbDown;  // backend to client
    bool bClientCloses;
};

// Runs one connection through the worker: a client to nLocalPort, the
// backend's end accepted from sBackend, both driven from this thread without
// blocking. The side that closes first does so once it has sent and received
// everything; the other then has to see the end of the stream after exactly
// the bytes it expects.
bool RunConnection(const Connection& conn, unsigned short nLocalPort, int sBackend)
{
    static unsigned char buffer[kChunk], expected[kChunk];
    End client, backend;
    client.szName = "client";
    backend.szName = "backend";
    client.keyOut = backend.keyIn = Mix(conn.nIndex * 2);
    backend.keyOut = client.keyIn = Mix(conn.nIndex * 2 + 1);
    client.cbOut = backend.cbIn = conn.cbUp;
    backend.cbOut = client.cbIn = conn.cbDown;

    std::string label = "connection " + std::to_string(conn.nIndex) + ": ";
    client.s = ConnectLoopback(nLocalPort);
    if (client.s < 0)
        return Fail(label + "cannot connect to the worker");
    backend.s = AcceptWithin(sBackend, kStall);
    if (backend.s < 0) {
        client.Close();
        return Fail(label + "the worker did not connect onward");
    }
    PromptPeer(client.s);
    PromptPeer(backend.s);

    End* pCloser = conn.bClientCloses ? &client : &backend;
    End* pOther = conn.bClientCloses ? &backend : &client;
    bool bOk = true;
    Clock::time_point lastProgress = Clock::now();
    while (bOk && (client.s >= 0 || backend.s >= 0)) {
        if (pCloser->s >= 0 && pCloser->AllSent() && pCloser->AllReceived())
            pCloser->Close();
        if (pOther->s >= 0 && pOther->bEnded && pOther->AllSent())
            pOther->Close();

        struct pollfd fds[2];
        End* ends[2];
        nfds_t nfds = 0;
        for (End* pEnd : {&client, &backend}) {
            if (pEnd->s < 0)
                continue;
            fds[nfds].fd = pEnd->s;
            fds[nfds].events = static_cast<short>(POLLIN | (pEnd->AllSent() ? 0 : POLLOUT));
            fds[nfds].revents = 0;
            ends[nfds++] = pEnd;
        }
        if (nfds == 0)
            break;
        int n = poll(fds, nfds, kPollStep);
        if (n < 0 && errno != EINTR) {
            bOk = Fail(label + "poll failed");
            break;
        }
        std::uint64_t cbBefore = client.cbSent + client.cbReceived + backend.cbSent + backend.cbReceived;
        for (nfds_t i = 0; bOk && n > 0 && i < nfds; ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                bOk = ReceiveSome(ends[i], buffer, expected);
            if (bOk && (fds[i].revents & POLLOUT))
                bOk = SendSome(ends[i]);
        }
        std::uint64_t cbAfter = client.cbSent + client.cbReceived + backend.cbSent + backend.cbReceived;
        if (cbAfter != cbBefore || client.bEnded || backend.bEnded)
            lastProgress = Clock::now();
        else if (Clock::now() - lastProgress > kStall)
            bOk = Fail(label + Where(client, "stalled") + "; " + Where(backend, "stalled"));
    }
    if (!bOk)
        std::printf("soak: %s%llu up, %llu down, %s closes first\n", label.c_str(),
                    static_cast<unsigned long long>(conn.cbUp), static_cast<unsigned long long>(conn.cbDown),
                    conn.bClientCloses ? "client" : "backend");
    client.Close();
    backend.Close();
    return bOk;
}

// Checks the worker's status lines as they come and lets go of them, so that
// a long run does not count its own record as a leak.
class LineChecker {
public:
    LineChecker(StatusLog* pLog, unsigned short nPort) : m_pLog(pLog)
    {
        m_expectHead = {"Gestarted.", "Warte auf Port " + std::to_string(nPort) + "..."};
    }

    // Takes the lines recorded so far. False on a line out of place.
    bool Drain()
    {
        std::vector<StatusLine> lines;
        {
            std::lock_guard<std::mutex> lock(m_pLog->mutex);
            lines.swap(m_pLog->lines);
        }
        for (const StatusLine& line : lines) {
            if (!Accept(line.text))
                return Fail("status line " + std::to_string(m_nSeen) + " is \"" + line.text + "\", expected \"" +
                            Expected() + "\"");
            ++m_nSeen;
        }
        return true;
    }

    // Waits until nLines lines have been seen in all.
    bool WaitFor(std::uint64_t nLines, milliseconds timeout)
    {
        return WaitUntil([&] { return m_nSeen >= nLines; }, timeout) ||
               Fail("only " + std::to_string(m_nSeen) + " status lines, expected " + std::to_string(nLines));
    }

    // After the teardown: waits for the worker's last line.
    bool WaitForStop(milliseconds timeout)
    {
        m_bStopping = true;
        return WaitUntil([&] { return m_bStopped; }, timeout) || Fail("no \"Gestoppt.\" after the teardown");
    }

    std::uint64_t Seen() const { return m_nSeen; }

private:
    template <typename Pred>
    bool WaitUntil(Pred done, milliseconds timeout)
    {
        Clock::time_point end = Clock::now() + timeout;
        for (;;) {
            if (!Drain())
                return false;
            if (done())
                return true;
            if (Clock::now() > end)
                return false;
            WaitForLines(m_pLog, 1, milliseconds(100));
        }
    }

    std::string Expected() const
    {
        if (m_nSeen < m_expectHead.size())
            return m_expectHead[m_nSeen];
        return (m_nSeen - m_expectHead.size()) % 2 == 0 ? "Verbunden mit 127.0.0.1" : "Verbindung beendet.";
    }

    // "Gestoppt." may come only after the teardown, between connections,
    // and nothing may follow it.
    bool Accept(const std::string& text)
    {
        if (m_bStopped)
            return false;
        if (m_bStopping && m_nSeen >= m_expectHead.size() && (m_nSeen - m_expectHead.size()) % 2 == 0 &&
            text == "Gestoppt.") {
            m_bStopped = true;
            return true;
        }
        return text == Expected();
    }

    StatusLog* m_pLog;
    std::vector<std::string> m_expectHead;
    std::uint64_t m_nSeen = 0;
    bool m_bStopping = false;
    bool m_bStopped = false;
};

double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

}  // namespace

int main(int argc, char** argv)
{
    std::uint64_t nConnections = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2000;
    std::uint64_t cbBulk = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 64) << 20;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    int sBackend = ListenLoopback(0);
    unsigned short nLocalPort = FreePort();
    if (sBackend < 0 || nLocalPort == 0)
        return Fail("no loopback port"), 1;
    unsigned short nBackendPort = PortOf(sBackend);
    StatusLog log;
    log.lines.reserve(64);
    // The sizes and closers are the same on every run, so a failure repeats.
    std::mt19937_64 random(20240601);
    std::uniform_int_distribution<std::uint64_t> size(0, kMaxSize);
    std::bernoulli_distribution clientCloses(0.5);

    // A runtime may start a helper thread with the first thread of the
    // process (ThreadSanitizer does); it belongs in the starting figures.
    std::thread([] {}).join();
    Usage before = Measure();
    Clock::time_point start = Clock::now();
    ForwardState* pfs = NewForwardState(&log, "127.0.0.1", nLocalPort, nBackendPort);
    std::thread worker([pfs] { ForwardThread(pfs); });
    LineChecker lines(&log, nLocalPort);
    bool bOk = lines.WaitFor(2, milliseconds(20000));

    std::uint64_t cbUp = 0, cbDown = 0, nClientCloses = 0;
    for (std::uint64_t i = 0; bOk && i < nConnections; ++i) {
        Connection conn{i, size(random), size(random), clientCloses(random)};
        cbUp += conn.cbUp;
        cbDown += conn.cbDown;
        nClientCloses += conn.bClientCloses ? 1 : 0;
        bOk = RunConnection(conn, nLocalPort, sBackend) && lines.Drain();
        if (bOk && (i + 1) % 10000 == 0)
            std::printf("soak: %llu connections, %.1f s\n", static_cast<unsigned long long>(i + 1), Seconds(start));
    }
    double dConnections = Seconds(start);
    if (bOk)
        std::printf("soak: connections %llu (client closes %llu, backend closes %llu) bytes up %llu down %llu "
                    "seconds %.1f\n",
                    static_cast<unsigned long long>(nConnections), static_cast<unsigned long long>(nClientCloses),
                    static_cast<unsigned long long>(nConnections - nClientCloses),
                    static_cast<unsigned long long>(cbUp), static_cast<unsigned long long>(cbDown), dConnections);

    if (bOk && cbBulk > 0) {
        Clock::time_point bulkStart = Clock::now();
        bOk = RunConnection(Connection{nConnections, cbBulk, cbBulk, true}, nLocalPort, sBackend);
        double dBulk = Seconds(bulkStart);
        if (bOk)
            std::printf("soak: bulk %llu bytes each way at once, seconds %.1f, MiB/s each way %.1f\n",
                        static_cast<unsigned long long>(cbBulk), dBulk, cbBulk / 1048576.0 / dBulk);
    }
    std::uint64_t nServed = nConnections + (cbBulk > 0 ? 1 : 0);
    // Stop only once the worker has finished the last connection, so that
    // the lines are the ones of a worker that was waiting.
    if (bOk)
        bOk = lines.WaitFor(2 + 2 * nServed, milliseconds(20000));

    pfs->bRunning.store(0);
    CloseSockets(pfs);
    CloseSockets(pfs);
    ReleaseForwardState(pfs);
    // The worker ends by itself after the teardown; wait for its last line
    // before joining, so that a hung worker fails instead of blocking here.
    if (!lines.WaitForStop(milliseconds(20000))) {
        std::fflush(stdout);
        std::_Exit(1);
    }
    worker.join();
    bOk = bOk && lines.Drain();
    if (bOk && lines.Seen() != 3 + 2 * nServed)
        bOk = Fail(std::to_string(lines.Seen()) + " status lines, expected " + std::to_string(3 + 2 * nServed));
    if (bOk)
        std::printf("soak: status lines %llu as expected\n", static_cast<unsigned long long>(lines.Seen()));

    Usage after = Measure();
    close(sBackend);
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
