// The exe as a child process, driven through its dialog.

#include "tests/support/program_win32.h"

#include <iphlpapi.h>

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
        m_why = std::string("cannot start ") + szExe + ", error " + std::to_string(GetLastError());
        return false;
    }
    m_hDlg = WaitForDialog(m_pi.dwProcessId, "Velmorin", timeout);
    if (m_hDlg == nullptr) {
        DWORD dwExit = 0;
        GetExitCodeProcess(m_pi.hProcess, &dwExit);
        m_why = szExe + std::string(" shows no dialog") +
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

int PendingConnects(unsigned short nPort)
{
    ULONG cb = 0;
    GetTcpTable(nullptr, &cb, FALSE);
    // Room for connections made between the two calls.
    std::vector<char> buffer(cb + 64 * sizeof(MIB_TCPROW));
    MIB_TCPTABLE* pTable = reinterpret_cast<MIB_TCPTABLE*>(buffer.data());
    cb = static_cast<ULONG>(buffer.size());
    int n = 0;
    if (GetTcpTable(pTable, &cb, FALSE) != NO_ERROR)
        return 0;
    for (DWORD i = 0; i < pTable->dwNumEntries; ++i)
        n += pTable->table[i].dwState == MIB_TCP_STATE_SYN_SENT &&
             ntohs(static_cast<u_short>(pTable->table[i].dwRemotePort)) == nPort;
    return n;
}

}  // namespace test
