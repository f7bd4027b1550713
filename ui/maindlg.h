// The main dialog: the settings fields, Start, Stop and Beenden, and the
// status list the worker writes to (Windows only).
#pragma once

#include <windows.h>

// The icon the dialog gives its window class; start-up loads it.
extern HICON g_hIcon;

// The procedure of the "maindialog" template. It returns FALSE for every
// message, so the system's dialog handling always follows.
INT_PTR CALLBACK MainDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
