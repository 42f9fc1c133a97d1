// What the shared library shows its users.
//
// VOR_API marks the library's interface: every public class and function,
// and the static data members its users read. Building the Windows DLL it
// exports them and a user's program imports them; on Linux the library is
// built with everything else hidden, so these are its only symbols. A static
// build (VOR_STATIC) needs none of it.
#pragma once

#if defined(VOR_STATIC)
#define VOR_API
#elif defined(_WIN32)
#if defined(VOR_BUILDING)
#define VOR_API __declspec(dllexport)
#else
#define VOR_API __declspec(dllimport)
#endif
#else
#define VOR_API __attribute__((visibility("default")))
#endif

// The system's own classes are named after the system they sit on:
// Win32File in the Windows build, PosixFile in the Linux one.
#if defined(_WIN32)
#define VOR_NATIVE(name) Win32##name
#else
#define VOR_NATIVE(name) Posix##name
#endif

// VOR_HOT marks the functions every message passes through between the
// kernel and the application, among them the inline ones in these headers
// that the library also compiles out of line. The compiler keeps them
// together, so that a message touches a few code pages instead of some
// twenty spread over the library: where each system call empties the
// address translation cache, every page touched after it costs a walk of
// the page tables.
#if !defined(VOR_HOT)
#if defined(__GNUC__)
#define VOR_HOT __attribute__((hot))
#else
#define VOR_HOT
#endif
#endif
