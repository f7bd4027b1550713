// Fuzz target: the dialog's three fields on their way into a worker's record
// and the worker's reading of the host text. The dialog itself is Windows
// only, so its steps are repeated here: a field yields at most its buffer
// less one characters, a port is atoi's value cut to 16 bits. The record is
// the engine's own; the host is read as the worker reads a dotted address,
// never looked up, so that no input reaches the network.
//
// Input: the host, the remote port and the local port text, separated by
// newline bytes (missing parts are empty).

#include <arpa/inet.h>

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/forward.h"

namespace {

const std::size_t kHostBuffer = 256;
const std::size_t kHostChars = 254;  // the dialog asks for at most this many
const std::size_t kPortBuffer = 8;

// What an edit field hands over into a buffer of cbBuffer bytes asked for
// nMax characters: the text up to its first zero byte (an edit control
// holds none), at most nMax characters, terminated.
void ReadField(const std::string& field, char* szBuffer, std::size_t cbBuffer, std::size_t nMax)
{
    std::size_t n = std::strlen(field.c_str());
    if (n > nMax)
        n = nMax;
    if (n > cbBuffer - 1)
        std::abort();
    std::memcpy(szBuffer, field.data(), n);
    szBuffer[n] = '\0';
}

// atoi's value worked out by hand: leading white space, a sign, digits.
// A field of seven characters cannot overflow an int.
long DecimalValue(const char* sz)
{
    while (std::isspace(static_cast<unsigned char>(*sz)))
        ++sz;
    bool bNegative = *sz == '-';
    if (*sz == '-' || *sz == '+')
        ++sz;
    long n = 0;
    while (*sz >= '0' && *sz <= '9')
        n = n * 10 + (*sz++ - '0');
    return bNegative ? -n : n;
}

unsigned short PortFromField(const std::string& field)
{
    char szPort[kPortBuffer];
    ReadField(field, szPort, sizeof szPort, kPortBuffer - 1);
    unsigned short nPort = static_cast<unsigned short>(std::atoi(szPort));
    if (nPort != static_cast<unsigned short>(static_cast<unsigned long>(DecimalValue(szPort)) & 0xffff))
        std::abort();  // not the low 16 bits of the number written
    return nPort;
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

// The worker's first step for a host text that starts with four numbers.
// Returns false where the worker would look the name up instead.
bool ResolveDotted(const char* szHost, struct in_addr* pAddr)
{
    unsigned int a, b, c, d;
    if (std::sscanf(szHost, "%u.%u.%u.%u", &a, &b, &c, &d) != 4)
        return false;
    pAddr->s_addr = inet_addr(szHost);
    return true;
}

std::string Part(const std::string& input, std::size_t nIndex)
{
    std::size_t nStart = 0;
    for (std::size_t i = 0; i < nIndex; ++i) {
        nStart = input.find('\n', nStart);
        if (nStart == std::string::npos)
            return std::string();
        ++nStart;
    }
    std::size_t nEnd = input.find('\n', nStart);
    return input.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t cbData)
{
    std::string input(reinterpret_cast<const char*>(pData), cbData);

    char szHost[kHostBuffer];
    ReadField(Part(input, 0), szHost, sizeof szHost, kHostChars);
    unsigned short nRemotePort = PortFromField(Part(input, 1));
    unsigned short nLocalPort = PortFromField(Part(input, 2));

    // The record keeps what the dialog read, unchanged.
    ForwardState* pfs = NewForwardState(nullptr, szHost, nLocalPort, nRemotePort);
    if (std::strcmp(pfs->szHost, szHost) != 0 || std::strlen(pfs->szHost) > kHostChars ||
        pfs->nLocalPort != nLocalPort || pfs->nRemotePort != nRemotePort || pfs->bRunning.load() != 1)
        std::abort();

    struct in_addr addr;
    addr.s_addr = htonl(INADDR_ANY);
    std::uint32_t expected;
    if (ResolveDotted(pfs->szHost, &addr)) {
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
