// Identifiers of the main dialog's controls, beside the system's IDOK and IDCANCEL.
#pragma once

#define IDC_HOST 1001
#define IDC_RPORT 1002
#define IDC_LPORT 1003
#define IDC_STATUS 1004
#define IDC_STOP 2001
