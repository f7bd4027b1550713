// The loopback address at a port: the one place tests and the soak build it.
#pragma once

#include <cstring>

#include "engine/platform.h"

namespace test {

inline struct sockaddr_in Loopback(unsigned short nPort)
{
    struct sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(nPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

}  // namespace test
