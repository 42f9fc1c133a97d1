#include "platform/file.h"
#include "platform/win32/native.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <cstring>
#include <string>

// Where the two builds differ: descriptors are file handles (a HANDLE fits
// the int of the interface on 32-bit Windows, and INVALID_HANDLE_VALUE is
// -1), the system enforces the sharing rules itself, a sharing conflict
// fails with ERROR_SHARING_VIOLATION, and views are aligned to the
// system's allocation granularity (64 KiB) rather than the page size.

namespace Vor {
namespace Platform {

static_assert(sizeof(HANDLE) <= sizeof(int), "file handles travel as int on this platform");

namespace {

HANDLE H(int descriptor) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(descriptor)); }

bool Refuse(DWORD error)
{
    ::SetLastError(error);
    return false;
}

} // namespace

// ------------------------------------------------------------------ paths

bool PathExists(char const* path) { return path != nullptr && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

bool PathSize(char const* path, std::uint64_t& size)
{
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (path == nullptr || !GetFileAttributesExA(path, GetFileExInfoStandard, &info))
        return false;
    size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}

// MoveFileEx without MOVEFILE_REPLACE_EXISTING refuses an existing target.
bool RenameNoReplace(char const* from, char const* to)
{
    if (from == nullptr || to == nullptr)
        return Refuse(ERROR_INVALID_PARAMETER);
    return MoveFileExA(from, to, 0) != FALSE;
}

bool RemovePath(char const* path)
{
    if (path == nullptr)
        return Refuse(ERROR_INVALID_PARAMETER);
    return DeleteFileA(path) != FALSE;
}

// ---------------------------------------------------------------- streams

// Not fopen: its handle refuses to share deletion, so a file held open
// could never be renamed or removed (a log's backup renames the file its
// writers still hold). The handle is made here, shared for reading,
// writing and deletion and not inherited by child processes, and the C
// runtime's stream is put on it; text mode unless the mode says 'b', as
// fopen does.
std::FILE* OpenStream(char const* path, char const* mode)
{
    if (path == nullptr || mode == nullptr || std::strchr("rwa", mode[0]) == nullptr || mode[0] == '\0') {
        Refuse(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    bool update = std::strchr(mode, '+') != nullptr;
    bool binary = std::strchr(mode, 'b') != nullptr;
    bool exclusive = std::strchr(mode, 'x') != nullptr;
    DWORD access = mode[0] == 'r' ? GENERIC_READ : GENERIC_WRITE;
    if (update)
        access = GENERIC_READ | GENERIC_WRITE;
    DWORD disposition = mode[0] == 'r' ? OPEN_EXISTING : mode[0] == 'a' ? OPEN_ALWAYS : exclusive ? CREATE_NEW
                                                                                                  : CREATE_ALWAYS;
    HANDLE handle = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    int flags = (binary ? 0 : _O_TEXT) | (mode[0] == 'a' ? _O_APPEND : 0) | (access == GENERIC_READ ? _O_RDONLY : 0);
    int descriptor = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), flags);
    if (descriptor == -1) {
        CloseHandle(handle);
        Refuse(ERROR_OPEN_FAILED);
        return nullptr;
    }
    _setmode(descriptor, binary ? _O_BINARY : _O_TEXT);
    char again[4] = {mode[0], update ? '+' : '\0', '\0', '\0'};
    std::strcat(again, binary ? "b" : "t");
    std::FILE* stream = _fdopen(descriptor, again);
    if (stream == nullptr) {
        _close(descriptor);
        Refuse(ERROR_OPEN_FAILED);
    }
    return stream;
}

bool StreamTell(std::FILE* stream, std::uint64_t& position)
{
    long long at = _ftelli64(stream);
    if (at < 0)
        return false;
    position = static_cast<std::uint64_t>(at);
    return true;
}

bool StreamSeek(std::FILE* stream, std::uint64_t position)
{
    if (position > static_cast<std::uint64_t>(INT64_MAX))
        return Refuse(ERROR_INVALID_PARAMETER);
    return _fseeki64(stream, static_cast<long long>(position), SEEK_SET) == 0;
}

bool StreamSize(std::FILE* stream, std::uint64_t& size)
{
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    LARGE_INTEGER length;
    if (handle == INVALID_HANDLE_VALUE || !GetFileSizeEx(handle, &length))
        return false;
    size = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

// ------------------------------------------------------------ descriptors

int OpenFile(char const* path, FileAccess const& access, Disposition disposition)
{
    if (path == nullptr) {
        Refuse(ERROR_INVALID_PARAMETER);
        return -1;
    }
    DWORD desired = GENERIC_READ | (access.write ? GENERIC_WRITE : 0);
    DWORD share = (access.shareRead ? FILE_SHARE_READ : 0) | (access.shareWrite ? FILE_SHARE_WRITE : 0);
    DWORD creation = OPEN_EXISTING;
    switch (disposition) {
    case Disposition::CreateNew:
        creation = CREATE_NEW;
        break;
    case Disposition::CreateAlways:
        creation = CREATE_ALWAYS;
        break;
    case Disposition::OpenExisting:
        creation = OPEN_EXISTING;
        break;
    case Disposition::OpenAlways:
        creation = OPEN_ALWAYS;
        break;
    case Disposition::TruncateExisting:
        creation = TRUNCATE_EXISTING;
        desired |= GENERIC_WRITE; // the system truncates only for writers
        break;
    }
    HANDLE file = CreateFileA(path, desired, share, nullptr, creation, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    return static_cast<int>(reinterpret_cast<std::intptr_t>(file));
}

bool CloseFile(int descriptor) { return CloseHandle(H(descriptor)) != FALSE; }

bool FileSize(int descriptor, std::uint64_t& size)
{
    LARGE_INTEGER length;
    if (!GetFileSizeEx(H(descriptor), &length))
        return false;
    size = static_cast<std::uint64_t>(length.QuadPart);
    return true;
}

bool ResizeFile(int descriptor, std::uint64_t size)
{
    if (size > static_cast<std::uint64_t>(INT64_MAX))
        return Refuse(ERROR_FILE_TOO_LARGE);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(H(descriptor), at, nullptr, FILE_BEGIN) && SetEndOfFile(H(descriptor));
}

unsigned int AllocationGranularity()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwAllocationGranularity > 0 ? static_cast<unsigned int>(info.dwAllocationGranularity) : 65536u;
}

// The mapping object is closed as soon as the view stands: the view keeps
// it alive until it is unmapped.
void* MapView(int descriptor, std::uint64_t offset, std::uint64_t length, bool writable)
{
    if (length == 0 || length > 0xFFFFFFFFu || offset > static_cast<std::uint64_t>(INT64_MAX)) {
        Refuse(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::uint64_t end = offset + length;
    HANDLE mapping = CreateFileMappingA(H(descriptor), nullptr, writable ? PAGE_READWRITE : PAGE_READONLY,
                                        static_cast<DWORD>(end >> 32), static_cast<DWORD>(end), nullptr);
    if (mapping == nullptr)
        return nullptr;
    void* view = MapViewOfFile(mapping, writable ? FILE_MAP_WRITE : FILE_MAP_READ, static_cast<DWORD>(offset >> 32),
                               static_cast<DWORD>(offset), static_cast<SIZE_T>(length));
    DWORD error = ::GetLastError();
    CloseHandle(mapping);
    ::SetLastError(error);
    return view;
}

bool UnmapView(void* view, std::uint64_t) { return UnmapViewOfFile(view) != FALSE; }

bool FlushView(void* view, std::uint64_t length)
{
    return FlushViewOfFile(view, static_cast<SIZE_T>(length)) != FALSE;
}

} // namespace Platform
} // namespace Vor
