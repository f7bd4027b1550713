// POSIX side of the test support: BSD sockets, the engine's recorder as the
// status window and the error box, /proc for what the process holds.
// Same order as the Windows side.

#include "tests/support/support.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/platform_posix.h"

namespace test {

const bool kFullQueueMayRefuse = false;
const int kAffordableStarts = 400;

bool StartSockets()
{
    return true;
}

void StopSockets()
{
}

void PumpMessages()
{
}

void Pause()
{
    std::this_thread::sleep_for(milliseconds(1));
}

// poll, not select: a test may hold more descriptors than an fd_set takes.
bool WaitEvents(const SOCKET* ps, const bool* pbWantWrite, int n, bool* pbReadable,
                bool* pbWritable, milliseconds timeout)
{
    std::vector<struct pollfd> fds(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        fds[i].fd = ps[i];
        fds[i].events = static_cast<short>(POLLIN | (pbWantWrite[i] ? POLLOUT : 0));
        pbReadable[i] = pbWritable[i] = false;
    }
    if (poll(fds.data(), static_cast<nfds_t>(n), static_cast<int>(timeout.count())) < 0)
        return errno == EINTR;
    for (int i = 0; i < n; ++i) {
        pbReadable[i] = (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
        pbWritable[i] = (fds[i].revents & POLLOUT) != 0;
    }
    return true;
}

void SetNonBlocking(SOCKET s)
{
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
}

void Prompt(SOCKET s)
{
    int nOne = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof nOne);
    setsockopt(s, IPPROTO_TCP, TCP_QUICKACK, &nOne, sizeof nOne);
}

bool WouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

std::string LastErrorText()
{
    return SystemText(errno);
}

std::string SystemText(long nError)
{
    return std::strerror(static_cast<int>(nError));
}

std::string AddressInUseText()
{
    return SystemText(EADDRINUSE);
}

void LimitSendTime(SOCKET s, milliseconds limit)
{
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(limit.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>(limit.count() % 1000 * 1000);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

long OpenHandles()
{
    DIR* pDir = opendir("/proc/self/fd");
    if (pDir == nullptr)
        return -1;
    long n = 0;
    while (readdir(pDir) != nullptr)
        ++n;
    closedir(pDir);
    return n;  // ".", ".." and the directory's own descriptor included alike
}

double ProcessCpuSeconds()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

HWND CreateStatusWindow()
{
    return new StatusLog;
}

void DestroyStatusWindow(HWND hWnd)
{
    delete hWnd;
}

std::vector<std::string> StatusText(HWND hWnd)
{
    std::vector<std::string> lines;
    for (const StatusLine& line : StatusLines(hWnd))
        lines.push_back(line.text);
    return lines;
}

int SelectedLine(HWND hWnd)
{
    std::vector<StatusLine> lines = StatusLines(hWnd);
    auto selected = std::find_if(lines.rbegin(), lines.rend(), [](const StatusLine& line) { return line.bSelected; });
    return static_cast<int>(lines.rend() - selected) - 1;
}

bool WaitForLineCount(HWND hWnd, size_t nLines, milliseconds timeout)
{
    return WaitForLines(hWnd, nLines, timeout);
}

bool TakeErrorBox(const std::string& caption, std::string* pText, milliseconds timeout)
{
    bool bFound = WaitUntil(
        [&] {
            for (const ErrorRecord& error : RecordedErrors()) {
                if (error.caption == caption) {
                    *pText = SystemText(error.nError);
                    return true;
                }
            }
            return false;
        },
        timeout);
    if (bFound)
        ClearRecordedErrors();
    return bFound;
}

bool ErrorBoxShown()
{
    return !RecordedErrors().empty();
}

Canary::Canary()
{
    int pair[2] = {-1, -1}, ends[2] = {-1, -1};
    socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
    m_a = pair[0];
    m_b = pair[1];
    if (pipe(ends) == 0) {
        m_pipe[0] = ends[0];
        m_pipe[1] = ends[1];
    }
}

Canary::~Canary()
{
    Close(m_a);
    Close(m_b);
    for (std::intptr_t end : m_pipe) {
        if (end >= 0)
            close(static_cast<int>(end));
    }
}

bool Canary::PipeCarries()
{
    char c = 0;
    return write(static_cast<int>(m_pipe[1]), "p", 1) == 1 && read(static_cast<int>(m_pipe[0]), &c, 1) == 1 &&
           c == 'p';
}

}  // namespace test
