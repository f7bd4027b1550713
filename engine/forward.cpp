// The forwarding worker and the record it shares with the dialog.
// Everything that differs between Windows and POSIX goes through platform.h.

#include "engine/forward.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace {

// Each readable side gets one read of at most this many bytes per turn.
const int kReadSize = 1513;
const int kBacklog = 5;

}  // namespace

// The lock is held only around non-blocking shutdown and close calls and the
// exchange of a field, never across a wait, so spinning is short.
static void LockSockets(ForwardState* pfs)
{
    while (pfs->fSockets.test_and_set(std::memory_order_acquire))
        YieldThread();
}

static void UnlockSockets(ForwardState* pfs)
{
    pfs->fSockets.clear(std::memory_order_release);
}

// Puts a socket the worker has just made into its field, where the teardown
// can reach it. The field is replaced also when the call failed.
static SOCKET Keep(ForwardState* pfs, std::atomic<SOCKET>& field, SOCKET s)
{
    LockSockets(pfs);
    field.store(s);
    UnlockSockets(pfs);
    return s;
}

// The worker's own close of some of its sockets: takes them out of their
// fields first, so that a teardown running at the same time either finds
// them and acts before the close, or finds the fields empty. A field the
// teardown emptied is left alone: that socket is closed already. All of
// them are shut down before any is closed, as in CloseSockets, so that
// each peer sees an orderly end even if a close is delayed by unsent data.
static void CloseOwn(ForwardState* pfs, std::atomic<SOCKET>* const* pFields, int nFields)
{
    SOCKET taken[3];
    LockSockets(pfs);
    for (int i = 0; i < nFields; ++i)
        taken[i] = pFields[i]->exchange(INVALID_SOCKET);
    UnlockSockets(pfs);
    for (int i = 0; i < nFields; ++i) {
        if (taken[i] != INVALID_SOCKET)
            ShutdownBoth(taken[i]);
    }
    for (int i = 0; i < nFields; ++i) {
        if (taken[i] != INVALID_SOCKET)
            CloseSocket(taken[i]);
    }
}

// The end of one connection: the client's and the onward socket. The
// listener stays open for the next client.
static void CloseConnection(ForwardState* pfs)
{
    std::atomic<SOCKET>* const fields[] = {&pfs->sClient, &pfs->sRemote};
    CloseOwn(pfs, fields, 2);
}

// The worker's teardown of all three sockets, on every way out.
static void CloseOwnSockets(ForwardState* pfs)
{
    std::atomic<SOCKET>* const fields[] = {&pfs->sListen, &pfs->sClient, &pfs->sRemote};
    CloseOwn(pfs, fields, 3);
}

ForwardState* NewForwardState(HWND hDlg, const char* szHost,
                              unsigned short nLocalPort, unsigned short nRemotePort)
{
    // malloc and placement new, not new: the program links no C++ runtime
    // library. Without memory for a few hundred bytes nothing can go on,
    // so a failure ends the process as an unhandled failed new would.
    void* pMemory = std::malloc(sizeof(ForwardState));
    if (pMemory == nullptr)
        std::abort();  // Untested: a test cannot make so small a malloc fail
    ForwardState* pfs = new (pMemory) ForwardState;
    pfs->hDlg = hDlg;
    pfs->bRunning.store(1);
    std::strncpy(pfs->szHost, szHost, sizeof pfs->szHost - 1);
    pfs->szHost[sizeof pfs->szHost - 1] = '\0';
    pfs->nLocalPort = nLocalPort;
    pfs->nRemotePort = nRemotePort;
    pfs->sListen.store(INVALID_SOCKET);
    pfs->sClient.store(INVALID_SOCKET);
    pfs->sRemote.store(INVALID_SOCKET);
    pfs->fSockets.clear();
    pfs->nRefs.store(2);
    return pfs;
}

void ReleaseForwardState(ForwardState* pfs)
{
    if (pfs->nRefs.fetch_sub(1) == 1) {
        pfs->~ForwardState();
        std::free(pfs);
    }
}

void CloseSockets(ForwardState* pfs)
{
    // cppcheck-suppress constVariable ; exchange, unknown to it, changes the fields through these
    std::atomic<SOCKET>* fields[] = {&pfs->sListen, &pfs->sClient, &pfs->sRemote};
    LockSockets(pfs);
    // Every field is shut down before any is closed: a worker blocked on one
    // socket must not wake to find another one already gone.
    for (std::atomic<SOCKET>* pField : fields) {
        SOCKET s = pField->load();
        if (s != INVALID_SOCKET)
            ShutdownBoth(s);
    }
    // Where the shutdown has woken the worker, it closes its sockets itself
    // once it no longer uses them. Elsewhere only a close wakes it, so the
    // teardown closes them and empties the fields: the worker then finds
    // them gone and makes no further call on them.
    if (!kShutdownWakes) {
        for (std::atomic<SOCKET>* pField : fields) {
            SOCKET s = pField->exchange(INVALID_SOCKET);
            if (s != INVALID_SOCKET)
                CloseSocket(s);
        }
    }
    UnlockSockets(pfs);
}

void StopForwarding(ForwardState* pfs)
{
    // The flag first: a worker woken by the teardown must find it cleared.
    pfs->bRunning.store(0);
    CloseSockets(pfs);
}

bool DottedAddress(const char* szHost, struct in_addr* pAddr)
{
    unsigned int a, b, c, d;
    // NOLINTNEXTLINE(cert-err34-c): only the shape is checked; inet_addr reads the address
    if (std::sscanf(szHost, "%u.%u.%u.%u", &a, &b, &c, &d) != 4)
        return false;
    pAddr->s_addr = inet_addr(szHost);
    return true;
}

// The remote end: a dotted address as inet_addr reads it, anything else
// looked up once per run. A failed lookup leaves 0.0.0.0 and is not
// reported.
static void ResolveRemote(const char* szHost, struct sockaddr_in* pRemote)
{
    if (!DottedAddress(szHost, &pRemote->sin_addr))
        LookupHost(szHost, &pRemote->sin_addr);
}

// A step of the set-up that failed: its box, and the worker's exit code.
// Where a Stop can only close the socket, it may do so between the steps;
// that failure is the user's own Stop, not one to show a box for.
static DWORD SetupFailed(ForwardState* pfs, const char* szCaption, DWORD dwExit)
{
    if (pfs->bRunning.load() != 0)
        ShowLastError(szCaption);
    return dwExit;
}

// Makes, binds and opens the listening socket. Returns 0, or the exit code
// of the step that failed after its box has been shown.
static DWORD OpenListener(ForwardState* pfs, const struct sockaddr_in* pLocal)
{
    // cppcheck-suppress leakNoVarFunctionCall ; Keep hands the socket to the record's teardown
    if (Keep(pfs, pfs->sListen, socket(AF_INET, SOCK_STREAM, 0)) == INVALID_SOCKET) {
        ShowLastError("socket1");
        return kNoListenSocket;
    }
    // Each step takes the socket from its field: a number the teardown has
    // closed may already belong to a socket of the next run.
    if (bind(pfs->sListen.load(), reinterpret_cast<const struct sockaddr*>(pLocal), sizeof *pLocal) ==
        SOCKET_ERROR)
        return SetupFailed(pfs, "bind", kBindFailed);
    if (listen(pfs->sListen.load(), kBacklog) == SOCKET_ERROR) {
        // Untested: a socket just bound fails to listen only when a Stop
        // closes it in between, which no test can time.
        return SetupFailed(pfs, "listen", kListenFailed);
    }
    return 0;
}

// Sends all n bytes unless a send fails. A failure is not reported: the
// next read on that side ends the connection.
static void SendAll(SOCKET s, const char* pData, int n)
{
    while (n > 0) {
        // NOLINTNEXTLINE(bugprone-narrowing-conversions): at most n bytes
        int cbSent = send(s, pData, n, kSendFlags);
        if (cbSent <= 0)
            return;
        pData += cbSent;
        n -= cbSent;
    }
}

// One read from sFrom passed on to sTo. Returns false when the connection
// has to end; a failed read also stops the worker.
static bool Pass(ForwardState* pfs, SOCKET sFrom, SOCKET sTo, char* pBuffer)
{
    // NOLINTNEXTLINE(bugprone-narrowing-conversions): at most kReadSize bytes
    int cbRead = recv(sFrom, pBuffer, kReadSize, 0);
    if (cbRead == 0)
        return false;
    if (cbRead < 0) {
        pfs->bRunning.store(0);
        return false;
    }
    SendAll(sTo, pBuffer, cbRead);
    return true;
}

// select's first argument for one connection, as Berkeley sockets define
// it: the larger of its two sockets, compared as unsigned numbers, plus
// one. Windows Sockets ignores it.
static int SelectWidth(SOCKET s1, SOCKET s2)
{
    typedef std::make_unsigned<SOCKET>::type Unsigned;
    Unsigned u1 = static_cast<Unsigned>(s1), u2 = static_cast<Unsigned>(s2);
    return static_cast<int>((u1 > u2 ? u1 : u2) + 1);
}

// Copies both ways until a side ends, a wait or read fails, or the flag
// is found cleared. The sockets are read from their fields on every call:
// one the teardown has closed reads as INVALID_SOCKET, on which every call
// fails instead of reaching a socket that has since been made anew. nfds
// stays the connection's own, also after a teardown.
static void CopyUntilEnd(ForwardState* pfs, int nfds)
{
    char buffer[kReadSize];
    while (pfs->bRunning.load() != 0) {
        bool bClient = false, bRemote = false;
        if (!WaitReadable(nfds, pfs->sClient.load(), pfs->sRemote.load(), &bClient, &bRemote)) {
            pfs->bRunning.store(0);
            return;
        }
        // The client side first: what the client sent goes out before the
        // answer that may already wait on the remote side is read.
        if (bClient && !Pass(pfs, pfs->sClient.load(), pfs->sRemote.load(), buffer))
            return;
        if (bRemote && !Pass(pfs, pfs->sRemote.load(), pfs->sClient.load(), buffer))
            return;
    }
}

// Serves the client just accepted: the status line, the onward connection
// and the copy. Returns 0, or kNoRemoteSocket after its box.
static DWORD Serve(ForwardState* pfs, const struct sockaddr_in* pRemote,
                   struct sockaddr_in* pPeer)
{
    char szLine[256];
    socklen_t cbPeer = sizeof *pPeer;
    // A failed getpeername leaves the previous client's address in the line.
    getpeername(pfs->sClient.load(), reinterpret_cast<struct sockaddr*>(pPeer), &cbPeer);
    // A dotted address has at most 15 characters: the line fits.
    // NOLINTNEXTLINE(cert-err33-c,concurrency-mt-unsafe): it fits; inet_ntoa's text is per thread
    std::sprintf(szLine, "Verbunden mit %s", inet_ntoa(pPeer->sin_addr));
    AppendStatus(pfs->hDlg, szLine);

    // cppcheck-suppress leakNoVarFunctionCall ; Keep hands the socket to the record's teardown
    if (Keep(pfs, pfs->sRemote, socket(AF_INET, SOCK_STREAM, 0)) == INVALID_SOCKET) {
        ShowLastError("socket2");
        return kNoRemoteSocket;
    }
    // 0.0.0.0 is what a failed lookup leaves. Connecting to it would reach
    // this machine on some systems, so it counts as a failed connect.
    // A Stop that came since the client was accepted has found no onward
    // socket, or one not yet connecting, whose shutdown wakes no connect
    // begun later: the worker would wait out the system's connect time-out
    // (minutes) against a silent remote end. So a stopped run connects no
    // further; the copy loop then ends the connection at once.
    if (pRemote->sin_addr.s_addr != htonl(INADDR_ANY) && pfs->bRunning.load() != 0) {
        // NOLINTNEXTLINE(bugprone-unused-return-value): the copy ends at its first wait or read
        connect(pfs->sRemote.load(), reinterpret_cast<const struct sockaddr*>(pRemote), sizeof *pRemote);
    }
    CopyUntilEnd(pfs, SelectWidth(pfs->sClient.load(), pfs->sRemote.load()));

    CloseConnection(pfs);
    AddStatus(pfs->hDlg, "Verbindung beendet.");
    return 0;
}

// Ends the worker: its reference to the record is the last thing it uses.
static DWORD EndWorker(ForwardState* pfs, DWORD dwExit)
{
    CloseOwnSockets(pfs);
    ReleaseForwardState(pfs);
    return dwExit;
}

DWORD WINAPI ForwardThread(LPVOID pParam)
{
    ForwardState* pfs = static_cast<ForwardState*>(pParam);

    struct sockaddr_in local, remote, peer;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons(pfs->nLocalPort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    std::memset(&remote, 0, sizeof remote);
    remote.sin_family = AF_INET;
    remote.sin_port = htons(pfs->nRemotePort);
    std::memset(&peer, 0, sizeof peer);

    ResolveRemote(pfs->szHost, &remote);
    AddStatus(pfs->hDlg, "Gestarted.");

    DWORD dwFailed = OpenListener(pfs, &local);
    if (dwFailed != 0)
        return EndWorker(pfs, dwFailed);
    char szLine[256];
    // NOLINTNEXTLINE(cert-err33-c): a port has at most five digits: the line fits
    std::sprintf(szLine, "Warte auf Port %d...", static_cast<int>(pfs->nLocalPort));
    AddStatus(pfs->hDlg, szLine);

    while (pfs->bRunning.load() != 0) {
        SOCKET sClient = Keep(pfs, pfs->sClient, accept(pfs->sListen.load(), nullptr, nullptr));
        if (sClient == INVALID_SOCKET) {
            // Whatever made accept fail, the listener is closed before the
            // user is told the worker stopped.
            CloseOwnSockets(pfs);
            break;
        }
        dwFailed = Serve(pfs, &remote, &peer);
        if (dwFailed != 0)
            return EndWorker(pfs, dwFailed);
    }

    AddStatus(pfs->hDlg, "Gestoppt.");
    return EndWorker(pfs, kStopped);
}
