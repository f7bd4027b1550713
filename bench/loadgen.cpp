// Load generator of the benchmark: it owns both ends of the path, a backend
// server and the client, so every byte that passes a forwarder is checked.
// Prints "key=value" lines; exits nonzero on any lost, changed, reordered or
// extra byte, and on any time-out.
//
//   loadgen BACKEND_PORT TARGET_PORT TEST...
//     bulk:MIB        up, down and both ways at once, MIB MiB per direction
//     rtt:SIZE:COUNT  COUNT round trips of SIZE-byte messages
//     conns:COUNT     COUNT sequential connections, one byte each way
//     up:MIB          one upward transfer only (for the cost runs)
//     pause:MS        wait between connections (cost runs tell them apart)
// The backend listens on BACKEND_PORT; the client connects to TARGET_PORT
// (the forwarder, or the backend itself for the row without one).

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/pattern.h"

namespace {

typedef std::chrono::steady_clock Clock;

// No single wait may hang the run: a stuck forwarder fails the test instead.
const int kIoTimeoutSec = 20;
const size_t kChunk = 64 * 1024;

// Seeds of the two directions, so an echo of the wrong stream is caught too.
const std::uint64_t kUpSeed = 0x5eedu;
const std::uint64_t kDownSeed = 0xd0e5u;

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "loadgen: FAILED: %s\n", what.c_str());
    std::fflush(stderr);
    std::_Exit(1);
}

void CheckPattern(const char* szWhat, std::uint64_t key, std::uint64_t off,
                  const unsigned char* p, size_t n, unsigned char* pScratch)
{
    size_t i = test::PatternMismatch(key, off, p, n, pScratch);
    if (i < n) {
        char sz[160];
        std::snprintf(sz, sizeof sz, "%s: byte %llu is 0x%02x, expected 0x%02x",
                      szWhat, static_cast<unsigned long long>(off + i), p[i], pScratch[i]);
        Fail(sz);
    }
}

void SetTimeouts(int s)
{
    struct timeval tv;
    tv.tv_sec = kIoTimeoutSec;
    tv.tv_usec = 0;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    // The harness must not add delays of its own: any Nagle wait seen is the
    // forwarder's.
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

struct sockaddr_in Loopback(unsigned short nPort)
{
    struct sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(nPort);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int Listen(unsigned short nPort)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a = Loopback(nPort);
    if (bind(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0 || listen(s, 64) != 0)
        Fail("backend cannot listen on port " + std::to_string(nPort));
    struct timeval tv = {kIoTimeoutSec, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);  // bounds accept
    return s;
}

int Accept(int sListen)
{
    int s = accept(sListen, nullptr, nullptr);
    if (s < 0)
        Fail("backend: no connection arrived from the forwarder");
    SetTimeouts(s);
    return s;
}

int Connect(unsigned short nPort)
{
    int s = socket(AF_INET, SOCK_STREAM, 0);
    SetTimeouts(s);
    struct sockaddr_in a = Loopback(nPort);
    if (connect(s, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0)
        Fail("client cannot connect to port " + std::to_string(nPort));
    return s;
}

void SendExact(const char* szWhat, int s, const unsigned char* p, size_t n)
{
    while (n > 0) {
        ssize_t c = send(s, p, n, MSG_NOSIGNAL);
        if (c <= 0)
            Fail(std::string(szWhat) + ": send failed or timed out");
        p += c;
        n -= static_cast<size_t>(c);
    }
}

void RecvExact(const char* szWhat, int s, unsigned char* p, size_t n)
{
    while (n > 0) {
        ssize_t c = recv(s, p, n, 0);
        if (c == 0)
            Fail(std::string(szWhat) + ": stream ended early (bytes lost)");
        if (c < 0)
            Fail(std::string(szWhat) + ": receive failed or timed out");
        p += c;
        n -= static_cast<size_t>(c);
    }
}

// After the agreed bytes nothing more may come; the peer's close must follow.
void ExpectEnd(const char* szWhat, int s)
{
    unsigned char b;
    ssize_t c = recv(s, &b, 1, 0);
    if (c > 0)
        Fail(std::string(szWhat) + ": extra bytes after the end");
}

void SendStream(const char* szWhat, int s, std::uint64_t key, std::uint64_t cb)
{
    std::vector<unsigned char> buf(kChunk);
    for (std::uint64_t off = 0; off < cb;) {
        size_t n = static_cast<size_t>(std::min<std::uint64_t>(kChunk, cb - off));
        test::FillPattern(key, off, buf.data(), n);
        SendExact(szWhat, s, buf.data(), n);
        off += n;
    }
}

void RecvStream(const char* szWhat, int s, std::uint64_t key, std::uint64_t cb)
{
    std::vector<unsigned char> buf(kChunk), scratch(kChunk);
    for (std::uint64_t off = 0; off < cb;) {
        size_t want = static_cast<size_t>(std::min<std::uint64_t>(kChunk, cb - off));
        ssize_t c = recv(s, buf.data(), want, 0);
        if (c == 0)
            Fail(std::string(szWhat) + ": stream ended early (bytes lost)");
        if (c < 0)
            Fail(std::string(szWhat) + ": receive failed or timed out");
        CheckPattern(szWhat, key, off, buf.data(), static_cast<size_t>(c), scratch.data());
        off += static_cast<std::uint64_t>(c);
    }
}

double Seconds(Clock::time_point t0, Clock::time_point t1)
{
    return std::chrono::duration<double>(t1 - t0).count();
}

// One bulk connection. The clock stops when the last byte has been checked
// at its receiving end; the client closes only then.
double Bulk(int sListen, unsigned short nTarget, bool bUp, bool bDown, std::uint64_t cb)
{
    Clock::time_point t0 = Clock::now();
    int sClient = Connect(nTarget);
    int sServer = Accept(sListen);
    std::thread backend([&] {
        std::thread sender;
        if (bDown)
            sender = std::thread([&] { SendStream("down (backend send)", sServer, kDownSeed, cb); });
        if (bUp)
            RecvStream("up (backend receive)", sServer, kUpSeed, cb);
        if (sender.joinable())
            sender.join();
    });
    std::thread sender;
    if (bUp)
        sender = std::thread([&] { SendStream("up (client send)", sClient, kUpSeed, cb); });
    if (bDown)
        RecvStream("down (client receive)", sClient, kDownSeed, cb);
    if (sender.joinable())
        sender.join();
    backend.join();
    Clock::time_point t1 = Clock::now();
    close(sClient);
    ExpectEnd("bulk (backend)", sServer);
    close(sServer);
    return Seconds(t0, t1);
}

void RunBulk(int sListen, unsigned short nTarget, std::uint64_t cb)
{
    double mb = static_cast<double>(cb) / 1e6;
    std::printf("bulk_bytes=%llu\n", static_cast<unsigned long long>(cb));
    std::printf("up_MBps=%.1f\n", mb / Bulk(sListen, nTarget, true, false, cb));
    std::printf("down_MBps=%.1f\n", mb / Bulk(sListen, nTarget, false, true, cb));
    std::printf("both_MBps=%.1f\n", 2 * mb / Bulk(sListen, nTarget, true, true, cb));
}

double Percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Round trips on one connection: the backend reads a whole message, checks
// it and answers with a message of the same size.
void RunRoundTrips(int sListen, unsigned short nTarget, size_t cbMsg, int nCount)
{
    int sClient = Connect(nTarget);
    int sServer = Accept(sListen);
    // The first turns warm caches and leave TCP's quick-ACK start; they are
    // not counted.
    int nWarm = std::min(10, nCount / 10);
    std::thread echo([&] {
        std::vector<unsigned char> buf(cbMsg), scratch(cbMsg);
        for (int i = 0; i < nWarm + nCount; ++i) {
            std::uint64_t off = static_cast<std::uint64_t>(i) * cbMsg;
            RecvExact("round trip (backend)", sServer, buf.data(), cbMsg);
            CheckPattern("round trip (backend)", kUpSeed, off, buf.data(), cbMsg, scratch.data());
            test::FillPattern(kDownSeed, off, buf.data(), cbMsg);
            SendExact("round trip (backend)", sServer, buf.data(), cbMsg);
        }
    });
    std::vector<unsigned char> out(cbMsg), in(cbMsg), scratch(cbMsg);
    std::vector<double> us;
    us.reserve(static_cast<size_t>(nCount));
    for (int i = 0; i < nWarm + nCount; ++i) {
        std::uint64_t off = static_cast<std::uint64_t>(i) * cbMsg;
        test::FillPattern(kUpSeed, off, out.data(), cbMsg);
        Clock::time_point t0 = Clock::now();
        SendExact("round trip (client)", sClient, out.data(), cbMsg);
        RecvExact("round trip (client)", sClient, in.data(), cbMsg);
        Clock::time_point t1 = Clock::now();
        CheckPattern("round trip (client)", kDownSeed, off, in.data(), cbMsg, scratch.data());
        if (i >= nWarm)
            us.push_back(Seconds(t0, t1) * 1e6);
    }
    echo.join();
    close(sClient);
    ExpectEnd("round trip (backend)", sServer);
    close(sServer);
    std::printf("rtt%zu_p50_us=%.1f\n", cbMsg, Percentile(us, 0.50));
    std::printf("rtt%zu_p99_us=%.1f\n", cbMsg, Percentile(us, 0.99));
}

// Short connections one after the other: connect, one byte each way, close.
void RunConnections(int sListen, unsigned short nTarget, int nCount)
{
    std::thread backend([&] {
        for (int i = 0; i < nCount; ++i) {
            int s = Accept(sListen);
            unsigned char b;
            RecvExact("connections (backend)", s, &b, 1);
            if (b != static_cast<unsigned char>(i))
                Fail("connections (backend): wrong byte");
            b = static_cast<unsigned char>(~i);
            SendExact("connections (backend)", s, &b, 1);
            ExpectEnd("connections (backend)", s);
            close(s);
        }
    });
    Clock::time_point t0 = Clock::now();
    for (int i = 0; i < nCount; ++i) {
        int s = Connect(nTarget);
        unsigned char b = static_cast<unsigned char>(i);
        SendExact("connections (client)", s, &b, 1);
        RecvExact("connections (client)", s, &b, 1);
        if (b != static_cast<unsigned char>(~i))
            Fail("connections (client): wrong byte");
        close(s);
    }
    backend.join();
    Clock::time_point t1 = Clock::now();
    std::printf("conns_per_s=%.0f\n", nCount / Seconds(t0, t1));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: loadgen BACKEND_PORT TARGET_PORT TEST...\n");
        return 2;
    }
    unsigned short nBackend = static_cast<unsigned short>(std::atoi(argv[1]));
    unsigned short nTarget = static_cast<unsigned short>(std::atoi(argv[2]));
    int sListen = Listen(nBackend);
    for (int i = 3; i < argc; ++i) {
        std::string test = argv[i];
        unsigned long a = 0, b = 0;
        if (std::sscanf(test.c_str(), "bulk:%lu", &a) == 1) {
            RunBulk(sListen, nTarget, static_cast<std::uint64_t>(a) << 20);
        } else if (std::sscanf(test.c_str(), "up:%lu", &a) == 1) {
            double s = Bulk(sListen, nTarget, true, false, static_cast<std::uint64_t>(a) << 20);
            std::printf("up_MBps=%.1f\n", static_cast<double>(a << 20) / 1e6 / s);
        } else if (std::sscanf(test.c_str(), "rtt:%lu:%lu", &a, &b) == 2) {
            RunRoundTrips(sListen, nTarget, a, static_cast<int>(b));
        } else if (std::sscanf(test.c_str(), "conns:%lu", &a) == 1) {
            RunConnections(sListen, nTarget, static_cast<int>(a));
        } else if (std::sscanf(test.c_str(), "pause:%lu", &a) == 1) {
            std::this_thread::sleep_for(std::chrono::milliseconds(a));
        } else {
            Fail("unknown test " + test);
        }
        std::fflush(stdout);
    }
    close(sListen);
    return 0;
}
