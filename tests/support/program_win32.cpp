// The exe as a child process, driven through its dialog.

#include "tests/support/program_win32.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "res/resource.h"

namespace test {

Program::~Program()
{
    if (m_pi.hProcess == nullptr)
        return;
    if (WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_pi.hProcess, 99);
        WaitForSingleObject(m_pi.hProcess, 10000);
    }
    CloseHandle(m_pi.hProcess);
    CloseHandle(m_pi.hThread);
}

// A program's dialog that belongs to no process of this test.
static BOOL CALLBACK FindStranger(HWND hWnd, LPARAM lParam)
{
    char szClass[64] = "", szTitle[64] = "";
    GetClassNameA(hWnd, szClass, sizeof szClass);
    GetWindowTextA(hWnd, szTitle, sizeof szTitle);
    DWORD dwProcess = 0;
    GetWindowThreadProcessId(hWnd, &dwProcess);
    if (std::strcmp(szClass, "#32770") == 0 && std::strcmp(szTitle, "Velmorin") == 0 &&
        IsWindowVisible(hWnd) && dwProcess != GetCurrentProcessId()) {
        *reinterpret_cast<DWORD*>(lParam) = dwProcess;
        return FALSE;
    }
    return TRUE;
}

bool Program::Run(const char* szExe, milliseconds timeout)
{
    m_szExe = szExe;
    DWORD dwStranger = 0;
    EnumWindows(FindStranger, reinterpret_cast<LPARAM>(&dwStranger));
    if (dwStranger != 0) {
        m_why = "another Velmorin dialog is open, of process " + std::to_string(dwStranger) +
                ": something before this test left it running";
        return false;
    }
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (!CreateProcessA(szExe, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi)) {
        m_why = "cannot start " + m_szExe + ", error " + std::to_string(GetLastError());
        return false;
    }
    m_hDlg = WaitForDialog(m_pi.dwProcessId, "Velmorin", timeout);
    if (m_hDlg == nullptr) {
        DWORD dwExit = 0;
        GetExitCodeProcess(m_pi.hProcess, &dwExit);
        m_why = m_szExe + " shows no dialog" +
                (dwExit == STILL_ACTIVE ? std::string() : ", ended with " + std::to_string(dwExit));
        return false;
    }
    return true;
}

static bool SendWithin(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, DWORD_PTR* pResult,
                       milliseconds timeout = kAnswer)
{
    DWORD_PTR dwResult = 0;
    LRESULT bOk = SendMessageTimeoutA(hWnd, uMsg, wParam, lParam, SMTO_NORMAL,
                                      static_cast<UINT>(timeout.count()), &dwResult);
    if (pResult != nullptr)
        *pResult = dwResult;
    return bOk != 0;
}

bool Program::Command(int nId)
{
    return SendWithin(m_hDlg, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED), 0, nullptr);
}

void Program::PostCommand(int nId)
{
    PostMessageA(m_hDlg, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED), 0);
}

bool Program::SetField(int nId, const std::string& text)
{
    DWORD_PTR bSet = 0;
    return SendWithin(GetDlgItem(m_hDlg, nId), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                      &bSet) &&
           bSet != 0;
}

bool Program::Answers(milliseconds timeout)
{
    return SendWithin(m_hDlg, WM_NULL, 0, 0, nullptr, timeout);
}

bool Program::Enabled(int nId)
{
    return IsWindowEnabled(GetDlgItem(m_hDlg, nId)) != FALSE;
}

int Program::StatusCount()
{
    DWORD_PTR nCount = 0;
    if (!SendWithin(GetDlgItem(m_hDlg, IDC_STATUS), LB_GETCOUNT, 0, 0, &nCount))
        return -1;
    return static_cast<int>(nCount);
}

bool Program::StatusLines(int nFrom, std::vector<std::string>* pLines)
{
    pLines->clear();
    HWND hList = GetDlgItem(m_hDlg, IDC_STATUS);
    int nCount = StatusCount();
    if (nCount < 0)
        return false;
    // Wine hands the text of another process's list over only in the
    // wide form. The worker's lines are plain ASCII and fit its 256-byte
    // buffer.
    WCHAR wszLine[512];
    for (int i = nFrom; i < nCount; ++i) {
        DWORD_PTR cch = 0;
        if (!SendWithin(hList, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0, &cch) || cch >= 512)
            return false;
        wszLine[0] = L'\0';
        DWORD_PTR dwResult = 0;
        if (!SendMessageTimeoutW(hList, LB_GETTEXT, static_cast<WPARAM>(i),
                                 reinterpret_cast<LPARAM>(wszLine), SMTO_NORMAL,
                                 static_cast<UINT>(kAnswer.count()), &dwResult))
            return false;
        char szLine[512];
        WideCharToMultiByte(CP_ACP, 0, wszLine, -1, szLine, sizeof szLine, nullptr, nullptr);
        pLines->emplace_back(szLine);
    }
    return true;
}

bool Program::Ended(milliseconds timeout, DWORD* pdwExit)
{
    if (WaitForSingleObject(m_pi.hProcess, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return false;
    *pdwExit = 99;
    GetExitCodeProcess(m_pi.hProcess, pdwExit);
    return true;
}

// Wine keeps a process's sockets and memory in a host process of its own
// and does not give another process its handle count or private bytes. The
// host's figures for that process are the honest stand-in: its open
// descriptors (each socket and file the program holds), threads and
// resident anonymous memory. The host process is the newest one of this
// Wine prefix whose command line names the program.
static std::string ReadHostFile(const std::string& path)
{
    HANDLE hFile = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (hFile == INVALID_HANDLE_VALUE)
        return std::string();
    std::string text;
    char buffer[4096];
    DWORD cbRead = 0;
    for (int nRound = 0; nRound < 64 && ReadFile(hFile, buffer, sizeof buffer, &cbRead, nullptr) && cbRead > 0;
         ++nRound)
        text.append(buffer, cbRead);
    CloseHandle(hFile);
    return text;
}

static long HostStatusField(const std::string& status, const char* szName)
{
    std::string key = std::string("\n") + szName + ":";
    size_t nAt = status.find(key);
    return nAt == std::string::npos ? -1 : std::strtol(status.c_str() + nAt + key.size(), nullptr, 10);
}

static int CountHostEntries(const std::string& dir)
{
    WIN32_FIND_DATAA found;
    HANDLE hFind = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (hFind == INVALID_HANDLE_VALUE)
        return -1;
    int n = 0;
    do {
        if (std::isdigit(static_cast<unsigned char>(found.cFileName[0])))
            ++n;
    } while (FindNextFileA(hFind, &found) && n < 1000000);
    FindClose(hFind);
    return n;
}

std::string Program::HostProcess() const
{
    // The host sees the program under its Windows path; its file name is
    // what both spellings share.
    std::string name = m_szExe.substr(m_szExe.find_last_of("/\\") + 1);
    char szPrefix[1024];
    DWORD cchPrefix = GetEnvironmentVariableA("WINEPREFIX", szPrefix, sizeof szPrefix);
    std::string prefix = cchPrefix > 0 && cchPrefix < sizeof szPrefix
                             ? std::string("WINEPREFIX=") + szPrefix + std::string(1, '\0')
                             : std::string();
    WIN32_FIND_DATAA found;
    HANDLE hFind = FindFirstFileA("Z:\\proc\\*", &found);
    if (hFind == INVALID_HANDLE_VALUE)
        return std::string();
    std::string newest;
    long nNewest = -1;
    int nRound = 0;
    do {
        if (!std::isdigit(static_cast<unsigned char>(found.cFileName[0])))
            continue;
        std::string dir = std::string("Z:\\proc\\") + found.cFileName;
        std::string cmdline = ReadHostFile(dir + "\\cmdline");
        // Another Wine prefix may run the same program at the same time.
        if (!prefix.empty() && ReadHostFile(dir + "\\environ").find(prefix) == std::string::npos)
            continue;
        size_t cchLine = std::strlen(cmdline.c_str());
        if (cchLine < name.size() + 1 || lstrcmpiA(cmdline.c_str() + cchLine - name.size(), name.c_str()) != 0 ||
            (cmdline[cchLine - name.size() - 1] != '\\' && cmdline[cchLine - name.size() - 1] != '/'))
            continue;
        long nPid = std::strtol(found.cFileName, nullptr, 10);
        if (nPid > nNewest) {
            nNewest = nPid;
            newest = dir;
        }
    } while (FindNextFileA(hFind, &found) && ++nRound < 1000000);
    FindClose(hFind);
    return newest;
}

Program::Usage Program::Measure() const
{
    Usage usage = {};
    GetProcessHandleCount(m_pi.hProcess, &usage.nHandles);
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof counters;
    if (GetProcessMemoryInfo(m_pi.hProcess, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof counters)) {
        usage.cbPrivate = counters.PrivateUsage;
        usage.cbWorkingSet = counters.WorkingSetSize;
    }
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (hSnapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry = {};
        entry.dwSize = sizeof entry;
        for (BOOL bMore = Thread32First(hSnapshot, &entry); bMore; bMore = Thread32Next(hSnapshot, &entry))
            if (entry.th32OwnerProcessID == m_pi.dwProcessId)
                ++usage.nThreads;
        CloseHandle(hSnapshot);
    }
    if (usage.nHandles == 0 || usage.cbPrivate == 0) {
        std::string host = HostProcess();
        if (!host.empty()) {
            std::string status = ReadHostFile(host + "\\status");
            usage.bHost = true;
            usage.nHandles = static_cast<DWORD>(CountHostEntries(host + "\\fd"));
            usage.nThreads = static_cast<DWORD>(HostStatusField(status, "Threads"));
            usage.cbPrivate = static_cast<SIZE_T>(HostStatusField(status, "RssAnon")) * 1024;
            usage.cbWorkingSet = static_cast<SIZE_T>(HostStatusField(status, "VmRSS")) * 1024;
        }
    }
    return usage;
}

FullListener::FullListener()
{
    m_sListen = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int cbAddr = sizeof addr;
    if (bind(m_sListen, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(m_sListen, 0) != 0 ||
        getsockname(m_sListen, reinterpret_cast<struct sockaddr*>(&addr), &cbAddr) != 0)
        return;
    m_nPort = ntohs(addr.sin_port);
    // Connects without waiting until one of them is left hanging.
    for (int i = 0; i < 16 && !m_bFull; ++i) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
        u_long bNonBlocking = 1;
        ioctlsocket(s, FIONBIO, &bNonBlocking);
        connect(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
        m_fillers.push_back(s);
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        struct timeval tv = {1, 0};
        m_bFull = select(0, nullptr, &writable, nullptr, &tv) == 0;
    }
}

FullListener::~FullListener()
{
    for (SOCKET s : m_fillers)
        Close(s);
    Close(m_sListen);
}

}  // namespace test
