// Files: buffered stream files and memory-mapped files, opened through the
// device File.
//
//   IoObject <- FileIo <- PosixFile (Win32File)             (a FILE stream)
//   IoObject <- FileIo <- MapFileIo <- PosixMapFile (Win32MapFile) (a mapped file)
//
// A stream file reads and writes sequentially through a buffered stream. A
// mapped file is read and written at positions through a window of the
// file mapped into memory, which moves when a transfer falls outside it.
#pragma once

#include <vor/core/export.h>

#include <vor/core/atomic.h>
#include <vor/io/iobase.h>
#include <vor/io/randomio.h>

#include <cstdio>
#include <string>

namespace Vor {
namespace Io {

// The device of files: opens a file as a plain file object or as a mapped
// file.
class VOR_API File : public IoDevice {
public:
    // Flags of a mapped-file open.
    static constexpr unsigned int READ = 0x1;           // read access
    static constexpr unsigned int WRITE = 0x2;          // write access
    static constexpr unsigned int SHARE_READ = 0x10;    // others may read meanwhile
    static constexpr unsigned int SHARE_WRITE = 0x20;   // others may write meanwhile
    static constexpr unsigned int SHARE_DELETE = 0x40;  // accepted; deletion is never prevented here
    static constexpr unsigned int OPEN_EXISTING = 0x100; // an existing file may be opened
    static constexpr unsigned int CREATE = 0x200;       // the file may be created
    static constexpr unsigned int TRUNCATE = 0x400;     // truncate / replace

    // How a file is opened: its path, its flags and, for mapped files, the
    // window.
    class VOR_API Param : public IoDevice::Param {
    public:
        Param() = default;

        unsigned int m_uFlags = 0;            // mapped files: the flags above
        unsigned long long m_uSize = 0;       // mapped files: the mapping size
        unsigned long long m_uViewSize = 0;   // mapped files: the window size (low 32 bits)
        char const* m_pMode = nullptr;        // stream files: the fopen mode; null: a mapped file
        std::string m_Path;
    };

    File() = default;

    bool Open() override { return IoDevice::Open(); }
    // A stream file with an fopen mode.
    virtual bool Open(std::string const& path, char const* mode);
    virtual bool Open(char const* path, char const* mode);
    // A mapped file of `size` bytes; `viewSize` bounds the mapped window.
    virtual bool Open(std::string const& path, unsigned long long size, unsigned int flags,
                      unsigned long long viewSize);
    virtual bool Open(char const* path, unsigned long long size, unsigned int flags, unsigned long long viewSize);

    // Whether the path exists (the second argument does not change the test).
    static bool IsExist(char const* path, unsigned int mode = 0);
    static bool IsExist(std::string const& path, unsigned int mode = 0);
    // The size on disk, or 0xFFFFFFFFFFFFFFFF when the file cannot be examined.
    static unsigned long long GetFileSize(char const* path);
    static unsigned long long GetFileSize(std::string const& path);

protected:
    using IoDevice::Open;
    IoObject* Create(IoDevice::Param const& param) override;
};

// The base of file objects.
class VOR_API FileIo : public IoObject {
public:
    using IoObject::Read;
    using IoObject::Write;

    // The parameter forms ignore the parameter.
    unsigned int Read(void* buffer, unsigned int n, IoParam& param) const override;
    unsigned int Read(IoObject& dst, unsigned int n, IoParam& param) const override;
    bool Write(void const* buffer, unsigned int n, IoParam& param) override;
    bool Write(IoObject const& src, unsigned int n, IoParam& param) override;

    // Both fail in the base; each kind of file answers its own.
    virtual bool Open(char const* path, char const* mode);
    virtual bool Open(char const* path, unsigned long long size, unsigned int flags, unsigned long long viewSize);

protected:
    FileIo();
    ~FileIo() override = default;
};

// A buffered stream file. Takes no locks.
class VOR_API VOR_NATIVE(File) : public FileIo {
public:
    VOR_NATIVE(File)();
    VOR_NATIVE(File)(VOR_NATIVE(File) const&) = delete;
    VOR_NATIVE(File)& operator=(VOR_NATIVE(File) const&) = delete;

    using FileIo::Open;
    using FileIo::Read;
    using FileIo::Write;
    using IoObject::Printf;

    // Closes a stream that is open, then opens the path with the mode.
    bool Open(char const* path, char const* mode) override;

    // A short count or 0 at the end of the file; the failure marker when
    // closed or when the stream reports an error before any byte.
    unsigned int Read(void* buffer, unsigned int n) const override;
    bool Write(void const* buffer, unsigned int n) override;
    // Flushes and closes once: a stream whose close failed is gone all the
    // same (the result reports the failure).
    bool Close() override;

    // Straight to the stream; wide text as UTF-8. True only when more than
    // 0 characters were written.
    bool Printf(wchar_t const* format, std::va_list args) override;
    bool Printf(char const* format, std::va_list args) override;
    bool Flush() override;

    // END measures from the size after writing out buffered data.
    bool Seek(long long offset, IoParam::Offset origin) override;
    // 0 when closed.
    unsigned long long GetPosition() const override;
    // The size on disk: data still buffered is not counted.
    unsigned long long GetSize() const override;

    std::string const& GetPath() const { return m_Path; }

protected:
    ~VOR_NATIVE(File)() override;

private:
    std::FILE* m_pStream;
    std::string m_Path;
};

// The base of mapped files: transfers at positions (see RandomIo). The
// position is atomic, so it can be read and set from several threads.
class VOR_API MapFileIo : public RandomIo<FileIo> {
public:
    using FileIo::Open;

    bool Seek(long long offset, IoParam::Offset origin) override;
    unsigned long long GetPosition() const override;

protected:
    MapFileIo();
    ~MapFileIo() override = default;

private:
    Core::BasicAtomic<unsigned long long, 1> m_uPosition;
};

// A file mapped through a sliding window. Every operation holds the lock
// that a process-wide table of 128 mutexes assigns to the object, and never
// calls another object while holding it: copies to and from other objects
// go through a temporary buffer, so two mapped files copying into each
// other cannot wait on each other's locks.
class VOR_API VOR_NATIVE(MapFile) : public MapFileIo {
public:
    VOR_NATIVE(MapFile)();
    VOR_NATIVE(MapFile)(VOR_NATIVE(MapFile) const&) = delete;
    VOR_NATIVE(MapFile)& operator=(VOR_NATIVE(MapFile) const&) = delete;

    using MapFileIo::Open;
    using MapFileIo::RandomRead;
    using MapFileIo::RandomWrite;

    // Opens (and creates, as the flags allow) a file of `size` bytes and
    // maps its first window.
    bool Open(char const* path, unsigned long long size, unsigned int flags, unsigned long long viewSize) override;

    // Reads up to the end of the file; the failure marker when closed.
    unsigned int RandomRead(IoObject& dst, unsigned int n, RandomParam& param) const override;
    unsigned int RandomRead(void* buffer, unsigned long long pos, unsigned int n) const override;
    // All n bytes or nothing.
    bool RandomWrite(IoObject const& src, unsigned int n, RandomParam& param) override;
    bool RandomWrite(void const* buffer, unsigned long long pos, unsigned int n) override;

    bool Close() override;
    bool Flush() override;
    unsigned long long GetSize() const override;

    // The window the last transfer used (for tests and diagnostics).
    unsigned long long GetViewOffset() const;
    unsigned long long GetViewLength() const;

protected:
    ~VOR_NATIVE(MapFile)() override;

private:
    Core::Lock GetLock() const;
    void CloseAll();
    bool MakeWindow(unsigned long long pos, unsigned long long length) const;
    unsigned long long WindowChunk() const;
    template <class Copy>
    bool Transfer(unsigned long long pos, unsigned long long n, Copy copy) const;

    int m_iFile;
    mutable char* m_pView;
    unsigned long long m_uSize;
    bool m_bWritable;
    mutable unsigned long long m_uViewOffset;
    mutable unsigned long long m_uViewLength;
    unsigned long long m_uWindow;
    unsigned int m_uGranularity;
};

} // namespace Io
} // namespace Vor
