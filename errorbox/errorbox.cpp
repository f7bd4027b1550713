// The box that reports a failed system call with the system's own text
// (Windows only).

#include "errorbox/errorbox.h"

#include <windows.h>
#include <cstdio>

void ShowLastError(const char* szCaption)
{
    DWORD dwErr = GetLastError();
    char* pszText = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, dwErr,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<LPSTR>(&pszText), 0,
                   nullptr);
    // Some Windows Sockets codes have no text; the bare code still tells
    // the user (and a search engine) what happened.
    char szCode[32];
    const char* pszShown = pszText;
    if (pszShown == nullptr || pszShown[0] == '\0') {
        // NOLINTNEXTLINE(cert-err33-c): ten digits at most: the text fits
        std::sprintf(szCode, "Fehler %lu", static_cast<unsigned long>(dwErr));
        pszShown = szCode;
    }
    MessageBoxA(nullptr, pszShown, szCaption, MB_ICONINFORMATION);
    LocalFree(pszText);
}
