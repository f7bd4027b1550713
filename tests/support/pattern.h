// The byte pattern of a checked stream, for the soaks and the load generator
// (header only: that links no test support). Byte o is byte o % 8 of Mix(key ^
// o / 8) as it lies in memory: a lost, repeated or moved piece shows, and
// either end makes or checks any part without keeping it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace test {

inline std::uint64_t Mix(std::uint64_t x)
{
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// The n bytes of the stream from offset off on.
inline void FillPattern(std::uint64_t key, std::uint64_t off, unsigned char* p, std::size_t n)
{
    for (std::size_t i = 0; i < n;) {
        std::uint64_t o = off + i, w = Mix(key ^ o / 8);
        if (o % 8 == 0 && n - i >= 8) {
            std::memcpy(p + i, &w, 8);
            i += 8;
        } else {
            p[i++] = reinterpret_cast<const unsigned char*>(&w)[o % 8];
        }
    }
}

// The first of n bytes read at offset off that is wrong, or n (pScratch: n bytes).
inline std::size_t PatternMismatch(std::uint64_t key, std::uint64_t off, const unsigned char* p, std::size_t n,
                                   unsigned char* pScratch)
{
    FillPattern(key, off, pScratch, n);
    return std::memcmp(p, pScratch, n) == 0 ? n : static_cast<std::size_t>(std::mismatch(p, p + n, pScratch).first - p);
}

}  // namespace test
