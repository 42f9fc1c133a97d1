// A scripted I/O object for tests: reads deliver preset bytes (in chunks of
// at most m_uChunk, as a file or a stream socket may), writes collect what
// they get, and every part can be told to fail.
#pragma once

#include <vor/io/iobase.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace VorTest {

class StubIo : public Vor::Io::IoObject {
public:
    using IoObject::Read;
    using IoObject::Write;

    explicit StubIo(std::string data = std::string()) : m_Data(std::move(data)) {}

    unsigned int Read(void* buffer, unsigned int n, Vor::Io::IoParam&) const override { return Read(buffer, n); }
    unsigned int Read(void* buffer, unsigned int n) const override
    {
        ++m_uReads;
        if (m_bFailReads)
            return FAILED;
        std::size_t k = std::min<std::size_t>({n, m_Data.size() - m_uPos, m_uChunk});
        if (k > 0)
            std::memcpy(buffer, m_Data.data() + m_uPos, k);
        m_uPos += k;
        return static_cast<unsigned int>(k);
    }
    bool Write(void const* buffer, unsigned int n, Vor::Io::IoParam&) override { return Write(buffer, n); }
    bool Write(void const* buffer, unsigned int n) override
    {
        if (m_bFailWrites)
            return false;
        m_Written.append(static_cast<char const*>(buffer), n);
        return true;
    }
    bool Close() override { return !m_bRefuseClose; }

    // Callbacks from the destructor, for tests of dying objects.
    void (*m_pOnDestroy)(StubIo*) = nullptr;

    std::string m_Data;
    mutable std::size_t m_uPos = 0;
    std::size_t m_uChunk = ~std::size_t(0);
    mutable unsigned int m_uReads = 0;
    std::string m_Written;
    bool m_bFailReads = false;
    bool m_bFailWrites = false;
    bool m_bRefuseClose = false;

protected:
    ~StubIo() override
    {
        if (m_pOnDestroy != nullptr)
            m_pOnDestroy(this);
    }
};

// Hands a new object (count 1) to a handle, which becomes its only owner.
inline Vor::Io::IoHandle Adopt(Vor::Io::IoObject* object)
{
    Vor::Io::IoHandle handle(object);
    object->DecRef();
    return handle;
}

} // namespace VorTest
