// Windows on the screen, of this process or another: a dialog's status list
// read, and dialogs and boxes found by their caption and closed as their OK
// button does (Windows only).
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/support.h"

namespace test {

// How long a dialog may take to handle one message before it counts as
// hung; the program's Start may wait a second for a worker on its way out.
const milliseconds kAnswer(5000);

// A message sent and answered within timeout; false when it was not.
bool SendWithin(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, DWORD_PTR* pResult,
                milliseconds timeout = kAnswer);

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

}  // namespace test
