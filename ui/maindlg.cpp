// The main dialog: shows the settings, starts and stops the forwarding
// worker, ends the program, and carries the status list the worker writes
// to (Windows only).

#include "ui/maindlg.h"

#include "engine/forward.h"
#include "res/resource.h"
#include "settings/settings.h"
#include "ui/fields.h"

HICON g_hIcon = nullptr;

namespace {

// The current run: the dialog's reference to its record, and the worker's
// thread handle. Stop lets go of the record; the worker, if still on its
// way out, keeps its own reference to it.
ForwardState* g_pfs = nullptr;
HANDLE g_hThread = nullptr;
DWORD g_dwThreadId = 0;

// Workers of stopped runs that may still be on their way out (in a lookup,
// a connect, a send or their own error box): the next Start gives the
// newest a moment, Exit waits for all of them. Handles of ended ones are
// let go at the next Stop. Should more be out at once than this holds,
// g_bUntracked makes Exit treat one as still running.
const int kMaxStopped = 32;
HANDLE g_hStopped[kMaxStopped];
int g_nStopped = 0;
bool g_bUntracked = false;

// A settings box opened by Start, and the exit's wait for the worker, hand
// messages to this procedure again; these flags keep such re-entries out.
bool g_bStarting = false;
bool g_bEnding = false;

// How long Exit lets a worker end by itself before it is terminated, and
// how long Start lets the previous worker finish its way out.
const DWORD kExitGraceMs = 800;
const DWORD kStartGraceMs = 1000;
const int kMaxWaitRounds = 10000;

}  // namespace

static void SetButtons(HWND hDlg, bool bRunning)
{
    EnableWindow(GetDlgItem(hDlg, IDOK), bRunning ? FALSE : TRUE);
    EnableWindow(GetDlgItem(hDlg, IDC_STOP), bRunning ? TRUE : FALSE);
}

// Shows the stored settings. Only the fields keep them: each Start makes
// its own record from what the fields then hold.
static void OnInitDialog(HWND hDlg)
{
    // A new dialog starts with nothing starting and nothing ending.
    g_bStarting = false;
    g_bEnding = false;
    SetClassLongPtrA(hDlg, GCLP_HICON, reinterpret_cast<LONG_PTR>(g_hIcon));
    SetWindowTextA(hDlg, "Velmorin");
    WriteVersion();
    // A key that cannot be opened leaves the buffers as they are: the
    // fields then show nothing and a Start reads port 0.
    char szHost[kHostField + 1] = "";
    char szRPort[kPortField] = "";
    char szLPort[kPortField] = "";
    RegQryName("Host", "192.168.0.1", szHost, kHostField);
    RegQryName("RPort", "22", szRPort, sizeof szRPort);
    RegQryName("LPort", "22", szLPort, sizeof szLPort);
    SetDlgItemTextA(hDlg, IDC_HOST, szHost);
    SetDlgItemTextA(hDlg, IDC_RPORT, szRPort);
    SetDlgItemTextA(hDlg, IDC_LPORT, szLPort);
    SetButtons(hDlg, false);
}

// Waits up to dwTimeout for the thread to end. The worker's status lines
// are sends to this thread, so they are handled meanwhile; posted
// messages (clicks, keys) stay queued until the wait is over.
static bool WaitForWorker(HANDLE hThread, DWORD dwTimeout)
{
    DWORD dwStart = GetTickCount();
    DWORD dwWait = WAIT_OBJECT_0 + 1;
    for (int nRound = 0; nRound < kMaxWaitRounds && dwWait == WAIT_OBJECT_0 + 1; ++nRound) {
        // A worker may be waiting for this thread to take its line.
        MSG msg;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD dwElapsed = GetTickCount() - dwStart;
        dwWait = MsgWaitForMultipleObjects(1, &hThread, FALSE,
                                           dwElapsed < dwTimeout ? dwTimeout - dwElapsed : 0,
                                           QS_SENDMESSAGE);
    }
    return dwWait == WAIT_OBJECT_0 || WaitForSingleObject(hThread, 0) == WAIT_OBJECT_0;
}

// Stores the fields and starts a worker on a record of its own. The result
// of the thread creation is looked at only to give back the reference the
// worker would have released; the buttons switch either way, and Stop
// clears up.
static void OnStart(HWND hDlg)
{
    // Enter reaches here as IDOK whatever the buttons show, and so does a
    // click while a settings box of this very Start is open: one worker at
    // a time, and its handle is never overwritten.
    if (g_pfs != nullptr || g_hThread != nullptr || g_bStarting || g_bEnding)
        return;
    g_bStarting = true;

    char szHost[kHostField + 1] = "";
    char szRPort[kPortField] = "";
    char szLPort[kPortField] = "";
    GetDlgItemTextA(hDlg, IDC_HOST, szHost, kHostField);
    GetDlgItemTextA(hDlg, IDC_RPORT, szRPort, sizeof szRPort);
    GetDlgItemTextA(hDlg, IDC_LPORT, szLPort, sizeof szLPort);
    RegSetName("Host", szHost);
    RegSetName("RPort", szRPort);
    RegSetName("LPort", szLPort);

    // A worker stopped just before may not have reached its listener yet
    // and would still open it, taking the port from the new run. Stop
    // does not wait for it; the Start after it does, for a moment.
    if (g_nStopped > 0)
        WaitForWorker(g_hStopped[g_nStopped - 1], kStartGraceMs);

    // The program may have been ended while this Start was held up.
    if (!g_bEnding) {
        g_pfs = NewRunFromFields(hDlg, szHost, szRPort, szLPort);
        g_hThread = CreateThread(nullptr, 0, ForwardThread, g_pfs, 0, &g_dwThreadId);
        if (g_hThread == nullptr) {
            // Untested: only a process out of room for a thread's stack gets
            // here, and a test cannot bring the program to that.
            ReleaseForwardState(g_pfs);
        }
        SetButtons(hDlg, true);
    }
    g_bStarting = false;
}

// Keeps the handle of a worker just stopped, after letting go of those
// whose workers have ended.
static void KeepStopped(HANDLE hThread)
{
    int nKept = 0;
    for (int i = 0; i < g_nStopped; ++i) {
        if (WaitForSingleObject(g_hStopped[i], 0) == WAIT_OBJECT_0)
            CloseHandle(g_hStopped[i]);
        else
            g_hStopped[nKept++] = g_hStopped[i];
    }
    g_nStopped = nKept;
    if (g_nStopped < kMaxStopped) {
        g_hStopped[g_nStopped++] = hThread;
    } else {
        // Untested: takes more workers that will not end than are kept,
        // each costing the Start after it its grace: over half a minute.
        CloseHandle(hThread);
        g_bUntracked = true;
    }
}

// Stops the worker by clearing its flag and tearing down its sockets, and
// lets go of its record. The dialog does not wait: the worker ends by
// itself, and a later Start gets a record of its own, so the two never
// meet over sockets.
static void OnStop(HWND hDlg)
{
    if (g_bEnding)
        return;
    if (g_pfs != nullptr)
        StopForwarding(g_pfs);
    if (g_hThread != nullptr) {
        KeepStopped(g_hThread);
        g_hThread = nullptr;
    }
    if (g_pfs != nullptr) {
        CloseSockets(g_pfs);
        ReleaseForwardState(g_pfs);
        g_pfs = nullptr;
    }
    SetButtons(hDlg, false);
}

// Whether every worker, the current one and those of earlier runs, has
// ended within the one grace that Exit gives them all.
static bool AllWorkersEnded(DWORD dwGrace)
{
    if (g_bUntracked)
        return false;  // Untested: as where KeepStopped sets it
    HANDLE workers[kMaxStopped + 1];
    int nWorkers = 0;
    if (g_hThread != nullptr)
        workers[nWorkers++] = g_hThread;
    for (int i = 0; i < g_nStopped; ++i)
        workers[nWorkers++] = g_hStopped[i];
    DWORD dwStart = GetTickCount();
    for (int i = 0; i < nWorkers; ++i) {
        DWORD dwElapsed = GetTickCount() - dwStart;
        if (!WaitForWorker(workers[i], dwElapsed < dwGrace ? dwGrace - dwElapsed : 0))
            return false;
    }
    return true;
}

// Ends the dialog, whatever the workers are doing; the buttons stay as
// they are. After the teardown the current worker normally ends within
// moments, and every worker is given that chance first. A worker still out
// after it, the current one or one of an earlier run (in a lookup, a
// connect, a send or its own error box), ends with the process.
static void OnExit(HWND hDlg)
{
    if (g_bEnding)
        return;
    g_bEnding = true;
    if (g_pfs != nullptr)
        StopForwarding(g_pfs);
    if (!AllWorkersEnded(kExitGraceMs)) {
        // A thread ended from outside can die holding a lock of the
        // system's own. Under Wine one died holding the lock of the
        // process's handle table, and the next CloseHandle waited forever:
        // the program never ended. A worker left running while Windows
        // Sockets is cleaned up and the process leaves is ended the same
        // way. So nothing more runs here once a worker has to go: the
        // process ends at once, the workers with it, with the exit code of
        // a normal end. The system closes the sockets and frees the rest.
        TerminateProcess(GetCurrentProcess(), 0);
    }
    if (g_hThread != nullptr) {
        CloseHandle(g_hThread);
        g_hThread = nullptr;
    }
    for (int i = 0; i < g_nStopped; ++i)
        CloseHandle(g_hStopped[i]);
    g_nStopped = 0;
    if (g_pfs != nullptr) {
        CloseSockets(g_pfs);
        ReleaseForwardState(g_pfs);
        g_pfs = nullptr;
    }
    EndDialog(hDlg, 0);
}

INT_PTR CALLBACK MainDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM /*lParam*/)
{
    switch (uMsg) {
    case WM_INITDIALOG:
        OnInitDialog(hDlg);
        break;
    case WM_COMMAND:
        // The close box and Esc arrive as IDCANCEL.
        switch (LOWORD(wParam)) {
        case IDOK:
            OnStart(hDlg);
            break;
        case IDC_STOP:
            OnStop(hDlg);
            break;
        case IDCANCEL:
            OnExit(hDlg);
            break;
        default:
            break;
        }
        break;
    case WM_DESTROY:
        PostQuitMessage(0);
        break;
    default:
        break;
    }
    // FALSE also for WM_INITDIALOG: no control gets the focus at first.
    return FALSE;
}
