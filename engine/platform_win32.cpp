// Windows side of the seam: Windows Sockets 1.1 and the dialog's status list.
// Same order as the POSIX side.

#include "engine/platform.h"
#include "res/resource.h"

// Under Windows (and Wine) a shutdown from another thread wakes neither
// accept nor select nor recv; only closing the socket does.
const bool kShutdownWakes = false;

void CloseSocket(SOCKET s)
{
    closesocket(s);
}

void ShutdownBoth(SOCKET s)
{
    shutdown(s, 2);
}

bool WaitReadable(int nfds, SOCKET s1, SOCKET s2, bool* pbReadable1, bool* pbReadable2)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s1, &readable);
    FD_SET(s2, &readable);
    if (select(nfds, &readable, nullptr, nullptr, nullptr) == SOCKET_ERROR) {
        // Untested: select fails only on a socket that a Stop closes between
        // the worker's look at its flag and this call, which no test can time.
        return false;
    }
    *pbReadable1 = FD_ISSET(s1, &readable) != 0;
    *pbReadable2 = FD_ISSET(s2, &readable) != 0;
    return true;
}

// SwitchToThread, not Sleep(0): the thread holding the lock may run at a
// lower priority than the spinning one.
void YieldThread()
{
    SwitchToThread();
}

// gethostbyname keeps its result per thread, so the worker may use it.
bool LookupHost(const char* szHost, struct in_addr* pAddr)
{
    // cppcheck-suppress gethostbynameCalled ; Windows Sockets 1.1 has no getaddrinfo
    struct hostent* pEntry = gethostbyname(szHost);  // NOLINT(concurrency-mt-unsafe): see above
    if (pEntry == nullptr || pEntry->h_addr_list[0] == nullptr)
        return false;
    *pAddr = *reinterpret_cast<struct in_addr*>(pEntry->h_addr_list[0]);
    return true;
}

// The sends are synchronous: the line is in the list when they return.
void AddStatus(HWND hDlg, const char* szLine)
{
    LRESULT nIndex = SendDlgItemMessageA(hDlg, IDC_STATUS, LB_ADDSTRING, 0,
                                         reinterpret_cast<LPARAM>(szLine));
    SendDlgItemMessageA(hDlg, IDC_STATUS, LB_SETCURSEL, static_cast<WPARAM>(nIndex), 0);
}

void AppendStatus(HWND hDlg, const char* szLine)
{
    SendDlgItemMessageA(hDlg, IDC_STATUS, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(szLine));
}
