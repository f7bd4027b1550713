// The box that reports a failed system call with the system's own text.
#pragma once

// Shows the system's text for the calling thread's last error under
// szCaption and returns when the user has closed the box. Call it directly
// after the failing call: it reads the last error before anything else.
void ShowLastError(const char* szCaption);
