// POSIX side of the seam: BSD sockets, and stand-ins for the status list and
// the error box that record what they were given. Same order as the Windows side.

#include "engine/platform.h"
#include "engine/platform_posix.h"

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <poll.h>
#include <sched.h>
#include <unistd.h>

// Shutting a socket down wakes accept, poll and recv blocked on it.
const bool kShutdownWakes = true;

void CloseSocket(SOCKET s)
{
    close(s);
}

void ShutdownBoth(SOCKET s)
{
    shutdown(s, SHUT_RDWR);
}

// poll, not select: a descriptor may exceed what an fd_set holds. An end of
// stream, a reset or an error counts as readable, as select reports them, so
// that the read that follows sees it. poll takes the sockets themselves;
// nfds is select's alone. Both are open: here a teardown only shuts the
// worker's sockets down and leaves them in their fields.
bool WaitReadable(int /*nfds*/, SOCKET s1, SOCKET s2, bool* pbReadable1, bool* pbReadable2)
{
    struct pollfd fds[2];
    fds[0].fd = s1;
    fds[0].events = POLLIN;
    fds[0].revents = 0;
    fds[1].fd = s2;
    fds[1].events = POLLIN;
    fds[1].revents = 0;
    int n;
    do {
        n = poll(fds, 2, -1);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return false;
    const short kReadable = POLLIN | POLLHUP | POLLERR | POLLNVAL;
    *pbReadable1 = (fds[0].revents & kReadable) != 0;
    *pbReadable2 = (fds[1].revents & kReadable) != 0;
    return true;
}

void YieldThread()
{
    sched_yield();
}

bool LookupHost(const char* szHost, struct in_addr* pAddr)
{
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo* pResult = nullptr;
    if (getaddrinfo(szHost, nullptr, &hints, &pResult) != 0 || pResult == nullptr)
        return false;
    *pAddr = reinterpret_cast<struct sockaddr_in*>(pResult->ai_addr)->sin_addr;
    freeaddrinfo(pResult);
    return true;
}

static void Record(HWND hDlg, const char* szLine, bool bSelected)
{
    {
        std::lock_guard<std::mutex> lock(hDlg->mutex);
        hDlg->lines.push_back(StatusLine{szLine, bSelected});
    }
    hDlg->changed.notify_all();
}

void AddStatus(HWND hDlg, const char* szLine)
{
    Record(hDlg, szLine, true);
}

void AppendStatus(HWND hDlg, const char* szLine)
{
    Record(hDlg, szLine, false);
}

static std::mutex g_errorMutex;
static std::vector<ErrorRecord> g_errors;

void ShowLastError(const char* szCaption)
{
    int nError = errno;
    std::lock_guard<std::mutex> lock(g_errorMutex);
    g_errors.push_back(ErrorRecord{szCaption, nError});
}

std::vector<StatusLine> StatusLines(StatusLog* pLog)
{
    std::lock_guard<std::mutex> lock(pLog->mutex);
    return pLog->lines;
}

std::vector<ErrorRecord> RecordedErrors()
{
    std::lock_guard<std::mutex> lock(g_errorMutex);
    return g_errors;
}

void ClearRecordedErrors()
{
    std::lock_guard<std::mutex> lock(g_errorMutex);
    g_errors.clear();
}

bool WaitForLines(StatusLog* pLog, size_t nLines, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(pLog->mutex);
    return pLog->changed.wait_for(lock, timeout, [&] { return pLog->lines.size() >= nLines; });
}
