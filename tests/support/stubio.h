// I/O helpers for tests: a scripted I/O object, memory objects and their
// bytes, and table-driven seek checks.
#pragma once

#include <vor/io/iobase.h>
#include <vor/io/memory.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <string>

namespace VorTest {

// Reads deliver preset bytes, writes collect what they get, and every part
// can be told to fail.
class StubIo : public Vor::Io::IoObject {
public:
    using IoObject::Read;
    using IoObject::Write;

    explicit StubIo(std::string data = std::string()) : m_Data(std::move(data)) {}

    unsigned int Read(void* buffer, unsigned int n, Vor::Io::IoParam&) const override { return Read(buffer, n); }
    unsigned int Read(void* buffer, unsigned int n) const override
    {
        std::size_t k = std::min<std::size_t>(n, m_Data.size() - m_uPos);
        if (k > 0)
            std::memcpy(buffer, m_Data.data() + m_uPos, k);
        m_uPos += k;
        return m_bFailReads ? FAILED : static_cast<unsigned int>(k);
    }
    bool Write(void const* buffer, unsigned int n, Vor::Io::IoParam&) override { return Write(buffer, n); }
    bool Write(void const* buffer, unsigned int n) override
    {
        if (!m_bFailWrites)
            m_Written.append(static_cast<char const*>(buffer), n);
        return !m_bFailWrites;
    }
    bool Close() override { return !m_bRefuseClose; }

    // Called from the destructor, for tests of dying objects.
    void (*m_pOnDestroy)(StubIo*) = nullptr;

    std::string m_Data;
    mutable std::size_t m_uPos = 0;
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

// A new memory object of the given kind.
inline Vor::Io::IoHandle OpenMemory(Vor::Io::Memory::MemType type = Vor::Io::Memory::MEM_SEQUENTIAL,
                                    unsigned int size = 0)
{
    Vor::Io::Memory memory;
    EXPECT_TRUE(memory.Open(type, size));
    return memory.GetHandle();
}

// What a read of up to `n` bytes from a handle or object gives, "<failed>"
// when it fails.
template <class Source>
std::string ReadText(Source const& handle, unsigned int n)
{
    std::string bytes(n, '\0');
    unsigned int count = handle.Read(&bytes[0], n);
    return count == Vor::Io::IoObject::FAILED ? "<failed>" : bytes.substr(0, count);
}

// The bytes of a sequential memory object, read from its start.
inline std::string Contents(Vor::Io::IoHandle& memory)
{
    memory.Seek(0, Vor::Io::IoParam::BEGIN);
    return ReadText(memory, static_cast<unsigned int>(memory.GetSize()));
}

// One seek and what it must give: success or refusal, and the position
// afterwards (a refused seek leaves the position where it was).
struct SeekCase {
    long long offset;
    Vor::Io::IoParam::Offset origin;
    bool ok;
    unsigned long long position;
};

template <class Object>
void ExpectSeeks(Object& object, std::initializer_list<SeekCase> cases)
{
    for (SeekCase const& c : cases) {
        EXPECT_EQ(c.ok, object.Seek(c.offset, c.origin)) << c.offset << " from " << c.origin;
        EXPECT_EQ(c.position, object.GetPosition()) << c.offset << " from " << c.origin;
    }
}

} // namespace VorTest
