// The status list over a long run: how long one AddStatus takes as the list
// grows to 100,000 lines, made the way the worker makes it (a synchronous
// send from a thread of its own to the dialog's thread), and how much
// memory each line costs. Windows only; runs under Wine.
//
// Usage: status_list [lines [hidden]]; prints plain "status_list: ..." lines.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/platform.h"
#include "res/resource.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Run {
    HWND hDlg;
    long nLines;
    // Median microseconds of one AddStatus over the 1000 calls before each
    // checkpoint, and the checkpoints.
    std::vector<long> checkpoints;
    std::vector<double> medians;
};

DWORD WINAPI Fill(LPVOID pParam)
{
    Run* pRun = static_cast<Run*>(pParam);
    std::vector<double> block;
    size_t nNext = 0;
    // Two lines per connection, as a long run makes them: one appended,
    // one appended and selected.
    for (long i = 0; i < pRun->nLines; i += 2) {
        AppendStatus(pRun->hDlg, "Verbunden mit 127.0.0.1");
        Clock::time_point start = Clock::now();
        AddStatus(pRun->hDlg, "Verbindung beendet.");
        block.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (nNext < pRun->checkpoints.size() && i + 2 >= pRun->checkpoints[nNext]) {
            std::sort(block.begin(), block.end());
            pRun->medians.push_back(block[block.size() / 2]);
            ++nNext;
        }
        if (block.size() >= 500)
            block.clear();
    }
    return 0;
}

// Bytes in use in all of this process's heaps, with the heaps' own
// bookkeeping: where the list keeps its items and their texts.
long long HeapBytesInUse()
{
    HANDLE heaps[64];
    DWORD nHeaps = GetProcessHeaps(64, heaps);
    long long cbInUse = 0;
    for (DWORD i = 0; i < nHeaps && i < 64; ++i) {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry = {};
        for (long nRound = 0; nRound < 100000000 && HeapWalk(heaps[i], &entry); ++nRound)
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                cbInUse += static_cast<long long>(entry.cbData) + entry.cbOverhead;
        HeapUnlock(heaps[i]);
    }
    return cbInUse;
}

INT_PTR CALLBACK Quiet(HWND, UINT, WPARAM, LPARAM)
{
    return FALSE;
}

}  // namespace

int main(int argc, char** argv)
{
    long nLines = argc > 1 ? std::atol(argv[1]) : 100000;
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // The program's own dialog template, so that the list is the one users
    // have; a quiet procedure, so that nothing but the list is at work.
    HWND hDlg = CreateDialogParamA(GetModuleHandleA(nullptr), "maindialog", nullptr, Quiet, 0);
    if (hDlg == nullptr) {
        std::printf("status_list: no dialog, error %lu\n", GetLastError());
        return 1;
    }
    // "hidden" leaves the dialog unshown: the difference is what drawing
    // and scrolling the visible list cost.
    bool bHidden = argc > 2 && std::strcmp(argv[2], "hidden") == 0;
    if (!bHidden)
        ShowWindow(hDlg, SW_SHOW);

    Run run = {hDlg, nLines, {}, {}};
    for (long n : {1000L, 10000L, 50000L, 100000L, 200000L, 500000L})
        if (n <= nLines)
            run.checkpoints.push_back(n);
    long long cbBefore = HeapBytesInUse();
    Clock::time_point start = Clock::now();
    HANDLE hThread = CreateThread(nullptr, 0, Fill, &run, 0, nullptr);
    // The dialog's thread: handles the sends until the filler is done.
    for (int nRound = 0; nRound < 100000000; ++nRound) {
        DWORD dwWait = MsgWaitForMultipleObjects(1, &hThread, FALSE, 60000, QS_ALLINPUT);
        if (dwWait != WAIT_OBJECT_0 + 1)
            break;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    CloseHandle(hThread);
    long long cbAfter = HeapBytesInUse();
    LRESULT nCount = SendDlgItemMessageA(hDlg, IDC_STATUS, LB_GETCOUNT, 0, 0);

    std::printf("status_list: lines %ld in %.1f s, dialog %s\n", static_cast<long>(nCount), dSeconds,
                bHidden ? "hidden" : "shown");
    for (size_t i = 0; i < run.medians.size(); ++i)
        std::printf("status_list: AddStatus median us at %ld lines: %.1f\n", run.checkpoints[i], run.medians[i]);
    if (cbBefore > 0 && cbAfter > 0 && nCount > 0)
        std::printf("status_list: heap %lld KiB for the lines, %.0f bytes per line\n", (cbAfter - cbBefore) / 1024,
                    static_cast<double>(cbAfter - cbBefore) / static_cast<double>(nCount));
    DestroyWindow(hDlg);
    return nCount == nLines ? 0 : 1;
}
