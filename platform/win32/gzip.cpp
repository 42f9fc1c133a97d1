#include "platform/gzip.h"
#include "platform/file.h"
#include "platform/win32/native.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <memory>

#ifdef VOR_HAVE_ZLIB
#include <zlib.h>
#endif

// The gzip file is created by the system with CREATE_NEW, so an existing
// file of that name is never replaced (ERROR_FILE_EXISTS), and handed to
// zlib as a C runtime descriptor.

namespace Vor {
namespace Platform {

#ifdef VOR_HAVE_ZLIB

bool CanGzip() { return true; }

bool GzipFile(char const* from, char const* to)
{
    if (from == nullptr || to == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::FILE* in = OpenStream(from, "rb");
    if (in == nullptr)
        return false;
    FileAccess access;
    access.write = true;
    int handle = OpenFile(to, access, Disposition::CreateNew);
    if (handle == -1) {
        DWORD error = ::GetLastError();
        std::fclose(in);
        ::SetLastError(error);
        return false;
    }
    int descriptor = _open_osfhandle(static_cast<std::intptr_t>(handle), _O_BINARY | _O_WRONLY);
    gzFile out = descriptor < 0 ? nullptr : gzdopen(descriptor, "wb");
    if (out == nullptr) {
        if (descriptor >= 0)
            _close(descriptor);
        else
            CloseFile(handle);
        std::fclose(in);
        RemovePath(to);
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    constexpr unsigned int kChunk = 64 * 1024;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kChunk]);
    DWORD error = buffer ? 0 : ERROR_NOT_ENOUGH_MEMORY;
    while (error == 0) {
        std::size_t got = std::fread(buffer.get(), 1, kChunk, in);
        if (got > 0 && gzwrite(out, buffer.get(), static_cast<unsigned int>(got)) != static_cast<int>(got))
            error = ERROR_WRITE_FAULT;
        if (got < kChunk) {
            if (std::ferror(in) && error == 0)
                error = ERROR_READ_FAULT;
            break;
        }
    }
    std::fclose(in);
    // The trailer is written (and a full disk found) at close.
    if (gzclose(out) != Z_OK && error == 0)
        error = ERROR_WRITE_FAULT;
    if (error != 0) {
        RemovePath(to);
        ::SetLastError(error);
        return false;
    }
    return true;
}

#else

bool CanGzip() { return false; }

bool GzipFile(char const*, char const*)
{
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

#endif

} // namespace Platform
} // namespace Vor
