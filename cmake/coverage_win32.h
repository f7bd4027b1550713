// Read first by the dialog's sources in the coverage builds only. gcov
// writes its counters when the process leaves normally; Beenden's last
// resort ends the process with TerminateProcess, which runs nothing more
// in it. So there the counters are written first.
#pragma once

#include <windows.h>

extern "C" void __gcov_dump(void);

inline BOOL TerminateProcessCounted(HANDLE hProcess, UINT uExitCode)
{
    __gcov_dump();
    return TerminateProcess(hProcess, uExitCode);
}
#define TerminateProcess TerminateProcessCounted
