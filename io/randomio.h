// The transfers of random-access objects (random memory blocks, mapped
// files), in terms of four positional transfers.
//
// The forms with a parameter need a RandomParam and use its read or write
// position; with any other parameter reads fail (failure marker) and writes
// return false. The plain forms work at the object's current position. No
// transfer moves the position.
#pragma once

#include <vor/io/iobase.h>

namespace Vor {
namespace Io {

// Adds transfers at positions (read and write positions of a RandomParam)
// to an object class.
template <class Base>
class RandomIo : public Base {
public:
    using Base::Read;
    using Base::Write;

    unsigned int Read(void* buffer, unsigned int n, IoParam& param) const override
    {
        RandomParam* random = dynamic_cast<RandomParam*>(&param);
        return random != nullptr ? RandomRead(buffer, random->GetReadPos(), n) : IoObject::FAILED;
    }
    unsigned int Read(IoObject& dst, unsigned int n, IoParam& param) const override
    {
        RandomParam* random = dynamic_cast<RandomParam*>(&param);
        return random != nullptr ? RandomRead(dst, n, *random) : IoObject::FAILED;
    }
    unsigned int Read(void* buffer, unsigned int n) const override { return RandomRead(buffer, this->GetPosition(), n); }
    unsigned int Read(IoObject& dst, unsigned int n) const override
    {
        RandomParam param(this->GetPosition(), RandomParam::NONE);
        return RandomRead(dst, n, param);
    }
    bool Write(void const* buffer, unsigned int n, IoParam& param) override
    {
        RandomParam* random = dynamic_cast<RandomParam*>(&param);
        return random != nullptr && RandomWrite(buffer, random->GetWritePos(), n);
    }
    bool Write(IoObject const& src, unsigned int n, IoParam& param) override
    {
        RandomParam* random = dynamic_cast<RandomParam*>(&param);
        return random != nullptr && RandomWrite(src, n, *random);
    }
    bool Write(void const* buffer, unsigned int n) override { return RandomWrite(buffer, this->GetPosition(), n); }
    bool Write(IoObject const& src, unsigned int n) override
    {
        RandomParam param(RandomParam::NONE, this->GetPosition());
        return RandomWrite(src, n, param);
    }

    // Reads from the parameter's read position into `dst` (through its
    // parameter form of Write, with `param`).
    virtual unsigned int RandomRead(IoObject& dst, unsigned int n, RandomParam& param) const = 0;
    // Up to n bytes from `pos`: a short count at the end, the failure
    // marker when `pos` is beyond the size.
    virtual unsigned int RandomRead(void* buffer, unsigned long long pos, unsigned int n) const = 0;
    // Writes at the parameter's write position what `src` delivers (through
    // its parameter form of Read, with `param`); true only for all n bytes.
    virtual bool RandomWrite(IoObject const& src, unsigned int n, RandomParam& param) = 0;
    // All n bytes at `pos`, or false when they do not fit.
    virtual bool RandomWrite(void const* buffer, unsigned long long pos, unsigned int n) = 0;

protected:
    RandomIo() { this->SetAttrib(IoParam::RANDOM, true); }
    ~RandomIo() override = default;
};

} // namespace Io
} // namespace Vor
