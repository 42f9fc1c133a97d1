// A growable raw buffer, and formatted text into one.
#pragma once

#include <vor/core/export.h>

#include <vor/basic/basic.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>

namespace Vor {
namespace Basic {

// A raw buffer of T (char, unsigned char or wchar_t) that grows on demand.
// Nothing is initialised and no terminator is added. An array owns its
// buffer alone: it can be moved, or copied explicitly with Assign, but not
// copied implicitly (two arrays must never free one buffer).
template <class T>
class Array {
public:
    explicit Array(unsigned int size = 0) : m_pData(nullptr), m_uSize(0)
    {
        if (size != 0)
            Alloc(size);
    }
    ~Array() { Free(); }

    Array(Array const&) = delete;
    Array& operator=(Array const&) = delete;
    Array(Array&& other) noexcept : m_pData(other.m_pData), m_uSize(other.m_uSize)
    {
        other.m_pData = nullptr;
        other.m_uSize = 0;
    }
    Array& operator=(Array&& other) noexcept
    {
        if (this != &other) {
            Free();
            m_pData = other.m_pData;
            m_uSize = other.m_uSize;
            other.m_pData = nullptr;
            other.m_uSize = 0;
        }
        return *this;
    }

    // Makes room for `size` elements (0: as Free). Growing moves the buffer
    // and keeps the elements below the current size; shrinking only lowers
    // the size and keeps the buffer. False when the memory cannot be had or
    // size × sizeof(T) leaves 32 bits: the array then keeps its old buffer
    // and size.
    bool Alloc(unsigned int size)
    {
        if (size == 0)
            return Free();
        return AllocMemory(size);
    }

    bool Free()
    {
        if (m_pData != nullptr) {
            FreeMem(m_pData);
            m_pData = nullptr;
            m_uSize = 0;
        }
        return m_pData == nullptr;
    }

    // A deep copy of other's elements. False (and this array unchanged)
    // when the memory cannot be had.
    bool Assign(Array const& other)
    {
        if (this == &other)
            return true;
        if (other.m_uSize == 0)
            return Free();
        Array copy;
        if (!copy.AllocMemory(other.m_uSize))
            return false;
        std::memcpy(copy.m_pData, other.m_pData, static_cast<std::size_t>(other.m_uSize) * sizeof(T));
        *this = static_cast<Array&&>(copy);
        return true;
    }

    operator T*() { return m_pData; }
    operator T const*() const { return m_pData; }
    unsigned int GetSize() const { return m_uSize; }

    // The largest size whose byte count still fits in 32 bits.
    static constexpr unsigned int MAX_SIZE = static_cast<unsigned int>(0xFFFFFFFFull / sizeof(T));

private:
    bool AllocMemory(unsigned int size)
    {
        if (size <= m_uSize) {
            m_uSize = size;
            return true;
        }
        // Byte counts are 32 bits wide; the product is formed in 64 bits so
        // that it cannot wrap into a small block.
        std::uint64_t bytes = static_cast<std::uint64_t>(size) * sizeof(T);
        if (bytes > 0xFFFFFFFFull)
            return false;
        T* block = static_cast<T*>(m_pData != nullptr
                                       ? ReAllocMem(m_pData, m_uSize * static_cast<unsigned int>(sizeof(T)),
                                                    static_cast<unsigned int>(bytes))
                                       : AllocMem(static_cast<unsigned int>(bytes)));
        // On failure the old block stays ours, with its size.
        if (block == nullptr)
            return false;
        m_pData = block;
        m_uSize = size;
        return true;
    }

    T* m_pData;
    unsigned int m_uSize;
};

// FormatToArray refuses text of this many characters or more.
constexpr unsigned int FORMAT_LIMIT = 1u << 24;

// Formats into the array, growing it from 256 characters by doubling until
// the text fits with its terminator (the array's size is then a power of
// two). Returns the number of characters written, the terminator not
// counted; 0 when the format is null, the formatter reports an error, the
// text would reach FORMAT_LIMIT characters, or memory runs out. `args` is
// not consumed: each attempt works on its own copy.
VOR_API unsigned int FormatToArray(Array<char>& array, char const* format, va_list args);
VOR_API unsigned int FormatToArray(Array<wchar_t>& array, wchar_t const* format, va_list args);

// The same with the arguments given directly.
VOR_API unsigned int PrintToArray(Array<char>& array, char const* format, ...) __attribute__((format(printf, 2, 3)));
VOR_API unsigned int PrintToArray(Array<wchar_t>& array, wchar_t const* format, ...);

} // namespace Basic
} // namespace Vor
