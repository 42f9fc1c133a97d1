// Files: what the stream files and the mapped files need from the system.
// Paths by name (existence, size), 64-bit positions of buffered streams,
// and descriptors opened with a creation disposition and sharing rules,
// with views mapped from them.
//
// Failures return false, null or -1 and leave the reason in the calling
// thread's last error (platform/error.h).
#pragma once

#include "platform/export.h"

#include <cstdint>
#include <cstdio>

namespace Vor {
namespace Platform {

// --- paths

VOR_PLATFORM_API bool PathExists(char const* path);
// The size of the file at `path`; false when it cannot be examined.
VOR_PLATFORM_API bool PathSize(char const* path, std::uint64_t& size);
// Renames `from` to `to` without ever replacing an existing `to` (fails with
// EEXIST instead). Where the file system cannot rename that way atomically,
// a hard link and an unlink do the same, still refusing an existing target.
VOR_PLATFORM_API bool RenameNoReplace(char const* from, char const* to);
// Deletes the file at `path`.
VOR_PLATFORM_API bool RemovePath(char const* path);

// --- buffered streams

// fopen, with the descriptor closed on exec.
VOR_PLATFORM_API std::FILE* OpenStream(char const* path, char const* mode);
// The stream's position in 64 bits.
VOR_PLATFORM_API bool StreamTell(std::FILE* stream, std::uint64_t& position);
// Moves to an absolute position (writing out buffered data first); false
// for positions beyond 2^63 - 1.
VOR_PLATFORM_API bool StreamSeek(std::FILE* stream, std::uint64_t position);
// The size of the stream's file on disk; buffered data is not counted.
VOR_PLATFORM_API bool StreamSize(std::FILE* stream, std::uint64_t& size);

// --- descriptors and mapped views

// What happens when the file exists or not.
enum class Disposition {
    CreateNew,        // create; fail when it exists
    CreateAlways,     // create, or truncate an existing file
    OpenExisting,     // open; fail when missing
    OpenAlways,       // open, or create when missing
    TruncateExisting, // open and truncate; fail when missing
};

// Access wanted by this open, and what it lets other opens do at the same
// time. Sharing is enforced among the opens made through OpenFile, in any
// process, by open-file-description locks; the system itself does not
// enforce it (deleting an open file cannot be prevented here).
struct FileAccess {
    bool read = false;
    bool write = false;
    bool shareRead = false;
    bool shareWrite = false;
};

// Opens `path`; -1 on failure. A sharing conflict fails with EBUSY before
// anything is truncated.
VOR_PLATFORM_API int OpenFile(char const* path, FileAccess const& access, Disposition disposition);
VOR_PLATFORM_API bool CloseFile(int descriptor);
VOR_PLATFORM_API bool FileSize(int descriptor, std::uint64_t& size);
// Sets the file's size (growing it with zeros).
VOR_PLATFORM_API bool ResizeFile(int descriptor, std::uint64_t size);

// The alignment of view offsets.
VOR_PLATFORM_API unsigned int AllocationGranularity();
// Maps `length` bytes from `offset` (a multiple of the granularity), shared
// with the file; null on failure.
VOR_PLATFORM_API void* MapView(int descriptor, std::uint64_t offset, std::uint64_t length, bool writable);
VOR_PLATFORM_API bool UnmapView(void* view, std::uint64_t length);
// Writes the view's changed pages to the file and waits for it.
VOR_PLATFORM_API bool FlushView(void* view, std::uint64_t length);

} // namespace Platform
} // namespace Vor
