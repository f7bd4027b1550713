// Windows on the screen: status lists read, boxes found and closed.

#include "tests/support/screen_win32.h"

#include <cstring>

#include "res/resource.h"

namespace test {

bool SendWithin(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam, DWORD_PTR* pResult, milliseconds timeout)
{
    DWORD_PTR dwResult = 0;
    LRESULT bOk = SendMessageTimeoutA(hWnd, uMsg, wParam, lParam, SMTO_NORMAL,
                                      static_cast<UINT>(timeout.count()), &dwResult);
    if (pResult != nullptr)
        *pResult = dwResult;
    return bOk != 0;
}

bool StatusListLines(HWND hDlg, int nFrom, std::vector<std::string>* pLines)
{
    pLines->clear();
    HWND hList = GetDlgItem(hDlg, IDC_STATUS);
    DWORD_PTR nCount = 0;
    if (!SendWithin(hList, LB_GETCOUNT, 0, 0, &nCount))
        return false;
    // Wine hands the text of another process's list over only in the
    // wide form. The worker's lines are plain ASCII and fit its 256-byte
    // buffer.
    WCHAR wszLine[512];
    for (int i = nFrom; i < static_cast<int>(nCount); ++i) {
        DWORD_PTR cch = 0;
        if (!SendWithin(hList, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0, &cch) || cch >= 512)
            return false;
        wszLine[0] = L'\0';
        DWORD_PTR dwResult = 0;
        if (!SendMessageTimeoutW(hList, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(wszLine),
                                 SMTO_NORMAL, static_cast<UINT>(kAnswer.count()), &dwResult))
            return false;
        char szLine[512];
        WideCharToMultiByte(CP_ACP, 0, wszLine, -1, szLine, sizeof szLine, nullptr, nullptr);
        pLines->emplace_back(szLine);
    }
    return true;
}

struct BoxSearch {
    const std::function<bool(HWND, DWORD, const std::string&)>* pMatch;
    HWND hFound;
};

static BOOL CALLBACK MatchBox(HWND hWnd, LPARAM lParam)
{
    BoxSearch* pSearch = reinterpret_cast<BoxSearch*>(lParam);
    char szClass[64] = "", szTitle[256] = "";
    WCHAR wszTitle[256] = L"";
    GetClassNameA(hWnd, szClass, sizeof szClass);
    // The caption as the system keeps it: asking a window of this process
    // for it waits for the window's thread, which may be waiting for ours.
    InternalGetWindowText(hWnd, wszTitle, 256);
    WideCharToMultiByte(CP_ACP, 0, wszTitle, -1, szTitle, sizeof szTitle, nullptr, nullptr);
    DWORD dwProcess = 0;
    GetWindowThreadProcessId(hWnd, &dwProcess);
    if (std::strcmp(szClass, "#32770") == 0 && IsWindowVisible(hWnd) && (*pSearch->pMatch)(hWnd, dwProcess, szTitle)) {
        pSearch->hFound = hWnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindBox(const std::function<bool(HWND, DWORD, const std::string&)>& match)
{
    BoxSearch search = {&match, nullptr};
    EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
    return search.hFound;
}

HWND WaitForDialog(DWORD dwProcess, const std::string& caption, milliseconds timeout)
{
    HWND hFound = nullptr;
    WaitUntil(
        [&] {
            hFound = FindBox([&](HWND, DWORD dwOf, const std::string& title) {
                return dwOf == dwProcess && title == caption;
            });
            return hFound != nullptr;
        },
        timeout);
    return hFound;
}

bool CloseBox(DWORD dwProcess, const std::string& caption, std::string* pText, milliseconds timeout,
              std::atomic<int>* pnClosed)
{
    HWND hBox = WaitForDialog(dwProcess, caption, timeout);
    if (hBox == nullptr)
        return false;
    if (pText != nullptr) {
        // The message box's text is the static control numbered 0xFFFF.
        char szText[1024] = "";
        GetDlgItemTextA(hBox, 0xFFFF, szText, sizeof szText);
        *pText = szText;
    }
    if (pnClosed != nullptr)
        ++*pnClosed;
    PostMessageA(hBox, WM_COMMAND, IDOK, 0);
    WaitUntil([&] { return !IsWindowVisible(hBox); }, milliseconds(5000));
    return true;
}

}  // namespace test
