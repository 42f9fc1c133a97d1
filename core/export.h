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

// Marks the few inline functions on the message path that the library also
// compiles out of line: the compiler keeps those copies with the rest of
// the message path's code, so that a message touches few code pages.
#if !defined(VOR_HOT)
#if defined(__GNUC__)
#define VOR_HOT __attribute__((hot))
#else
#define VOR_HOT
#endif
#endif
