// The seam between the forwarding engine and the operating system.
// platform_win32.cpp (Windows Sockets 1.1, the dialog's status list, the
// error box) and platform_posix.cpp (BSD sockets, recorded lines and errors)
// implement it side by side; the build picks one.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <winsock.h>

typedef int socklen_t;

// Windows has no signal for a write to a closed connection.
const int kSendFlags = 0;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <cstdint>

typedef int SOCKET;
typedef std::uint32_t DWORD;
typedef void* LPVOID;
#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)
#define WINAPI

// On POSIX the "window" that receives the status lines is a recorder
// (see platform_posix.h); tests and the benchmark read it back.
typedef struct StatusLog* HWND;

// A write to a connection the peer has closed must fail, not end the process.
const int kSendFlags = MSG_NOSIGNAL;
#endif

// Socket operations that are spelled or behave differently.
void CloseSocket(SOCKET s);
void ShutdownBoth(SOCKET s);

// Blocks until s1 or s2 is readable, without a time-out. Returns false when
// the wait itself fails. nfds is select's first argument, as the worker
// computed it for the connection; a wait that needs none ignores it.
bool WaitReadable(int nfds, SOCKET s1, SOCKET s2, bool* pbReadable1, bool* pbReadable2);

// Lets other threads run before the caller goes on; for short spins.
void YieldThread();

// Thread-safe name lookup: the first IPv4 address of szHost, or false.
bool LookupHost(const char* szHost, struct in_addr* pAddr);

// What the worker asks of the user interface. AddStatus appends a line and
// selects it, so the list scrolls; AppendStatus only appends it.
void AddStatus(HWND hDlg, const char* szLine);
void AppendStatus(HWND hDlg, const char* szLine);

// Whether shutting a socket down from another thread wakes a call blocked
// on it. Where it does not, only closing the socket stops a blocked worker.
extern const bool kShutdownWakes;

// The error box for a failed call (the stand-in records it on POSIX).
#include "errorbox/errorbox.h"
