// Windows side of the test support: Windows Sockets 1.1, a real list box as
// the status window, the error boxes on the screen, and the process's own
// figures. Same order as the POSIX side.

#include "tests/support/support.h"

#include <future>

#include "res/resource.h"
#include "tests/support/screen_win32.h"

namespace test {

const bool kFullQueueMayRefuse = true;
const int kAffordableStarts = 120;

bool StartSockets()
{
    WSADATA wsaData;
    return WSAStartup(0x0101, &wsaData) == 0;
}

void StopSockets()
{
    WSACleanup();
}

void PumpMessages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void Pause()
{
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
}

bool WaitEvents(const SOCKET* ps, const bool* pbWantWrite, int n, bool* pbReadable,
                bool* pbWritable, milliseconds timeout)
{
    fd_set readable, writable;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    for (int i = 0; i < n; ++i) {
        FD_SET(ps[i], &readable);
        if (pbWantWrite[i])
            FD_SET(ps[i], &writable);
    }
    struct timeval tv;
    tv.tv_sec = static_cast<long>(timeout.count() / 1000);
    tv.tv_usec = static_cast<long>(timeout.count() % 1000) * 1000;
    if (select(0, &readable, &writable, nullptr, &tv) == SOCKET_ERROR)
        return false;
    for (int i = 0; i < n; ++i) {
        pbReadable[i] = FD_ISSET(ps[i], &readable) != 0;
        pbWritable[i] = FD_ISSET(ps[i], &writable) != 0;
    }
    return true;
}

void SetNonBlocking(SOCKET s)
{
    u_long bOn = 1;
    ioctlsocket(s, FIONBIO, &bOn);
}

// Windows lets a socket choose no quick acknowledgement.
void Prompt(SOCKET s)
{
    int nOne = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&nOne), sizeof nOne);
}

bool WouldBlock()
{
    return WSAGetLastError() == WSAEWOULDBLOCK;
}

std::string LastErrorText()
{
    return SystemText(WSAGetLastError());
}

// As the program's error box shows it.
std::string SystemText(long nError)
{
    char* pszText = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                   static_cast<DWORD>(nError), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<LPSTR>(&pszText), 0, nullptr);
    std::string text = pszText != nullptr && pszText[0] != '\0'
                           ? pszText
                           : "Fehler " + std::to_string(static_cast<DWORD>(nError));
    LocalFree(pszText);
    return text;
}

std::string AddressInUseText()
{
    return SystemText(WSAEADDRINUSE);
}

void LimitSendTime(SOCKET s, milliseconds limit)
{
    DWORD dwLimit = static_cast<DWORD>(limit.count());
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&dwLimit), sizeof dwLimit);
}

long OpenHandles()
{
    DWORD dwCount = 0;
    // Wine answers 0, which no real process holds.
    if (!GetProcessHandleCount(GetCurrentProcess(), &dwCount) || dwCount == 0)
        return -1;
    return static_cast<long>(dwCount);
}

double ProcessCpuSeconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

// Each status window lives on a thread of its own that does nothing but
// handle messages, as the dialog thread does: the test thread may then block
// in socket calls while a worker sends it status lines. The window keeps its
// thread in its user data.
HWND CreateStatusWindow()
{
    std::promise<HWND> created;
    std::thread* pThread = new std::thread([&] {
        // A plain parent with the list box under the dialog's control number
        // is all that AddStatus addresses.
        HWND hWnd = CreateWindowExA(0, "STATIC", "status", WS_OVERLAPPEDWINDOW, 0, 0, 300, 300,
                                    nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        CreateWindowExA(0, "LISTBOX", "", WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOTIFY, 0, 0,
                        280, 260, hWnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS)),
                        GetModuleHandleA(nullptr), nullptr);
        created.set_value(hWnd);
        MSG msg;
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    });
    HWND hWnd = created.get_future().get();
    SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pThread));
    return hWnd;
}

void DestroyStatusWindow(HWND hWnd)
{
    // Taken before the window goes, which may be at once.
    std::thread* pThread = reinterpret_cast<std::thread*>(GetWindowLongPtrA(hWnd, GWLP_USERDATA));
    DWORD dwThreadId = GetWindowThreadProcessId(hWnd, nullptr);
    // Destroyed by its own thread, which then leaves its loop.
    PostMessageA(hWnd, WM_CLOSE, 0, 0);
    PostThreadMessageA(dwThreadId, WM_QUIT, 0, 0);
    pThread->join();
    delete pThread;
}

std::vector<std::string> StatusText(HWND hWnd)
{
    std::vector<std::string> lines;
    StatusListLines(hWnd, 0, &lines);
    return lines;
}

int SelectedLine(HWND hWnd)
{
    return static_cast<int>(SendDlgItemMessageA(hWnd, IDC_STATUS, LB_GETCURSEL, 0, 0));
}

bool WaitForLineCount(HWND hWnd, size_t nLines, milliseconds timeout)
{
    return WaitUntil([&] { return StatusText(hWnd).size() >= nLines; }, timeout);
}

bool TakeErrorBox(const std::string& caption, std::string* pText, milliseconds timeout)
{
    return CloseBox(GetCurrentProcessId(), caption, pText, timeout);
}

bool ErrorBoxShown()
{
    return FindBox([](HWND, DWORD dwProcess, const std::string&) { return dwProcess == GetCurrentProcessId(); }) !=
           nullptr;
}

Canary::Canary()
{
    SOCKET sListen = Listen(0);
    m_a = Connect(LocalPort(sListen));
    if (m_a != INVALID_SOCKET)  // else nothing would come to accept
        m_b = accept(sListen, nullptr, nullptr);
    Close(sListen);
    HANDLE hRead = nullptr, hWrite = nullptr;
    if (CreatePipe(&hRead, &hWrite, nullptr, 0)) {
        m_pipe[0] = reinterpret_cast<std::intptr_t>(hRead);
        m_pipe[1] = reinterpret_cast<std::intptr_t>(hWrite);
    }
}

Canary::~Canary()
{
    Close(m_a);
    Close(m_b);
    for (std::intptr_t end : m_pipe) {
        if (end != -1)
            CloseHandle(reinterpret_cast<HANDLE>(end));
    }
}

bool Canary::PipeCarries()
{
    char c = 0;
    DWORD cb = 0;
    return WriteFile(reinterpret_cast<HANDLE>(m_pipe[1]), "p", 1, &cb, nullptr) && cb == 1 &&
           ReadFile(reinterpret_cast<HANDLE>(m_pipe[0]), &c, 1, &cb, nullptr) && cb == 1 && c == 'p';
}

}  // namespace test
