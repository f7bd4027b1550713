// Helpers shared by the tests of both builds: sockets on loopback, a status
// window (the real list box on Windows, the recorder on POSIX), waiting with
// a time-out, and the worker run in a thread of its own.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/forward.h"

namespace test {

using std::chrono::milliseconds;
const milliseconds kTimeout(20000);

// Waits until pred holds, handling this thread's window messages meanwhile
// (the worker's status lines are synchronous sends to this thread).
bool WaitUntil(const std::function<bool()>& pred, milliseconds timeout = kTimeout);

// Handles the window messages that are waiting, if any.
void PumpMessages();

// A port that was free a moment ago: every run gets its own, since a port
// the forwarder closed first stays unusable for a minute.
unsigned short FreePort();

SOCKET Listen(unsigned short nPort, bool bAnyAddress = false);
SOCKET Accept(SOCKET sListen);                 // blocks
SOCKET Connect(unsigned short nPort);          // to 127.0.0.1; INVALID_SOCKET on failure
void Close(SOCKET s);
void Reset(SOCKET s);                          // closes with a reset instead of an end
bool SendAll(SOCKET s, const std::string& data);
// Reads until n bytes arrived, the stream ended or timeout passed.
std::string ReceiveN(SOCKET s, size_t n, milliseconds timeout = kTimeout);
// Reads until the peer ends the stream; false on time-out or error.
bool ReceiveUntilEnd(SOCKET s, std::string* pData, milliseconds timeout = kTimeout);
// True when s has something to read (or its end) within timeout.
bool Readable(SOCKET s, milliseconds timeout);

std::string RandomBytes(size_t n, unsigned nSeed);

// The window a worker writes to.
HWND CreateStatusWindow();
void DestroyStatusWindow(HWND hWnd);
std::vector<std::string> StatusText(HWND hWnd);
int SelectedLine(HWND hWnd);  // -1 when none
bool WaitForLine(HWND hWnd, const std::string& line, milliseconds timeout = kTimeout);

#ifdef _WIN32
// A visible dialog or message box of the process with the caption, or
// nullptr after the timeout.
HWND WaitForDialog(DWORD dwProcess, const std::string& caption, milliseconds timeout = kTimeout);
#endif

// Waits for an error box with the caption, returns its text and closes it.
bool TakeErrorBox(const std::string& caption, std::string* pText, milliseconds timeout = kTimeout);
// Whether an error box is open (or, on POSIX, was recorded).
bool ErrorBoxShown();
// The system's text for a socket error of the kind "address in use".
std::string AddressInUseText();

// A worker on its own thread, as the dialog starts it.
struct Worker {
    ForwardState* pfs = nullptr;
    std::thread thread;
    std::atomic<DWORD> dwExit{kStillRunning};
    static const DWORD kStillRunning = 0xDEADBEEF;
};
void StartWorker(Worker* pWorker, HWND hDlg, const char* szHost, unsigned short nLocalPort,
                 unsigned short nRemotePort);
// What the dialog's Stop does: clear the flag, tear down twice, let go.
void StopWorker(Worker* pWorker);
// Waits for the thread to end (pumping messages) and joins it.
bool JoinWorker(Worker* pWorker, milliseconds timeout = kTimeout);

// A backend on loopback that answers each client with a handler, one
// client at a time, on its own thread.
class Backend {
public:
    explicit Backend(std::function<void(SOCKET)> handler);
    ~Backend();
    unsigned short Port() const { return m_nPort; }

private:
    std::function<void(SOCKET)> m_handler;
    SOCKET m_sListen;
    unsigned short m_nPort;
    std::thread m_thread;
};

// Handler: echoes everything back until the client ends.
void Echo(SOCKET s);

// Waits until a sender is held up by a reader that reads nothing: what it
// has sent (sent()) stays the same over one step, above 0 and below nEnd.
bool WaitForStall(const std::function<size_t()>& sent, size_t nEnd = static_cast<size_t>(-1),
                  milliseconds step = milliseconds(200), milliseconds timeout = kTimeout);

// A remote end that sends to each client until the forwarder stops taking
// bytes, then until it closes (bounded, should it never close).
class Flood {
public:
    Flood();
    unsigned short Port() const { return m_backend.Port(); }
    int Connections() const { return m_nConnections.load(); }
    // Connections the forwarder has not closed yet.
    int Open() const { return m_nOpen.load(); }
    // Bytes sent to the current connection.
    size_t Sent() const { return m_cbSent.load(); }

private:
    std::atomic<size_t> m_cbSent{0};
    std::atomic<int> m_nConnections{0};
    std::atomic<int> m_nOpen{0};
    Backend m_backend;
};

}  // namespace test
