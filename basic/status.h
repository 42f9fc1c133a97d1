// A set of 32 flags.
#pragma once

#include <vor/core/export.h>

namespace Vor {
namespace Basic {

// Flag i is bit i of one unsigned int (bit 0 the least significant). Bit
// numbers above 31 are refused: false, and the flags stay as they were.
class VOR_API Status {
public:
    static constexpr unsigned int BIT_COUNT = 32;

    Status(unsigned int bits = 0) : m_uBits(bits) {}

    bool IsSet(unsigned int bit) const { return bit < BIT_COUNT && (m_uBits & Mask(bit)) != 0; }

    bool Set(unsigned int bit)
    {
        if (bit >= BIT_COUNT)
            return false;
        m_uBits |= Mask(bit);
        return true;
    }

    bool Reset(unsigned int bit)
    {
        if (bit >= BIT_COUNT)
            return false;
        m_uBits &= ~Mask(bit);
        return true;
    }

    bool Change(unsigned int bit)
    {
        if (bit >= BIT_COUNT)
            return false;
        m_uBits ^= Mask(bit);
        return true;
    }

    unsigned int GetBits() const { return m_uBits; }

private:
    static unsigned int Mask(unsigned int bit) { return 1u << bit; }

    unsigned int m_uBits;
};

} // namespace Basic
} // namespace Vor
