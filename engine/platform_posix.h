// POSIX side of the seam: what the stand-ins for the status list and the
// error box record, so that tests and the benchmark can read it back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

struct StatusLine {
    std::string text;
    bool bSelected;  // AddStatus selects its line, AppendStatus does not
};

// Stands in for the dialog's status list; a worker's hDlg points at one.
struct StatusLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<StatusLine> lines;
};

struct ErrorRecord {
    std::string caption;
    int nError;  // errno when the box was asked for
};

// Copies of what has been recorded so far.
std::vector<StatusLine> StatusLines(StatusLog* pLog);
std::vector<ErrorRecord> RecordedErrors();
void ClearRecordedErrors();

// Waits until pLog holds at least nLines lines, at most for timeout.
bool WaitForLines(StatusLog* pLog, size_t nLines, std::chrono::milliseconds timeout);
