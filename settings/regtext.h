// Turning the bytes of a stored value into a terminated text. Plain C++,
// so that it is also built and fuzzed natively.
#pragma once

#include <cstddef>

// szBuffer (cbBuffer bytes) holds cbData bytes as read from the registry,
// of any type: a string with or without its terminator, a number, binary
// data. Afterwards it holds a terminated text of at most cbBuffer - 1
// characters: the bytes as read, up to their first zero byte, cut by one
// character only when they filled the whole buffer without a zero.
void TerminateRegText(char* szBuffer, std::size_t cbBuffer, std::size_t cbData);
