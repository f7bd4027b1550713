// Helpers shared by the tests of both builds: what is the same on both
// systems. The rest is in support_win32.cpp and support_posix.cpp.

#include "tests/support/support.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <random>

namespace test {

namespace {

using Clock = std::chrono::steady_clock;

struct sockaddr_in Loopback(unsigned short nPort)
{
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A connect that finds room in a queue is answered at once on loopback.
const milliseconds kConnectAnswer(250);

}  // namespace

Lines RunLines(unsigned short nPort, int nClients, bool bStopped)
{
    Lines lines{kLineStarted, WaitingLine(nPort)};
    for (int i = 0; i < nClients; ++i)
        lines.insert(lines.end(), {kLineConnected, kLineEnded});
    if (bStopped)
        lines.push_back(kLineStopped);
    return lines;
}

bool WaitUntil(const std::function<bool()>& pred, milliseconds timeout)
{
    Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        PumpMessages();
        if (pred())
            return true;
        if (Clock::now() >= deadline)
            return false;
        Pause();
    }
}

bool WaitUntilRefused(unsigned short nPort, milliseconds timeout)
{
    return WaitUntil(
        [&] {
            SOCKET s = Connect(nPort);
            Close(s);
            return s == INVALID_SOCKET;
        },
        timeout);
}

SOCKET Listen(unsigned short nPort, bool bAnyAddress, int nBacklog)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = Loopback(nPort);
    if (bAnyAddress)
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (s == INVALID_SOCKET ||
        bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR ||
        listen(s, nBacklog) == SOCKET_ERROR) {
        Close(s);
        return INVALID_SOCKET;
    }
    return s;
}

unsigned short LocalPort(SOCKET s)
{
    struct sockaddr_in addr = {};
    socklen_t cb = sizeof addr;
    getsockname(s, reinterpret_cast<struct sockaddr*>(&addr), &cb);
    return ntohs(addr.sin_port);
}

unsigned short FreePort()
{
    // A port handed out here is not handed out again by this process for
    // minutes, so that no run meets what an earlier one left on it; a test
    // repeated a thousand times would otherwise use up the system's range.
    // The listener must not stay: the forwarder binds without address reuse.
    static std::map<unsigned short, Clock::time_point> given;
    for (int nTry = 0; nTry < 100; ++nTry) {
        SOCKET s = Listen(0);
        unsigned short nPort = LocalPort(s);
        Close(s);
        auto found = given.find(nPort);
        if (nPort != 0 && (found == given.end() || Clock::now() - found->second > std::chrono::minutes(5))) {
            given[nPort] = Clock::now();
            return nPort;
        }
    }
    return 0;
}

SOCKET Connect(unsigned short nPort)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = Loopback(nPort);
    if (s == INVALID_SOCKET ||
        connect(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR) {
        Close(s);
        return INVALID_SOCKET;
    }
    return s;
}

void Close(SOCKET s)
{
    if (s != INVALID_SOCKET)
        CloseSocket(s);
}

void ResetOnClose(SOCKET s)
{
    struct linger hard = {1, 0};  // on, lingering for no time
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
}

bool SendAll(SOCKET s, const std::string& data)
{
    size_t nDone = 0;
    while (nDone < data.size()) {
        int n = send(s, data.data() + nDone, static_cast<int>(data.size() - nDone), kSendFlags);
        if (n <= 0)
            return false;
        nDone += static_cast<size_t>(n);
    }
    return true;
}

bool Readable(SOCKET s, milliseconds timeout)
{
    bool bWantWrite = false, bReadable = false, bWritable = false;
    return WaitEvents(&s, &bWantWrite, 1, &bReadable, &bWritable, timeout) && bReadable;
}

// Reads into *pData until it holds n bytes, the stream ends or timeout
// passes; says how it ended (kEndNone also at n bytes). Handles this thread's
// messages at least every 50 ms: a dialog on it may wait to take a line.
static Ending Receive(SOCKET s, std::string* pData, size_t n, milliseconds timeout)
{
    Clock::time_point deadline = Clock::now() + timeout;
    char buffer[65536];
    bool bWantWrite = false, bReadable = false, bWritable = false;
    while (pData->size() < n) {
        PumpMessages();
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 ||
            !WaitEvents(&s, &bWantWrite, 1, &bReadable, &bWritable, std::min(left, milliseconds(50))))
            return kEndNone;
        if (!bReadable)
            continue;
        int cbRead = recv(s, buffer, static_cast<int>(std::min(sizeof buffer, n - pData->size())), 0);
        if (cbRead <= 0)
            return cbRead == 0 ? kEndOrderly : kEndReset;
        pData->append(buffer, static_cast<size_t>(cbRead));
    }
    return kEndNone;
}

std::string ReceiveN(SOCKET s, size_t n, milliseconds timeout)
{
    std::string data;
    Receive(s, &data, n, timeout);
    return data;
}

std::string RoundTrip(SOCKET s, const std::string& data, milliseconds timeout)
{
    return SendAll(s, data) ? ReceiveN(s, data.size(), timeout) : std::string();
}

std::string RoundTripTo(unsigned short nPort, const std::string& data, milliseconds timeout)
{
    SOCKET s = Connect(nPort);
    std::string back = RoundTrip(s, data, timeout);  // a send on no socket fails
    Close(s);
    return back;
}

Ending ReceiveUntilEnd(SOCKET s, std::string* pData, milliseconds timeout)
{
    std::string ignored;
    return Receive(s, pData != nullptr ? pData : &ignored, std::string::npos, timeout);
}

std::string RandomBytes(size_t n, unsigned nSeed)
{
    std::mt19937 rng(nSeed);
    std::string data(n, '\0');
    for (char& c : data)
        c = static_cast<char>(rng() & 0xFF);
    return data;
}

long StatusField(const std::string& status, const char* szName)
{
    std::string key = std::string("\n") + szName + ":";
    size_t nAt = ("\n" + status).find(key);
    return nAt == std::string::npos ? -1 : std::strtol(status.c_str() + (nAt + key.size() - 1), nullptr, 10);
}

std::string FileText(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WaitForLine(HWND hWnd, const std::string& line, milliseconds timeout)
{
    auto shown = [&] {
        Lines lines = StatusText(hWnd);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    return WaitUntil(shown, timeout);
}

void StartWorker(Worker* pWorker, HWND hDlg, const char* szHost, unsigned short nLocalPort,
                 unsigned short nRemotePort)
{
    pWorker->dwExit.store(Worker::kStillRunning);
    ForwardState* pfs = pWorker->pfs = NewForwardState(hDlg, szHost, nLocalPort, nRemotePort);
    pWorker->thread = std::thread([pWorker, pfs] { pWorker->dwExit = ForwardThread(pfs); });
}

void StopWorker(Worker* pWorker)
{
    if (pWorker->pfs == nullptr)
        return;
    StopForwarding(pWorker->pfs);
    // The dialog's second teardown, after it has let go of the worker's
    // handle: it must be harmless, whatever the worker did meanwhile.
    CloseSockets(pWorker->pfs);
    ReleaseForwardState(pWorker->pfs);
    pWorker->pfs = nullptr;
}

bool JoinWorker(Worker* pWorker, milliseconds timeout)
{
    if (!pWorker->thread.joinable())
        return true;
    // The worker's last status lines need this thread's message handling.
    bool bEnded = WaitUntil([&] { return pWorker->dwExit.load() != Worker::kStillRunning; }, timeout);
    if (bEnded)
        pWorker->thread.join();
    return bEnded;
}

Backend::Backend(std::function<void(SOCKET)> handler)
    : m_handler(std::move(handler)), m_sListen(Listen(0)), m_nPort(LocalPort(m_sListen))
{
    m_thread = std::thread([this] {
        for (;;) {
            SOCKET s = accept(m_sListen, nullptr, nullptr);
            if (s == INVALID_SOCKET)
                return;
            m_handler(s);
            Close(s);
        }
    });
}

Backend::~Backend()
{
    ShutdownBoth(m_sListen);
    if (!kShutdownWakes)
        CloseSocket(m_sListen);
    m_thread.join();
    if (kShutdownWakes)
        CloseSocket(m_sListen);
}

void Echo(SOCKET s)
{
    char buffer[65536];
    for (;;) {
        int n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0 || !SendAll(s, std::string(buffer, static_cast<size_t>(n))))
            return;
    }
}

bool WaitForStall(const std::function<size_t()>& sent, size_t nEnd, milliseconds step, milliseconds timeout)
{
    size_t nLast = 0;
    return WaitUntil(
        [&] {
            size_t nNow = sent();
            bool bStalled = nNow == nLast && nNow > 0 && nNow < nEnd;
            nLast = nNow;
            if (!bStalled)
                std::this_thread::sleep_for(step);
            return bStalled;
        },
        timeout);
}

Flood::Flood()
    : m_backend([this](SOCKET s) {
          m_cbSent = 0;
          ++m_nConnections;
          ++m_nOpen;
          std::string chunk(65536, 'f');
          for (int i = 0; i < 4096 && SendAll(s, chunk); ++i)
              m_cbSent += chunk.size();
          --m_nOpen;
      })
{
}

FullListener::FullListener() : m_sListen(Listen(0, false, 0)), m_nPort(LocalPort(m_sListen))
{
    if (m_sListen == INVALID_SOCKET)
        return;
    // Connects without waiting until one of them is left unanswered. Nothing
    // accepts, so one that is answered late still takes its place.
    struct sockaddr_in addr = Loopback(m_nPort);
    for (int i = 0; i < 16 && !m_bFull; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        SetNonBlocking(s);
        connect(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
        m_fillers.push_back(s);
        bool bWantWrite = true, bReadable = false, bConnected = false;
        m_bFull = WaitEvents(&s, &bWantWrite, 1, &bReadable, &bConnected, kConnectAnswer) && !bConnected;
    }
}

FullListener::~FullListener()
{
    for (SOCKET s : m_fillers)
        Close(s);
    Close(m_sListen);
}

bool StopWakesBlockedSend()
{
    static const bool bWakes = [] {
        std::atomic<bool> bLeave{false}, bReturned{false};
        std::atomic<size_t> cbSent{0};
        Backend reader([&](SOCKET) { WaitUntil([&] { return bLeave.load(); }); });
        // Stop's own teardown, with the send in the place of a worker's.
        ForwardState* pfs = NewForwardState(nullptr, "", 0, 0);
        SOCKET s = pfs->sClient = Connect(reader.Port());
        std::thread sender([&] {
            while (cbSent < (1u << 30) && SendAll(s, std::string(65536, 's')))
                cbSent += 65536;
            bReturned = true;
        });
        bool bStalled = WaitForStall([&] { return cbSent.load(); });
        CloseSockets(pfs);
        bool bWoken = bStalled && WaitUntil([&] { return bReturned.load(); }, milliseconds(5000));
        bLeave = true;  // the reader's end then ends a send nothing woke
        sender.join();
        Close(pfs->sClient.exchange(INVALID_SOCKET));  // where the teardown only shut it down
        ReleaseForwardState(pfs);
        ReleaseForwardState(pfs);
        return bWoken;
    }();
    return bWakes;
}

bool ResetFailsRead()
{
    static const bool bFails = [] {
        const int kNotYet = 2;  // recv gives at most 1 here
        std::atomic<int> nRead{kNotYet};
        Backend peer([&](SOCKET s) {
            char c;
            nRead = Readable(s, kTimeout) ? recv(s, &c, 1, 0) : 0;
        });
        SOCKET s = Connect(peer.Port());
        ResetOnClose(s);
        Close(s);
        return WaitUntil([&] { return nRead.load() != kNotYet; }) && nRead.load() < 0;
    }();
    return bFails;
}

bool Canary::Intact()
{
    return SendAll(m_a, "a") && ReceiveN(m_b, 1, milliseconds(5000)) == "a" &&
           SendAll(m_b, "b") && ReceiveN(m_a, 1, milliseconds(5000)) == "b" && PipeCarries();
}

}  // namespace test
