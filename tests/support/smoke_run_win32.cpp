// Starts a program, waits for its Velmorin dialog, presses Esc in it and
// expects the program to end with exit code 0 (Windows only, test support;
// tools/smoke-exe runs it). Esc goes to the dialog as the keyboard delivers
// it, a key-down message in the dialog's queue, not through the X server:
// a key that a crashed X client pressed and never released stays down for
// every later window on that display.
//
// Usage: smoke_run EXE; prints "smoke: ..." lines, exit code 0 when it held.

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const DWORD kStartMs = 60000;  // Wine can take a while to bring a program up
const DWORD kEndMs = 10000;
const DWORD kStepMs = 50;

struct Search {
    DWORD dwProcess;  // 0: any process but this one
    HWND hFound;
};

BOOL CALLBACK FindVelmorin(HWND hWnd, LPARAM lParam)
{
    Search* pSearch = reinterpret_cast<Search*>(lParam);
    char szClass[64] = "", szTitle[64] = "";
    GetClassNameA(hWnd, szClass, sizeof szClass);
    GetWindowTextA(hWnd, szTitle, sizeof szTitle);
    DWORD dwProcess = 0;
    GetWindowThreadProcessId(hWnd, &dwProcess);
    bool bProcess = pSearch->dwProcess != 0 ? dwProcess == pSearch->dwProcess
                                            : dwProcess != GetCurrentProcessId();
    if (std::strcmp(szClass, "#32770") == 0 && std::strcmp(szTitle, "Velmorin") == 0 &&
        IsWindowVisible(hWnd) && bProcess) {
        pSearch->hFound = hWnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindDialog(DWORD dwProcess)
{
    Search search = {dwProcess, nullptr};
    EnumWindows(FindVelmorin, reinterpret_cast<LPARAM>(&search));
    return search.hFound;
}

int Fail(const char* szWhy)
{
    std::printf("smoke: %s\n", szWhy);
    return 1;
}

// The program started here, ended however the run ends.
struct Started {
    PROCESS_INFORMATION pi = {};
    ~Started()
    {
        if (pi.hProcess == nullptr)
            return;
        if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT) {
            TerminateProcess(pi.hProcess, 99);
            WaitForSingleObject(pi.hProcess, kEndMs);
        }
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
        return Fail("usage: smoke_run EXE");
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // Keys go to the dialog of the program started here and no other.
    HWND hOther = FindDialog(0);
    if (hOther != nullptr) {
        DWORD dwOther = 0;
        GetWindowThreadProcessId(hOther, &dwOther);
        std::printf("smoke: a Velmorin dialog is open already, of process %lu\n",
                    static_cast<unsigned long>(dwOther));
        return 1;
    }

    Started program;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    if (!CreateProcessA(argv[1], nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &program.pi))
        return Fail("cannot start the program");
    HWND hDlg = nullptr;
    for (DWORD dwWaited = 0; hDlg == nullptr && dwWaited < kStartMs; dwWaited += kStepMs) {
        if (WaitForSingleObject(program.pi.hProcess, kStepMs) == WAIT_OBJECT_0)
            return Fail("the program ended before its dialog came up");
        hDlg = FindDialog(program.pi.dwProcessId);
    }
    if (hDlg == nullptr)
        return Fail("the dialog did not come up within a minute");
    std::printf("smoke: dialog up\n");

    // The dialog manager turns Esc into Beenden.
    PostMessageA(hDlg, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
    PostMessageA(hDlg, WM_KEYUP, VK_ESCAPE, 0xC0010001);
    if (WaitForSingleObject(program.pi.hProcess, kEndMs) != WAIT_OBJECT_0)
        return Fail("Esc did not end the program within 10 s");
    DWORD dwExit = 99;
    GetExitCodeProcess(program.pi.hProcess, &dwExit);
    if (dwExit != 0) {
        std::printf("smoke: exit code %lu, expected 0\n", static_cast<unsigned long>(dwExit));
        return 1;
    }
    std::printf("smoke: ended with exit code 0\n");
    return 0;
}
