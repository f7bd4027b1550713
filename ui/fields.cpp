// The dialog's three fields on their way into the record of a run.

#include "ui/fields.h"

#include <cstdlib>
#include <cstring>

unsigned short PortOf(const char* szPort)
{
    // NOLINTNEXTLINE(cert-err34-c): the leading digits are the port; none is port 0
    return static_cast<unsigned short>(std::atoi(szPort));
}

// At most cchMax characters of szText into szBuffer, terminated. The field
// read already cuts; doing it here too keeps the record within the lengths
// whoever hands the texts over.
static void CutText(char* szBuffer, const char* szText, std::size_t cchMax)
{
    std::size_t cch = std::strlen(szText);
    if (cch > cchMax)
        cch = cchMax;
    std::memcpy(szBuffer, szText, cch);
    szBuffer[cch] = '\0';
}

ForwardState* NewRunFromFields(HWND hDlg, const char* szHost, const char* szRPort,
                               const char* szLPort)
{
    char szCutHost[kHostField];
    char szCutRPort[kPortField];
    char szCutLPort[kPortField];
    CutText(szCutHost, szHost, kHostField - 1);
    CutText(szCutRPort, szRPort, kPortField - 1);
    CutText(szCutLPort, szLPort, kPortField - 1);
    return NewForwardState(hDlg, szCutHost, PortOf(szCutLPort), PortOf(szCutRPort));
}
