// The forwarding engine: the record a worker runs on, its teardown, and the
// worker thread that listens, accepts, connects onward and copies bytes.
#pragma once

#include <atomic>

#include "engine/platform.h"

// One record per Start. The dialog fills the target, starts ForwardThread on
// it and keeps it to stop that worker; the worker keeps its three sockets in
// it. A worker on its way out after Stop therefore never sees a later Start's
// target, flag or sockets.
//
// Ownership of the sockets: only the worker makes them and puts them in the
// fields. The worker closes a socket only after taking it out of its field.
// CloseSockets, the teardown from another thread, shuts the fields' sockets
// down, which wakes the worker where the system allows it (kShutdownWakes);
// elsewhere it takes them out of their fields and closes them. fSockets makes
// each taking and each teardown one step, so a socket is closed exactly once
// and nobody acts on a value after it was closed.
struct ForwardState {
    HWND hDlg;
    std::atomic<long> bRunning;
    char szHost[256];
    unsigned short nLocalPort;
    unsigned short nRemotePort;
    std::atomic<SOCKET> sListen;
    std::atomic<SOCKET> sClient;
    std::atomic<SOCKET> sRemote;
    std::atomic_flag fSockets;
    std::atomic<long> nRefs;
};

// A record for one run, with bRunning set and no sockets. It carries two
// references: the caller's, and the one ForwardThread gives up when it ends.
// szHost is cut to 255 characters.
ForwardState* NewForwardState(HWND hDlg, const char* szHost,
                              unsigned short nLocalPort, unsigned short nRemotePort);

// Gives up one reference; the last one frees the record.
void ReleaseForwardState(ForwardState* pfs);

// Tears down the worker's sockets from another thread. Harmless when applied
// again, to a worker that has ended, or before any socket was made.
void CloseSockets(ForwardState* pfs);

// Stop, from another thread: clears the run flag, then tears the sockets
// down, which wakes the worker where it waits on one of them; it then ends
// by itself at its next look at the flag. Nothing here waits for it.
void StopForwarding(ForwardState* pfs);

// The first step of resolving the remote end. A text that starts with four
// numbers is taken as inet_addr reads the whole of it, whatever that gives
// (a part above 255 gives INADDR_NONE); anything else is a name for the
// lookup, and gives false.
bool DottedAddress(const char* szHost, struct in_addr* pAddr);

// How a worker ended: through its stop path, or on the set-up step that
// failed after its box. Nobody acts on them; they tell what happened.
const DWORD kStopped = 0;
const DWORD kNoListenSocket = static_cast<DWORD>(-1);
const DWORD kBindFailed = static_cast<DWORD>(-2);
const DWORD kListenFailed = static_cast<DWORD>(-3);
const DWORD kNoRemoteSocket = static_cast<DWORD>(-5);

// The worker. pParam is a ForwardState from NewForwardState; the worker owns
// one reference to it. Returns one of the exit codes above.
DWORD WINAPI ForwardThread(LPVOID pParam);
