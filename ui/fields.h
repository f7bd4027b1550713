// The dialog's three fields on their way into the record of a run. Plain
// C++, so that it is also built and fuzzed natively.
#pragma once

#include "engine/forward.h"

// Buffer sizes the fields are read with: the host field gives at most 254
// characters, a port field at most 7, each with its terminating zero. The
// stored settings are read into buffers of the same sizes.
const int kHostField = 255;
const int kPortField = 8;

// Port text as atoi reads it, cut to its low 16 bits.
unsigned short PortOf(const char* szPort);

// The record of a Start from the three field texts as read: the host cut
// to the host field's length, the ports cut to theirs and read by PortOf.
ForwardState* NewRunFromFields(HWND hDlg, const char* szHost, const char* szRPort,
                               const char* szLPort);
