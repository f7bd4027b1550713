// Helpers shared by every test program and both soaks: the worker's status
// texts, sockets on loopback, a status window (the real list box on Windows,
// the recorder on POSIX), waiting with a time-out, and the worker run in a
// thread of its own. support.cpp holds what is the same on both systems;
// support_win32.cpp and support_posix.cpp answer the rest, and the build
// picks one of them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/forward.h"

namespace test {

using std::chrono::milliseconds;
using Lines = std::vector<std::string>;
const milliseconds kTimeout(20000);

// The worker's status lines, letter for letter. Every client of a test
// comes from the loopback address.
const char kLineStarted[] = "Gestarted.";
const char kLineWaitingPrefix[] = "Warte auf Port ";
const char kLineConnected[] = "Verbunden mit 127.0.0.1";
const char kLineEnded[] = "Verbindung beendet.";
const char kLineStopped[] = "Gestoppt.";
inline std::string WaitingLine(unsigned short nPort) { return kLineWaitingPrefix + std::to_string(nPort) + "..."; }
// The lines of one run on nPort with nClients served one after the other,
// and "Gestoppt." at its end if bStopped.
Lines RunLines(unsigned short nPort, int nClients, bool bStopped);

// Waits until pred holds, handling this thread's window messages meanwhile
// (the worker's status lines are synchronous sends to this thread).
bool WaitUntil(const std::function<bool()>& pred, milliseconds timeout = kTimeout);
// Waits until nothing listens on nPort: a worker that ends by itself closes
// its listener right after its last line.
bool WaitUntilRefused(unsigned short nPort, milliseconds timeout = milliseconds(5000));

// A port that was free a moment ago: every run gets its own, since a port
// the forwarder closed first stays unusable for a minute.
unsigned short FreePort();
unsigned short LocalPort(SOCKET s);  // the port s is bound to

// On 127.0.0.1 (or every address); INVALID_SOCKET on failure.
SOCKET Listen(unsigned short nPort, bool bAnyAddress = false, int nBacklog = 16);
SOCKET Connect(unsigned short nPort);          // to 127.0.0.1; INVALID_SOCKET on failure
void Close(SOCKET s);                          // nothing for INVALID_SOCKET
void ResetOnClose(SOCKET s);                   // its close then sends a reset, not an end
bool SendAll(SOCKET s, const std::string& data);
// Reads until n bytes arrived, the stream ended or timeout passed, handling
// this thread's window messages meanwhile, as WaitUntil does.
std::string ReceiveN(SOCKET s, size_t n, milliseconds timeout = kTimeout);
// Sends data and reads as many bytes back, as from an echo; empty when the
// send fails. RoundTripTo does it on a connection of its own to nPort.
std::string RoundTrip(SOCKET s, const std::string& data, milliseconds timeout = kTimeout);
std::string RoundTripTo(unsigned short nPort, const std::string& data, milliseconds timeout = kTimeout);
// Reads until the peer ends the stream (into pData, if given), and says how
// it ended.
enum Ending { kEndOrderly, kEndReset, kEndNone };  // reset: or another failed read
Ending ReceiveUntilEnd(SOCKET s, std::string* pData = nullptr, milliseconds timeout = kTimeout);
// True when s has something to read (or its end) within timeout.
bool Readable(SOCKET s, milliseconds timeout);

std::string RandomBytes(size_t n, unsigned nSeed);

// The text of /proc style "Name: value" lines: the number after "szName:",
// or -1. FileText gives a whole file, or nothing.
long StatusField(const std::string& status, const char* szName);
std::string FileText(const std::string& path);

bool WaitForLine(HWND hWnd, const std::string& line, milliseconds timeout = kTimeout);

// A worker on its own thread, as the dialog starts it.
struct Worker {
    ForwardState* pfs = nullptr;
    std::thread thread;
    std::atomic<DWORD> dwExit{kStillRunning};
    static const DWORD kStillRunning = 0xDEADBEEF;
};
void StartWorker(Worker* pWorker, HWND hDlg, const char* szHost, unsigned short nLocalPort,
                 unsigned short nRemotePort);
// What the dialog's Stop does: StopForwarding, the second teardown, let go.
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

// A loopback listener whose queue is full, so that a connect to it gets
// no answer and blocks.
class FullListener {
public:
    FullListener();
    ~FullListener();
    FullListener(const FullListener&) = delete;
    FullListener& operator=(const FullListener&) = delete;
    bool Full() const { return m_bFull; }
    unsigned short Port() const { return m_nPort; }

private:
    SOCKET m_sListen = INVALID_SOCKET;
    unsigned short m_nPort = 0;
    bool m_bFull = false;
    std::vector<SOCKET> m_fillers;
};

// ---- Answered by support_win32.cpp or support_posix.cpp ----

// Windows Sockets 1.1 as the program itself starts it (nothing on POSIX).
bool StartSockets();
void StopSockets();

// Handles the window messages that are waiting, if any.
void PumpMessages();
// Lets about a millisecond pass; a sent message (a status line) ends it early.
void Pause();

// Which of the n sockets can be read (or have ended) and, where asked,
// written. False when the wait itself fails; a time-out leaves all false.
bool WaitEvents(const SOCKET* ps, const bool* pbWantWrite, int n, bool* pbReadable,
                bool* pbWritable, milliseconds timeout);
void SetNonBlocking(SOCKET s);
// Sends each piece at once and, where the system lets it, acknowledges at
// once; the quick acknowledgement lasts until the next read only.
void Prompt(SOCKET s);
bool WouldBlock();             // the last socket call failed only for want of room or data
std::string LastErrorText();   // of the last socket call
std::string SystemText(long nError);
std::string AddressInUseText();
// A send that blocks longer than this fails, so that no helper thread of a
// test can hang on a peer that stopped reading for good.
void LimitSendTime(SOCKET s, milliseconds limit);

// Descriptors (natively) or handles (Windows) this process holds; -1 where
// the system does not tell.
long OpenHandles();
double ProcessCpuSeconds();

// The window a worker writes to.
HWND CreateStatusWindow();
void DestroyStatusWindow(HWND hWnd);
std::vector<std::string> StatusText(HWND hWnd);
int SelectedLine(HWND hWnd);  // -1 when none
// Waits until the window holds nLines lines; on POSIX woken by the line itself.
bool WaitForLineCount(HWND hWnd, size_t nLines, milliseconds timeout = kTimeout);

// Waits for an error box with the caption, returns its text and closes it.
bool TakeErrorBox(const std::string& caption, std::string* pText, milliseconds timeout = kTimeout);
// Whether an error box is open (or, on POSIX, was recorded).
bool ErrorBoxShown();

// A connected socket pair and a pipe, as an unrelated part of the process
// would hold them. Opened last, they take the numbers that closed sockets
// leave free.
class Canary {
public:
    Canary();
    ~Canary();
    Canary(const Canary&) = delete;
    Canary& operator=(const Canary&) = delete;
    // Both directions of the pair and the pipe still carry a byte.
    bool Intact();

private:
    bool PipeCarries();
    SOCKET m_a = INVALID_SOCKET;
    SOCKET m_b = INVALID_SOCKET;
    std::intptr_t m_pipe[2] = {-1, -1};  // read and write end
};

// What this system does, asked of it once (Wine's versions differ): whether
// Stop's teardown wakes a send blocked in another thread, and whether a
// peer's reset fails the next read instead of reading as an orderly end.
bool StopWakesBlockedSend();
bool ResetFailsRead();
// Windows may refuse a connection attempt that finds the queue full; here
// the system leaves it unanswered and the client retries.
extern const bool kFullQueueMayRefuse;
// Worker starts a test can afford: each costs far more under Wine.
extern const int kAffordableStarts;

}  // namespace test
