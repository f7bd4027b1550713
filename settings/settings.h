// The settings store: remote host, remote port and local port per user in
// the registry, and a version marker (Windows only).
#pragma once

#include <windows.h>

// Stores "Version" (REG_BINARY, the number 1). Silent on failure.
void WriteVersion();

// Fills szBuffer (bufferSize bytes) with the stored value szName, or with
// defaultText, which it then stores too. A failed key open shows a box
// captioned "RegQryName" and leaves szBuffer untouched.
void RegQryName(const char* szName, const char* defaultText, char* szBuffer, DWORD bufferSize);

// Stores szText as the value szName. A failed key open shows a box
// captioned "RegSetName".
void RegSetName(const char* szName, const char* szText);
