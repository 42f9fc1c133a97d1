#include <vor/io/file.h>

#include "io/internal/format.h"
#include "io/internal/text.h"
#include "platform/file.h"

#include <vor/basic/array.h>

#include <cstring>

namespace Vor {
namespace Io {

// ------------------------------------------------------------------- File

bool File::Open(std::string const& path, char const* mode)
{
    Param param;
    param.m_pMode = mode;
    param.m_Path = path;
    return mode != nullptr && IoDevice::Open(param);
}

bool File::Open(char const* path, char const* mode) { return path != nullptr && Open(std::string(path), mode); }

bool File::Open(std::string const& path, unsigned long long size, unsigned int flags, unsigned long long viewSize)
{
    Param param;
    param.m_uFlags = flags;
    param.m_uSize = size;
    param.m_uViewSize = viewSize;
    param.m_Path = path;
    return IoDevice::Open(param);
}

bool File::Open(char const* path, unsigned long long size, unsigned int flags, unsigned long long viewSize)
{
    return path != nullptr && Open(std::string(path), size, flags, viewSize);
}

bool File::IsExist(char const* path, unsigned int) { return Platform::PathExists(path); }
bool File::IsExist(std::string const& path, unsigned int mode) { return IsExist(path.c_str(), mode); }

unsigned long long File::GetFileSize(char const* path)
{
    std::uint64_t size = 0;
    return Platform::PathSize(path, size) ? size : IoObject::NO_POSITION;
}

unsigned long long File::GetFileSize(std::string const& path) { return GetFileSize(path.c_str()); }

IoObject* File::Create(IoDevice::Param const& param)
{
    Param const* file = dynamic_cast<Param const*>(&param);
    if (file == nullptr)
        return IoDevice::Create(param);
    FileIo* object;
    bool opened;
    if (file->m_pMode != nullptr) {
        object = new VOR_NATIVE(File);
        opened = object->Open(file->m_Path.c_str(), file->m_pMode);
    } else {
        object = new VOR_NATIVE(MapFile);
        opened = object->Open(file->m_Path.c_str(), file->m_uSize, file->m_uFlags, file->m_uViewSize);
    }
    if (opened)
        return object;
    object->DecRef();
    return nullptr;
}

// ----------------------------------------------------------------- FileIo

FileIo::FileIo()
{
    SetAttrib(IoParam::LOCAL, true);
    SetAttrib(IoParam::BUFFERED, true);
    SetAttrib(IoParam::DATAGRAM, false);
}

unsigned int FileIo::Read(void* buffer, unsigned int n, IoParam&) const { return Read(buffer, n); }
unsigned int FileIo::Read(IoObject& dst, unsigned int n, IoParam&) const { return IoObject::Read(dst, n); }
bool FileIo::Write(void const* buffer, unsigned int n, IoParam&) { return Write(buffer, n); }
bool FileIo::Write(IoObject const& src, unsigned int n, IoParam&) { return IoObject::Write(src, n); }

bool FileIo::Open(char const*, char const*) { return false; }
bool FileIo::Open(char const*, unsigned long long, unsigned int, unsigned long long) { return false; }

// -------------------------------------------------------------- PosixFile / Win32File

VOR_NATIVE(File)::VOR_NATIVE(File)() : m_pStream(nullptr) {}

VOR_NATIVE(File)::~VOR_NATIVE(File)() { Close(); }

bool VOR_NATIVE(File)::Open(char const* path, char const* mode)
{
    if (m_pStream != nullptr && !Close())
        return false;
    if (path == nullptr || mode == nullptr)
        return false;
    m_pStream = Platform::OpenStream(path, mode);
    m_Path = path;
    return m_pStream != nullptr;
}

unsigned int VOR_NATIVE(File)::Read(void* buffer, unsigned int n) const
{
    if (m_pStream == nullptr)
        return FAILED;
    if (n == 0)
        return 0;
    std::size_t count = std::fread(buffer, 1, n, m_pStream);
    if (count == 0 && std::ferror(m_pStream)) {
        std::clearerr(m_pStream);
        return FAILED;
    }
    return static_cast<unsigned int>(count);
}

bool VOR_NATIVE(File)::Write(void const* buffer, unsigned int n)
{
    if (m_pStream == nullptr)
        return false;
    return n == 0 || std::fwrite(buffer, 1, n, m_pStream) == n;
}

bool VOR_NATIVE(File)::Close()
{
    if (m_pStream == nullptr)
        return true;
    // fclose releases the stream even when it fails: the stream must be
    // forgotten on every path, or a later call would use freed memory.
    bool flushed = std::fflush(m_pStream) == 0;
    bool closed = std::fclose(m_pStream) == 0;
    m_pStream = nullptr;
    m_Path.clear();
    return flushed && closed;
}

bool VOR_NATIVE(File)::Printf(char const* format, std::va_list args)
{
    if (m_pStream == nullptr || format == nullptr)
        return false;
    std::va_list copy;
    va_copy(copy, args);
    int count = std::vfprintf(m_pStream, format, copy);
    va_end(copy);
    return count > 0;
}

// A stream that has been written narrow refuses wide output, so wide text
// goes out as UTF-8 bytes.
bool VOR_NATIVE(File)::Printf(wchar_t const* format, std::va_list args)
{
    if (m_pStream == nullptr)
        return false;
    Basic::Array<wchar_t> text;
    unsigned int length = 0;
    if (!Internal::FormatText(text, length, format, args) || length == 0)
        return false;
    std::string bytes;
    Internal::AppendUtf8(bytes, text, length);
    return std::fwrite(bytes.data(), 1, bytes.size(), m_pStream) == bytes.size();
}

bool VOR_NATIVE(File)::Flush() { return m_pStream != nullptr && std::fflush(m_pStream) == 0; }

bool VOR_NATIVE(File)::Seek(long long offset, IoParam::Offset origin)
{
    if (m_pStream == nullptr)
        return false;
    std::uint64_t position = 0;
    std::uint64_t size = 0;
    if (origin == IoParam::CURRENT && !Platform::StreamTell(m_pStream, position))
        return false;
    // Buffered data belongs to the end the caller means; without writing it
    // out first the size on disk is short and the next write overwrites it.
    if (origin == IoParam::END && (std::fflush(m_pStream) != 0 || !Platform::StreamSize(m_pStream, size)))
        return false;
    unsigned long long target = 0;
    if (!SeekTarget(offset, origin, position, size, target))
        return false;
    return Platform::StreamSeek(m_pStream, target);
}

unsigned long long VOR_NATIVE(File)::GetPosition() const
{
    std::uint64_t position = 0;
    if (m_pStream == nullptr || !Platform::StreamTell(m_pStream, position))
        return 0;
    return position;
}

unsigned long long VOR_NATIVE(File)::GetSize() const
{
    std::uint64_t size = 0;
    if (m_pStream == nullptr || !Platform::StreamSize(m_pStream, size))
        return NO_POSITION;
    return size;
}

// -------------------------------------------------------------- MapFileIo

MapFileIo::MapFileIo() : m_uPosition(0ull) {}

bool MapFileIo::Seek(long long offset, IoParam::Offset origin)
{
    unsigned long long size = GetSize();
    unsigned long long target = 0;
    if (!SeekTarget(offset, origin, GetPosition(), size, target) || target > size)
        return false;
    m_uPosition = target;
    return true;
}

unsigned long long MapFileIo::GetPosition() const { return m_uPosition; }

// ----------------------------------------------------------- PosixMapFile / Win32MapFile

namespace {

constexpr unsigned long long DEFAULT_WINDOW = 0x40000000ull; // 1 GiB
constexpr unsigned long long MAX_WINDOW = 0x80000000ull;

unsigned long long AlignDown(unsigned long long value, unsigned long long granularity)
{
    return value - value % granularity;
}

bool Fits(unsigned long long pos, unsigned long long n, unsigned long long size)
{
    return pos <= size && n <= size - pos;
}

} // namespace

VOR_NATIVE(MapFile)::VOR_NATIVE(MapFile)()
    : m_iFile(-1), m_pView(nullptr), m_uSize(0), m_bWritable(false), m_uViewOffset(NO_POSITION),
      m_uViewLength(0), m_uWindow(DEFAULT_WINDOW), m_uGranularity(Platform::AllocationGranularity())
{
}

VOR_NATIVE(MapFile)::~VOR_NATIVE(MapFile)() { CloseAll(); }

Core::Lock VOR_NATIVE(MapFile)::GetLock() const
{
    // Never destroyed: mapped files may be released while the process exits.
    static Core::LockTable<128, Core::Lock::MUTEX_LOCK>* s_pLocks = new Core::LockTable<128, Core::Lock::MUTEX_LOCK>;
    return (*s_pLocks)[this];
}

bool VOR_NATIVE(MapFile)::Open(char const* path, unsigned long long size, unsigned int flags, unsigned long long viewSize)
{
    Core::Lock local(GetLock());
    local.Enter();
    if (m_iFile >= 0 || path == nullptr || size == 0)
        return false;

    Platform::FileAccess access;
    access.read = (flags & File::READ) != 0;
    access.write = (flags & File::WRITE) != 0;
    access.shareRead = (flags & File::SHARE_READ) != 0;
    access.shareWrite = (flags & File::SHARE_WRITE) != 0;
    bool mayOpen = (flags & File::OPEN_EXISTING) != 0;
    bool mayCreate = (flags & File::CREATE) != 0;
    bool truncate = (flags & File::TRUNCATE) != 0;
    if (!access.read && !access.write)
        return false; // a mapping needs some access
    Platform::Disposition disposition;
    if (mayOpen && mayCreate)
        disposition = truncate ? Platform::Disposition::CreateAlways : Platform::Disposition::OpenAlways;
    else if (mayCreate)
        disposition = Platform::Disposition::CreateNew;
    else if (mayOpen)
        disposition = truncate ? Platform::Disposition::TruncateExisting : Platform::Disposition::OpenExisting;
    else
        return false;

    m_iFile = Platform::OpenFile(path, access, disposition);
    if (m_iFile < 0)
        return false;
    m_bWritable = access.write;
    std::uint64_t existing = 0;
    bool kept = disposition == Platform::Disposition::OpenExisting || disposition == Platform::Disposition::OpenAlways;
    // An existing file must already have the mapping's size (or be empty);
    // a shorter file is extended, which needs write access.
    if (!Platform::FileSize(m_iFile, existing) || (kept && existing != 0 && existing != size) ||
        (existing < size && (!m_bWritable || !Platform::ResizeFile(m_iFile, size)))) {
        CloseAll();
        return false;
    }
    m_uSize = size;
    unsigned long long window = viewSize & 0xFFFFFFFFull;
    if (window == 0)
        window = DEFAULT_WINDOW;
    window = AlignDown(window, m_uGranularity);
    if (window < 4ull * m_uGranularity)
        window = 4ull * m_uGranularity;
    m_uWindow = window < MAX_WINDOW ? window : AlignDown(MAX_WINDOW, m_uGranularity);
    if (!MakeWindow(0, 1)) {
        CloseAll();
        return false;
    }
    return true;
}

void VOR_NATIVE(MapFile)::CloseAll()
{
    if (m_pView != nullptr)
        Platform::UnmapView(m_pView, m_uViewLength);
    if (m_iFile >= 0)
        Platform::CloseFile(m_iFile);
    m_pView = nullptr;
    m_iFile = -1;
    m_uSize = 0;
    m_bWritable = false;
    m_uViewOffset = NO_POSITION;
    m_uViewLength = 0;
}

bool VOR_NATIVE(MapFile)::Close()
{
    Core::Lock local(GetLock());
    local.Enter();
    CloseAll();
    return true;
}

// The most one window placement is sure to hold: the window less the
// slack that aligning its start may cost on either side.
unsigned long long VOR_NATIVE(MapFile)::WindowChunk() const { return m_uWindow - 2ull * m_uGranularity; }

// Makes [pos, pos + length) visible; length <= WindowChunk() and the range
// lies inside the file. Arithmetic is 64-bit throughout and the placement
// is checked by construction: the range sits in the middle of the window,
// or the window holds the start or the end of the file.
bool VOR_NATIVE(MapFile)::MakeWindow(unsigned long long pos, unsigned long long length) const
{
    if (m_pView != nullptr && m_uViewOffset <= pos && pos + length <= m_uViewOffset + m_uViewLength)
        return true;
    unsigned long long start = 0;
    unsigned long long span = m_uSize;
    if (m_uSize > m_uWindow + m_uGranularity) {
        unsigned long long half = (m_uWindow - length) / 2;
        start = pos > half ? pos - half : 0;
        if (start + m_uWindow > m_uSize)
            start = m_uSize - m_uWindow;
        start = AlignDown(start, m_uGranularity);
        span = m_uSize - start;
        if (span > m_uWindow + m_uGranularity)
            span = m_uWindow + m_uGranularity;
    }
    if (m_pView != nullptr)
        Platform::UnmapView(m_pView, m_uViewLength);
    m_pView = static_cast<char*>(Platform::MapView(m_iFile, start, span, m_bWritable));
    if (m_pView == nullptr) {
        m_uViewOffset = NO_POSITION;
        m_uViewLength = 0;
        return false;
    }
    m_uViewOffset = start;
    m_uViewLength = span;
    return true;
}

// Runs copy(view address, bytes done, chunk) over [pos, pos + n) one window
// at a time. The caller holds the lock and has checked the range.
template <class Copy>
bool VOR_NATIVE(MapFile)::Transfer(unsigned long long pos, unsigned long long n, Copy copy) const
{
    unsigned long long chunkLimit = WindowChunk();
    unsigned long long done = 0;
    while (done < n) {
        unsigned long long chunk = n - done < chunkLimit ? n - done : chunkLimit;
        if (!MakeWindow(pos + done, chunk))
            return false;
        copy(m_pView + (pos + done - m_uViewOffset), done, chunk);
        done += chunk;
    }
    return true;
}

unsigned int VOR_NATIVE(MapFile)::RandomRead(void* buffer, unsigned long long pos, unsigned int n) const
{
    Core::Lock local(GetLock());
    local.Enter();
    if (m_iFile < 0 || pos > m_uSize)
        return FAILED;
    unsigned long long left = m_uSize - pos;
    unsigned int k = left < n ? static_cast<unsigned int>(left) : n;
    char* out = static_cast<char*>(buffer);
    bool done = Transfer(pos, k, [out](char const* view, unsigned long long at, unsigned long long chunk) {
        std::memcpy(out + at, view, chunk);
    });
    return done ? k : FAILED;
}

bool VOR_NATIVE(MapFile)::RandomWrite(void const* buffer, unsigned long long pos, unsigned int n)
{
    Core::Lock local(GetLock());
    local.Enter();
    if (m_iFile < 0 || !m_bWritable || !Fits(pos, n, m_uSize))
        return false;
    char const* in = static_cast<char const*>(buffer);
    return Transfer(pos, n, [in](char* view, unsigned long long at, unsigned long long chunk) {
        std::memcpy(view, in + at, chunk);
    });
}

// Object copies stage the bytes in a temporary buffer so that the other
// object is called without this object's lock held.
unsigned int VOR_NATIVE(MapFile)::RandomRead(IoObject& dst, unsigned int n, RandomParam& param) const
{
    unsigned long long pos = param.GetReadPos();
    unsigned int k;
    {
        Core::Lock local(GetLock());
        local.Enter();
        if (m_iFile < 0 || pos > m_uSize)
            return FAILED;
        unsigned long long left = m_uSize - pos;
        k = left < n ? static_cast<unsigned int>(left) : n;
    }
    if (k == 0)
        return 0;
    Basic::Array<char> staging;
    if (!staging.Alloc(k))
        return FAILED;
    unsigned int count = RandomRead(static_cast<char*>(staging), pos, k);
    if (count == FAILED || count == 0)
        return count;
    return dst.Write(static_cast<char const*>(staging), count, param) ? count : FAILED;
}

bool VOR_NATIVE(MapFile)::RandomWrite(IoObject const& src, unsigned int n, RandomParam& param)
{
    unsigned long long pos = param.GetWritePos();
    {
        Core::Lock local(GetLock());
        local.Enter();
        if (m_iFile < 0 || !m_bWritable || !Fits(pos, n, m_uSize))
            return false;
    }
    if (n == 0)
        return true;
    Basic::Array<char> staging;
    if (!staging.Alloc(n))
        return false;
    if (src.Read(static_cast<char*>(staging), n, param) != n)
        return false;
    return RandomWrite(static_cast<char const*>(staging), pos, n);
}

bool VOR_NATIVE(MapFile)::Flush()
{
    Core::Lock local(GetLock());
    local.Enter();
    return m_pView != nullptr && Platform::FlushView(m_pView, m_uViewLength);
}

unsigned long long VOR_NATIVE(MapFile)::GetSize() const
{
    Core::Lock local(GetLock());
    local.Enter();
    return m_uSize;
}

unsigned long long VOR_NATIVE(MapFile)::GetViewOffset() const
{
    Core::Lock local(GetLock());
    local.Enter();
    return m_uViewOffset;
}

unsigned long long VOR_NATIVE(MapFile)::GetViewLength() const
{
    Core::Lock local(GetLock());
    local.Enter();
    return m_uViewLength;
}

} // namespace Io
} // namespace Vor
