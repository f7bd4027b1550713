// Fuzz target: the bytes of a stored value turned into a terminated text.
// Input: one byte for the buffer's size, two for the length the registry
// claims to have read, then the bytes the buffer holds.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "settings/regtext.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData)
{
    if (cbData < 3)
        return 0;
    // The store's buffers are 8 and 255 bytes; a little beyond covers both.
    std::size_t cbBuffer = 1 + pData[0] % 300;
    std::size_t cbClaimed = (static_cast<std::size_t>(pData[1]) << 8 | pData[2]) % 400;
    pData += 3;
    cbData -= 3;

    // Exactly cbBuffer bytes on the heap, so a write or read past the end
    // is caught by the address checker. What the query did not fill holds
    // a marker, as a buffer left over from earlier use would.
    std::vector<char> filled(cbBuffer, '\x5a');
    std::memcpy(filled.data(), pData, cbData < cbBuffer ? cbData : cbBuffer);
    char* szBuffer = static_cast<char*>(std::malloc(cbBuffer));
    std::memcpy(szBuffer, filled.data(), cbBuffer);

    TerminateRegText(szBuffer, cbBuffer, cbClaimed);

    // The text the header promises: the bytes as read up to their first
    // zero, cut by one character only when they filled the buffer without one.
    std::size_t cbRead = cbClaimed < cbBuffer ? cbClaimed : cbBuffer;
    std::size_t nExpected = 0;
    while (nExpected < cbRead && filled[nExpected] != '\0')
        ++nExpected;
    if (nExpected == cbBuffer)
        nExpected = cbBuffer - 1;

    const void* pZero = std::memchr(szBuffer, '\0', cbBuffer);
    if (pZero == nullptr)
        std::abort();  // not terminated within the buffer
    std::size_t nText = static_cast<std::size_t>(static_cast<const char*>(pZero) - szBuffer);
    if (nText != nExpected || std::memcmp(szBuffer, filled.data(), nText) != 0)
        std::abort();  // not the bytes as read, or cut in the wrong place
    std::free(szBuffer);
    return 0;
}
