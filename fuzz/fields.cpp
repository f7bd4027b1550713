// Fuzz target: the dialog's three fields on their way into a worker's record
// (ui/fields.cpp) and the worker's first step with the host text, the
// dotted address (engine/forward.cpp), which never looks a name up, so that
// no input reaches the network. The oracles below work out by hand what a
// decimal port and a plain dotted address must give; they check the
// product's steps, they do not stand in for them.
//
// Input: the host, the remote port and the local port text, separated by
// newline bytes (missing parts are empty).

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/forward.h"
#include "ui/fields.h"

namespace {

// What atoi must give for a port field's text: leading white space, a sign,
// digits, cut to 16 bits. A field's few characters cannot overflow a long.
unsigned short DecimalPort(const char* sz)
{
    while (std::isspace(static_cast<unsigned char>(*sz)))
        ++sz;
    bool bNegative = *sz == '-';
    if (*sz == '-' || *sz == '+')
        ++sz;
    long n = 0;
    while (*sz >= '0' && *sz <= '9')
        n = n * 10 + (*sz++ - '0');
    return static_cast<unsigned short>(static_cast<unsigned long>(bNegative ? -n : n) & 0xffff);
}

// A dotted address as inet_addr reads it, for plain decimal parts only:
// the value the worker must end up with.
bool PlainDotted(const char* sz, std::uint32_t* pAddr)
{
    std::uint32_t addr = 0;
    for (int nPart = 0; nPart < 4; ++nPart) {
        if (nPart > 0 && *sz++ != '.')
            return false;
        if (!(*sz >= '1' && *sz <= '9') && !(*sz == '0' && !(sz[1] >= '0' && sz[1] <= '9')))
            return false;  // no digit, or a leading zero that makes it octal
        unsigned n = 0;
        int nDigits = 0;
        while (*sz >= '0' && *sz <= '9' && nDigits < 4) {
            n = n * 10 + static_cast<unsigned>(*sz++ - '0');
            ++nDigits;
        }
        if (n > 255)
            return false;
        addr = addr << 8 | n;
    }
    if (*sz != '\0')
        return false;
    *pAddr = htonl(addr);
    return true;
}

// Part nIndex of the input as an edit control would hold it: up to its
// first zero byte.
std::string Part(const std::string& input, std::size_t nIndex)
{
    std::size_t nStart = 0;
    for (std::size_t i = 0; i < nIndex; ++i) {
        nStart = input.find('\n', nStart);
        if (nStart == std::string::npos)
            return std::string();
        ++nStart;
    }
    return std::string(input.substr(nStart, input.find('\n', nStart) - nStart).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData)
{
    std::string input(reinterpret_cast<const char*>(pData), cbData);
    std::string host = Part(input, 0), rport = Part(input, 1), lport = Part(input, 2);

    // The whole texts go in: the step cuts them to the fields' lengths itself.
    ForwardState* pfs = NewRunFromFields(nullptr, host.c_str(), rport.c_str(), lport.c_str());
    rport.resize(std::min(rport.size(), static_cast<std::size_t>(kPortField - 1)));
    lport.resize(std::min(lport.size(), static_cast<std::size_t>(kPortField - 1)));
    if (pfs->szHost != host.substr(0, kHostField - 1) || pfs->bRunning.load() != 1)
        std::abort();  // not the host as the field hands it over
    if (pfs->nRemotePort != PortOf(rport.c_str()) || pfs->nRemotePort != DecimalPort(rport.c_str()) ||
        pfs->nLocalPort != PortOf(lport.c_str()) || pfs->nLocalPort != DecimalPort(lport.c_str()))
        std::abort();  // not the low 16 bits of the number written

    struct in_addr addr;
    addr.s_addr = htonl(INADDR_ANY);
    std::uint32_t expected;
    if (DottedAddress(pfs->szHost, &addr)) {
        // A plain dotted address is taken as written.
        if (PlainDotted(pfs->szHost, &expected) && addr.s_addr != expected)
            std::abort();
    } else if (PlainDotted(pfs->szHost, &expected)) {
        std::abort();  // a dotted address would have been looked up
    }
    // The worker's reference is never taken up here; give up both.
    ReleaseForwardState(pfs);
    ReleaseForwardState(pfs);
    return 0;
}
