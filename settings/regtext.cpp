// Turning the bytes of a stored value into a terminated text.

#include "settings/regtext.h"

void TerminateRegText(char* szBuffer, std::size_t cbBuffer, std::size_t cbData)
{
    if (cbBuffer == 0)
        return;
    // A value the query claims to be longer than the buffer cannot have
    // been read into it; take only what the buffer holds.
    if (cbData > cbBuffer)
        cbData = cbBuffer;
    // Terminated within the data: a proper string, nothing to do.
    for (std::size_t i = 0; i < cbData; ++i) {
        if (szBuffer[i] == '\0')
            return;
    }
    szBuffer[cbData < cbBuffer ? cbData : cbBuffer - 1] = '\0';
}
