// Helpers shared by the tests of both builds.

#include "tests/support/support.h"

#include "tests/support/loopback.h"

#include <cstring>
#include <random>

#ifdef _WIN32
#include <future>
#include <map>
#include <mutex>

#include "res/resource.h"
#else
#include "engine/platform_posix.h"
#include <cerrno>
#include <poll.h>
#include <unistd.h>
#endif

namespace test {

namespace {
using Clock = std::chrono::steady_clock;
}

void PumpMessages()
{
#ifdef _WIN32
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
#endif
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
#ifdef _WIN32
        // Wakes for a sent message (a status line) or after a millisecond.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
#else
        std::this_thread::sleep_for(milliseconds(1));
#endif
    }
}

SOCKET Listen(unsigned short nPort, bool bAnyAddress)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = Loopback(nPort);
    if (bAnyAddress)
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR ||
        listen(s, 16) == SOCKET_ERROR) {
        CloseSocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

unsigned short FreePort()
{
    // Ports handed out here are not handed out again by this process, so
    // two runs of one test binary never share one.
    static std::vector<unsigned short> given;
    for (int nTry = 0; nTry < 100; ++nTry) {
        SOCKET s = Listen(0);
        struct sockaddr_in addr;
        socklen_t cb = sizeof addr;
        getsockname(s, reinterpret_cast<struct sockaddr*>(&addr), &cb);
        CloseSocket(s);
        unsigned short nPort = ntohs(addr.sin_port);
        bool bSeen = false;
        for (unsigned short n : given)
            bSeen = bSeen || n == nPort;
        if (!bSeen) {
            given.push_back(nPort);
            return nPort;
        }
    }
    return 0;
}

SOCKET Accept(SOCKET sListen)
{
    return accept(sListen, nullptr, nullptr);
}

SOCKET Connect(unsigned short nPort)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = Loopback(nPort);
    if (connect(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR) {
        CloseSocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

void Close(SOCKET s)
{
    if (s != INVALID_SOCKET)
        CloseSocket(s);
}

void Reset(SOCKET s)
{
    struct linger hard;
    hard.l_onoff = 1;
    hard.l_linger = 0;
    setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard);
    CloseSocket(s);
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
#ifdef _WIN32
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    struct timeval tv;
    tv.tv_sec = static_cast<long>(timeout.count() / 1000);
    tv.tv_usec = static_cast<long>(timeout.count() % 1000) * 1000;
    return select(0, &set, nullptr, nullptr, &tv) == 1;
#else
    struct pollfd pfd;
    pfd.fd = s;
    pfd.events = POLLIN;
    pfd.revents = 0;
    return poll(&pfd, 1, static_cast<int>(timeout.count())) == 1;
#endif
}

std::string ReceiveN(SOCKET s, size_t n, milliseconds timeout)
{
    std::string data;
    Clock::time_point deadline = Clock::now() + timeout;
    char buffer[65536];
    while (data.size() < n) {
        milliseconds left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !Readable(s, left))
            break;
        int cbWant = static_cast<int>(std::min(sizeof buffer, n - data.size()));
        int cbRead = recv(s, buffer, cbWant, 0);
        if (cbRead <= 0)
            break;
        data.append(buffer, static_cast<size_t>(cbRead));
    }
    return data;
}

bool ReceiveUntilEnd(SOCKET s, std::string* pData, milliseconds timeout)
{
    Clock::time_point deadline = Clock::now() + timeout;
    char buffer[65536];
    for (;;) {
        milliseconds left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !Readable(s, left))
            return false;
        int cbRead = recv(s, buffer, sizeof buffer, 0);
        if (cbRead == 0)
            return true;
        if (cbRead < 0)
            return false;
        pData->append(buffer, static_cast<size_t>(cbRead));
    }
}

std::string RandomBytes(size_t n, unsigned nSeed)
{
    std::mt19937 rng(nSeed);
    std::string data(n, '\0');
    for (char& c : data)
        c = static_cast<char>(rng() & 0xFF);
    return data;
}

#ifdef _WIN32

namespace {
// Each status window lives on a thread of its own that does nothing but
// handle messages, as the dialog thread does: the test thread may then block
// in socket calls while a worker sends it status lines.
struct UiThread {
    std::thread thread;
    DWORD dwThreadId = 0;
};
std::mutex g_uiMutex;
std::map<HWND, UiThread> g_uiThreads;
}  // namespace

HWND CreateStatusWindow()
{
    std::promise<HWND> created;
    std::promise<DWORD> threadId;
    std::thread ui([&] {
        // A plain parent with the list box under the dialog's control number
        // is all that AddStatus addresses.
        HWND hWnd = CreateWindowExA(0, "STATIC", "status", WS_OVERLAPPEDWINDOW, 0, 0, 300, 300,
                                    nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        CreateWindowExA(0, "LISTBOX", "", WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOTIFY, 0, 0,
                        280, 260, hWnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS)),
                        GetModuleHandleA(nullptr), nullptr);
        threadId.set_value(GetCurrentThreadId());
        created.set_value(hWnd);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    });
    HWND hWnd = created.get_future().get();
    std::lock_guard<std::mutex> lock(g_uiMutex);
    UiThread& entry = g_uiThreads[hWnd];
    entry.dwThreadId = threadId.get_future().get();
    entry.thread = std::move(ui);
    return hWnd;
}

void DestroyStatusWindow(HWND hWnd)
{
    UiThread entry;
    {
        std::lock_guard<std::mutex> lock(g_uiMutex);
        entry = std::move(g_uiThreads[hWnd]);
        g_uiThreads.erase(hWnd);
    }
    // Destroyed by its own thread, which then leaves its loop.
    PostMessageA(hWnd, WM_CLOSE, 0, 0);
    PostThreadMessageA(entry.dwThreadId, WM_QUIT, 0, 0);
    entry.thread.join();
}

std::vector<std::string> StatusText(HWND hWnd)
{
    std::vector<std::string> lines;
    LRESULT nCount = SendDlgItemMessageA(hWnd, IDC_STATUS, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < nCount; ++i) {
        char szLine[512] = "";
        LRESULT nLen = SendDlgItemMessageA(hWnd, IDC_STATUS, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        if (nLen >= 0 && nLen < static_cast<LRESULT>(sizeof szLine))
            SendDlgItemMessageA(hWnd, IDC_STATUS, LB_GETTEXT, static_cast<WPARAM>(i),
                                reinterpret_cast<LPARAM>(szLine));
        lines.push_back(szLine);
    }
    return lines;
}

int SelectedLine(HWND hWnd)
{
    return static_cast<int>(SendDlgItemMessageA(hWnd, IDC_STATUS, LB_GETCURSEL, 0, 0));
}

struct DialogSearch {
    DWORD dwProcess;
    const char* szCaption;
    HWND hFound;
};

static BOOL CALLBACK FindDialog(HWND hWnd, LPARAM lParam)
{
    DialogSearch* pSearch = reinterpret_cast<DialogSearch*>(lParam);
    char szClass[64] = "", szTitle[256] = "";
    GetClassNameA(hWnd, szClass, sizeof szClass);
    GetWindowTextA(hWnd, szTitle, sizeof szTitle);
    DWORD dwProcess = 0;
    GetWindowThreadProcessId(hWnd, &dwProcess);
    if (std::strcmp(szClass, "#32770") == 0 && std::strcmp(szTitle, pSearch->szCaption) == 0 &&
        IsWindowVisible(hWnd) && dwProcess == pSearch->dwProcess) {
        pSearch->hFound = hWnd;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForDialog(DWORD dwProcess, const std::string& caption, milliseconds timeout)
{
    DialogSearch search = {dwProcess, caption.c_str(), nullptr};
    WaitUntil(
        [&] {
            EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
            return search.hFound != nullptr;
        },
        timeout);
    return search.hFound;
}

bool TakeErrorBox(const std::string& caption, std::string* pText, milliseconds timeout)
{
    HWND hBox = WaitForDialog(GetCurrentProcessId(), caption, timeout);
    if (hBox == nullptr)
        return false;
    // The message box's text is the static control numbered 0xFFFF.
    char szText[1024] = "";
    GetDlgItemTextA(hBox, 0xFFFF, szText, sizeof szText);
    *pText = szText;
    PostMessageA(hBox, WM_COMMAND, IDOK, 0);
    return true;
}

static BOOL CALLBACK FindAnyBox(HWND hWnd, LPARAM lParam)
{
    char szClass[64] = "";
    GetClassNameA(hWnd, szClass, sizeof szClass);
    DWORD dwProcess = 0;
    GetWindowThreadProcessId(hWnd, &dwProcess);
    if (std::strcmp(szClass, "#32770") == 0 && IsWindowVisible(hWnd) &&
        dwProcess == GetCurrentProcessId()) {
        *reinterpret_cast<bool*>(lParam) = true;
        return FALSE;
    }
    return TRUE;
}

bool ErrorBoxShown()
{
    bool bFound = false;
    EnumWindows(FindAnyBox, reinterpret_cast<LPARAM>(&bFound));
    return bFound;
}

std::string AddressInUseText()
{
    char* pszText = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                   WSAEADDRINUSE, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<LPSTR>(&pszText), 0, nullptr);
    std::string text = pszText != nullptr && pszText[0] != '\0' ? pszText : "Fehler 10048";
    LocalFree(pszText);
    return text;
}

#else

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
    for (size_t i = lines.size(); i > 0; --i) {
        if (lines[i - 1].bSelected)
            return static_cast<int>(i - 1);
    }
    return -1;
}

bool TakeErrorBox(const std::string& caption, std::string* pText, milliseconds timeout)
{
    ErrorRecord found;
    bool bFound = WaitUntil(
        [&] {
            for (const ErrorRecord& error : RecordedErrors()) {
                if (error.caption == caption) {
                    found = error;
                    return true;
                }
            }
            return false;
        },
        timeout);
    if (bFound) {
        *pText = std::strerror(found.nError);
        ClearRecordedErrors();
    }
    return bFound;
}

bool ErrorBoxShown()
{
    return !RecordedErrors().empty();
}

std::string AddressInUseText()
{
    return std::strerror(EADDRINUSE);
}

#endif

bool WaitForLine(HWND hWnd, const std::string& line, milliseconds timeout)
{
    return WaitUntil(
        [&] {
            for (const std::string& text : StatusText(hWnd)) {
                if (text == line)
                    return true;
            }
            return false;
        },
        timeout);
}

void StartWorker(Worker* pWorker, HWND hDlg, const char* szHost, unsigned short nLocalPort,
                 unsigned short nRemotePort)
{
    pWorker->dwExit.store(Worker::kStillRunning);
    pWorker->pfs = NewForwardState(hDlg, szHost, nLocalPort, nRemotePort);
    ForwardState* pfs = pWorker->pfs;
    pWorker->thread = std::thread([pWorker, pfs] { pWorker->dwExit = ForwardThread(pfs); });
}

void StopWorker(Worker* pWorker)
{
    if (pWorker->pfs == nullptr)
        return;
    pWorker->pfs->bRunning.store(0);
    CloseSockets(pWorker->pfs);
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
    : m_handler(std::move(handler)), m_sListen(Listen(0)), m_nPort(0)
{
    struct sockaddr_in addr;
    socklen_t cb = sizeof addr;
    getsockname(m_sListen, reinterpret_cast<struct sockaddr*>(&addr), &cb);
    m_nPort = ntohs(addr.sin_port);
    m_thread = std::thread([this] {
        for (;;) {
            SOCKET s = Accept(m_sListen);
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
        if (n <= 0)
            return;
        if (!SendAll(s, std::string(buffer, static_cast<size_t>(n))))
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

}  // namespace test
