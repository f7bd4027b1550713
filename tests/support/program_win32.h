// velmorin.exe as a child process, driven through its dialog from outside,
// as a user would: fields, buttons, the status list, and what the process
// holds of the system (Windows only).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/support/screen_win32.h"

namespace test {

// Wine can take a while to bring a process up.
const milliseconds kProgramStart(60000);

class Program {
public:
    Program() = default;
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;
    // Ends a process that is still running, with exit code 99.
    ~Program();

    // Starts the exe and waits for its dialog. Refuses, before it starts
    // anything, while another process shows a Velmorin dialog: a test must
    // never drive a program it did not start. Why() says what went wrong.
    bool Run(const char* szExe, milliseconds timeout = kProgramStart);
    const std::string& Why() const { return m_why; }
    HWND Dialog() const { return m_hDlg; }
    DWORD Id() const { return m_pi.dwProcessId; }
    HANDLE MainThread() const { return m_pi.hThread; }
    DWORD MainThreadId() const { return m_pi.dwThreadId; }

    // A command as the dialog gets it from a button, Enter or Esc; returns
    // once the dialog has handled it. False when the dialog did not answer.
    bool Command(int nId) { return SendWithin(m_hDlg, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED), 0, nullptr); }
    // Only queues the command (for a dialog that may be held up).
    void PostCommand(int nId) { PostMessageA(m_hDlg, WM_COMMAND, MAKEWPARAM(nId, BN_CLICKED), 0); }
    bool SetField(int nId, const std::string& text);
    bool Enabled(int nId) const { return IsWindowEnabled(GetDlgItem(m_hDlg, nId)) != FALSE; }

    // The status list: its length, and its lines from index nFrom on.
    // -1 and false when the dialog did not answer.
    int StatusCount();
    bool StatusLines(int nFrom, std::vector<std::string>* pLines) { return StatusListLines(m_hDlg, nFrom, pLines); }

    bool Ended(milliseconds timeout, DWORD* pdwExit);
    HANDLE Process() const { return m_pi.hProcess; }

private:
    std::string m_why;
    PROCESS_INFORMATION m_pi = {};
    HWND m_hDlg = nullptr;
};

// The threads of a process.
std::vector<DWORD> ThreadIds(DWORD dwProcess);

// Suspends every thread of the process but dwSpared until it ends, so that
// none can go on: a program's workers, held from outside. Gives how many.
int HoldThreads(DWORD dwProcess, DWORD dwSpared);

// Connections to nPort on this machine whose connect is still unanswered.
int PendingConnects(unsigned short nPort);

}  // namespace test
