// Holds a test run's Wine desktop open from its start to its end (Windows
// only, test support). Wine closes a desktop about a second after the last
// program on it has ended; a program that comes up in that moment loses its
// windows with the desktop, and a dialog program then simply ends. Between
// two test programs that moment comes often enough to fail a run now and
// then, so the run keeps this program on the desktop throughout.
//
// Usage: keep_desktop [seconds [ready-file]]: runs for that long (three
// hours if not given; the run that started it normally ends it sooner with
// wineserver -k) and makes the ready file once it is on the desktop.

#include <windows.h>

#include <cstdlib>

const UINT kDefaultSeconds = 3 * 60 * 60;

int main(int argc, char** argv)
{
    UINT nSeconds = argc > 1 && std::atoi(argv[1]) > 0 ? static_cast<UINT>(std::atoi(argv[1])) : kDefaultSeconds;
    // A window of its own, never shown, puts this program on the desktop.
    HWND hWnd = CreateWindowExA(0, "STATIC", "keep desktop", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
    if (hWnd == nullptr)
        return 1;
    SetTimer(hWnd, 1, nSeconds * 1000, nullptr);
    if (argc > 2)
        CloseHandle(CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER)
            break;
        DispatchMessageA(&msg);
    }
    DestroyWindow(hWnd);
    return 0;
}
