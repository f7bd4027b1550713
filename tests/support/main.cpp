// The test programs' entry: Windows Sockets 1.1 as the program itself starts it.

#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#include <winsock.h>
#endif

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
#ifdef _WIN32
    WSADATA wsaData;
    if (WSAStartup(0x0101, &wsaData) != 0)
        return 2;
#endif
    int nResult = RUN_ALL_TESTS();
#ifdef _WIN32
    WSACleanup();
#endif
    return nResult;
}
