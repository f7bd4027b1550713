// The exe as a child process, driven through its dialog.

#include "tests/support/program_win32.h"

#include <psapi.h>
#include <tlhelp32.h>

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
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (!CreateProcessA(szExe, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi))
        return false;
    m_hDlg = WaitForDialog(m_pi.dwProcessId, "Velmorin", timeout);
    return m_hDlg != nullptr;
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
    // Every line the worker makes fits its 256-byte buffer.
    char szLine[512];
    for (int i = nFrom; i < nCount; ++i) {
        DWORD_PTR cch = 0;
        if (!SendWithin(hList, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0, &cch) ||
            cch >= sizeof szLine)
            return false;
        szLine[0] = '\0';
        if (!SendWithin(hList, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(szLine),
                        &cch))
            return false;
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
    return usage;
}

}  // namespace test
