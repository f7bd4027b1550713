// Stored bytes to text: whatever a value holds, the buffer ends up holding
// a terminated text within its size (run under AddressSanitizer natively).

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "settings/regtext.h"

namespace {

// Runs the conversion on exactly cbBuffer bytes of heap, so that any access
// past the buffer is caught by the sanitizer.
std::string Terminated(const std::string& stored, size_t cbBuffer)
{
    std::vector<char> buffer(cbBuffer, 'X');
    std::memcpy(buffer.data(), stored.data(), std::min(stored.size(), cbBuffer));
    TerminateRegText(buffer.data(), buffer.size(), stored.size());
    size_t nLength = strnlen(buffer.data(), buffer.size());
    EXPECT_LT(nLength, cbBuffer) << "not terminated within the buffer";
    return std::string(buffer.data(), nLength);
}

}  // namespace

TEST(RegText, TerminatedStringIsKept)
{
    EXPECT_EQ(Terminated(std::string("22\0", 3), 8), "22");
    EXPECT_EQ(Terminated(std::string("1234567\0", 8), 8), "1234567");
}

TEST(RegText, StringWithoutTerminatorIsTerminatedAfterItsBytes)
{
    EXPECT_EQ(Terminated("8080", 8), "8080");
    EXPECT_EQ(Terminated("", 8), "");
}

TEST(RegText, DataFillingTheBufferLosesItsLastByte)
{
    EXPECT_EQ(Terminated("12345678", 8), "1234567");
    EXPECT_EQ(Terminated(std::string(255, 'h'), 255), std::string(254, 'h'));
}

TEST(RegText, NumberIsTakenAsItsBytesUpToTheFirstZero)
{
    // A REG_DWORD 0x00003432 is stored little-endian: '2', '4', 0, 0.
    EXPECT_EQ(Terminated(std::string("24\0\0", 4), 8), "24");
    EXPECT_EQ(Terminated(std::string("\x78\x56\x34\x12", 4), 8), "\x78\x56\x34\x12");
}

TEST(RegText, ClaimedLengthBeyondTheBufferStaysInside)
{
    EXPECT_EQ(Terminated(std::string(20, 'a'), 8), "aaaaaaa");
    char one = 'z';
    TerminateRegText(&one, 1, 5);
    EXPECT_EQ(one, '\0');
    TerminateRegText(nullptr, 0, 5);  // nothing to write into, nothing written
}
