#include "platform/gzip.h"

#include "platform/file.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#ifdef VOR_HAVE_ZLIB
#include <zlib.h>
#endif

namespace Vor {
namespace Platform {

#ifdef VOR_HAVE_ZLIB

bool CanGzip() { return true; }

bool GzipFile(char const* from, char const* to)
{
    if (from == nullptr || to == nullptr) {
        errno = EINVAL;
        return false;
    }
    std::FILE* in = OpenStream(from, "rb");
    if (in == nullptr)
        return false;
    // 'x' creates the file or fails: an earlier compressed file of the same
    // name is never overwritten. 'e': closed on exec.
    errno = 0;
    gzFile out = gzopen(to, "wbxe");
    if (out == nullptr) {
        int error = errno != 0 ? errno : ENOMEM;
        std::fclose(in);
        errno = error;
        return false;
    }
    constexpr unsigned int kChunk = 64 * 1024;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kChunk]);
    int error = buffer ? 0 : ENOMEM;
    while (error == 0) {
        std::size_t got = std::fread(buffer.get(), 1, kChunk, in);
        if (got > 0 && gzwrite(out, buffer.get(), static_cast<unsigned int>(got)) != static_cast<int>(got))
            error = errno != 0 ? errno : EIO;
        if (got < kChunk) {
            if (std::ferror(in) && error == 0)
                error = errno != 0 ? errno : EIO;
            break;
        }
    }
    std::fclose(in);
    // The trailer is written (and a full disk found) at close.
    if (gzclose(out) != Z_OK && error == 0)
        error = errno != 0 ? errno : EIO;
    if (error != 0) {
        RemovePath(to);
        errno = error;
        return false;
    }
    return true;
}

#else

bool CanGzip() { return false; }

bool GzipFile(char const*, char const*)
{
    errno = ENOSYS;
    return false;
}

#endif

} // namespace Platform
} // namespace Vor
