// The exe as a child process, driven through its dialog.

#include "tests/support/program_win32.h"

#include <iphlpapi.h>
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
    // A program that ends without showing its dialog is not waited for.
    WaitUntil(
        [&] {
            m_hDlg = WaitForDialog(m_pi.dwProcessId, "Velmorin", milliseconds(0));
            return m_hDlg != nullptr || WaitForSingleObject(m_pi.hProcess, 0) == WAIT_OBJECT_0;
        },
        timeout);
    if (m_hDlg == nullptr) {
        DWORD dwExit = 0;
        GetExitCodeProcess(m_pi.hProcess, &dwExit);
        m_why = szExe + std::string(" shows no dialog") +
                (dwExit == STILL_ACTIVE ? std::string() : ", ended with " + std::to_string(dwExit));
        return false;
    }
    return true;
}

bool Program::SetField(int nId, const std::string& text)
{
    DWORD_PTR bSet = 0;
    return SendWithin(GetDlgItem(m_hDlg, nId), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), &bSet) &&
           bSet != 0;
}

int Program::StatusCount()
{
    DWORD_PTR nCount = 0;
    return SendWithin(GetDlgItem(m_hDlg, IDC_STATUS), LB_GETCOUNT, 0, 0, &nCount) ? static_cast<int>(nCount) : -1;
}

bool Program::Ended(milliseconds timeout, DWORD* pdwExit)
{
    if (WaitForSingleObject(m_pi.hProcess, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0)
        return false;
    *pdwExit = 99;
    GetExitCodeProcess(m_pi.hProcess, pdwExit);
    return true;
}

std::vector<DWORD> ThreadIds(DWORD dwProcess)
{
    std::vector<DWORD> ids;
    HANDLE hSnapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL bMore = Thread32First(hSnapshot, &entry); bMore; bMore = Thread32Next(hSnapshot, &entry)) {
        if (entry.th32OwnerProcessID == dwProcess)
            ids.push_back(entry.th32ThreadID);
    }
    CloseHandle(hSnapshot);
    return ids;
}

int HoldThreads(DWORD dwProcess, DWORD dwSpared)
{
    int nHeld = 0;
    for (DWORD dwThread : ThreadIds(dwProcess)) {
        HANDLE hThread = dwThread != dwSpared ? OpenThread(THREAD_SUSPEND_RESUME, FALSE, dwThread) : nullptr;
        if (hThread != nullptr) {
            nHeld += SuspendThread(hThread) != static_cast<DWORD>(-1);
            CloseHandle(hThread);
        }
    }
    return nHeld;
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
