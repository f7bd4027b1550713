// The process entry: Windows Sockets, the icon, the main dialog and the
// message loop that ends with it (Windows only).

#include <windows.h>
#include <winsock.h>

#include "ui/maindlg.h"

// Exit code when the dialog could not be created: there is then no window
// whose end would post the quit message.
const int kNoDialog = 1;

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE /*hPrevInstance*/, LPSTR /*lpCmdLine*/,
                   int /*nCmdShow*/)
{
    WSADATA wsaData;
    if (WSAStartup(0x0101, &wsaData) != 0) {
        // Untested: every Windows since 95, and Wine, start version 1.1.
        MessageBoxA(nullptr, "Keine WinSockets !\r\n", "WSAStartup()", MB_ICONWARNING);
        return 0;
    }

    // A missing icon is not worth a word: the dialog then has none.
    g_hIcon = LoadIconA(hInstance, "VELMORIN");
    INT_PTR nResult =
        DialogBoxParamA(hInstance, "maindialog", GetDesktopWindow(), MainDlgProc, 0);
    if (nResult == -1) {
        WSACleanup();
        return kNoDialog;
    }

    // The dialog's end has posted the quit message already; this loop
    // takes it, and whatever was queued before it.
    MSG msg;
    msg.wParam = 0;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    WSACleanup();
    return static_cast<int>(msg.wParam);
}
