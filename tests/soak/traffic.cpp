// Connections through a forwarder with every byte checked, for both builds.

#include "tests/soak/traffic.h"

#include <cstdio>
#include <random>
#include <utility>

#include "tests/support/pattern.h"

namespace soak {

bool Fail(const std::string& why)
{
    std::printf("soak: FAIL %s\n", why.c_str());
    std::fflush(stdout);
    return false;
}

double Seconds(Clock::time_point from)
{
    return std::chrono::duration<double>(Clock::now() - from).count();
}

namespace {

// A connection that moves no byte for this long has hung.
const milliseconds kStall(20000);
const milliseconds kPollStep(1000);  // each wait is short so the stall check runs
const std::size_t kChunk = 64 * 1024;

// One end of a connection as the soak drives it: what it sends, what it
// expects, and whether it has seen the other end's close.
struct End {
    const char* szName;
    std::uint64_t keyOut, cbOut;  // the pattern and size of what it sends
    std::uint64_t keyIn, cbIn;    // and of what it expects
    SOCKET s = INVALID_SOCKET;
    std::uint64_t cbSent = 0, cbReceived = 0;
    bool bEnded = false;  // the stream from the other end has ended
    std::vector<unsigned char> pending = {};
    std::size_t nPendingAt = 0;

    bool AllSent() const { return cbSent == cbOut; }
    bool AllReceived() const { return cbReceived == cbIn; }

    void Close() { test::Close(std::exchange(s, INVALID_SOCKET)); }
    ~End() { Close(); }
};

std::string Where(const End& end, const std::string& what)
{
    return std::string(end.szName) + ": " + what + " after " + std::to_string(end.cbReceived) + " of " +
           std::to_string(end.cbIn) + " bytes in, " + std::to_string(end.cbSent) + " of " +
           std::to_string(end.cbOut) + " out";
}

// Sends what the socket takes now. False on a failed send.
bool SendSome(End* pEnd)
{
    while (!pEnd->AllSent()) {
        if (pEnd->nPendingAt == pEnd->pending.size()) {
            std::uint64_t cbLeft = pEnd->cbOut - pEnd->cbSent;
            pEnd->pending.resize(cbLeft < kChunk ? static_cast<std::size_t>(cbLeft) : kChunk);
            FillPattern(pEnd->keyOut, pEnd->cbSent, pEnd->pending.data(), pEnd->pending.size());
            pEnd->nPendingAt = 0;
        }
        int n = static_cast<int>(send(pEnd->s, reinterpret_cast<const char*>(pEnd->pending.data()) + pEnd->nPendingAt,
                                      static_cast<int>(pEnd->pending.size() - pEnd->nPendingAt), kSendFlags));
        if (n < 0)
            return WouldBlock() || Fail(Where(*pEnd, "send failed: " + LastErrorText()));
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
        int n = static_cast<int>(recv(pEnd->s, reinterpret_cast<char*>(pBuffer), static_cast<int>(kChunk), 0));
        if (n < 0 && !WouldBlock())
            return Fail(Where(*pEnd, LastErrorText()));
        // After the error is read: the call may set the last error anew.
        Prompt(pEnd->s);
        if (n < 0)
            return true;
        if (n == 0) {
            pEnd->bEnded = true;
            return pEnd->AllReceived() || Fail(Where(*pEnd, "stream ended early"));
        }
        std::size_t cb = static_cast<std::size_t>(n);
        if (cb > pEnd->cbIn - pEnd->cbReceived)
            return Fail(Where(*pEnd, "more bytes than were sent"));
        std::size_t i = PatternMismatch(pEnd->keyIn, pEnd->cbReceived, pBuffer, cb, pExpected);
        if (i < cb)
            return Fail(Where(*pEnd, "wrong byte") + " at offset " + std::to_string(pEnd->cbReceived + i));
        pEnd->cbReceived += cb;
    }
}

struct Connection {
    std::uint64_t nIndex;  // picks the byte patterns of both streams
    std::uint64_t cbUp;    // client to backend
    std::uint64_t cbDown;  // backend to client
    bool bClientCloses;
};

// Runs one connection through the forwarder: a client to nLocalPort, the
// backend's end accepted from sBackend, both driven from this thread. The
// side that closes first does so once it has sent and received everything;
// the other then has to see the end of the stream after exactly the bytes
// it expects. False (after printing why) on a lost, extra, changed or
// stalled byte.
bool RunConnection(const Connection& conn, unsigned short nLocalPort, SOCKET sBackend)
{
    static unsigned char buffer[kChunk], expected[kChunk];
    const std::uint64_t keyUp = Mix(conn.nIndex * 2), keyDown = Mix(conn.nIndex * 2 + 1);
    End client{"client", keyUp, conn.cbUp, keyDown, conn.cbDown};
    End backend{"backend", keyDown, conn.cbDown, keyUp, conn.cbUp};

    std::string label = "connection " + std::to_string(conn.nIndex) + ": ";
    client.s = Connect(nLocalPort);
    if (client.s == INVALID_SOCKET)
        return Fail(label + "cannot connect to the forwarder");
    backend.s = Readable(sBackend, kStall) ? accept(sBackend, nullptr, nullptr) : INVALID_SOCKET;
    if (backend.s == INVALID_SOCKET)
        return Fail(label + "the forwarder did not connect onward");
    // The forwarder passes data on in pieces of 1513 bytes with Nagle's rule
    // in force; against a peer that delays its acknowledgements, the last small
    // piece of a burst then waits some 40 ms. The soak's ends send and (where
    // the system lets them) acknowledge at once, so that thousands of
    // connections take seconds, not minutes; the bytes and the order of events
    // are the same either way.
    for (SOCKET s : {client.s, backend.s}) {
        SetNonBlocking(s);
        Prompt(s);
    }

    End* pCloser = conn.bClientCloses ? &client : &backend;
    End* pOther = conn.bClientCloses ? &backend : &client;
    bool bOk = true;
    Clock::time_point lastProgress = Clock::now();
    while (bOk && (client.s != INVALID_SOCKET || backend.s != INVALID_SOCKET)) {
        if (pCloser->s != INVALID_SOCKET && pCloser->AllSent() && pCloser->AllReceived())
            pCloser->Close();
        if (pOther->s != INVALID_SOCKET && pOther->bEnded && pOther->AllSent())
            pOther->Close();

        SOCKET sockets[2];
        bool bWantWrite[2], bReadable[2] = {false, false}, bWritable[2] = {false, false};
        End* ends[2];
        int n = 0;
        for (End* pEnd : {&client, &backend}) {
            if (pEnd->s == INVALID_SOCKET)
                continue;
            sockets[n] = pEnd->s;
            bWantWrite[n] = !pEnd->AllSent();
            ends[n++] = pEnd;
        }
        if (n == 0)
            break;
        if (!WaitEvents(sockets, bWantWrite, n, bReadable, bWritable, kPollStep)) {
            bOk = Fail(label + "waiting failed: " + LastErrorText());
            break;
        }
        std::uint64_t cbBefore = client.cbSent + client.cbReceived + backend.cbSent + backend.cbReceived;
        for (int i = 0; bOk && i < n; ++i) {
            if (bReadable[i])
                bOk = ReceiveSome(ends[i], buffer, expected);
            if (bOk && bWritable[i])
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
    return bOk;
}

}  // namespace

LineChecker::LineChecker(unsigned short nPort, std::function<bool(std::vector<std::string>*)> fetch)
    : m_fetch(std::move(fetch)), m_expectHead(RunLines(nPort, 0, false))
{
}

bool LineChecker::Drain()
{
    std::vector<std::string> lines;
    if (!m_fetch(&lines))
        return Fail("the status lines cannot be read");
    for (const std::string& line : lines) {
        if (!Accept(line))
            return Fail("status line " + std::to_string(m_nSeen) + " is \"" + line + "\", expected \"" +
                        Expected() + "\"");
        ++m_nSeen;
    }
    return true;
}

bool LineChecker::WaitFor(std::uint64_t nLines, milliseconds timeout)
{
    return WaitDraining([&] { return m_nSeen >= nLines; }, timeout) ||
           Fail("only " + std::to_string(m_nSeen) + " status lines, expected " + std::to_string(nLines));
}

bool LineChecker::WaitForStop(milliseconds timeout)
{
    m_bStopping = true;
    return WaitDraining([&] { return m_bStopped; }, timeout) ||
           Fail(std::string("no \"") + kLineStopped + "\" after Stop");
}

bool LineChecker::SawAll(std::uint64_t nServed)
{
    // Started, waiting and stopped, and two for each connection.
    std::uint64_t nExpected = 3 + 2 * nServed;
    if (m_nSeen != nExpected)
        return Fail(std::to_string(m_nSeen) + " status lines, expected " + std::to_string(nExpected));
    std::printf("soak: status lines %llu as expected\n", static_cast<unsigned long long>(m_nSeen));
    return true;
}

bool LineChecker::WaitDraining(const std::function<bool()>& done, milliseconds timeout)
{
    bool bInPlace = true;
    return WaitUntil([&] { return !(bInPlace = Drain()) || done(); }, timeout) && bInPlace;
}

std::string LineChecker::Expected() const
{
    if (m_nSeen < m_expectHead.size())
        return m_expectHead[m_nSeen];
    return (m_nSeen - m_expectHead.size()) % 2 == 0 ? kLineConnected : kLineEnded;
}

bool LineChecker::Accept(const std::string& text)
{
    if (m_bStopped)
        return false;
    // After Stop, "Gestoppt." may come between connections: where the next one's first line would.
    m_bStopped = m_bStopping && text == kLineStopped && Expected() == kLineConnected;
    return m_bStopped || text == Expected();
}

bool RunConnections(std::uint64_t nConnections, std::uint64_t cbMaxSize, std::uint64_t cbBulk,
                    unsigned short nLocalPort, SOCKET sBackend, LineChecker* pLines, std::uint64_t* pnServed)
{
    std::mt19937_64 random(20240601);
    std::uniform_int_distribution<std::uint64_t> size(0, cbMaxSize);
    std::bernoulli_distribution clientCloses(0.5);
    Clock::time_point start = Clock::now();
    std::uint64_t cbUp = 0, cbDown = 0, nClientCloses = 0;
    bool bOk = pLines->WaitFor(2, milliseconds(20000));
    for (std::uint64_t i = 0; bOk && i < nConnections; ++i) {
        Connection conn{i, size(random), size(random), clientCloses(random)};
        cbUp += conn.cbUp;
        cbDown += conn.cbDown;
        nClientCloses += conn.bClientCloses ? 1 : 0;
        bOk = RunConnection(conn, nLocalPort, sBackend) && pLines->Drain();
        ++*pnServed;
        if (bOk && (i + 1) % 1000 == 0)
            std::printf("soak: %llu connections, %.1f s\n", static_cast<unsigned long long>(i + 1), Seconds(start));
    }
    if (bOk)
        std::printf("soak: connections %llu (client closes %llu, backend closes %llu) bytes up %llu down %llu "
                    "seconds %.1f\n",
                    static_cast<unsigned long long>(nConnections), static_cast<unsigned long long>(nClientCloses),
                    static_cast<unsigned long long>(nConnections - nClientCloses),
                    static_cast<unsigned long long>(cbUp), static_cast<unsigned long long>(cbDown), Seconds(start));

    if (bOk && cbBulk > 0) {
        Clock::time_point bulkStart = Clock::now();
        bOk = RunConnection(Connection{nConnections, cbBulk, cbBulk, true}, nLocalPort, sBackend);
        ++*pnServed;
        double dBulk = Seconds(bulkStart);
        if (bOk)
            std::printf("soak: bulk %llu bytes each way at once, seconds %.1f, MiB/s each way %.1f\n",
                        static_cast<unsigned long long>(cbBulk), dBulk, cbBulk / 1048576.0 / dBulk);
    }
    // Stop only once the forwarder has finished the last connection, so
    // that the lines are the ones of a forwarder that was waiting.
    return bOk && pLines->WaitFor(2 + 2 * *pnServed, milliseconds(20000));
}

}  // namespace soak
