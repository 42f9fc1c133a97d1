#include "platform/file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Vor {
namespace Platform {

// ------------------------------------------------------------------ paths

bool PathExists(char const* path) { return path != nullptr && access(path, F_OK) == 0; }

bool PathSize(char const* path, std::uint64_t& size)
{
    struct stat info;
    if (path == nullptr || stat(path, &info) != 0)
        return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool RenameNoReplace(char const* from, char const* to)
{
    if (from == nullptr || to == nullptr) {
        errno = EINVAL;
        return false;
    }
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // No atomic form here: a hard link fails on an existing target just the
    // same, and the old name goes once the new one stands.
    if (link(from, to) != 0)
        return false;
    if (unlink(from) != 0) {
        int saved = errno;
        unlink(to);
        errno = saved;
        return false;
    }
    return true;
}

bool RemovePath(char const* path)
{
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    return std::remove(path) == 0;
}

// ---------------------------------------------------------------- streams

std::FILE* OpenStream(char const* path, char const* mode)
{
    if (path == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    std::string closeOnExec(mode);
    if (closeOnExec.find('e') == std::string::npos)
        closeOnExec.push_back('e');
    return std::fopen(path, closeOnExec.c_str());
}

bool StreamTell(std::FILE* stream, std::uint64_t& position)
{
    off_t at = ftello(stream);
    if (at < 0)
        return false;
    position = static_cast<std::uint64_t>(at);
    return true;
}

bool StreamSeek(std::FILE* stream, std::uint64_t position)
{
    if (position > static_cast<std::uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return false;
    }
    return fseeko(stream, static_cast<off_t>(position), SEEK_SET) == 0;
}

bool StreamSize(std::FILE* stream, std::uint64_t& size)
{
    struct stat info;
    if (fstat(fileno(stream), &info) != 0)
        return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

// ------------------------------------------------------------ descriptors

namespace {

// Sharing lives in open-file-description locks on single bytes far beyond
// any data. An open holds a shared lock on the byte of each access it has
// and of each access it denies others; another open conflicts when a byte
// it must see unlocked is locked by anyone else. Such locks belong to the
// open file, so closing another descriptor of the same file in this process
// does not drop them.
constexpr off_t kShareBase = static_cast<off_t>(0x7FFFFFFF00000000ll);
enum ShareByte { kHasRead = 0, kHasWrite = 1, kDeniesRead = 2, kDeniesWrite = 3 };

struct flock ByteLock(short type, int byte)
{
    struct flock lock = {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = kShareBase + byte;
    lock.l_len = 1;
    return lock;
}

// -1: the system keeps no such locks here; 0: taken; 1: failed.
int HoldByte(int descriptor, int byte)
{
    struct flock lock = ByteLock(F_RDLCK, byte);
    if (fcntl(descriptor, F_OFD_SETLK, &lock) == 0)
        return 0;
    return errno == EINVAL ? -1 : 1;
}

// True when another open holds the byte.
bool OthersHold(int descriptor, int byte)
{
    struct flock lock = ByteLock(F_WRLCK, byte);
    if (fcntl(descriptor, F_OFD_GETLK, &lock) != 0)
        return false;
    return lock.l_type != F_UNLCK;
}

// Takes this open's bytes first and looks for conflicts after, so that of
// two opens racing each other at least one sees the other.
bool ClaimSharing(int descriptor, FileAccess const& access)
{
    struct Rule {
        bool claimed;
        int mine;
        int conflicting;
    };
    Rule const rules[] = {
        {access.read, kHasRead, kDeniesRead},
        {access.write, kHasWrite, kDeniesWrite},
        {!access.shareRead, kDeniesRead, kHasRead},
        {!access.shareWrite, kDeniesWrite, kHasWrite},
    };
    for (Rule const& rule : rules) {
        if (!rule.claimed)
            continue;
        int held = HoldByte(descriptor, rule.mine);
        if (held < 0)
            return true; // no open-file-description locks: sharing is not enforced
        if (held > 0)
            return false;
    }
    for (Rule const& rule : rules) {
        if (rule.claimed && OthersHold(descriptor, rule.conflicting)) {
            errno = EBUSY;
            return false;
        }
    }
    return true;
}

} // namespace

int OpenFile(char const* path, FileAccess const& access, Disposition disposition)
{
    if (path == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int flags = O_CLOEXEC | (access.write ? O_RDWR : O_RDONLY);
    switch (disposition) {
    case Disposition::CreateNew:
        flags |= O_CREAT | O_EXCL;
        break;
    case Disposition::CreateAlways:
    case Disposition::OpenAlways:
        flags |= O_CREAT;
        break;
    case Disposition::OpenExisting:
    case Disposition::TruncateExisting:
        break;
    }
    int descriptor;
    do
        descriptor = open(path, flags, 0666);
    while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0)
        return -1;

    // Truncation waits until sharing allows this open at all.
    bool truncate = disposition == Disposition::CreateAlways || disposition == Disposition::TruncateExisting;
    if (!ClaimSharing(descriptor, access) || (truncate && ftruncate(descriptor, 0) != 0)) {
        int error = errno;
        close(descriptor);
        errno = error;
        return -1;
    }
    return descriptor;
}

bool CloseFile(int descriptor) { return close(descriptor) == 0; }

bool FileSize(int descriptor, std::uint64_t& size)
{
    struct stat info;
    if (fstat(descriptor, &info) != 0)
        return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool ResizeFile(int descriptor, std::uint64_t size)
{
    if (size > static_cast<std::uint64_t>(INT64_MAX)) {
        errno = EFBIG;
        return false;
    }
    int result;
    do
        result = ftruncate(descriptor, static_cast<off_t>(size));
    while (result != 0 && errno == EINTR);
    return result == 0;
}

unsigned int AllocationGranularity()
{
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<unsigned int>(page) : 4096u;
}

void* MapView(int descriptor, std::uint64_t offset, std::uint64_t length, bool writable)
{
    if (length == 0 || offset > static_cast<std::uint64_t>(INT64_MAX)) {
        errno = EINVAL;
        return nullptr;
    }
    int protection = PROT_READ | (writable ? PROT_WRITE : 0);
    void* view = mmap(nullptr, static_cast<std::size_t>(length), protection, MAP_SHARED, descriptor,
                      static_cast<off_t>(offset));
    return view == MAP_FAILED ? nullptr : view;
}

bool UnmapView(void* view, std::uint64_t length) { return munmap(view, static_cast<std::size_t>(length)) == 0; }

bool FlushView(void* view, std::uint64_t length) { return msync(view, static_cast<std::size_t>(length), MS_SYNC) == 0; }

} // namespace Platform
} // namespace Vor
