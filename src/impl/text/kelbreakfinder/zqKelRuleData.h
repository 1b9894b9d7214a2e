#pragma once
// Reading ICU's compiled line rules, which the walker and the dictionary scan
// both take apart: fields are 32-bit values in the machine's order, at offsets
// that need not be aligned.

#include <cstdint>
#include <cstring>

inline uint32_t zqKelRead32(const uint8_t* at)
{
    uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}
