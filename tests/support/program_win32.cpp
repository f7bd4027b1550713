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

bool Program::Run(const char* szExe, milliseconds timeout)
{
    m_szExe = szExe;
    // A program's dialog that belongs to no process of this test.
    HWND hStranger = FindBox([](HWND, DWORD dwProcess, const std::string& caption) {
        return caption == "Velmorin" && dwProcess != GetCurrentProcessId();
    });
    if (hStranger != nullptr) {
        DWORD dwStranger = 0;
        GetWindowThreadProcessId(hStranger, &dwStranger);
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
    return SendWithin(GetDlgItem(m_hDlg, nId), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), &bSet) &&
           bSet != 0;
}

bool Program::Enabled(int nId)
{
    return IsWindowEnabled(GetDlgItem(m_hDlg, nId)) != FALSE;
}

int Program::StatusCount()
{
    DWORD_PTR nCount = 0;
    return SendWithin(GetDlgItem(m_hDlg, IDC_STATUS), LB_GETCOUNT, 0, 0, &nCount) ? static_cast<int>(nCount) : -1;
}

bool Program::StatusLines(int nFrom, std::vector<std::string>* pLines)
{
    return StatusListLines(m_hDlg, nFrom, pLines);
}

bool StatusListLines(HWND hDlg, int nFrom, std::vector<std::string>* pLines)
{
    pLines->clear();
    HWND hList = GetDlgItem(hDlg, IDC_STATUS);
    DWORD_PTR nCount = 0;
    if (!SendWithin(hList, LB_GETCOUNT, 0, 0, &nCount))
        return false;
    // Wine hands the text of another process's list over only in the
    // wide form. The worker's lines are plain ASCII and fit its 256-byte
    // buffer.
    WCHAR wszLine[512];
    for (int i = nFrom; i < static_cast<int>(nCount); ++i) {
        DWORD_PTR cch = 0;
        if (!SendWithin(hList, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0, &cch) || cch >= 512)
            return false;
        wszLine[0] = L'\0';
        DWORD_PTR dwResult = 0;
        if (!SendMessageTimeoutW(hList, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wszLine),
                                 SMTO_NORMAL, static_cast<UINT>(kAnswer.count()), &dwResult))
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
        std::string cmdline = FileText(dir + "\\cmdline");
        // Another Wine prefix may run the same program at the same time.
        if (!prefix.empty() && FileText(dir + "\\environ").find(prefix) == std::string::npos)
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
            std::string status = FileText(host + "\\status");
            usage.bHost = true;
            usage.nHandles = static_cast<DWORD>(CountHostEntries(host + "\\fd"));
            usage.nThreads = static_cast<DWORD>(StatusField(status, "Threads"));
            usage.cbPrivate = static_cast<SIZE_T>(StatusField(status, "RssAnon")) * 1024;
            usage.cbWorkingSet = static_cast<SIZE_T>(StatusField(status, "VmRSS")) * 1024;
        }
    }
    return usage;
}

struct BoxSearch {
    const std::function<bool(HWND, DWORD, const std::string&)>* pMatch;
    HWND hFound;
};

static BOOL CALLBACK MatchBox(HWND hWnd, LPARAM lParam)
{
    BoxSearch* pSearch = reinterpret_cast<BoxSearch*>(lParam);
    char szClass[64] = "", szTitle[256] = "";
    WCHAR wszTitle[256] = L"";
    GetClassNameA(hWnd, szClass, sizeof szClass);
    // The caption as the system keeps it: asking a window of this process
    // for it waits for the window's thread, which may be waiting for ours.
    InternalGetWindowText(hWnd, wszTitle, 256);
    WideCharToMultiByte(CP_ACP, 0, wszTitle, -1, szTitle, sizeof szTitle, nullptr, nullptr);
    DWORD dwProcess = 0;
    GetWindowThreadProcessId(hWnd, &dwProcess);
    if (std::strcmp(szClass, "#32770") == 0 && IsWindowVisible(hWnd) && (*pSearch->pMatch)(hWnd, dwProcess, szTitle)) {
        pSearch->hFound = hWnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindBox(const std::function<bool(HWND, DWORD, const std::string&)>& match)
{
    BoxSearch search = {&match, nullptr};
    EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
    return search.hFound;
}

HWND WaitForDialog(DWORD dwProcess, const std::string& caption, milliseconds timeout)
{
    HWND hFound = nullptr;
    WaitUntil(
        [&] {
            hFound = FindBox([&](HWND, DWORD dwOf, const std::string& title) {
                return dwOf == dwProcess && title == caption;
            });
            return hFound != nullptr;
        },
        timeout);
    return hFound;
}

bool CloseBox(DWORD dwProcess, const std::string& caption, std::string* pText, milliseconds timeout,
              std::atomic<int>* pnClosed)
{
    HWND hBox = WaitForDialog(dwProcess, caption, timeout);
    if (hBox == nullptr)
        return false;
    if (pText != nullptr) {
        // The message box's text is the static control numbered 0xFFFF.
        char szText[1024] = "";
        GetDlgItemTextA(hBox, 0xFFFF, szText, sizeof szText);
        *pText = szText;
    }
    if (pnClosed != nullptr)
        ++*pnClosed;
    PostMessageA(hBox, WM_COMMAND, IDOK, 0);
    WaitUntil([&] { return !IsWindowVisible(hBox); }, milliseconds(5000));
    return true;
}

}  // namespace test
