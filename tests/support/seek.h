// Table-driven checks of Seek on any I/O object.
#pragma once

#include <vor/io/iobase.h>

#include <gtest/gtest.h>

#include <initializer_list>

namespace VorTest {

// One seek and what it must give: success or refusal, and the position
// afterwards (a refused seek leaves the position where it was).
struct SeekCase {
    long long offset;
    Vor::Io::IoParam::Offset origin;
    bool ok;
    unsigned long long position;
};

// Runs the seeks in order on `object`, each failure naming its case.
template <class Object>
void ExpectSeeks(Object& object, std::initializer_list<SeekCase> cases)
{
    for (SeekCase const& c : cases) {
        EXPECT_EQ(c.ok, object.Seek(c.offset, c.origin)) << c.offset << " from " << c.origin;
        EXPECT_EQ(c.position, object.GetPosition()) << c.offset << " from " << c.origin;
    }
}

} // namespace VorTest
