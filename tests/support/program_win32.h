// velmorin.exe as a child process, driven through its dialog from outside,
// as a user would: fields, buttons, the status list, and what the process
// holds of the system; and the dialogs and boxes on the screen (Windows only).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace test {

// Wine can take a while to bring a process up.
const milliseconds kProgramStart(60000);
// How long the dialog may take to handle one message before it counts as
// hung; Start may wait a second for a worker on its way out.
const milliseconds kAnswer(5000);

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

    // A command as the dialog gets it from a button, Enter or Esc; returns
    // once the dialog has handled it. False when the dialog did not answer.
    bool Command(int nId);
    // Only queues the command (for a dialog that may be held up).
    void PostCommand(int nId);
    bool SetField(int nId, const std::string& text);
    bool Enabled(int nId);

    // The status list: its length, and its lines from index nFrom on.
    // -1 and false when the dialog did not answer.
    int StatusCount();
    bool StatusLines(int nFrom, std::vector<std::string>* pLines);

    bool Ended(milliseconds timeout, DWORD* pdwExit);
    HANDLE Process() const { return m_pi.hProcess; }

private:
    std::string m_why;
    PROCESS_INFORMATION m_pi = {};
    HWND m_hDlg = nullptr;
};

// The lines of a dialog's status list from index nFrom on, in this process
// or another; false when the dialog did not answer.
bool StatusListLines(HWND hDlg, int nFrom, std::vector<std::string>* pLines);

// The first visible dialog or message box for which match holds, given the
// box, its process and its caption; nullptr when there is none.
HWND FindBox(const std::function<bool(HWND, DWORD, const std::string&)>& match);
// A visible dialog or message box of the process with the caption, or
// nullptr after the timeout.
HWND WaitForDialog(DWORD dwProcess, const std::string& caption, milliseconds timeout = kTimeout);
// Waits for such a box, gives its text (if asked), closes it as its OK
// button does and waits until it is gone. False when none came in time.
// Counts it in *pnClosed, if given, before the box's thread can go on.
bool CloseBox(DWORD dwProcess, const std::string& caption, std::string* pText = nullptr,
              milliseconds timeout = kTimeout, std::atomic<int>* pnClosed = nullptr);

// Connections to nPort on this machine whose connect is still unanswered.
int PendingConnects(unsigned short nPort);

}  // namespace test
